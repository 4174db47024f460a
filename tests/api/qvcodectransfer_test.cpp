// Expression transfer: every token form read from a source (a scripted device
// giving the bytes in pieces) and written to a destination reads back as the
// source reads directly; texts, numbers and dictionary codes are converted for
// the destination's peer; raw copies up to a mark need agreeing states.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "qvcodecloopback.h"
#include "tests/api/qvtypedtest.h"

namespace {

using qvcodec::Bytes;
using qvcodec::Features;
using qvcodec::Hex;
using qvcodec::QueueWriter;
using qvcodec::StreamReader;
using qvloop::LoopbackSide;
using qvloop::SideOptions;
using qvloop::Token;

constexpr long kPieces[] = {1, 3, 4096};

// A source over a scripted device that knows the synthetic dictionaries.
struct Source {
  StreamReader reader;
  Source(const Bytes& bytes, long piece) : reader(bytes, piece) {
    reader.state()->symbol_dictionary = qvloop::Symbols();
    reader.state()->string_dictionary = qvloop::Strings();
  }
  qvloop::Reader reading() { return {reader.state(), reader.stack(), reader.queues()}; }
  long Transfer(write_state* writer, device_kebab* stack, _queue* queue, int64_t n = 1) {
    return QVTransferExpression_(writer, stack, queue, reader.state(), reader.stack(), reader.queues(), n);
  }
};

std::vector<Token> ReadDirectly(const Bytes& bytes, int packets) {
  Source s(bytes, 4096);
  std::vector<Token> tokens;
  EXPECT_EQ(qvloop::ReadPackets(s.reading(), packets, &tokens), 0);
  return tokens;
}

// Copies each packet to the destination and ends it there.
long CopyPackets(Source& source, LoopbackSide& destination, int packets) {
  for (int i = 0; i < packets; ++i) {
    if (const long e = source.Transfer(destination.writer(), destination.stack(), destination.base()); e != 0) {
      return e;
    }
    if (const long e = destination.End(); e != 0) return e;
  }
  return destination.Flush();
}

// The bytes one write makes on a writer of its own.
template <typename Write>
Bytes Written(Write write, uint64_t encodings = qvcodec::kAllEncodings, uint64_t word = QVFEATURE_ALL) {
  QueueWriter w(Features(word, qvcodec::kOwnTypes, encodings));
  EXPECT_EQ(write(w), 0);
  return w.Take();
}

// characters: for UTF-8, UTF-16 and UTF-32 texts (a byte-order mark counts one).
Bytes TextAtom(unsigned type, const Bytes& text, unsigned encoding, uint64_t peer_encodings,
               uint64_t word = QVFEATURE_ALL, int64_t characters = -1) {
  return Written([&](QueueWriter& w) { return w.Text(type, text, encoding, characters); }, peer_encodings, word);
}

template <typename T>
Bytes NumberToken(T value, unsigned type) {
  return Written([&](QueueWriter& w) { return w.Number(value, type); });
}

Bytes LongText() {
  Bytes text;
  for (int i = 0; i < 700; ++i) text += (i % 7 == 0) ? "\\:00e9" : "x";
  return text;
}

const Bytes kList = Hex({0x23, 0x47, 0x41, 0x7E, 0x44, 0x4C, 0x69, 0x73, 0x74, 0x0A});

Bytes Int32s(std::initializer_list<int32_t> values) {
  Bytes out;
  for (int32_t v : values) out.append(reinterpret_cast<const char*>(&v), 4);
  return out;
}

// A 2 x 3 array of 32-bit integers as an array token whose leaves are one packed run.
Bytes ArrayToken2x3() {
  return Hex({0x41, 0x46, 0x44, 0x59, 0x46, 0x42}) + kList + Hex({0x46, 0x43}) + kList + Hex({0x2E, 0x0A}) +
         Hex({0x50, 0x46, 0xE4}) + Int32s({1, 2, 3, 4, 5, 6}) + "\n";
}

Bytes Int32Token(int32_t v) { return Hex({0xE4}) + Int32s({v}) + "\n"; }

TEST(CodecTransfer, EveryTokenFormReadsBackAsTheSourceReadsIt) {
  const Bytes utf8_text = "a\xC3\xA9\xF0\x9F\x98\x80z";
  const Bytes utf16_text = Hex({0xFF, 0xFE, 0x61, 0, 0x3D, 0xD8, 0x00, 0xDE, 0xE9, 0});
  const Bytes utf32_text = Hex({0xFF, 0xFE, 0, 0, 0x00, 0xF6, 0x01, 0, 0x62, 0, 0, 0});
  Bytes packed = Hex({0x50, 0x43, 0xE4});
  for (int32_t v : {10, -20, 1 << 30}) packed.append(reinterpret_cast<const char*>(&v), 4);
  packed += "\n";
  struct Case {
    const char* what;
    Bytes packet;  // one expression
  };
  const Case cases[] = {
      {"escaped ASCII string", TextAtom(34, "a\\:00e9\\|01F600\\\\b", ENCODING_ASCII, qvcodec::kAllEncodings)},
      {"byte string", TextAtom(34, "b\xFF\x01", ENCODING_BYTES, ENCODING_BYTES)},
      {"UCS-2 string", TextAtom(34, "ab", ENCODING_BYTES, ENCODING_UCS2)},
      {"UTF-8 string", TextAtom(34, utf8_text, ENCODING_UTF8, ENCODING_UTF8, QVFEATURE_ALL, 4)},
      {"UTF-16 string", TextAtom(34, utf16_text, ENCODING_UTF16, ENCODING_UTF16, QVFEATURE_ALL, 4)},
      {"UTF-32 symbol", TextAtom(35, utf32_text, ENCODING_UTF32, ENCODING_UTF32, QVFEATURE_ALL, 3)},
      {"UTF-8 string without a count", Hex({0x22, 0x48, 0x44, 0x7E, 0x20}) + "caf\xC3\xA9\n"},
      {"empty string", TextAtom(34, "", ENCODING_ASCII, qvcodec::kAllEncodings)},
      {"string of no body at all", Hex({0x22, 0x40, 0x0A})},
      {"string longer than a piece, long lengths", TextAtom(34, LongText(), ENCODING_ASCII, ENCODING_ASCII, 0)},
      {"symbol", TextAtom(35, "Plus", ENCODING_ASCII, qvcodec::kAllEncodings)},
      {"real as text", TextAtom(42, "-1.25e-3", ENCODING_BYTES, qvcodec::kAllEncodings)},
      {"integer as text", TextAtom(43, "123456789012345678901234567890", ENCODING_BYTES, qvcodec::kAllEncodings)},
      {"8-bit integer", NumberToken(int8_t{-5}, 161)},
      {"16-bit integer", NumberToken(int16_t{-300}, 226)},
      {"32-bit integer", NumberToken(int32_t{1 << 20}, 228)},
      {"64-bit integer", NumberToken(int64_t{-(1LL << 40)}, 230)},
      {"32-bit real", NumberToken(1.5f, 244)},
      {"64-bit real", NumberToken(-0.1, 246)},
      {"128-bit real", NumberToken(3.25L, 248)},
      {"packed run in a function", Hex({0x46, 0x43}) + TextAtom(35, "List", ENCODING_ASCII, 0xFE) + packed},
      {"raw token", Hex({0x30, 0x43}) + "xyz\n"},
      {"raw token of no bytes", Hex({0x3F, 0x40, 0x0A})},
      {"dictionary string", Hex({0x51, 0x41, 0xE2, 0x2C, 0x01, 0x0A})},
      {"dictionary symbol with a backslash", Hex({0x4F, 0x41, 0xE2, 0x03, 0x00, 0x0A})},
      {"older string", Bytes("S5 hello\n")},
      {"string with a legacy payload", Bytes("\x22\x47Gh") + Hex({0xFA, 0x01}) + "llo\n"},
      {"older symbol beyond 255", Bytes("Y4 a") + Hex({0xFB, 0x12, 0x34, 0x0A})},
      {"array token with a packed run", ArrayToken2x3()},
      {"array token whose leaves come in runs of two types and singly",
       Hex({0x41, 0x45, 0x44, 0x4D, 0x46, 0x45}) + kList + Hex({0x2E, 0x0A, 0x50, 0x42, 0xE4}) + Int32s({7, 8}) +
           "\n" + Int32Token(9) + Hex({0x50, 0x42, 0xF6}) + NumberToken(0.5, 246).substr(1, 8) +
           NumberToken(-2.0, 246).substr(1, 8) + "\n"},
      {"array token with a zero dimension", Hex({0x41, 0x40, 0x44, 0x59, 0x46, 0x40}) + kList + Hex({0x46, 0x43}) +
                                                kList + Hex({0x2E, 0x0A})},
      {"array token with leaves in its heads block",
       Hex({0x41, 0x42, 0x44, 0x52, 0x46, 0x42}) + kList + Hex({0x2E}) + Int32Token(11) + Hex({0x0A}) +
           Int32Token(12)},
      {"nested functions",
       Hex({0x46, 0x42}) + TextAtom(35, "f", ENCODING_ASCII, 0xFE) + Hex({0x46, 0x40}) +
           TextAtom(35, "g", ENCODING_ASCII, 0xFE) + NumberToken(int8_t{1}, 161) + TextAtom(34, "s", ENCODING_ASCII, 0xFE)},
  };
  for (const Case& c : cases) {
    const Bytes bytes = c.packet + "]" + NumberToken(int8_t{42}, 161) + "]";
    const std::vector<Token> direct = ReadDirectly(bytes, 2);
    for (long piece : kPieces) {
      SCOPED_TRACE(testing::Message() << c.what << ", device reads of " << piece);
      Source source(bytes, piece);
      LoopbackSide destination;
      ASSERT_TRUE(destination.ok());
      ASSERT_EQ(CopyPackets(source, destination, 2), 0);
      std::vector<Token> copied;
      EXPECT_EQ(qvloop::ReadPackets(destination.reading(), 2, &copied), 0);
      EXPECT_EQ(copied, direct) << qvloop::Describe(direct) << "\n" << qvloop::Describe(copied);
      EXPECT_EQ(source.reader.memory().held, 0);
    }
  }
}

TEST(CodecTransfer, AFunctionOfThreeArgumentsIsFiveTokensForOneExpression) {
  const Bytes bytes = Written([](QueueWriter& w) {
    long e = w.Function("f", 3);
    if (e == 0) e = w.Number(int32_t{1}, 228);
    if (e == 0) e = w.Text(34, "a", ENCODING_ASCII);
    if (e == 0) e = w.Symbol("b");
    if (e == 0) e = w.End();
    if (e == 0) e = w.Number(int8_t{9}, 161);
    return e;
  });
  Source source(bytes, 4096);
  QueueWriter destination(Features(QVFEATURE_ALL));
  ASSERT_EQ(source.Transfer(destination.state(), nullptr, destination.queue()), 0);
  const Bytes copied = destination.Take();
  // The copy is the first packet's expression as it was written, and no more.
  EXPECT_EQ(copied, bytes.substr(0, bytes.find(']')));
  Source check(copied + "]", 4096);
  std::vector<Token> tokens;
  ASSERT_EQ(qvloop::ReadExpression(check.reading(), &tokens), 0);
  EXPECT_EQ(tokens.size(), 5u);
  long e = -1;
  EXPECT_EQ(source.reader.Number<int8_t>(161, &e), 9);
  EXPECT_EQ(e, 0);
}

TEST(CodecTransfer, SeveralExpressionsInOneCall) {
  Bytes bytes;
  for (int8_t v : {1, 2, 3}) bytes += NumberToken(v, 161) + "]";
  Source source(bytes, 2);
  QueueWriter destination(Features(QVFEATURE_ALL));
  ASSERT_EQ(source.Transfer(destination.state(), nullptr, destination.queue(), 2), 0);
  EXPECT_EQ(destination.Take(), NumberToken(int8_t{1}, 161) + NumberToken(int8_t{2}, 161));
  EXPECT_EQ(source.reader.Number<int8_t>(161), 3);
  EXPECT_EQ(source.Transfer(destination.state(), nullptr, destination.queue(), 0), 0);
}

TEST(CodecTransfer, DictionaryCodesAsTheWriterTakesThem) {
  const Bytes coded = Hex({0x51, 0x41, 0xE2, 0x07, 0x00, 0x0A});
  {
    // Without string optimisation: a plain string, its name from the reader's dictionary.
    Source source(coded, 4096);
    QueueWriter destination(Features(QVFEATURE_ALL));
    ASSERT_EQ(source.Transfer(destination.state(), nullptr, destination.queue()), 0);
    EXPECT_EQ(destination.Take(), TextAtom(34, "hello", ENCODING_ASCII, qvcodec::kAllEncodings));
  }
  {
    // With it: the token as it stands.
    Source source(coded, 4096);
    feature_set features = Features(QVFEATURE_ALL);
    write_state writer{};
    _queue* queue = qvqueue_new_with_allocators(qvcodec::Allocate, qvcodec::Deallocate, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(ws__construct(&writer, &features, qvcodec::Descriptor("greatdane"), qvcodec::Descriptor("greatdane"), 1,
                            qvloop::Symbols(), qvloop::Strings()),
              1);
    ASSERT_EQ(source.Transfer(&writer, nullptr, queue), 0);
    Bytes out(64, '\0');
    out.resize(static_cast<size_t>(qvqueue_getn(queue, out.data(), 64)));
    EXPECT_EQ(out, coded);
    ws__deconstruct(&writer);
    qvqueue_destroy(queue);
  }
  struct Unknown {
    Bytes bytes;
    long error;
  };
  for (const Unknown& u : {Unknown{Hex({0x51, 0x41, 0xE2, 0x63, 0x00, 0x0A}), 54},
                           Unknown{Hex({0x4F, 0x41, 0xE2, 0x63, 0x00, 0x0A}), 53}}) {
    Source source(u.bytes, 4096);
    QueueWriter destination(Features(QVFEATURE_ALL));
    EXPECT_EQ(source.Transfer(destination.state(), nullptr, destination.queue()), u.error);
    EXPECT_EQ(rs__last_error(source.reader.state()), u.error);
    EXPECT_EQ(destination.Take(), "");
  }
}

TEST(CodecTransfer, NumbersAndTextsAreConvertedForTheWritersPeer) {
  struct Case {
    const char* what;
    Bytes source;
    const char* peer;
    std::initializer_list<unsigned> as_they_stand;
    uint64_t encodings;
    long error;
    Bytes written;
  };
  const std::initializer_list<unsigned> mastiff_set = {162, 164, 180, 182};
  const Case cases[] = {
      {"32-bit integer in the peer's order", NumberToken(int32_t{5}, 228), "mastiff", mastiff_set, 0xFE, 0,
       Hex({0xA4, 0, 0, 0, 5, 0x0A})},
      {"double in the peer's order", NumberToken(1.5, 246), "mastiff", mastiff_set, 0xFE, 0,
       Hex({0xB6, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0, 0x0A})},
      {"packed element one by one", Hex({0x50, 0x42, 0xA1, 7, 8, 0x0A}), "mastiff", mastiff_set, 0xFE, 0,
       Hex({0xA1, 7, 0x0A})},
      {"UTF-8 text to a peer of bytes", TextAtom(34, "caf\xC3\xA9", ENCODING_UTF8, ENCODING_UTF8, QVFEATURE_ALL, 4), "greatdane",
       qvcodec::kOwnTypes, ENCODING_BYTES, 0, TextAtom(34, "caf\xE9", ENCODING_BYTES, ENCODING_BYTES)},
      {"a character beyond bytes to a peer of bytes", TextAtom(34, "a\\:0100", ENCODING_ASCII, 0xFE), "greatdane",
       qvcodec::kOwnTypes, ENCODING_BYTES, 0, TextAtom(34, "a?", ENCODING_BYTES, ENCODING_BYTES)},
      {"older string to a peer of older strings", Bytes("S3 abc\n"), "greatdane", qvcodec::kOwnTypes,
       ENCODING_OLDSTRING, 0, Bytes("SCabc\n")},
      {"string to a peer of older strings", TextAtom(34, "abc", ENCODING_BYTES, 0xFE), "greatdane", qvcodec::kOwnTypes,
       ENCODING_OLDSTRING, 0, Bytes("S3 abc\n")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Source source(c.source, 4096);
    QueueWriter destination(Features(QVFEATURE_ALL, c.as_they_stand, c.encodings), c.peer);
    EXPECT_EQ(source.Transfer(destination.state(), nullptr, destination.queue()), c.error);
    if (c.error == 0) {
      EXPECT_EQ(destination.Take(), c.written);
    }
  }
}

TEST(CodecTransfer, BytesThatAreNoTokenAreRefused) {
  struct Case {
    Bytes bytes;
    long error;
  };
  const Case cases[] = {
      {Hex({0x00}), 999},
      {Hex({0x21, 0x41, 0x0A}), 999},
      {Hex({0x7B, 0x41, 0x0A}), 999},
      {Hex({0x51, 0x42, 0xE2, 7, 0, 0x0A}), 2},  // a dictionary code token with two arguments
      {Hex({0x46, 0x42}) + TextAtom(35, "f", ENCODING_ASCII, 0xFE) + "]", 24},
  };
  for (const Case& c : cases) {
    Source source(c.bytes, 4096);
    QueueWriter destination(Features(QVFEATURE_ALL));
    EXPECT_EQ(source.Transfer(destination.state(), nullptr, destination.queue()), c.error) << qvloop::Describe({{0, c.bytes}});
  }
  // The writer's refusal is the answer when it has one.
  Source source(NumberToken(int8_t{1}, 161), 4096);
  QueueWriter destination(Features(QVFEATURE_ALL));
  ASSERT_EQ(destination.Type(34), 0);
  EXPECT_EQ(source.Transfer(destination.state(), nullptr, destination.queue()), 5);
  EXPECT_EQ(ws__last_error(destination.state()), 5);
}

TEST(CodecTransfer, ArraysTakeTheWritersForm) {
  const Bytes nested = Hex({0x46, 0x42}) + kList + Hex({0x46, 0x43}) + kList + Int32Token(1) + Int32Token(2) +
                       Int32Token(3) + Hex({0x46, 0x43}) + kList + Int32Token(4) + Int32Token(5) + Int32Token(6);
  struct Case {
    const char* what;
    Bytes source;
    uint64_t features;
    Bytes written;
  };
  const Case cases[] = {
      {"array token to a writer without arrays: nested", ArrayToken2x3(), QVFEATURE_SHORT_LENGTHS | QVFEATURE_PACKED_RUNS,
       nested},
      {"array token to a writer of arrays and runs: as it came", ArrayToken2x3(), QVFEATURE_ALL, ArrayToken2x3()},
      {"array token to a writer of arrays without runs: leaf by leaf", ArrayToken2x3(),
       QVFEATURE_SHORT_LENGTHS | QVFEATURE_ARRAYS,
       ArrayToken2x3().substr(0, 30) + Int32Token(1) + Int32Token(2) + Int32Token(3) + Int32Token(4) + Int32Token(5) +
           Int32Token(6)},
      // Nested functions are functions: they stay nested whatever the writer takes.
      {"nested form to a writer of arrays", nested, QVFEATURE_ALL, nested},
  };
  for (const Case& c : cases) {
    for (long piece : kPieces) {
      SCOPED_TRACE(testing::Message() << c.what << ", device reads of " << piece);
      Source source(c.source + "]" + Int32Token(99), piece);
      QueueWriter destination(Features(c.features));
      ASSERT_EQ(source.Transfer(destination.state(), nullptr, destination.queue()), 0);
      EXPECT_EQ(destination.Take(), c.written);
      EXPECT_EQ(source.reader.Number<int32_t>(228), 99);
    }
  }
}

// ---- Raw copies up to a mark ----

struct RawCopy {
  LoopbackSide source;
  LoopbackSide destination;
  _mark end{};
  bool marked = false;

  // Marks the end of what the source holds now.
  void MarkEnd() {
    ASSERT_EQ(source.Flush(), 0);
    qvqk__top(source.queues());
    _queue* base = source.queues()->base;
    _mark here{};
    ASSERT_NE(qvqueue_construct_and_savemark(base, &here), nullptr);
    qvqueue_seektoend(base);
    ASSERT_NE(qvqueue_construct_and_savemark(base, &end), nullptr);
    marked = true;
    qvqueue_seek(&here);
    qvqueue_discardmark(&here);
  }
  long Copy() {
    return QVTransfer_(destination.writer(), destination.stack(), destination.base(), source.reader(), source.stack(),
                       source.queues(), &end, nullptr);
  }
  ~RawCopy() {
    if (marked) qvqueue_discardmark(&end);
  }
};

TEST(CodecTransfer, RawCopyMovesEverythingPendingAndTheSourceStartsAfresh) {
  RawCopy c;
  ASSERT_TRUE(c.source.ok() && c.destination.ok());
  for (int8_t v : {1, 2}) {
    ASSERT_EQ(c.source.Number(v, 161), 0);
    ASSERT_EQ(c.source.End(), 0);
  }
  // Bytes a converter pushed in front of the input come first.
  ASSERT_TRUE(c.source.PushLevel(NumberToken(int8_t{0}, 161) + "]"));
  c.MarkEnd();
  ASSERT_EQ(c.Copy(), 0);
  EXPECT_EQ(dk__depth(&c.source.queues()->stack), 0);
  EXPECT_EQ(QVReady_(c.source.reader(), c.source.stack(), c.source.queues()), 16);
  EXPECT_EQ(c.destination.writer()->converter.step, QVWRITE_BETWEEN_TOKENS);
  for (int8_t v : {0, 1, 2}) EXPECT_EQ(c.destination.Read<int8_t>(161), v);
}

TEST(CodecTransfer, RawCopyNeedsAgreeingStates) {
  struct Case {
    const char* what;
    void (*prepare)(RawCopy&);
    long error;
  };
  const Case cases[] = {
      {"writer inside a token, reader between tokens",
       [](RawCopy& c) { QVPutType_(c.destination.writer(), c.destination.stack(), c.destination.base(), 34); }, 5},
      {"both inside tokens of different types",
       [](RawCopy& c) {
         QVPutType_(c.destination.writer(), c.destination.stack(), c.destination.base(), 35);
         c.source.Next();
       },
       5},
      {"reader inside a token with bytes left, writer between tokens",
       [](RawCopy& c) {
         c.source.Next();
         int64_t n = 0;
         QVRawBytesToGet_(c.source.reader(), c.source.stack(), c.source.queues(), &n);
       },
       5},
      {"reader at a token's end, writer between tokens: the token is finished",
       [](RawCopy& c) {
         c.source.Next();
         char text[8];
         int64_t n = 0;
         uint8_t b = '?';
         QVGetCharacters_(c.source.reader(), c.source.stack(), c.source.queues(), &n, text, text + 8, &b,
                          ENCODING_BYTES);
       },
       0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    RawCopy c;
    ASSERT_TRUE(c.source.ok() && c.destination.ok());
    ASSERT_EQ(c.source.Text(TOK_STRING, "abc"), 0);
    ASSERT_EQ(c.source.Number(int8_t{6}, 161), 0);
    ASSERT_EQ(c.source.End(), 0);
    c.MarkEnd();
    k.prepare(c);
    EXPECT_EQ(c.Copy(), k.error);
    if (k.error != 0) {
      EXPECT_EQ(ws__last_error(c.destination.writer()), k.error);
      continue;
    }
    // The rest of the packet went over; the writer stands where the reader stood.
    ASSERT_EQ(c.destination.Flush(), 0);
    EXPECT_EQ(c.destination.Read<int8_t>(161), 6);
  }
}

}  // namespace
namespace {

class LinkTransferTest : public qvtest::TypedLinkTest {};

// A loopback link transferring into itself reads the queue it writes into. An
// expression not all there fails the way a transfer into another link does,
// and leaves the link's input as it was; a whole one is copied behind itself.
TEST_F(LinkTransferTest, ALoopbackLinkIntoItselfCopiesOnlyAWholeExpression) {
  struct Case {
    const char* name;
    std::function<void(QVLink*)> put;
  };
  const std::vector<Case> incomplete = {
      {"a function short of an argument", [](QVLink* l) { RVPutFunction(l, "f", 2); RVPutInteger32(l, 1); }},
      {"a list of texts short of its last", [](QVLink* l) { RVPutFunction(l, "List", 3); RVPutString(l, "abc"); RVPutSymbol(l, "x"); }},
      {"a nested function short of its last argument",
       [](QVLink* l) { RVPutFunction(l, "f", 2); RVPutFunction(l, "g", 1); RVPutInteger32(l, 1); }},
  };
  for (const Case& c : incomplete) {
    SCOPED_TRACE(c.name);
    QVLink* into_other = Loopback();
    QVLink* other = Loopback();
    ASSERT_NE(into_other, nullptr);
    ASSERT_NE(other, nullptr);
    c.put(into_other);
    ASSERT_EQ(RVFlush(into_other), 1);
    EXPECT_EQ(RVTransferExpression(other, into_other), 0);
    const uint32_t expected = RVError(into_other);
    EXPECT_NE(expected, 0u);

    QVLink* link = Loopback();
    ASSERT_NE(link, nullptr);
    c.put(link);
    ASSERT_EQ(RVFlush(link), 1);
    // Before the mend this call never returned.
    EXPECT_EQ(RVTransferExpression(link, link), 0);
    EXPECT_EQ(RVError(link), expected);
    // The input is where it was: the expression's first token comes next.
    ASSERT_EQ(RVClearError(link), 1);
    EXPECT_EQ(RVGetNext(link), TOK_FUNCTION) << RVError(link);
    Destroy(link);
    Destroy(other);
    Destroy(into_other);
  }
}

// A whole expression is read off the link and written back onto it: it reads
// again, once, and the link is empty after it.
TEST_F(LinkTransferTest, ALoopbackLinkMovesAWholeExpressionBehindItself) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(RVPutFunction(link, "f", 1), 1);
  ASSERT_EQ(RVPutInteger32(link, 7), 1);
  ASSERT_EQ(RVPutSymbol(link, "after"), 1);
  ASSERT_EQ(RVFlush(link), 1);
  ASSERT_EQ(RVTransferExpression(link, link), 1) << RVError(link);
  ASSERT_EQ(RVFlush(link), 1);
  EXPECT_EQ(RVGetNext(link), TOK_SYMBOL);  // what followed the expression now comes first
  int count = 0;
  int value = 0;
  EXPECT_EQ(RVGetNext(link), TOK_FUNCTION) << RVError(link);
  EXPECT_EQ(RVGetArgCount(link, &count), 1);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(RVGetNext(link), TOK_SYMBOL);
  EXPECT_EQ(RVGetNext(link), TOK_INTEGER);
  EXPECT_EQ(RVGetInteger32(link, &value), 1) << RVError(link);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(RVReady(link), 0);
  Destroy(link);
}

}  // namespace

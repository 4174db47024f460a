// String, character, symbol and function puts: the bytes they write, read
// back by the independent decoder, the refusals (47, 48) and the put
// discipline they share.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "api/qvhandshakeinternal.h"
#include "api/qvsymbolputs.h"
#include "api/qvsymbolreplacement.h"
#include "utilities/qvlinklog/qvlinklog.h"
#include "quorvane.h"
#include "tests/api/qvtokendecoder.h"
#include "tests/api/qvtypedtest.h"
#include "tests/support/qvtest.h"
#include "text/qvstringdictionary.h"
#include "utilities/qvexception.h"

namespace {

using qvtest::ScriptedDevice;
using qvtokendecoder::Kind;

class PutsTest : public qvtest::TypedLinkTest {
 protected:
  // Waits for the device to hold a whole packet since its last TakeCaptured.
  static bool WholePacket(ScriptedDevice& device) {
    return qvtest::WaitUntil([&] {
      const std::string bytes = device.Captured();
      return !bytes.empty() && bytes.back() == ']';
    });
  }

  struct TextCase {
    const char* name;
    std::function<int(QVLink*)> put;
    std::u32string text;
  };

  // Each case's put on a fresh device link sends one token of the kind with the text.
  void ExpectEachSends(const std::vector<TextCase>& cases, Kind kind) {
    for (const TextCase& c : cases) {
      SCOPED_TRACE(c.name);
      ScriptedDevice device;
      QVLink* link = Scripted(device);
      ASSERT_NE(link, nullptr);
      ASSERT_EQ(c.put(link), 1) << RVError(link);
      EXPECT_EQ(RVError(link), 0);
      const qvtokendecoder::Expr e = Sent(link, device);
      EXPECT_EQ(e.kind, kind);
      EXPECT_EQ(e.text, c.text) << qvtokendecoder::Describe(e);
      Destroy(link);
    }
  }

  // Ends the packet, flushes, and answers what the device received.
  std::string SentBytes(QVLink* link, ScriptedDevice& device) {
    EXPECT_EQ(RVEndPacket(link), 1);
    EXPECT_EQ(RVFlush(link), 1);
    EXPECT_TRUE(WholePacket(device));
    return device.Captured();
  }

  // The same, decoded.
  qvtokendecoder::Expr Sent(QVLink* link, ScriptedDevice& device) {
    const std::string bytes = SentBytes(link, device);
    qvtokendecoder::Decoder decoder(bytes, {true});
    auto decoded = decoder.NextPacket();
    EXPECT_TRUE(decoded.has_value()) << decoder.error() << " in " << Hex(bytes);
    return decoded.value_or(qvtokendecoder::Expr{});
  }
};

TEST_F(PutsTest, FunctionPutWritesTheDocumentedBytes) {
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVPutFunction(link, "f", 1), 1);
  EXPECT_EQ(RVPutInteger32(link, 5), 1);
  EXPECT_EQ(RVEndPacket(link), 1);
  EXPECT_EQ(RVFlush(link), 1);
  ASSERT_TRUE(device.WaitCaptured(16));
  EXPECT_EQ(Hex(device.Captured()), "46 41 23 44 41 7E 41 66 0A E4 05 00 00 00 0A 5D");
  Destroy(link);
}

TEST_F(PutsTest, FunctionHeadsInEveryEncodingAndTheNullHead) {
  const unsigned short ucs2[] = {'g', 0xE9};
  const unsigned char utf8[] = {'g', 0xC3, 0xA9};
  const unsigned short utf16_marked[] = {0xFEFF, 'g', 0xD83D, 0xDE00};  // mark in this machine's order
  const unsigned int utf32_marked[] = {0xFEFF, 'g', 0x1F600};
  struct Case {
    const char* name;
    std::function<int(QVLink*)> put;
    std::u32string head;
  };
  const std::vector<Case> cases = {
      {"7-bit", [](QVLink* l) { return RVPutFunction(l, "Plus", 2); }, U"Plus"},
      {"null 7-bit head", [](QVLink* l) { return RVPutFunction(l, nullptr, 2); }, U"List"},
      {"UCS-2", [&](QVLink* l) { return RVPutUCS2Function(l, ucs2, 2, 2); }, U"g\u00E9"},
      {"null UCS-2 head", [](QVLink* l) { return RVPutUCS2Function(l, nullptr, 0, 2); }, U"List"},
      {"UTF-8", [&](QVLink* l) { return RVPutUTF8Function(l, utf8, 3, 2); }, U"g\u00E9"},
      {"null UTF-8 head", [](QVLink* l) { return RVPutUTF8Function(l, nullptr, 0, 2); }, U"List"},
      {"UTF-16 after its mark", [&](QVLink* l) { return RVPutUTF16Function(l, utf16_marked, 4, 2); },
       U"g\U0001F600"},
      {"null UTF-16 head", [](QVLink* l) { return RVPutUTF16Function(l, nullptr, 0, 2); }, U"List"},
      {"UTF-32 after its mark", [&](QVLink* l) { return RVPutUTF32Function(l, utf32_marked, 3, 2); },
       U"g\U0001F600"},
      {"null UTF-32 head", [](QVLink* l) { return RVPutUTF32Function(l, nullptr, 0, 2); }, U"List"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(c.put(link), 1) << RVError(link);
    ASSERT_EQ(RVPutInteger32(link, 1), 1);
    ASSERT_EQ(RVPutInteger32(link, 2), 1);
    const qvtokendecoder::Expr e = Sent(link, device);
    ASSERT_EQ(e.kind, Kind::Function);
    ASSERT_EQ(e.parts.size(), 3u);
    EXPECT_EQ(e.parts[0].kind, Kind::Symbol);
    EXPECT_EQ(e.parts[0].text, c.head) << qvtokendecoder::Describe(e);
    Destroy(link);
  }
}

TEST_F(PutsTest, SymbolsInEveryEncoding) {
  const unsigned char bytes[] = {'x', 0xE9};
  const unsigned short ucs2[] = {'x', 0x3B1};
  const unsigned char utf8[] = {'x', 0xF0, 0x9F, 0x98, 0x80};
  const unsigned short utf16[] = {0xFEFF, 'x', 0xD83D, 0xDE00};
  const unsigned int utf32_big[] = {0x78000000, 0x00F60100};  // no mark: big-endian units
  const std::vector<TextCase> cases = {
      {"7-bit", [](QVLink* l) { return RVPutSymbol(l, "Global`x"); }, U"Global`x"},
      {"bytes", [&](QVLink* l) { return RVPutByteSymbol(l, bytes, 2); }, U"x\u00E9"},
      {"UCS-2", [&](QVLink* l) { return RVPutUCS2Symbol(l, ucs2, 2); }, U"x\u03B1"},
      {"UTF-8", [&](QVLink* l) { return RVPutUTF8Symbol(l, utf8, 5); }, U"x\U0001F600"},
      {"UTF-16 with its mark", [&](QVLink* l) { return RVPutUTF16Symbol(l, utf16, 4); }, U"x\U0001F600"},
      {"UTF-32 without a mark", [&](QVLink* l) { return RVPutUTF32Symbol(l, utf32_big, 2); }, U"x\U0001F600"},
  };
  ExpectEachSends(cases, Kind::Symbol);
}

TEST_F(PutsTest, ReplacementAppliesToSymbolsAndHeads) {
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  ASSERT_GE(QVSymbolVariantAddReplacement(link->symbolReplacements, "Old", 3, "Newer", 5), 0);
  ASSERT_EQ(RVPutFunction(link, "Old`f", 1), 1);
  ASSERT_EQ(RVPutSymbol(link, "Old`x"), 1);
  const qvtokendecoder::Expr e = Sent(link, device);
  ASSERT_EQ(e.parts.size(), 2u) << qvtokendecoder::Describe(e);
  EXPECT_EQ(e.parts[0].text, U"Newer`f");
  EXPECT_EQ(e.parts[1].text, U"Newer`x");
  Destroy(link);
}

// A link whose symbol dictionary knows every name put below, with the
// dictionary in use: the names still go out as plain symbols, byte for
// byte as from a link without one, and read back through a link that has
// the dictionary too.
TEST_F(PutsTest, TheDictionaryFormIsNeverWrittenByAPut) {
  static const Quorvane::QVRawStringDictionary kSymbols[] = {{"Plus", 5}, {"List", 6}, {nullptr, 0}};
  const unsigned char utf8[] = {'P', 'l', 'u', 's'};
  const unsigned short ucs2[] = {'P', 'l', 'u', 's'};
  const auto puts = [&](QVLink* l) {
    ASSERT_EQ(RVPutFunction(l, "Plus", 3), 1) << RVError(l);
    ASSERT_EQ(RVPutSymbol(l, "Plus"), 1);
    ASSERT_EQ(RVPutUTF8Symbol(l, utf8, 4), 1);
    ASSERT_EQ(RVPutUCS2Function(l, nullptr, 0, 0), 1);  // List[]
  };
  std::string plain;
  {
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    puts(link);
    plain = SentBytes(link, device);
    Destroy(link);
  }
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  link->symbolDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kSymbols);
  link->symbolDictionaryInUse = 1;
  puts(link);
  const std::string sent = SentBytes(link, device);
  EXPECT_EQ(Hex(sent), Hex(plain));
  EXPECT_EQ(sent.find('\x4F'), std::string::npos);  // no dictionary symbol token anywhere

  ScriptedDevice reader_device;
  QVLink* reader = Scripted(reader_device);
  ASSERT_NE(reader, nullptr);
  reader->symbolDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kSymbols);
  reader_device.WriteBytes(sent);
  long count = -1;
  EXPECT_EQ(RVCheckFunction(reader, "Plus", &count), 1) << RVError(reader);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(RVTestSymbol(reader, "Plus"), 1);
  EXPECT_EQ(RVTestUCS2Symbol(reader, ucs2, 4), 1);
  EXPECT_EQ(RVCheckFunction(reader, "List", &count), 1);
  EXPECT_EQ(count, 0);
  Destroy(reader);

  // Where no symbol may start, the put answers 5 and throws nothing.
  ASSERT_EQ(RVPutType(link, 34), 1);
  ASSERT_EQ(RVPutRawSize(link, 3), 1);
  EXPECT_EQ(RVPutSymbol(link, "Plus"), 0);
  EXPECT_EQ(RVError(link), 5);
  EXPECT_EQ(RVPutFunction(link, "Plus", 1), 0);
  Destroy(link);
}

// The dictionary form's writer, below the puts: the token, its one argument
// and the 16-bit code where a symbol may start; where it may not, the
// back-out exception the puts catch, or the link's own error when it has
// one.
TEST_F(PutsTest, TheDictionaryWriterWritesTheCodeOrBacksOut) {
  static const Quorvane::QVRawStringDictionary kSymbols[] = {{"Plus", 5}, {nullptr, 0}};
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  link->symbolDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kSymbols);
  const Quorvane::QVUTF8StringHandle name(new Quorvane::QVUTF8String("Plus", 4));
  EXPECT_EQ(QVPutSymbolOptimized_(link, name), 0);
  EXPECT_EQ(Hex(SentBytes(link, device)), "4F 41 E2 05 00 0A 5D");
  device.TakeCaptured();

  ASSERT_EQ(RVPutType(link, 34), 1);
  ASSERT_EQ(RVPutRawSize(link, 3), 1);  // a string owed three bytes
  EXPECT_THROW(QVPutSymbolOptimized_(link, name), Quorvane::QVException);
  link->error = 6;
  EXPECT_EQ(QVPutSymbolOptimized_(link, name), 6);
  Destroy(link);
}

// A put made inside a string token just begun (nothing flushed).
std::function<int(QVLink*)> InString(std::function<int(QVLink*)> put) {
  return [put](QVLink* l) { return RVPutType(l, 34) == 1 ? put(l) : -1; };
}

TEST_F(PutsTest, UncountableNamesAndBadArgumentsAreRefusedBeforeWriting) {
  const unsigned char broken_utf8[] = {'a', 0xC3};
  const unsigned short lone_leading[] = {0xFEFF, 'a', 0xD83D};
  const unsigned short lone_trailing[] = {0xFEFF, 0xDE00, 'a'};
  struct Case {
    const char* name;
    std::function<int(QVLink*)> put;
    long code;
  };
  const std::vector<Case> cases = {
      {"UTF-8 symbol", [&](QVLink* l) { return RVPutUTF8Symbol(l, broken_utf8, 2); }, 47},
      {"UTF-8 head", [&](QVLink* l) { return RVPutUTF8Function(l, broken_utf8, 2, 1); }, 48},
      {"UTF-16 symbol ending on a leading surrogate", [&](QVLink* l) { return RVPutUTF16Symbol(l, lone_leading, 3); },
       47},
      {"UTF-16 head with a lone trailing surrogate",
       [&](QVLink* l) { return RVPutUTF16Function(l, lone_trailing, 3, 1); }, 48},
      {"UTF-16 head ending on a leading surrogate",
       [&](QVLink* l) { return RVPutUTF16Function(l, lone_leading, 3, 1); }, 48},
      {"null symbol", [](QVLink* l) { return RVPutSymbol(l, nullptr); }, 47},
      {"null byte symbol with a length", [](QVLink* l) { return RVPutByteSymbol(l, nullptr, 3); }, 47},
      {"null string", [](QVLink* l) { return RVPutString(l, nullptr); }, 47},
      {"null UCS-2 string with a length", [](QVLink* l) { return RVPutUCS2String(l, nullptr, 2); }, 47},
      {"negative byte-string length",
       [](QVLink* l) { return RVPutByteString(l, reinterpret_cast<const unsigned char*>("ab"), -1); }, 47},
      {"negative UTF-32 string length",
       [](QVLink* l) { const unsigned int t[] = {'a'}; return RVPutUTF32String(l, t, -2); }, 47},
      {"UTF-16 string of length 0",
       [](QVLink* l) { const unsigned short t[] = {'a'}; return RVPutUTF16String(l, t, 0); }, 47},
      {"UTF-32 string of length 0",
       [](QVLink* l) { const unsigned int t[] = {'a'}; return RVPutUTF32String(l, t, 0); }, 47},
      {"UTF-8 string", [&](QVLink* l) { return RVPutUTF8String(l, broken_utf8, 2); }, 47},
      // Character puts inside an open string, where the writer would read the text.
      {"null UCS-2 piece with a length", InString([](QVLink* l) { return RVPutUCS2Characters(l, 0, nullptr, 2); }),
       47},
      {"null UTF-8 piece with a length", InString([](QVLink* l) { return RVPutUTF8Characters(l, 0, nullptr, 3); }),
       47},
      {"negative UTF-16 piece length",
       InString([](QVLink* l) { const unsigned short t[] = {'a'}; return RVPutUTF16Characters(l, 0, t, -1); }), 47},
      {"null UTF-32 piece with a length", InString([](QVLink* l) { return RVPutUTF32Characters(l, 0, nullptr, 1); }),
       47},
      {"negative 8-bit piece length",
       InString([](QVLink* l) { return RVPut8BitCharacters(l, 0, reinterpret_cast<const unsigned char*>("ab"), -1); }),
       47},
      {"null 7-bit piece with a length", InString([](QVLink* l) { return RVPut7BitCharacters(l, 0, nullptr, 2, 2); }),
       47},
      {"negative 7-bit byte size", InString([](QVLink* l) { return RVPut7BitCount(l, 2, -1); }), 47},
      {"negative declared size", InString([](QVLink* l) { return RVPutSize(l, -1); }), 47},
      {"null data with a length", InString([](QVLink* l) {
         if (RVPutSize(l, 2) != 1) return -1;
         return RVPutData(l, nullptr, 2);
       }),
       47},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(c.put(link), 0);
    EXPECT_EQ(RVError(link), c.code);
    // Nothing went out, not even the function token of a refused head.
    EXPECT_EQ(RVFlush(link), 0);
    EXPECT_EQ(device.CapturedCount(), 0u);
    Destroy(link);
  }
  EXPECT_EQ(RVPutSymbol(nullptr, "x"), 0);
  EXPECT_EQ(RVPutString(nullptr, nullptr), 0);
}

TEST_F(PutsTest, StringsInEveryEncodingReadByTheIndependentDecoder) {
  const unsigned char bytes[] = {'a', 0xFF, '"'};
  const unsigned short ucs2[] = {'a', 0x3B1, '\\'};
  const unsigned char utf8[] = {'a', 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80};
  const unsigned short utf16_native[] = {0xFEFF, 'a', 0xD83D, 0xDE00};
  const unsigned short utf16_big[] = {0x6100, 0x3DD8, 0x00DE};  // no mark: big-endian units
  const unsigned int utf32[] = {0xFEFF, 'a', 0x1F600};
  const std::vector<TextCase> cases = {
      {"7-bit: the backslash escapes", [](QVLink* l) { return RVPutString(l, "a\\\"b"); }, U"a\"b"},
      {"7-bit empty", [](QVLink* l) { return RVPutString(l, ""); }, U""},
      {"bytes", [&](QVLink* l) { return RVPutByteString(l, bytes, 3); }, U"a\u00FF\""},
      {"bytes empty", [&](QVLink* l) { return RVPutByteString(l, bytes, 0); }, U""},
      {"UCS-2", [&](QVLink* l) { return RVPutUCS2String(l, ucs2, 3); }, U"a\u03B1\\"},
      {"UCS-2 empty", [](QVLink* l) { return RVPutUCS2String(l, nullptr, 0); }, U""},
      {"UTF-8", [&](QVLink* l) { return RVPutUTF8String(l, utf8, 8); }, U"a\u20AC\U0001F600"},
      {"UTF-8 empty", [](QVLink* l) { return RVPutUTF8String(l, nullptr, 0); }, U""},
      {"UTF-16 marked", [&](QVLink* l) { return RVPutUTF16String(l, utf16_native, 4); }, U"a\U0001F600"},
      {"UTF-16 unmarked is big-endian", [&](QVLink* l) { return RVPutUTF16String(l, utf16_big, 3); },
       U"a\U0001F600"},
      {"UTF-32", [&](QVLink* l) { return RVPutUTF32String(l, utf32, 3); }, U"a\U0001F600"},
  };
  ExpectEachSends(cases, Kind::String);
}

// The peer's handshake decides the text forms a put may use. Escaped ASCII
// writes characters outside 7-bit ASCII as six-digit escapes, which only a
// level-6 peer declares it reads: a peer below that which takes escaped ASCII
// alone gets no 7-bit string at all, rather than escapes it cannot read.
TEST_F(PutsTest, SevenBitStringsFollowThePeersLevelAndForms) {
  // What this side writes of the handshake at the level both sides reach.
  const auto OwnHandshake = [&](int level) {
    const qv_environment& own = *environment_;
    std::string bytes = "Quor vane ";
    bytes += static_cast<char>('0' + std::min<uint64_t>(own.ownFeatures.level, 6));
    for (int l = 2; l <= level; ++l) {
      char line[qvhandshake::kLineBuffer];
      const long length = qvhandshake::BuildLevelLine(own, static_cast<uint64_t>(l), line);
      EXPECT_GT(length, 0);
      bytes.append(line, static_cast<size_t>(std::max(length, 0L)));
    }
    return bytes;
  };
  const std::string text_id = std::string("'") + environment_->textVersion + "'";
  const auto peer = [&](int level, const char* formats) {
    std::string lines = std::string("Quor vane ") + static_cast<char>('0' + level) +
                        "\n-libraryid '!&*' -decoders 0\n-numericsid greatdane"
                        " -tokens 33,98,100,102,116,118,120 -textid " +
                        text_id + " -formats " + formats + "\n";
    if (level >= 4) lines += "-envid p\n";
    if (level >= 5) lines += "-symbols 0 -strings 0\n";
    if (level >= 6) lines += "Support6digitAsciiUnicode\n";
    return lines;
  };
  struct Case {
    int level;
    const char* formats;  // encoding numbers: 1 escaped ASCII, 4 UTF-8
    bool sent;
  };
  const Case cases[] = {
      {3, "1", false}, {4, "1", false}, {5, "1", false},
      {6, "1", true},   // declares the six-digit escapes
      {5, "1,4", true},  // takes UTF-8 instead
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.level) + " with formats " + c.formats);
    ScriptedDevice device;
    device.WriteBytes(peer(c.level, c.formats));
    QVLink* link = QVInternalMake(environment_->globals, device.TakeInstance(), nullptr);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(RVEstablish(link, nullptr), 1) << RVError(link);
    const std::string handshake = OwnHandshake(c.level);
    ASSERT_TRUE(device.WaitCaptured(handshake.size()));
    EXPECT_EQ(device.TakeCaptured(), handshake);
    if (!c.sent) {
      EXPECT_EQ(RVPutString(link, "a\\\"b"), 0);
      // The converter finds no form for the text: "Unknown KOVR problem".
      EXPECT_EQ(RVError(link), -1);
    } else {
      ASSERT_EQ(RVPutString(link, "a\\\"b"), 1) << RVError(link);
      const qvtokendecoder::Expr e = Sent(link, device);
      EXPECT_EQ(e.kind, Kind::String);
      EXPECT_EQ(e.text, U"a\"b") << qvtokendecoder::Describe(e);
    }
    Destroy(link);
  }
}

TEST_F(PutsTest, CharacterPiecesMakeOneString) {
  const unsigned short first[] = {'h', 'e', 'l'};
  const unsigned short second[] = {'l', 'o'};
  const unsigned char utf8_a[] = {'a', 0xC3, 0xA9};
  const unsigned char utf8_b[] = {0xE2, 0x82, 0xAC};
  const unsigned int utf32[] = {0xFEFF, 0x1F600, 'z'};
  struct Case {
    const char* name;
    std::function<bool(QVLink*)> pieces;
    std::u32string text;
  };
  const std::vector<Case> cases = {
      {"UCS-2 pieces of 3 and 2",
       [&](QVLink* l) { return RVPutUCS2Characters(l, 2, first, 3) == 1 && RVPutUCS2Characters(l, 0, second, 2) == 1; },
       U"hello"},
      {"UTF-8 pieces",
       [&](QVLink* l) { return RVPutUTF8Characters(l, 1, utf8_a, 3) == 1 && RVPutUTF8Characters(l, 0, utf8_b, 3) == 1; },
       U"a\u00E9\u20AC"},
      {"UTF-32 piece", [&](QVLink* l) { return RVPutUTF32Characters(l, 0, utf32, 3) == 1; }, U"\U0001F600z"},
      {"8-bit pieces",
       [](QVLink* l) {
         const unsigned char a[] = {0xE9, 'b'};
         return RVPut8BitCharacters(l, 1, a, 2) == 1 && RVPut8BitCharacters(l, 0, a + 1, 1) == 1;
       },
       U"\u00E9bb"},
      {"size, then data",
       [](QVLink* l) {
         const unsigned char d[] = {'a', 'b', 'c', 'd'};
         return RVPutSize(l, 4) == 1 && RVPutData(l, d, 2) == 1 && RVPutData(l, d + 2, 2) == 1;
       },
       U"abcd"},
      {"7-bit count, then characters",
       [](QVLink* l) { return RVPut7BitCount(l, 3, 3) == 1 && RVPut7BitCharacters(l, 0, "xyz", 3, 3) == 1; },
       U"xyz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(RVPutType(link, 34), 1);
    ASSERT_TRUE(c.pieces(link)) << RVError(link);
    EXPECT_EQ(RVError(link), 0);
    const qvtokendecoder::Expr e = Sent(link, device);
    EXPECT_EQ(e.kind, Kind::String);
    EXPECT_EQ(e.text, c.text) << qvtokendecoder::Describe(e);
    Destroy(link);
  }
}

TEST_F(PutsTest, CharacterPutsRefuseAnyPendingError) {
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  const unsigned short text[] = {'a'};
  // No token was started: the put fails with 5 and the link keeps it.
  EXPECT_EQ(RVPutUCS2Characters(link, 0, text, 1), 0);
  EXPECT_EQ(RVError(link), 5);
  EXPECT_EQ(RVPutType(link, 34), 0);  // even a correctable put stays refused
  EXPECT_EQ(RVPutUCS2Characters(link, 0, text, 1), 0);
  EXPECT_EQ(RVError(link), 5);
  EXPECT_EQ(RVClearError(link), 1);
  ASSERT_EQ(RVPutType(link, 34), 1);
  EXPECT_EQ(RVPutUCS2Characters(link, 0, text, 1), 1);
  EXPECT_EQ(Sent(link, device).text, U"a");
  Destroy(link);
  // A link that is not yet connected is not connected by a character put.
  ScriptedDevice idle;
  QVLink* waiting = QVInternalMake(environment_->globals, idle.TakeInstance(), nullptr);
  ASSERT_NE(waiting, nullptr);
  EXPECT_EQ(RVPutSize(waiting, 1), 0);
  EXPECT_EQ(RVError(waiting), 10);
  EXPECT_FALSE(idle.Connected());
  Destroy(waiting);
}

// UTF-16 text with a surrogate outside a pair holds no character there. Every
// UTF-16 put refuses it with 47 and writes nothing of its atom, and the link
// goes on after RVClearError. A pair split between two character pieces is one
// character; a piece that ends on a leading surrogate leaves the atom open for
// its trailing half, so a text that never sends that half ends no packet.
TEST_F(PutsTest, UTF16PutsSendWholePairsOnly) {
  // kRefusedAfter: the characters before the stray unit made the whole atom,
  // which was out before the unit came.
  enum class Outcome { kSent, kRefused, kRefusedAfter, kLeftOpen };
  struct Text {
    const char* name;
    std::vector<unsigned short> units;  // values, before the byte order is chosen
    std::u32string sent;                // what the peer reads of it, if anything
    Outcome outcomes[3];                // as a string, in one piece, one unit a piece
  };
  constexpr Outcome S = Outcome::kSent, R = Outcome::kRefused, A = Outcome::kRefusedAfter,
                    O = Outcome::kLeftOpen;
  const std::vector<Text> texts = {
      {"pair in the middle", {'a', 0xD83D, 0xDE00, 'b'}, U"a\U0001F600b", {S, S, S}},
      {"pair at both ends", {0xD834, 0xDD1E, 'x', 0xD83D, 0xDE00}, U"\U0001D11Ex\U0001F600", {S, S, S}},
      {"lone leading at the end", {'a', 'b', 0xD83D}, U"", {R, O, O}},
      {"lone trailing at the end", {'a', 'b', 0xDE00}, U"ab", {R, R, A}},
      {"lone trailing in the middle", {'a', 0xDE00, 'b'}, U"", {R, R, R}},
      {"lone leading in the middle", {'a', 0xD83D, 'b'}, U"", {R, R, R}},
      {"lone trailing first", {0xDE00, 'a'}, U"", {R, R, R}},
      {"leading before a pair", {'a', 0xD83D, 0xD83D, 0xDE00}, U"", {R, R, R}},
  };
  const auto is_trailing = [](unsigned short u) { return u >= 0xDC00 && u <= 0xDFFF; };
  // The characters after unit i as a caller counts them: every unit but a trailing surrogate.
  const auto left_after = [&](const std::vector<unsigned short>& values, int i) {
    return static_cast<int>(std::count_if(values.begin() + i + 1, values.end(),
                                          [&](unsigned short u) { return !is_trailing(u); }));
  };
  struct Form {
    const char* name;
    // values: the units before the byte order was chosen, a mark included.
    // Answers 1 when every call did; stops at the first that did not.
    std::function<int(QVLink*, const std::vector<unsigned short>& values, const unsigned short*, int)> put;
  };
  const std::vector<Form> forms = {
      {"string",
       [](QVLink* l, const std::vector<unsigned short>&, const unsigned short* t, int n) {
         return RVPutUTF16String(l, t, n);
       }},
      {"one piece",
       [](QVLink* l, const std::vector<unsigned short>&, const unsigned short* t, int n) {
         return RVPutType(l, 34) == 1 ? RVPutUTF16Characters(l, 0, t, n) : 0;
       }},
      {"a unit a piece",
       [&](QVLink* l, const std::vector<unsigned short>& values, const unsigned short* t, int n) {
         if (RVPutType(l, 34) != 1) return 0;
         for (int i = 0; i < n; ++i) {
           if (RVPutUTF16Characters(l, left_after(values, i), t + i, 1) != 1) return 0;
         }
         return 1;
       }},
  };
  for (const bool marked : {true, false}) {
    for (const Text& text : texts) {
      // Marked: this machine's order after a mark. Unmarked: the units swapped.
      std::vector<unsigned short> values = text.units;
      if (marked) values.insert(values.begin(), 0xFEFF);
      std::vector<unsigned short> units;
      for (unsigned short u : values) units.push_back(marked ? u : static_cast<unsigned short>((u >> 8) | (u << 8)));
      for (size_t f = 0; f < forms.size(); ++f) {
        const Form& form = forms[f];
        SCOPED_TRACE(std::string(text.name) + (marked ? ", marked, " : ", unmarked, ") + form.name);
        const Outcome expected = text.outcomes[f];
        ScriptedDevice device;
        QVLink* link = Scripted(device);
        ASSERT_NE(link, nullptr);
        const int put = form.put(link, values, units.data(), static_cast<int>(units.size()));
        switch (expected) {
          case Outcome::kSent: {
            EXPECT_EQ(put, 1) << RVError(link);
            if (put != 1) break;
            const qvtokendecoder::Expr e = Sent(link, device);
            EXPECT_EQ(e.kind, Kind::String);
            EXPECT_EQ(e.text, text.sent) << qvtokendecoder::Describe(e);
            break;
          }
          case Outcome::kRefused:
            EXPECT_EQ(put, 0);
            EXPECT_EQ(RVError(link), 47);
            EXPECT_EQ(RVFlush(link), 0);
            EXPECT_EQ(device.CapturedCount(), 0u);
            // Nothing of the refused atom stays behind: the next string goes out alone.
            EXPECT_EQ(RVClearError(link), 1);
            EXPECT_EQ(RVPutString(link, "ok"), 1) << RVError(link);
            EXPECT_EQ(Sent(link, device).text, U"ok");
            break;
          case Outcome::kRefusedAfter:
            EXPECT_EQ(put, 0);
            EXPECT_EQ(RVError(link), 47);
            EXPECT_EQ(RVClearError(link), 1);
            EXPECT_EQ(Sent(link, device).text, text.sent);
            break;
          case Outcome::kLeftOpen:
            EXPECT_EQ(put, 1) << RVError(link);
            EXPECT_EQ(RVError(link), 0);
            // "Unexpected or missing call of RVEndPacket.": the atom wants its trailing half.
            EXPECT_EQ(RVEndPacket(link), 0);
            EXPECT_EQ(RVError(link), 21);
            EXPECT_EQ(RVFlush(link), 0);
            EXPECT_EQ(device.CapturedCount(), 0u);
            break;
        }
        Destroy(link);
      }
    }
  }
}

// UCS-2 and UTF-32 texts are units, not pairs: a surrogate goes out whole as
// the unit it is, and its atom ends.
TEST_F(PutsTest, SurrogateUnitsOfUCS2AndUTF32GoOutAsTheyStand) {
  const unsigned short ucs2[] = {'a', 0xD83D};
  const unsigned short ucs2_trailing[] = {0xDE00, 'b'};
  const unsigned int utf32[] = {0xFEFF, 'a', 0xDE00};
  const std::vector<TextCase> cases = {
      {"UCS-2 string", [&](QVLink* l) { return RVPutUCS2String(l, ucs2, 2); }, U"a\xD83D"},
      {"UCS-2 pieces",
       [&](QVLink* l) {
         return RVPutType(l, 34) == 1 && RVPutUCS2Characters(l, 2, ucs2, 2) == 1 &&
                RVPutUCS2Characters(l, 0, ucs2_trailing, 2) == 1;
       },
       U"a\xD83D\xDE00" U"b"},
      {"UTF-32 string", [&](QVLink* l) { return RVPutUTF32String(l, utf32, 3); }, U"a\xDE00"},
  };
  ExpectEachSends(cases, Kind::String);
}

// Puts read back by the character gets on a loopback link.
TEST_F(PutsTest, PutsOnALoopbackLinkReadBack) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(RVPutFunction(link, "f", 2), 1);
  ASSERT_EQ(RVPutString(link, "text"), 1);
  ASSERT_EQ(RVPutSymbol(link, "s"), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVFlush(link), 1);
  int count = 0;
  EXPECT_EQ(RVGetNext(link), 70);
  EXPECT_EQ(RVGetArgCount(link, &count), 1);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(RVGetNext(link), 35);
  char buffer[16] = {};
  long left = -1;
  long got = -1;
  EXPECT_EQ(RVGet7BitCharacters(link, &left, buffer, sizeof buffer, &got), 1);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), "f");
  EXPECT_EQ(RVGetNext(link), 34);
  EXPECT_EQ(RVGet7BitCharacters(link, &left, buffer, sizeof buffer, &got), 1);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), "text");
  EXPECT_EQ(left, 0);
  Destroy(link);
}

}  // namespace

namespace {

class RealPutsTest : public PutsTest {};

TEST_F(RealPutsTest, RealTextIsRewrittenOnAPrivateCopy) {
  const unsigned short ucs2[] = {'1', '.', '5', '*', '^', '1', '0', 0};
  const unsigned char utf8[] = {'1', '.', '5', '*', '^', '1', '0'};
  const unsigned int utf32[] = {0xFEFF, '1', '.', '5', '*', '^', '1', '0'};
  const unsigned short ucs2_precision[] = {'1', '.', '5', '`', '2', '0', '*', '^', '-', '3', 0};
  // Ten units with the mark: the precision field loses the last digit the
  // caller's length left out.
  const unsigned int utf32_precision[] = {0xFEFF, '1', '.', '5', '`', '2', '*', '^', '1', '0'};
  const std::vector<TextCase> cases = {
      // A literal: rewriting it in place would fault.
      {"7-bit literal", [](QVLink* l) { return RVPutRealNumberAsString(l, "1.5*^10"); }, U"1.5e10"},
      {"bytes", [](QVLink* l) { return RVPutRealNumberAsByteString(l, reinterpret_cast<const unsigned char*>("-2.*^-3")); },
       U"-2.e-3"},
      {"UCS-2", [&](QVLink* l) { return RVPutRealNumberAsUCS2String(l, ucs2); }, U"1.5e10"},
      // The length forms send the rewritten length: no stray unit after the text.
      {"UTF-8 with its length", [&](QVLink* l) { return RVPutRealNumberAsUTF8String(l, utf8, 7); }, U"1.5e10"},
      {"UTF-32 with its length", [&](QVLink* l) { return RVPutRealNumberAsUTF32String(l, utf32, 8); }, U"1.5e10"},
      {"link form stays", [](QVLink* l) { return RVPutRealNumberAsString(l, "2.5e-3"); }, U"2.5e-3"},
      // A precision field follows the text after one separator unit, the
      // text's own end unit: the token is one unit longer than the input.
      {"precision only", [](QVLink* l) { return RVPutRealNumberAsString(l, "2.`20"); }, std::u32string(U"2.\0`20", 6)},
      {"precision only, UTF-8 with its length",
       [](QVLink* l) { return RVPutRealNumberAsUTF8String(l, reinterpret_cast<const unsigned char*>("2.`20"), 5); },
       std::u32string(U"2.\0`20", 6)},
      {"precision only, blank-ended", [](QVLink* l) { return RVPutRealNumberAsString(l, "2.`20 "); }, U"2. `20"},
      {"precision and exponent", [](QVLink* l) { return RVPutRealNumberAsString(l, "1.5`20*^10"); },
       std::u32string(U"1.5e10\0`20", 10)},
      {"precision and exponent, UCS-2", [&](QVLink* l) { return RVPutRealNumberAsUCS2String(l, ucs2_precision); },
       std::u32string(U"1.5e-3\0`20", 10)},
      {"precision and exponent, UTF-32 with its length",
       [&](QVLink* l) { return RVPutRealNumberAsUTF32String(l, utf32_precision, 10); },
       std::u32string(U"1.5e10\0`2", 9)},
      {"precision after the exponent stays glued",
       [](QVLink* l) { return RVPutRealNumberAsString(l, "1.5*^10`20"); }, U"1.5e10`20"},
      {"UTF-8 ended by a blank before other text",
       [](QVLink* l) { return RVPutRealNumberAsUTF8String(l, reinterpret_cast<const unsigned char*>("1.5*^10 xyz"), 11); },
       U"1.5e10"},
  };
  ExpectEachSends(cases, Kind::Real);
  EXPECT_EQ(ucs2[3], '*');  // the caller's text is untouched
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVPutRealNumberAsString(link, nullptr), 0);
  EXPECT_EQ(RVError(link), 47);
  Destroy(link);
  EXPECT_EQ(RVPutRealNumberAsString(nullptr, "1.5*^10"), 0);
}

// Over loopback, real text with a precision field reads back in input syntax
// as it was put, and as the number it stands for.
TEST_F(RealPutsTest, PrecisionFieldsComeBackAsTheyWerePut) {
  struct Case {
    const char* text;
    double value;
  };
  const Case cases[] = {{"2.`20", 2.0}, {"1.5`20*^10", 1.5e10}, {"1.5`20*^-3", 1.5e-3}, {"-0.25`5", -0.25}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    QVLink* link = Loopback();
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(RVPutRealNumberAsString(link, c.text), 1);
    ASSERT_EQ(RVPutRealNumberAsString(link, c.text), 1);
    ASSERT_EQ(RVFlush(link), 1);
    const char* text = nullptr;
    ASSERT_EQ(RVGetNumberAsString(link, &text), 1) << RVError(link);
    EXPECT_STREQ(text, c.text);
    RVReleaseString(link, text);
    double value = 0;
    EXPECT_EQ(RVGetReal64(link, &value), 1) << RVError(link);
    EXPECT_EQ(value, c.value);
    Destroy(link);
  }
}

// A running log with a file, as the link core sees it.
class StandInLog : public Quorvane::QVLinkLog {
 public:
  explicit StandInLog(QVLink* write_link) : write_link_(write_link) {}
  bool doLoggingQ() const override { return true; }
  QVLink* writeLink() const override { return write_link_; }

 private:
  QVLink* write_link_;
};

// A stand-in log: every put is made on its write link and that link is
// flushed before the put reaches the link; transfers into a logged link are
// copied to its log too.
TEST_F(PutsTest, LoggedLinksMirrorEveryPutThenFlush) {
  ScriptedDevice device;
  ScriptedDevice log_device;
  QVLink* link = Scripted(device);
  QVLink* write_link = Scripted(log_device);
  ASSERT_NE(link, nullptr);
  ASSERT_NE(write_link, nullptr);
  Quorvane::QVSmartPointer<Quorvane::QVLinkLog> log(new StandInLog(write_link));
  link->log = log;
  const unsigned short piece[] = {'a', 'b'};
  ASSERT_EQ(RVPutFunction(link, "f", 2), 1);
  ASSERT_EQ(RVPutString(link, "s"), 1);
  ASSERT_EQ(RVPutType(link, 34), 1);
  ASSERT_EQ(RVPutUCS2Characters(link, 0, piece, 2), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  // Already flushed to the log's device; the link itself has not flushed.
  const std::string expected_text = "f[\"s\", \"ab\"]";
  ASSERT_TRUE(WholePacket(log_device));
  EXPECT_EQ(device.CapturedCount(), 0u);
  const std::string log_bytes = log_device.Captured();
  qvtokendecoder::Decoder decoder(log_bytes, {true});
  const auto logged = decoder.NextPacket();
  ASSERT_TRUE(logged.has_value()) << decoder.error() << " in " << Hex(log_bytes);
  EXPECT_EQ(qvtokendecoder::Describe(*logged), expected_text);
  const size_t logged_before = log_device.CapturedCount();
  EXPECT_EQ(qvtokendecoder::Describe(Sent(link, device)), expected_text);
  // Sent's own end of packet is mirrored too: let it arrive before the log is emptied.
  EXPECT_TRUE(qvtest::WaitUntil([&] { return log_device.CapturedCount() > logged_before; }));
  log_device.TakeCaptured();
  // A transfer into the logged link reaches its log as well.
  QVLink* source = Loopback();
  ASSERT_NE(source, nullptr);
  ASSERT_EQ(RVPutSymbol(source, "x"), 1);
  ASSERT_EQ(RVEndPacket(source), 1);
  ASSERT_EQ(RVFlush(source), 1);
  device.TakeCaptured();
  ASSERT_EQ(RVTransferExpression(link, source), 1);
  // The log's write link was flushed after the copy: the symbol is there.
  EXPECT_TRUE(qvtest::WaitUntil([&] { return log_device.Captured() == std::string("\x23\x44\x41\x7E\x41x\n", 7); }))
      << Hex(log_device.Captured());
  EXPECT_EQ(qvtokendecoder::Describe(Sent(link, device)), "x");
  link->log = {};
  Destroy(source);
  Destroy(link);
  Destroy(write_link);
}

}  // namespace

#include "text/qvconverter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/text/qvatomdriver.h"
#include "text/qvconverterinternal.h"

namespace {

using namespace qvatoms;
using namespace std::string_literals;

constexpr uint8_t A = ENCODING_ASCII, B = ENCODING_BYTES, C = ENCODING_UCS2, D = ENCODING_UTF8, E = ENCODING_UTF16,
                  F = ENCODING_UTF32, G = ENCODING_OLDSTRING;

Bytes Le16(uint16_t v) { return Bytes{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
Bytes Le32(uint32_t v) { return Le16(static_cast<uint16_t>(v & 0xFFFF)) + Le16(static_cast<uint16_t>(v >> 16)); }

struct ExactAtom {
  const char* what;
  uint64_t token;
  uint8_t source;
  Bytes text;
  int64_t count;
  uint8_t peer;
  Bytes atom;
};

TEST(TextAtoms, PutWritesExactBytes) {
  const Bytes b63(63, 'x'), b64(64, 'y'), b100(100, 'z');
  const ExactAtom cases[] = {
      {"empty escaped ASCII", 34, A, "", 0, A, "\x22\x43\x41\x7E\x40"},
      {"symbol", 35, A, "abc", 3, A, "\x23\x46" "A~\x43" "abc"},
      {"escapes go out as written", 34, A, "a\\101", 2, A, "\x22\x48" "A~\x42" "a\\101"},
      {"count 63 is one byte", 34, B, b63, 63, B, "\x22" "66 B~\x7F" + b63},
      {"count 64 in the length form", 34, A, b64, 64, A, "\x22" "69 A~64 " + b64},
      {"'B' of 100 carries a space", 34, B, b100, 100, B, "\x22" "103 B~ " + b100},
      {"bytes as 'C' are 0, b", 34, B, "\x01\xFF", 2, C, "\x22\x47" "C~\x42" "\x00\x01\x00\xFF"s},
      {"bytes as 'D'", 34, B, "\xE9", 1, D, "\x22\x45" "D~\x41" "\xC3\xA9"},
      {"bytes as 'E', this machine's order", 34, B, "A", 1, E, "\x22\x45" "E~\x41" + Le16('A')},
      {"bytes as 'F'", 34, B, "A", 1, F, "\x22\x47" "F~\x41" + Le32('A')},
      {"bytes as 'A'", 34, B, "\\\x7F", 2, A, "\x22\x49" "A~\x42" "\\\\\\177"},
      {"escaped ASCII as 'D'", 34, A, "\\351", 1, D, "\x22\x45" "D~\x41" "\xC3\xA9"},
      {"escaped ASCII as 'C'", 34, A, "\\:1234", 1, C, "\x22\x45" "C~\x41" "\x12\x34"},
      {"escaped ASCII as 'E' above U+FFFF", 34, A, "\\|01F600", 1, E,
       "\x22\x47" "E~\x41" + Le16(0xD83D) + Le16(0xDE00)},
      {"escaped ASCII as 'F'", 34, A, "\\|01F600", 1, F, "\x22\x47" "F~\x41" + Le32(0x1F600)},
      {"code 255 goes out as a byte", 34, A, "\\377", 1, B, "\x22\x44" "B~\x41\xFF"},
      {"an unknown escape goes out as written in 'A'", 34, A, "\\qz", 2, A, "\x22\x46" "A~\x42" "\\qz"},
      {"an unknown escape is U+FFFD in 'D'", 34, A, "\\qz", 2, D, "\x22\x47" "D~\x42" "\xEF\xBF\xBDz"},
      {"a line continuation is dropped", 34, A, "a\\\nb", 2, C, "\x22\x47" "C~\x42" "\x00" "a\x00" "b"s},
      {"a surrogate goes into 'C' as it is", 34, A, "\\:D800", 1, C, "\x22\x45" "C~\x41\xD8\x00"s},
      {"legacy string", 34, A, "a\\:0100\\370", 3, G, "S5 a\xFA\x01\xF8\xF8"},
      {"legacy character 0", 35, B, "\x00"s, 1, G, "Y1 \xFF"},
      {"legacy real cut at a byte outside 33..254", 42, A, "3.5 ", 4, G, "R3 3.5"},
      {"legacy integer", 43, B, "12", 2, 0, "I2 12"},
      {"the legacy form is the fallback", 34, B, "q", 1, 0x80, "S1 q"},
      {"escaped ASCII without the six-digit escape goes as 'D'", 34, A, "a", 1, A | D, "\x22\x44" "D~\x41" "a"},
  };
  for (const auto& c : cases) {
    const int six = std::string(c.what).find("six-digit") == std::string::npos ? 1 : 0;
    const PutResult p = Put(c.token, c.source, c.text, c.count, c.peer, 4096, six);
    EXPECT_EQ(p.result, QV_STEP_DONE) << c.what;
    EXPECT_EQ(Hex(p.atom), Hex(c.atom)) << c.what;
  }
}

TEST(TextAtoms, LengthForms) {
  unsigned char buffer[32];
  unsigned char* end = buffer + sizeof buffer;
  const struct {
    uint64_t value;
    Bytes form;
    Bytes old_form;
  } cases[] = {{0, "\x40", "0 "}, {63, "\x7F", "63 "}, {64, "64 ", "64 "}, {1234567, "1234567 ", "1234567 "}};
  for (const auto& c : cases) {
    unsigned char* p = ul_to_f(c.value, end);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(p), static_cast<size_t>(end - p)), c.form);
    p = old_ul_to_f(c.value, end);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(p), static_cast<size_t>(end - p)), c.old_form);
  }
}

TEST(TextAtoms, RefusalsOfThePut) {
  const struct {
    const char* what;
    uint8_t source;
    Bytes text;
    int64_t count;
    uint8_t peer;
    int six;
    int64_t result;
  } cases[] = {
      {"'A' without the six-digit escape and no 'D'", A, "a", 1, A, 0, QV_STEP_FAILED},
      {"above U+FFFF into 'C' is refused, not cut", A, "\\|01F600", 1, C, 1, QV_STEP_UNREPRESENTABLE},
      {"above U+FFFF into the legacy form", A, "\\|01F600", 1, G, 1, QV_STEP_UNREPRESENTABLE},
      {"code 256 into bytes", A, "\\:0100", 1, B, 1, QV_STEP_UNREPRESENTABLE},
      {"an invalid escape into bytes", A, "\\q", 1, B, 1, QV_STEP_UNREPRESENTABLE},
      {"a lone surrogate into UTF-8", A, "\\:D800", 1, D, 1, QV_STEP_UNREPRESENTABLE},
      {"UTF-8 text to a peer of bytes only", D, "a", 1, B, 1, QV_STEP_UNREPRESENTABLE},
      {"the legacy form is no source", G, "a", 1, A, 1, QV_STEP_FAILED},
  };
  for (const auto& c : cases) {
    const PutResult p = Put(34, c.source, c.text, c.count, c.peer, 4096, c.six);
    EXPECT_EQ(p.result, c.result) << c.what;
    EXPECT_EQ(p.atom, "") << c.what << ": nothing of a refused atom reaches the wire";
  }
}

// The orders of choice, written as letter strings: '+' after a letter means
// "only when the whole text is in the first call", '-' "only when it is not",
// '!' "a converter that always refuses".
struct Order {
  uint8_t source;
  const char* order;
};

unsigned char ExpectedPutLetter(const char* order, uint8_t mask, bool whole) {
  for (const char* p = order; *p != 0; ++p) {
    const unsigned char letter = static_cast<unsigned char>(*p);
    const char mark = p[1];
    if (mark == '+' || mark == '-' || mark == '!') ++p;
    if ((mask & EncodingBitOfLetter(letter)) == 0) continue;
    if ((mark == '+' && !whole) || (mark == '-' && whole)) continue;
    if (mark == '!') {
      bool later = (mask & G) != 0;
      for (const char* q = p + 1; *q != 0; ++q) later = later || ((mask & EncodingBitOfLetter(*q)) != 0 && *q >= 'A');
      if (later) continue;
    }
    return letter;
  }
  return (mask & G) != 0 || (mask & 0x7E) == 0 ? 'G' : 0;
}

TEST(TextAtoms, PutChoosesTheFirstAcceptableLetter) {
  const Order orders[] = {{B, "BA+CDEFA-"}, {C, "CDEFA"}, {D, "DEFCB!A"}, {E, "EDFCB!A"}, {F, "FCDEB!A"}};
  for (int mask = 0; mask < 256; mask += 2) {
    for (bool whole : {true, false}) {
      for (const auto& o : orders) {
        EXPECT_EQ(Quorvane::textatoms::ChoosePutLetter(o.source, static_cast<uint8_t>(mask), true, whole),
                  ExpectedPutLetter(o.order, static_cast<uint8_t>(mask), whole))
            << "source " << int(o.source) << " mask " << mask << " whole " << whole;
      }
      for (int six : {0, 1}) {
        unsigned char want;
        if ((mask & A) != 0) {
          want = six != 0 ? 'A' : (mask & D) != 0 ? 'D' : 0;
        } else {
          want = ExpectedPutLetter("CDEFB", static_cast<uint8_t>(mask), whole);
        }
        EXPECT_EQ(Quorvane::textatoms::ChoosePutLetter(A, static_cast<uint8_t>(mask), six != 0, whole), want)
            << "ASCII mask " << mask << " six " << six;
      }
    }
    EXPECT_EQ(Quorvane::textatoms::ChoosePutLetter(G, static_cast<uint8_t>(mask), true, true), 0);
  }
}

TEST(TextAtoms, UnicodeSourceSkipsBytesWhenALaterLetterIsAcceptable) {
  using Quorvane::textatoms::ChoosePutLetter;
  for (uint8_t source : {D, E, F}) {
    EXPECT_EQ(ChoosePutLetter(source, B, true, true), 'B') << "bytes alone: the put fails with 20";
    EXPECT_EQ(ChoosePutLetter(source, B | A, true, true), 'A');
    EXPECT_EQ(ChoosePutLetter(source, B | G, true, true), 'G');
  }
}

TEST(TextAtoms, GetChoosesTheCallersEncodingByTheTable) {
  const struct {
    unsigned char letter;
    uint8_t order[6];
  } orders[] = {{'A', {A, C, D, E, F, B}}, {'B', {B, C, D, E, F, A}}, {'C', {C, D, E, F, A, B}},
                {'D', {D, C, E, F, A, B}}, {'E', {E, C, D, F, A, B}}, {'F', {F, E, D, A, C, B}},
                {'G', {C, D, E, F, A, B}}};
  for (const auto& o : orders) {
    for (int mask = 0; mask < 256; ++mask) {
      uint8_t want = 0;
      for (uint8_t bit : o.order) {
        if ((mask & bit) != 0) {
          want = bit;
          break;
        }
      }
      EXPECT_EQ(Quorvane::textatoms::ChooseGetTarget(o.letter, static_cast<uint8_t>(mask)), want)
          << o.letter << " mask " << mask;
    }
  }
}

TEST(TextAtoms, GetReadsTheExamples) {
  const struct {
    const char* what;
    Bytes atom;
    uint8_t accepted;
    int64_t result;
    Bytes text;
  } cases[] = {
      {"empty escaped ASCII", "\x22\x43\x41\x7E\x40", A, 1, ""},
      {"'B' with a space count takes it from the length", "\x22" "103 B~ " + Bytes(100, 'z'), B, 1, Bytes(100, 'z')},
      {"'A' longer than its characters: the rest is skipped", "\x22\x48" "A~\x42" "abxyz", A, 1, "ab"},
      {"'A' into bytes: code 255 is the byte", "\x22\x47" "A~\x41" "\\377", B, 1, "\xFF"},
      {"'A' into bytes: code 256 is the replacement", "\x22\x49" "A~\x41" "\\:0100", B, 1, "?"},
      {"'A' into UTF-8", "\x22\x47" "A~\x41" "\\351", D, 1, "\xC3\xA9"},
      {"'A' into UTF-8: an invalid escape is U+FFFD", "\x22\x45" "A~\x41" "\\q", D, 1, "\xEF\xBF\xBD"},
      {"'A' into ASCII: escapes are passed through", "\x22\x46" "A~\x42" "\\qa", A, 1, "\\qa"},
      {"'B' into UTF-16: mark first, n + 1 units", "\x22\x45" "B~\x42" "ab", E, 1, Le16(0xFEFF) + Le16('a') + Le16('b')},
      {"'B' into UTF-32", "\x22\x44" "B~\x41" "\xE9", F, 1, Le32(0xFEFF) + Le32(0xE9)},
      {"'B' into UCS-2, no mark", "\x22\x44" "B~\x41" "\xE9", C, 1, Le16(0xE9)},
      {"'B' into ASCII", "\x22\x44" "B~\x41" "\x0A", A, 1, "\\012"},
      {"legacy string", "S5 a\xFA\x01\xF8\xF8", C, 1, Le16('a') + Le16(0x100) + Le16(0xF8)},
      {"legacy character 0 and the 0xF9 form", "S3 \xFF\xF9\x41", B, 1, "\x00\x41"s},
      {"legacy: 0xFC to 0xFE are plain bytes", "S3 \xFC\xFD\xFE", C, 1, Le16(0xFC) + Le16(0xFD) + Le16(0xFE)},
      {"legacy: an embedded zero byte does not end it", "S3 a\x00z"s, B, 1, "a\x00z"s},
      {"'G' letter carries a legacy payload", "\x22\x44" "G\xFB\x12\x34", C, 1, Le16(0x1234)},
      {"'A' into UTF-8: a lone surrogate has no form", "\x22\x49" "A~\x41" "\\:D800", D, 20, ""},
      {"'A' into UTF-16: a lone surrogate has no form", "\x22\x49" "A~\x41" "\\:D800", E, 20, Le16(0xFEFF)},
      {"'A' into UCS-2: a surrogate is a unit", "\x22\x49" "A~\x41" "\\:D800", C, 1, Le16(0xD800)},
      {"'A' into UCS-2 above U+FFFF is refused", "\x22\x4B" "A~\x41" "\\|01F600", C, 20, ""},
      {"a truncated legacy code fails the atom", "S2 a\xFB", C, 20, Le16('a')},
      {"a truncated legacy prefix fails the atom", "S1 \xF8", B, 20, ""},
      {"no acceptable encoding", "\x22\x44" "B~\x41" "x", G, -1, ""},
  };
  for (const auto& c : cases) {
    const GetResult g = Get(c.atom, c.accepted);
    EXPECT_EQ(g.result, c.result) << c.what;
    EXPECT_EQ(Hex(g.text), Hex(c.text)) << c.what;
  }
}

// The converters read an x escape's whole run, as the helpers do: leading
// zeros without limit; a run past U+10FFFF is one invalid character (U+FFFD),
// none of its digits taken for text. Whole, byte by byte, with the count
// given or counted, and from an 'A' atom on the get side.
TEST(TextAtoms, XEscapeRunsAreReadWhole) {
  const struct {
    Bytes text;
    int64_t count;
    Bytes utf8;
  } cases[] = {
      {"\\x0000041 ", 2, "A "},
      {"\\x00000000001F600!", 2, "\xF0\x9F\x98\x80!"},
      {"\\x110000z", 2, "\xEF\xBF\xBDz"},
      {"\\xFFFFFFFFFFFFFFFFFFFFz", 2, "\xEF\xBF\xBDz"},
  };
  for (const auto& c : cases) {
    const PutResult whole = Put(34, A, c.text, c.count, D);
    ASSERT_EQ(whole.result, QV_STEP_DONE) << c.text;
    EXPECT_EQ(Hex(Get(whole.atom, D).text), Hex(c.utf8)) << c.text;
    EXPECT_EQ(Hex(Put(34, A, c.text, -1, D).atom), Hex(whole.atom)) << c.text << " counted";
    three_state s = NewPutState(D);
    BeginPut(s, 34, A, c.count);
    Bytes split;
    EXPECT_EQ(FeedPut(s, Split(c.text, 1), 1, split), QV_STEP_DONE) << c.text;
    EXPECT_EQ(Hex(split), Hex(whole.atom)) << c.text << " byte by byte";
    cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
    const PutResult ascii = Put(34, A, c.text, c.count, A);
    ASSERT_EQ(ascii.result, QV_STEP_DONE) << c.text;
    const GetResult got = Get(ascii.atom, D, 1);
    EXPECT_EQ(got.result, QV_STEP_DONE) << c.text;
    EXPECT_EQ(Hex(got.text), Hex(c.utf8)) << c.text << " from 'A'";
  }
}

// After a malformed atom the state skips exactly the rest of it; the atom
// after it reads normally.
TEST(TextAtoms, RecoverySkipsExactlyTheMalformedAtom) {
  const struct {
    const char* what;
    Bytes body;  // what follows the length
    int64_t result;
  } cases[] = {
      {"a count byte that is no digit", "A~1x abc", -1},
      {"a count that overflows", "A~99999999999999999999999 ", -1},
      {"a count larger than the atom holds", "A~100 a", -1},
      {"a one-byte count larger than the atom holds", "B~\x7F" "ab", -1},
      {"a 'C' count of more units than bytes", "C~\x42" "ab", -1},
      {"a space where the count begins", "A~ ab", -1},
      {"a one-byte count of neither form", "B~\x30" "ab", -1},
      {"an unknown letter", "H~\x41" "a", -1},
      {"digits that never end", "A~12", -1},
      {"fewer characters than the count", "A~\x42" "\\101", 20},
      {"above U+FFFF into UCS-2", "A~\x41" "\\|01F600", 20},
      {"a legacy code cut by the end", "", 20},
  };
  const Bytes good = "\x22\x46" "A~\x43" "xyz";
  for (const auto& c : cases) {
    for (size_t piece : {size_t{1}, size_t{3}, size_t{1000}}) {
      three_state s = NewGetState();
      unsigned char length[32];
      unsigned char* form = ul_to_f(c.body.size(), length + sizeof length);
      const Bytes atom = c.body.empty() ? Bytes("S3 ab\xFB")
                                        : "\x22" + Bytes(reinterpret_cast<char*>(form), length + sizeof length - form) + c.body;
      const Bytes wire = atom + good;
      GetResult first = Get(wire, C, piece, 64, '?', &s);
      EXPECT_EQ(first.result, c.result) << c.what;
      // Recovery: the link core calls again until the atom is done.
      ASSERT_EQ(s.next, get_recover_from_error) << c.what;
      std::vector<unsigned char> rest(wire.begin() + static_cast<std::ptrdiff_t>(first.used), wire.end());
      unsigned char* cursor = rest.data();
      unsigned char* end = rest.data() + rest.size();
      int64_t r;
      do {
        unsigned char* piece_end = std::min(end, cursor + piece);
        r = s.next(&s, nullptr, nullptr, &cursor, piece_end);
      } while (r == QV_STEP_WIRE && cursor < end);
      ASSERT_EQ(r, QV_STEP_DONE) << c.what;
      EXPECT_EQ(static_cast<size_t>(cursor - rest.data()), rest.size() - good.size()) << c.what;
      const GetResult second = Get(Bytes(reinterpret_cast<char*>(cursor), static_cast<size_t>(end - cursor)), C,
                                   piece, 64, '?', &s);
      EXPECT_EQ(second.result, QV_STEP_DONE) << c.what;
      EXPECT_EQ(second.text, Le16('x') + Le16('y') + Le16('z')) << c.what;
      cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
    }
  }
}

TEST(TextAtoms, PrefixReaderTakesDigitsOnlyAndCapsTheLength) {
  uint64_t token = 0;
  int64_t length = 0;
  const auto read = [&](const Bytes& b, int64_t cap = 1000) {
    return qvatom_read_prefix(reinterpret_cast<const unsigned char*>(b.data()), static_cast<int64_t>(b.size()),
                              &token, &length, cap);
  };
  EXPECT_EQ(read("\x22\x43"), 2);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(read("\x22" "103 B"), 5);
  EXPECT_EQ(length, 103);
  EXPECT_EQ(read("S12 ab"), 4);
  EXPECT_EQ(token, 'S');
  EXPECT_EQ(length, 12);
  EXPECT_EQ(read("S12"), 0) << "needs more";
  EXPECT_EQ(read("S1x "), -1);
  EXPECT_EQ(read("S "), -1);
  EXPECT_EQ(read("S1001 "), -1) << "above the cap";
  EXPECT_EQ(read("S99999999999999999999999999 ", INT64_MAX), -1) << "overflow";
}

// A state cloned in the middle of an atom finishes the same atom.
TEST(TextAtoms, CloneMidAtomGivesTwoIdenticalAtoms) {
  const struct {
    uint8_t source;
    Bytes text;
    int64_t count;
    uint8_t peer;
  } cases[] = {{A, "abc\\:0100def\\|01F600", 8, D}, {A, "hello \\351t\\351", 9, G},
               {B, "bytes \xFF\x01", 8, A},        {A, "plain text here", 15, A},
               {B, "0123456789", 10, C}};
  for (const auto& c : cases) {
    const Bytes whole = Put(34, c.source, c.text, c.count, c.peer).atom;
    for (size_t cut = 0; cut <= c.text.size(); cut += 3) {
      three_state s = NewPutState(c.peer);
      BeginPut(s, 34, c.source, c.count);
      Bytes first;
      if (FeedPut(s, {c.text.substr(0, cut)}, 5, first) == QV_STEP_DONE) {
        EXPECT_EQ(Hex(first), Hex(whole));
        continue;
      }
      three_state copy = s;  // the plain fields, as the link core copies them
      ASSERT_EQ(cs__factory(Environment(), QV_FACTORY_CLONE, &copy, &s, nullptr), 0);
      Bytes a = first, b = first;
      EXPECT_EQ(FeedPut(s, {c.text.substr(cut)}, 3, a), QV_STEP_DONE) << Hex(c.text) << " cut " << cut;
      EXPECT_EQ(FeedPut(copy, {c.text.substr(cut)}, 7, b), QV_STEP_DONE);
      EXPECT_EQ(Hex(a), Hex(whole)) << "cut " << cut;
      EXPECT_EQ(Hex(b), Hex(whole)) << "cut " << cut;
      cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
      cs__factory(Environment(), QV_FACTORY_DESTROY, &copy, nullptr, nullptr);
    }
  }
}

TEST(TextAtoms, CloneMidGetGivesTheSameText) {
  const Bytes atoms[] = {Put(34, A, "ab\\:0100c\\|01F600", 5, A).atom, "S7 ab\xFB\x12\x34z\xFF",
                         Put(34, B, Bytes(70, 'q'), 70, B).atom};
  for (const Bytes& atom : atoms) {
    const GetResult whole = Get(atom, D);
    ASSERT_EQ(whole.result, QV_STEP_DONE);
    for (size_t cut = 2; cut < atom.size(); ++cut) {
      three_state s = NewGetState();
      uint64_t token;
      int64_t length;
      const auto* p = reinterpret_cast<const unsigned char*>(atom.data());
      const int64_t prefix = qvatom_read_prefix(p, static_cast<int64_t>(atom.size()), &token, &length, 1 << 20);
      if (static_cast<size_t>(prefix) > cut) continue;
      s.step = 2;
      s.token = token;
      s.wire_left = length;
      s.encoding = D;
      std::vector<unsigned char> wire(atom.begin(), atom.end());
      unsigned char* cursor = wire.data() + prefix;
      unsigned char out[256];
      unsigned char* o = out;
      ASSERT_EQ(s.next(&s, &o, out + sizeof out, &cursor, wire.data() + cut), QV_STEP_WIRE);
      three_state copy = s;
      ASSERT_EQ(cs__factory(Environment(), QV_FACTORY_CLONE, &copy, &s, nullptr), 0);
      unsigned char* cursor2 = cursor;
      unsigned char out2[256];
      std::memcpy(out2, out, static_cast<size_t>(o - out));
      unsigned char* o2 = out2 + (o - out);
      EXPECT_EQ(s.next(&s, &o, out + sizeof out, &cursor, wire.data() + wire.size()), QV_STEP_DONE);
      cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);  // the copy owns its own
      EXPECT_EQ(copy.next(&copy, &o2, out2 + sizeof out2, &cursor2, wire.data() + wire.size()), QV_STEP_DONE);
      EXPECT_EQ(Bytes(reinterpret_cast<char*>(out), static_cast<size_t>(o - out)), whole.text);
      EXPECT_EQ(Bytes(reinterpret_cast<char*>(out2), static_cast<size_t>(o2 - out2)), whole.text);
      cs__factory(Environment(), QV_FACTORY_DESTROY, &copy, nullptr, nullptr);
    }
  }
}

TEST(TextAtoms, ResetDestroyAndSelfAssignmentAreHarmless) {
  three_state s = NewPutState(G);
  BeginPut(s, 34, A, 10);
  Bytes out;
  ASSERT_EQ(FeedPut(s, {"abc"}, 8, out), QV_STEP_CALLER);  // collecting: owns blocks
  ASSERT_NE(s.head, nullptr);
  const three_state before = s;
  EXPECT_EQ(cs__factory(Environment(), QV_FACTORY_ASSIGN, &s, &s, nullptr), 0);
  EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);
  EXPECT_EQ(cs__factory(Environment(), QV_FACTORY_RESET, &s, nullptr, nullptr), 0);
  EXPECT_EQ(s.head, nullptr);
  EXPECT_EQ(s.next, put_start);
  EXPECT_EQ(cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr), 0);
  EXPECT_EQ(cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr), 0);
  unsigned char* none = nullptr;
  EXPECT_EQ(s.next(&s, &none, nullptr, &none, nullptr), QV_STEP_FAILED) << "a destroyed state answers -1";
  EXPECT_EQ(cs__factory(Environment(), QV_FACTORY_RESET, &s, nullptr, nullptr), 0);
  BeginPut(s, 34, A, 1);
  out.clear();
  EXPECT_EQ(FeedPut(s, {"z"}, 8, out), QV_STEP_DONE);
  EXPECT_EQ(out, "S1 z");
  EXPECT_EQ(cs__factory(Environment(), 7, &s, nullptr, nullptr), -1);

  // Assigning a state in the middle of an atom gives it its own copy.
  three_state a = NewPutState(A | D);
  BeginPut(a, 34, A, 4);
  Bytes first;
  FeedPut(a, {"\\:01"}, 8, first);
  three_state b = NewPutState(G);
  BeginPut(b, 34, A, 10);
  Bytes ignored;
  FeedPut(b, {"xyz"}, 8, ignored);
  ASSERT_EQ(cs__factory(Environment(), QV_FACTORY_ASSIGN, &b, &a, nullptr), 0);
  Bytes ra = first, rb = first;
  EXPECT_EQ(FeedPut(a, {"00abc"}, 8, ra), QV_STEP_DONE);
  cs__factory(Environment(), QV_FACTORY_DESTROY, &a, nullptr, nullptr);
  EXPECT_EQ(FeedPut(b, {"00abc"}, 8, rb), QV_STEP_DONE);
  EXPECT_EQ(ra, rb);
  EXPECT_EQ(ra, Put(34, A, "\\:0100abc", 4, A | D).atom);
  cs__factory(Environment(), QV_FACTORY_DESTROY, &b, nullptr, nullptr);
}

TEST(TextAtoms, UnknownCountIsCollectedAndCounted) {
  const Bytes text = "tab\\tand \\:0100 done";
  for (uint8_t peer : {A, D, G, C}) {
    three_state s = NewPutState(peer);
    BeginPut(s, 34, A, -1);
    Bytes out;
    Window w(2);
    unsigned char* null_start = nullptr;
    auto* announced = reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(text.size()));
    ASSERT_EQ(s.next(&s, &null_start, announced, &w.cursor, w.end()), QV_STEP_CALLER);
    EXPECT_EQ(FeedPut(s, Split(text, 3), 2, out), QV_STEP_DONE);
    EXPECT_EQ(Hex(out), Hex(Put(34, A, text, 14, peer).atom)) << int(peer);
    cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
  }
  // Cloned while collecting and while writing, both copies finish the atom.
  for (size_t cut : {size_t{0}, size_t{5}, text.size()}) {
    three_state s = NewPutState(D);
    BeginPut(s, 34, A, -1);
    Window w(3);
    unsigned char* null_start = nullptr;
    auto* announced = reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(text.size()));
    ASSERT_EQ(s.next(&s, &null_start, announced, &w.cursor, w.end()), QV_STEP_CALLER);
    // One call: the piece goes in, and once the text is whole the window fills.
    Bytes piece = text.substr(0, cut);
    unsigned char* cursor = reinterpret_cast<unsigned char*>(piece.data());
    const int64_t r = s.next(&s, &cursor, cursor + piece.size(), &w.cursor, w.end());
    ASSERT_EQ(r, cut == text.size() ? QV_STEP_WIRE : QV_STEP_CALLER);
    Bytes first;
    w.Flush(first);
    three_state copy = s;
    ASSERT_EQ(cs__factory(Environment(), QV_FACTORY_CLONE, &copy, &s, nullptr), 0);
    Bytes a = first, b = first;
    EXPECT_EQ(FeedPut(s, {text.substr(cut)}, 3, a), QV_STEP_DONE);
    cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
    EXPECT_EQ(FeedPut(copy, {text.substr(cut)}, 5, b), QV_STEP_DONE);
    EXPECT_EQ(a, Put(34, A, text, 14, D).atom) << cut;
    EXPECT_EQ(b, a) << cut;
    cs__factory(Environment(), QV_FACTORY_DESTROY, &copy, nullptr, nullptr);
  }
  // A count left negative with the whole text given is counted at once.
  EXPECT_EQ(Put(34, A, text, -1, A).atom, Put(34, A, text, 14, A).atom);
}

TEST(TextAtoms, EngineBeginsAndBuildsSets) {
  int (*factory)(character_environment*, int, three_state*, three_state*, set_qvbst*) = nullptr;
  set_qvbst set{0, 9};
  char version[32];
  std::memset(version, 'x', sizeof version);
  int64_t length = sizeof version;
  character_environment* e =
      cs__begin([](uint64_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }, &factory, &set, version,
                &length);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(factory, cs__factory);
  EXPECT_EQ(set.mask, 0xFEu);
  EXPECT_EQ(set.reserved, 0u);
  EXPECT_EQ(length, 21);
  EXPECT_EQ(std::strlen(version), 21u);
  EXPECT_EQ(version[31], 0);
  char clipped[5];
  int64_t five = 5;
  cs__factory(e, QV_FACTORY_FREE_ENVIRONMENT, nullptr, nullptr, nullptr);
  e = cs__begin([](uint64_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }, nullptr, nullptr, clipped,
                &five);
  EXPECT_EQ(five, 5);
  EXPECT_EQ(std::memcmp(clipped, version, 5), 0);
  cs__factory(e, QV_FACTORY_FREE_ENVIRONMENT, nullptr, nullptr, nullptr);

  EXPECT_EQ(cs__converter(0xFF, &set), 1);
  EXPECT_EQ(set.mask, 0xFEu);
  EXPECT_EQ(cs__converter(0x40 | 0x08 | 0x01, &set), 1);
  EXPECT_EQ(set.mask, uint64_t{ENCODING_OLDSTRING | ENCODING_ASCII});
  EXPECT_EQ(cs__converter(1, nullptr), 0);
  set = {2 | 16 | 256, 5};
  EXPECT_EQ(cs__encoder(&set), 1);
  EXPECT_EQ(set.mask, uint64_t{2 | 128 | 64});
  EXPECT_EQ(set.reserved, 0u);

  three_state s = NewPutState(A | C);
  EXPECT_EQ(is_put_state(&s), 1);
  EXPECT_NE(can_freeze_to(&s, 3), 0);
  EXPECT_EQ(can_freeze_to(&s, 4), 0);
  s.encoding = B;
  EXPECT_EQ(am_freezing_from(&s, B), 1);
  three_state g = NewGetState();
  EXPECT_EQ(is_put_state(&g), 0);
}

}  // namespace

namespace {

int g_allocations_left = 1 << 30;

void* FailingAllocate(uint64_t n) {
  if (g_allocations_left <= 0) return nullptr;
  --g_allocations_left;
  return std::malloc(n);
}

// An allocation that fails leaves a collecting converter where it was: the
// same piece can be offered again and the atom comes out whole.
TEST(TextAtoms, OutOfMemoryKeepsTheStep) {
  character_environment* env =
      cs__begin([](uint64_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }, nullptr, nullptr, nullptr,
                nullptr);
  env->allocate = FailingAllocate;
  const Bytes text = "collected \\:0100 text";
  const Bytes whole = Put(34, A, text, 16, G).atom;
  for (int allowed = 0; allowed < 4; ++allowed) {
    three_state s = NewPutState(G);
    s.environment = env;
    BeginPut(s, 34, A, 16);
    g_allocations_left = allowed;
    std::vector<unsigned char> window(4096);
    unsigned char* w = window.data();
    unsigned char* cursor = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
    unsigned char* end = cursor + text.size();
    int64_t r = s.next(&s, &cursor, end, &w, window.data() + window.size());
    if (r == QV_STEP_NO_MEMORY) {
      g_allocations_left = 1 << 30;
      r = s.next(&s, &cursor, end, &w, window.data() + window.size());
    }
    EXPECT_EQ(r, QV_STEP_DONE) << allowed;
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(window.data()), static_cast<size_t>(w - window.data())), whole) << allowed;
    cs__factory(env, QV_FACTORY_DESTROY, &s, nullptr, nullptr);
  }

  // A clone that cannot allocate says so and owns nothing.
  three_state s = NewPutState(G);
  s.environment = env;
  BeginPut(s, 34, A, 16);
  g_allocations_left = 1 << 30;
  Bytes out;
  ASSERT_EQ(FeedPut(s, {"coll"}, 64, out), QV_STEP_CALLER);
  three_state copy = s;
  g_allocations_left = 0;
  EXPECT_EQ(cs__factory(env, QV_FACTORY_CLONE, &copy, &s, nullptr), QV_STEP_NO_MEMORY);
  EXPECT_EQ(copy.head, nullptr);
  cs__factory(env, QV_FACTORY_DESTROY, &copy, nullptr, nullptr);
  g_allocations_left = 1 << 30;
  EXPECT_EQ(FeedPut(s, {text.substr(4)}, 64, out), QV_STEP_DONE);
  EXPECT_EQ(out, whole);
  cs__factory(env, QV_FACTORY_DESTROY, &s, nullptr, nullptr);

  // A legacy payload that arrives in pieces is collected; a failed piece can
  // be offered again.
  const Bytes atom = "S5 ab\xFB\x12\x34";
  three_state g = NewGetState();
  g.environment = env;
  g.step = 2;
  g.token = 'S';
  g.wire_left = 5;
  g.encoding = C;
  std::vector<unsigned char> wire(atom.begin() + 3, atom.end());
  unsigned char* wc = wire.data();
  unsigned char buffer[16];
  unsigned char* o = buffer;
  EXPECT_EQ(g.next(&g, &o, buffer + sizeof buffer, &wc, wire.data() + 2), QV_STEP_WIRE);
  g_allocations_left = 0;
  EXPECT_EQ(g.next(&g, &o, buffer + sizeof buffer, &wc, wire.data() + wire.size()), QV_STEP_NO_MEMORY);
  g_allocations_left = 1 << 30;
  EXPECT_EQ(g.next(&g, &o, buffer + sizeof buffer, &wc, wire.data() + wire.size()), QV_STEP_DONE);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(buffer), static_cast<size_t>(o - buffer)), Le16('a') + Le16('b') + Le16(0x1234));
  cs__factory(env, QV_FACTORY_DESTROY, &g, nullptr, nullptr);
  cs__factory(env, QV_FACTORY_FREE_ENVIRONMENT, nullptr, nullptr, nullptr);
}

// A legacy payload that is all in hand goes to the caller at once; one that
// arrives a byte at a time is delivered after its last byte.
TEST(TextAtoms, LegacyPayloadInHandOrInPieces) {
  const Bytes atom = "S4 abcd";
  EXPECT_EQ(Get(atom, B).text, "abcd");
  three_state g = NewGetState();
  g.step = 2;
  g.token = 'S';
  g.wire_left = 4;
  g.encoding = B;
  std::vector<unsigned char> wire(atom.begin() + 3, atom.end());
  unsigned char* wc = wire.data();
  unsigned char buffer[8];
  unsigned char* o = buffer;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(g.next(&g, &o, buffer + sizeof buffer, &wc, wc + 1), QV_STEP_WIRE);
    EXPECT_EQ(o, buffer);
  }
  EXPECT_EQ(g.next(&g, &o, buffer + sizeof buffer, &wc, wc + 1), QV_STEP_DONE);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(buffer), static_cast<size_t>(o - buffer)), "abcd");
  cs__factory(Environment(), QV_FACTORY_DESTROY, &g, nullptr, nullptr);
}

}  // namespace

namespace {

// An escape that only the next byte ends (short octal, x run) leaves that byte
// taken; when it is the last character, the put must still finish.
TEST(TextAtoms, OpenEndedEscapeSplitBeforeTheLastCharacter) {
  const struct {
    Bytes text;
    int64_t count;
  } cases[] = {{"\\12x", 2}, {"\\x41g", 2}, {"a\\7z", 3}, {"\\x1F600!", 2}};
  for (const auto& c : cases) {
    for (uint8_t peer : {A, B, C, D, E, F, G}) {
      const PutResult whole = Put(34, A, c.text, c.count, peer);
      if (whole.result != QV_STEP_DONE) continue;
      three_state s = NewPutState(peer);
      BeginPut(s, 34, A, c.count);
      Bytes split;
      EXPECT_EQ(FeedPut(s, Split(c.text, 1), 1, split), QV_STEP_DONE) << c.text << " peer " << int(peer);
      EXPECT_EQ(Hex(split), Hex(whole.atom)) << c.text << " peer " << int(peer);
      cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
    }
  }
}

}  // namespace

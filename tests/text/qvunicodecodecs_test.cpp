// The readers and writers of the UCS-2, UTF-8, UTF-16 and UTF-32 rows of the
// codec table, and the put prologue that settles the byte order and drops a
// leading mark, called directly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "text/qvunicodeconverters.h"

namespace {

using namespace Quorvane::textatoms;
using namespace Quorvane::textatoms::unicodecodecs;
using Bytes = std::string;

const unsigned char* U(const Bytes& b) { return reinterpret_cast<const unsigned char*>(b.data()); }
int64_t N(const Bytes& b) { return static_cast<int64_t>(b.size()); }

three_state PutState(uint8_t source, uint8_t peer, int64_t count) {
  three_state s{};
  s.accepted = static_cast<uint8_t>(peer | 1);
  s.encoding = source;
  s.characters = count;
  s.six_digit = 1;
  s.step = 1;
  return s;
}

three_state GetState(uint8_t wire, uint8_t target) {
  three_state s{};
  s.accepted = wire;
  s.encoding = target;
  return s;
}

TEST(UnicodeCodecs, Utf8ReaderTakesWellFormedSequencesOnly) {
  const three_state s = GetState(ENCODING_UTF8, ENCODING_UTF8);
  struct Case {
    Bytes bytes;
    CharStatus status;
    int64_t code;
    int64_t used;
  };
  const std::vector<Case> cases = {
      {"a", CharStatus::ok, 'a', 1},
      {Bytes(1, '\0'), CharStatus::ok, 0, 1},
      {"\xC3\xA9z", CharStatus::ok, 0xE9, 2},
      {"\xEF\xBF\xBF", CharStatus::ok, 0xFFFF, 3},
      {"\xF4\x8F\xBF\xBF", CharStatus::ok, 0x10FFFF, 4},
      {"\xF0\x9F\x98", CharStatus::more, 0, 0},  // cut off: more may follow
      {"\xC0\x80", CharStatus::broken, 0, 0},    // overlong
      {"\xE0\x80\x80", CharStatus::broken, 0, 0},
      {"\xED\xA0\x80", CharStatus::broken, 0, 0},  // a surrogate
      {"\xF4\x90\x80\x80", CharStatus::broken, 0, 0},
      {"\x80", CharStatus::broken, 0, 0},
      {"\xFF", CharStatus::broken, 0, 0},
      {"\xC3" "a", CharStatus::broken, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const ReadChar r = ReadUtf8(U(c.bytes), N(c.bytes), false, &s);
    EXPECT_EQ(r.status, c.status);
    if (c.status == CharStatus::ok) {
      EXPECT_EQ(r.code, c.code);
      EXPECT_EQ(r.used, c.used);
    }
  }
  // Cut off by the end of the text: no more will come.
  EXPECT_EQ(ReadUtf8(U("\xF0\x9F\x98"), 3, true, &s).status, CharStatus::broken);
}

TEST(UnicodeCodecs, Utf16ReadersJoinPairsAndRefuseStraysExceptForAUtf16Caller) {
  three_state put = PutState(ENCODING_UTF16, ENCODING_UTF8, 1);
  const Bytes pair_le("\x3D\xD8\x00\xDE", 4);
  const Bytes pair_be("\xD8\x3D\xDE\x00", 4);
  put.byte_order = 0;
  ReadChar r = ReadCallerUtf16(U(pair_le), 4, false, &put);
  EXPECT_EQ(r.status, CharStatus::ok);
  EXPECT_EQ(r.code, 0x1F600);
  EXPECT_EQ(r.used, 4);
  put.byte_order = 1;
  r = ReadCallerUtf16(U(pair_be), 4, false, &put);
  EXPECT_EQ(r.code, 0x1F600);
  EXPECT_EQ(ReadCallerUtf16(U(pair_be), 2, false, &put).status, CharStatus::more);  // waits for its partner
  EXPECT_EQ(ReadCallerUtf16(U(pair_be), 2, true, &put).status, CharStatus::broken);
  EXPECT_EQ(ReadCallerUtf16(U(Bytes("\xDE\x00", 2)), 2, false, &put).status, CharStatus::broken);
  EXPECT_EQ(ReadCallerUtf16(U(Bytes("\xD8\x3D\x00\x41", 4)), 4, false, &put).status, CharStatus::broken);

  // Payload units are in this machine's order; a stray surrogate reaches only a UTF-16 caller.
  const Bytes stray("\x00\xD8\x41\x00", 4);
  const three_state to16 = GetState(ENCODING_UTF16, ENCODING_UTF16);
  const three_state to8 = GetState(ENCODING_UTF16, ENCODING_UTF8);
  r = ReadWireUtf16(U(stray), 4, true, &to16);
  EXPECT_EQ(r.status, CharStatus::ok);
  EXPECT_EQ(r.code, 0xD800);
  EXPECT_EQ(r.used, 2);
  EXPECT_EQ(ReadWireUtf16(U(stray), 4, true, &to8).status, CharStatus::broken);
  EXPECT_EQ(ReadWireUtf16(U(stray), 2, true, &to16).code, 0xD800);
  EXPECT_EQ(ReadWireUtf16(U(stray), 2, false, &to16).status, CharStatus::more);
}

TEST(UnicodeCodecs, WritersRefuseWhatTheirEncodingCannotHold) {
  unsigned char out[8];
  const three_state from_utf8 = PutState(ENCODING_UTF8, ENCODING_UTF16, 1);
  const three_state from_ucs2 = PutState(ENCODING_UCS2, ENCODING_UTF16, 1);
  const three_state c_to_16 = GetState(ENCODING_UCS2, ENCODING_UTF16);
  const three_state f_to_16 = GetState(ENCODING_UTF32, ENCODING_UTF16);
  EXPECT_EQ(WriteUtf16(0x1F600, out, &from_utf8), 4);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(out), 4), Bytes("\x3D\xD8\x00\xDE", 4));
  EXPECT_EQ(WriteUtf16(0xD800, out, &from_utf8), -1);
  EXPECT_EQ(WriteUtf16(0xD800, out, &from_ucs2), 2);  // UCS-2 units pass as they stand
  EXPECT_EQ(WriteUtf16(0xDC00, out, &c_to_16), 2);
  EXPECT_EQ(WriteUtf16(0xDC00, out, &f_to_16), -1);
  EXPECT_EQ(WriteUtf16(0x110000, out, &from_ucs2), -1);
  EXPECT_EQ(WriteUtf8(0xD800, out, &from_utf8), -1);
  EXPECT_EQ(WriteUtf8(0x110000, out, &from_utf8), -1);
  EXPECT_EQ(WriteUtf8(0x10FFFF, out, &from_utf8), 4);
  EXPECT_EQ(WriteWireUcs2(0x10000, out, &from_utf8), -1);
  EXPECT_EQ(WriteWireUcs2(0x0141, out, &from_utf8), 2);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(out), 2), Bytes("\x01\x41", 2));  // high byte first
  EXPECT_EQ(WriteCallerUcs2(0xD800, out, &c_to_16), 2);
  EXPECT_EQ(WriteUtf32(0x110000, out, &from_utf8), 4);  // UTF-32 units travel unchecked
}

TEST(UnicodeCodecs, Utf32PayloadIntoBytesTakesOnlyCharacters) {
  const three_state to_bytes = GetState(ENCODING_UTF32, ENCODING_BYTES);
  const three_state to_32 = GetState(ENCODING_UTF32, ENCODING_UTF32);
  for (uint32_t unit : {0xD800u, 0x110000u}) {
    unsigned char p[4];
    std::memcpy(p, &unit, 4);
    EXPECT_EQ(ReadWireUtf32(p, 4, true, &to_bytes).status, CharStatus::broken);
    EXPECT_EQ(ReadWireUtf32(p, 4, true, &to_32).code, unit);
  }
}

TEST(UnicodeCodecs, AUcs2PairIntoUtf16IsRefusedButLoneUnitsPass) {
  // The peer takes UTF-16 only: the units go out as they stand.
  const three_state s = PutState(ENCODING_UCS2, ENCODING_UTF16, 2);
  const Bytes pair("\x3D\xD8\x00\xDE", 4);
  const Bytes lone("\x00\xD8\x41\x00", 4);
  EXPECT_EQ(ReadCallerUcs2(U(pair), 4, false, &s).status, CharStatus::broken);
  EXPECT_EQ(ReadCallerUcs2(U(pair), 2, false, &s).status, CharStatus::more);
  EXPECT_EQ(ReadCallerUcs2(U(lone), 4, false, &s).code, 0xD800);
  // A peer of UCS-2 takes the pair as two characters.
  const three_state to_c = PutState(ENCODING_UCS2, ENCODING_UCS2 | ENCODING_UTF16, 2);
  EXPECT_EQ(ReadCallerUcs2(U(pair), 4, false, &to_c).code, 0xD83D);
}

struct MarkCase {
  const char* name;
  uint8_t source;
  Bytes text;
  int64_t count;
  int64_t result;
  int64_t skipped;
  int64_t count_after;
  uint8_t byte_order;
};

TEST(UnicodeCodecs, PutPrologueDropsALeadingMarkAndSettlesTheByteOrder) {
  const std::vector<MarkCase> cases = {
      {"UTF-8 mark", ENCODING_UTF8, "\xEF\xBB\xBF" "a", 2, 0, 3, 1, 1},
      {"UTF-8 without", ENCODING_UTF8, "\xEF\xBC\x81", 1, 0, 0, 1, 1},
      {"UTF-8 mark cut off", ENCODING_UTF8, "\xEF\xBB", 2, QV_STEP_CALLER, 0, 2, 1},
      {"UTF-8 nothing declared", ENCODING_UTF8, "\xEF\xBB\xBF", 0, 0, 0, 0, 1},
      {"UTF-16 FF FE", ENCODING_UTF16, Bytes("\xFF\xFE" "a\0", 4), 2, 0, 2, 1, 0},
      {"UTF-16 FE FF", ENCODING_UTF16, Bytes("\xFE\xFF\0a", 4), 2, 0, 2, 1, 1},
      {"UTF-16 unmarked", ENCODING_UTF16, Bytes("a\0", 2), 1, 0, 0, 1, 1},
      {"UTF-16 half a unit", ENCODING_UTF16, Bytes("\xFF", 1), 1, QV_STEP_CALLER, 0, 1, 1},
      {"UTF-32 FF FE 00 00", ENCODING_UTF32, Bytes("\xFF\xFE\0\0", 4), 1, 0, 4, 0, 0},
      {"UTF-32 00 00 FE FF", ENCODING_UTF32, Bytes("\0\0\xFE\xFF", 4), 1, 0, 4, 0, 1},
      {"UTF-32 FF FE 00 01", ENCODING_UTF32, Bytes("\xFF\xFE\0\x01", 4), 1, 0, 0, 1, 1},
      {"UCS-2 is never marked", ENCODING_UCS2, Bytes("\xFF\xFE", 2), 1, 0, 0, 1, 0},
  };
  for (const MarkCase& c : cases) {
    SCOPED_TRACE(c.name);
    three_state s = PutState(c.source, ENCODING_UTF8, c.count);
    unsigned char* start = reinterpret_cast<unsigned char*>(const_cast<char*>(c.text.data()));
    unsigned char* cursor = start;
    EXPECT_EQ(BeginUnicodePut(&s, &cursor, start + c.text.size()), c.result);
    EXPECT_EQ(cursor - start, c.skipped);
    EXPECT_EQ(s.characters, c.count_after);
    EXPECT_EQ(s.byte_order, c.byte_order);
  }
}

}  // namespace

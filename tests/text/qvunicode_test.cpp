// The Unicode primitives on the cases that the oracle comparison does not
// reach: byte-order marks, argument checks, capacities and positions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "text/qvunicode.h"

namespace {

TEST(ByteTests, ClassifyEveryByte) {
  for (int b = 0; b < 256; ++b) {
    const unsigned char v = static_cast<unsigned char>(b);
    const int loose = b < 0x80 ? 1 : b < 0xC0 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF8 ? 4 : 0;
    const int strict = b < 0x80 ? 1 : b < 0xC2 ? -1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF5 ? 4 : -1;
    EXPECT_EQ(qv_get_sizeof_utf8_char(v), loose) << b;
    EXPECT_EQ(qv_byte_is_utf8_header_and_get_size(v), loose) << b;
    EXPECT_EQ(qv_byte_is_utf8_header(v), loose != 0) << b;
    EXPECT_EQ(qv_byte_is_utf8_secondary(v), b >= 0x80 && b <= 0xBF) << b;
    EXPECT_EQ(qv_utf8_character_length_from_header(v), strict) << b;
  }
  EXPECT_EQ(qv_short_is_utf16_header(0xDBFF), 1);
  EXPECT_EQ(qv_short_is_utf16_header(0xDC00), 0);
  EXPECT_EQ(qv_short_is_utf16_secondary(0xDFFF), 1);
  EXPECT_EQ(qv_short_is_utf16_secondary(0xE000), 0);
}

_qvunicode Acc8(std::initializer_list<unsigned char> bytes) {
  _qvunicode a{};
  a.kind = QV_UNICODE_UTF8;
  for (auto b : bytes) a.units[a.count++] = b;
  return a;
}

TEST(Accumulator, ValidNextByteRefusesOverlongSurrogateAndOutOfRange) {
  struct Case {
    std::initializer_list<unsigned char> held;
    unsigned char next;
    int valid;
  };
  const Case cases[] = {
      {{}, 0xC0, 0},       {{}, 0xC1, 0},       {{}, 0xC2, 1},       {{}, 0xF4, 1},       {{}, 0xF5, 0},
      {{}, 0x80, 0},       {{0xE0}, 0x80, 0},   {{0xE0}, 0xA0, 1},   {{0xED}, 0xA0, 0},   {{0xED}, 0x9F, 1},
      {{0xF4}, 0x90, 0},   {{0xF4}, 0x8F, 1},   {{0xF0}, 0x8F, 0},   {{0xF0}, 0x90, 1},   {{0x41}, 0x80, 0},
      {{0xC2}, 0x41, 0},   {{0xC2, 0x80}, 0x80, 0}, {{0xE1, 0x80}, 0x80, 1}, {{0xF1, 0x80, 0x80}, 0xBF, 1},
      {{0xF1, 0x80, 0x80, 0x80}, 0x80, 0},
  };
  for (const auto& c : cases) {
    const _qvunicode a = Acc8(c.held);
    EXPECT_EQ(qv_utf8_is_valid_next_byte(&a, c.next), c.valid) << "held " << c.held.size() << " next " << int(c.next);
  }
  EXPECT_EQ(qv_utf8_is_valid_next_byte(nullptr, 0x41), 0);
}

TEST(Accumulator, IsDoneByKindAndCount) {
  EXPECT_EQ(qv_utfchar_is_done(nullptr), -1);
  _qvunicode empty{};
  empty.kind = QV_UNICODE_UTF8;
  EXPECT_EQ(qv_utfchar_is_done(&empty), 0);
  _qvunicode a = Acc8({0x41});
  EXPECT_EQ(qv_utfchar_is_done(&a), 1);
  a = Acc8({0xE2, 0x82});
  EXPECT_EQ(qv_utfchar_is_done(&a), 0);
  a = Acc8({0xE2, 0x82, 0xAC});
  EXPECT_EQ(qv_utfchar_is_done(&a), 1);
  a = Acc8({0xC0, 0x80});  // no lead byte
  EXPECT_EQ(qv_utfchar_is_done(&a), 0);
  _qvunicode u16{};
  u16.kind = QV_UNICODE_UTF16;
  const unsigned short high = 0xD83D, plain = 0x00E9;
  std::memcpy(u16.units, &high, 2);
  u16.count = 1;
  EXPECT_EQ(qv_utfchar_is_done(&u16), 0);
  u16.count = 2;
  EXPECT_EQ(qv_utfchar_is_done(&u16), 1);
  std::memcpy(u16.units, &plain, 2);
  u16.count = 1;
  EXPECT_EQ(qv_utfchar_is_done(&u16), 1);
  _qvunicode u32{};
  u32.kind = QV_UNICODE_UTF32;
  u32.count = 3;
  EXPECT_EQ(qv_utfchar_is_done(&u32), 0);
  u32.count = 4;
  EXPECT_EQ(qv_utfchar_is_done(&u32), 1);
}

TEST(ByteOrder, MarksAndEndianTypes) {
  const unsigned char fe_ff[] = {0xFE, 0xFF, 0, 0}, ff_fe[] = {0xFF, 0xFE, 0, 0}, a[] = {0x41, 0x00, 0, 0};
  unsigned short u;
  std::memcpy(&u, fe_ff, 2);
  EXPECT_EQ(QVGetUTF16EndianType(&u), QV_ENDIAN_SWAPPED);
  EXPECT_EQ(QVHasByteOrderMark(&u), 1);
  std::memcpy(&u, ff_fe, 2);
  EXPECT_EQ(QVGetUTF16EndianType(&u), QV_ENDIAN_NATIVE);
  EXPECT_EQ(QVHasByteOrderMark(&u), 1);
  std::memcpy(&u, a, 2);
  EXPECT_EQ(QVGetUTF16EndianType(&u), QV_ENDIAN_SWAPPED);
  EXPECT_EQ(QVHasByteOrderMark(&u), 0);

  const unsigned char be32[] = {0x00, 0x00, 0xFE, 0xFF}, le32[] = {0xFF, 0xFE, 0x00, 0x00};
  unsigned int w;
  std::memcpy(&w, be32, 4);
  EXPECT_EQ(QVGetUTF32EndianType(&w), QV_ENDIAN_SWAPPED);
  EXPECT_EQ(QVHasByteOrderMark(&w), 1);
  std::memcpy(&w, le32, 4);
  EXPECT_EQ(QVGetUTF32EndianType(&w), QV_ENDIAN_NATIVE);
  unsigned char made[4];
  QVMakeUTF32ByteorderMark(made);
  EXPECT_EQ(std::memcmp(made, le32, 4), 0);
  EXPECT_EQ(QVUnsignedShortIsUTF16ByteOrderMark(0xFFFE), 1);
  EXPECT_EQ(QVUnsignedShortIsUTF16ByteOrderMark(0xFEFE), 0);
  EXPECT_EQ(QVUnsignedIntIsUTF32ByteOrderMark(0xFFFE0000u), 1);
  EXPECT_EQ(QVUnsignedIntIsUTF32ByteOrderMark(0xFEFF0000u), 0);

  unsigned int v = 0x11223344;
  QVSwitchUnsignedIntByteOrder(&v);
  EXPECT_EQ(v, 0x44332211u);
  unsigned short s = 0x1122;
  qv_switch_byte_order(&s, 2);
  EXPECT_EQ(s, 0x2211);
  qv_switch_byte_order(nullptr, 2);  // nothing happens
}

TEST(Makers, SizesOnEntryAndRefusals) {
  unsigned char b[4];
  int size = 5;
  EXPECT_EQ(QVMakeUTF8FromUCS2(0x41, b, &size), 0);  // must be exactly 4
  size = 5;
  EXPECT_EQ(QVMakeUTF8FromUTF32(0x41, b, &size), 1);
  EXPECT_EQ(size, 1);
  size = 3;
  EXPECT_EQ(QVMakeUTF8FromUTF32(0x41, b, &size), 0);
  size = 4;
  EXPECT_EQ(QVMakeUTF8FromUTF32(0x110000, b, &size), 0);

  unsigned short u[2] = {0, 0};
  int units = 5;
  EXPECT_EQ(QVMakeUTF16FromUTF32(0x1F600, u, &units), 1);
  EXPECT_EQ(units, 2);  // the units written, whatever the room was
  EXPECT_EQ(u[0], 0xD83D);
  EXPECT_EQ(u[1], 0xDE00);
  units = 1;
  EXPECT_EQ(QVMakeUTF16FromUTF32(0x41, u, &units), 0);

  const unsigned char four[] = {0xF0, 0x9F, 0x98, 0x80};
  unsigned short one;
  EXPECT_EQ(QVMakeUCS2FromUTF8(four, 4, &one), -1);
  EXPECT_EQ(QVMakeUCS2FromUTF8(four, 0, &one), 1);
  units = 2;
  EXPECT_EQ(QVMakeUTF16FromUTF8(four, 0, u, &units), 1);
  EXPECT_EQ(units, 1);
  units = 2;
  EXPECT_EQ(QVMakeUTF16FromUTF8(four, 5, u, &units), 0);

  int count = 1;
  EXPECT_EQ(QVMakeUCS2FromUTF32(0xD800, &one, &count), 1);  // UCS-2 holds surrogate units
  EXPECT_EQ(QVMakeUCS2FromUTF32(0x10000, &one, &count), 0);
  count = 0;
  EXPECT_EQ(QVMakeUCS2FromUTF32(0x41, &one, &count), 0);

  unsigned int cp;
  EXPECT_EQ(QVMakeUTF32FromSurrogatePair(0xDBFF, 0xDFFF, &cp), 1);
  EXPECT_EQ(cp, 0x10FFFFu);
  unsigned short pair[2];
  QVMakeSurrogatePairFromUTF32(0x10000, pair);
  EXPECT_EQ(pair[0], 0xD800);
  EXPECT_EQ(pair[1], 0xDC00);
  const unsigned short broken[] = {0xD800, 0x0041};
  EXPECT_EQ(QVMakeUTF32FromUTF16(broken, 2, &cp), 0);
  EXPECT_EQ(QVMakeUTF32FromUTF16(broken, 3, &cp), 0);
}

TEST(Counting, TablesOfSizes) {
  int64_t n = -1;
  const unsigned short e000 = 0xE000, dfff = 0xDFFF;
  EXPECT_EQ(QVCountUTF8SizeOfUCS2String(&e000, 1, &n), 1);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(QVCountUTF8SizeOfUCS2String(&dfff, 1, &n), 0);
  const unsigned char bytes[] = {0x41, 0x80, 0xFF};
  EXPECT_EQ(QVCountUTF8SizeOfByteString(bytes, 3, &n), 1);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(QVCountUTF8SizeOfByteString(bytes, 0, &n), 1);
  EXPECT_EQ(n, 0);
  // Swapped units are reversed before they are looked at.
  const unsigned short swapped_pair[] = {0x3DD8, 0x00DE};
  EXPECT_EQ(QVCountUTF8SizeOfUTF16String(swapped_pair, 2, &n, QV_ENDIAN_SWAPPED), 1);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(QVCountUnicodePointsInUTF16String(swapped_pair, 2, &n, QV_ENDIAN_SWAPPED), 1);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(QVCountUnicodePointsInUTF16String(swapped_pair, 2, &n, QV_ENDIAN_UNKNOWN), 0);
  const unsigned int astral = 0x1F600, big = 0x110000;
  EXPECT_EQ(QVCountUTF16SizeOfUTF32String(&astral, 1, &n, QV_ENDIAN_NATIVE), 1);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(QVCountUTF16SizeOfUTF32String(&big, 1, &n, QV_ENDIAN_NATIVE), 0);
  EXPECT_EQ(QVCountUnicodePointsInUTF8String(nullptr, 1, &n), 0);
  EXPECT_EQ(QVCountUnicodePointsInUTF8String(bytes, 1, nullptr), 0);
}

TEST(Lossless, EdgeAnswers) {
  const unsigned char nul[] = {0x41, 0x00}, emoji[] = {0xF0, 0x9F, 0x98, 0x80}, e_acute[] = {0xC3, 0xA9};
  EXPECT_EQ(QVUTF8StringWillConvertLosslesslyToASCIIEncoding(nul, 2), 0);
  EXPECT_EQ(QVUTF8StringWillConvertLosslesslyToASCIIEncoding(nul, 0), 1);
  EXPECT_EQ(QVUTF8StringWillConvertLosslesslyToByteEncoding(nul, 2), 1);
  EXPECT_EQ(QVUTF8StringWillConvertLosslesslyToUCS2Encoding(emoji, 4), 0);
  EXPECT_EQ(QVUTF8StringWillConvertLosslesslyToByteEncoding(e_acute, 2), 1);
  EXPECT_EQ(QVUTF8StringWillConvertLosslesslyToByteEncoding(e_acute, 1), 0);  // cut off
}

TEST(WholeStrings, ByteOrderMarkRules) {
  // "AB" in this machine's order without a mark is read swapped.
  const unsigned short plain[] = {0x0041, 0x0042};
  unsigned char out[16] = {};
  ASSERT_EQ(QVConvertUTF16StringToUTF8String(plain, 2, out, sizeof out), 1);
  EXPECT_EQ(std::memcmp(out, "\xE4\x84\x80\xE4\x88\x80", 6), 0);  // U+4100 U+4200
  const unsigned short marked[] = {0xFEFF, 0x0041, 0x0042};
  std::memset(out, 0, sizeof out);
  ASSERT_EQ(QVConvertUTF16StringToUTF8String(marked, 3, out, 2), 1);  // the mark takes no room
  EXPECT_EQ(std::memcmp(out, "AB\0", 3), 0);
  const unsigned short swapped_mark[] = {0xFFFE, 0x4100};
  ASSERT_EQ(QVConvertUTF16StringToUTF8String(swapped_mark, 2, out, 1), 1);
  EXPECT_EQ(out[0], 'A');
  const unsigned short only_mark[] = {0xFEFF};
  EXPECT_EQ(QVConvertUTF16StringToUTF8String(only_mark, 1, out, 1), 1);

  const unsigned int marked32[] = {0x0000FEFF, 0x1F600};
  ASSERT_EQ(QVConvertUTF32StringToUTF8String(marked32, 2, out, 4), 1);
  EXPECT_EQ(std::memcmp(out, "\xF0\x9F\x98\x80", 4), 0);
  EXPECT_EQ(QVConvertUTF32StringToUTF8String(marked32, 2, out, 3), -1);

  const unsigned char abc[] = {'a', 'b', 'c'};
  unsigned short u16[4] = {};
  EXPECT_EQ(QVConvertUTF8StringToUTF16String(abc, 3, u16, 4), 1);
  EXPECT_EQ(u16[0], 0xFEFF);
  EXPECT_EQ(u16[3], 'c');
  EXPECT_EQ(QVConvertUTF8StringToUTF16String(abc, 3, u16, 3), -1);
  unsigned int u32[4] = {};
  EXPECT_EQ(QVConvertUTF8StringToUTF32String(abc, 3, u32, 4), 1);
  EXPECT_EQ(u32[0], 0xFEFFu);
  unsigned short ucs[3] = {};
  EXPECT_EQ(QVConvertUTF8StringToUCS2String(abc, 3, ucs, 3), 1);
  EXPECT_EQ(ucs[0], 'a');  // no mark

  EXPECT_EQ(QVConvertUTF8StringToUTF16String(abc, 0, u16, 4), 0);
  EXPECT_EQ(QVConvertUTF8StringToUTF16String(nullptr, 3, u16, 4), 0);
  EXPECT_EQ(QVConvertUTF8StringToUTF16String(abc, 3, u16, 0), 0);
  const unsigned short surrogate = 0xD800;
  EXPECT_EQ(QVConvertUCS2StringToUTF8String(&surrogate, 1, out, 4), -1);
}

TEST(WholeStrings, NothingIsWrittenPastTheCapacity) {
  // A long text into every capacity below what it needs: refused, and the
  // guard after the capacity is untouched.
  std::vector<unsigned char> text;
  for (int i = 0; i < 40; ++i) {
    const unsigned char piece[] = {'x', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80};
    text.insert(text.end(), piece, piece + sizeof piece);
  }
  int64_t need16 = 0;
  ASSERT_EQ(QVCountUTF16SizeOfUTF8String(text.data(), static_cast<int64_t>(text.size()), &need16), 1);
  for (int64_t cap = 1; cap <= need16 + 1; ++cap) {
    std::vector<unsigned short> out(cap + 1, 0x5A5A);
    const int r = QVConvertUTF8StringToUTF16String(text.data(), static_cast<int64_t>(text.size()), out.data(), cap);
    EXPECT_EQ(r, cap >= need16 + 1 ? 1 : -1) << cap;
    EXPECT_EQ(out[cap], 0x5A5A) << cap;
  }
  std::vector<unsigned short> u16(need16 + 1);
  ASSERT_EQ(QVConvertUTF8StringToUTF16String(text.data(), static_cast<int64_t>(text.size()), u16.data(),
                                             need16 + 1),
            1);
  for (int64_t cap = 1; cap <= static_cast<int64_t>(text.size()); ++cap) {
    std::vector<unsigned char> out(cap + 1, 0x5A);
    const int r = QVConvertUTF16StringToUTF8String(u16.data(), need16 + 1, out.data(), cap);
    EXPECT_EQ(r, cap == static_cast<int64_t>(text.size()) ? 1 : -1) << cap;
    EXPECT_EQ(out[cap], 0x5A) << cap;
  }
}

TEST(Stepping, WalksVisitEachCharacterOnceThenEnd) {
  // a, U+1F600, b in swapped order (no mark).
  const unsigned short swapped[] = {0x6100, 0x3DD8, 0x00DE, 0x6200};
  const unsigned short* p = swapped;
  int64_t left = 4;
  unsigned int cp;
  std::vector<unsigned int> seen;
  int r;
  while ((r = QVNextUTF32FromUTF16String(&p, &left, &cp, QV_ENDIAN_SWAPPED)) == 1) seen.push_back(cp);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(seen, (std::vector<unsigned int>{'a', 0x1F600, 'b'}));
  EXPECT_EQ(left, 0);

  p = swapped;
  left = 4;
  std::vector<unsigned short> units;
  unsigned short out[2];
  int count = 2;
  while ((r = QVNextUTF16FromUTF16String(&p, &left, out, &count, QV_ENDIAN_SWAPPED)) == 1) {
    units.insert(units.end(), out, out + count);
    count = 2;
  }
  EXPECT_EQ(r, -1);
  EXPECT_EQ(units, (std::vector<unsigned short>{'a', 0xD83D, 0xDE00, 'b'}));

  // Cut inside a pair: refused, nothing moves.
  const unsigned short cut[] = {0xD83D};
  p = cut;
  left = 1;
  EXPECT_EQ(QVNextUTF32FromUTF16String(&p, &left, &cp, QV_ENDIAN_NATIVE), -1);
  EXPECT_EQ(p, cut);
  EXPECT_EQ(left, 1);
  count = 2;
  EXPECT_EQ(QVNextUTF16FromUTF16String(&p, &left, out, &count, QV_ENDIAN_NATIVE), 0);
  EXPECT_EQ(QVNextUTF32FromUTF16String(&p, &left, &cp, QV_ENDIAN_UNKNOWN), 0);

  const unsigned int u32[] = {0x41, 0x110000};
  const unsigned int* q = u32;
  left = 2;
  unsigned char b[4];
  count = 4;
  EXPECT_EQ(QVNextUTF8FromUTF32String(&q, &left, b, &count, QV_ENDIAN_NATIVE), 1);
  count = 4;
  EXPECT_EQ(QVNextUTF8FromUTF32String(&q, &left, b, &count, QV_ENDIAN_NATIVE), -1);
  EXPECT_EQ(left, 1);
  count = 3;
  EXPECT_EQ(QVNextUTF8FromUTF32String(&q, &left, b, &count, QV_ENDIAN_NATIVE), 0);
  EXPECT_EQ(QVNextUTF32FromUTF32String(&q, &left, &cp, QV_ENDIAN_SWAPPED), 1);
  EXPECT_EQ(cp, 0x00001100u);
  EXPECT_EQ(QVNextUTF32FromUTF32String(&q, &left, &cp, QV_ENDIAN_NATIVE), 0);

  // UTF-8: an ill-formed sequence is refused in place.
  const unsigned char bad[] = {'a', 0xC0, 0x80};
  const unsigned char* s = bad;
  left = 3;
  EXPECT_EQ(QVNextUTF32FromUTF8String(&s, &left, &cp), 1);
  EXPECT_EQ(QVNextUTF32FromUTF8String(&s, &left, &cp), 0);
  EXPECT_EQ(s, bad + 1);
  EXPECT_EQ(left, 2);
  count = 3;
  EXPECT_EQ(QVNextUTF8FromUTF8String(&s, &left, b, &count), 0);  // count must be 4
}

}  // namespace

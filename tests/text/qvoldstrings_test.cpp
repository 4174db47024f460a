#include "quorvane_oldstrings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::string;

Bytes Code(unsigned int c) {
  unsigned char buffer[4];
  unsigned char* p = buffer;
  const int n = RVOldPutCharToString(c, &p);
  EXPECT_EQ(p - buffer, n);
  EXPECT_EQ(RVOldPutCharToString(c, nullptr), n) << "sizing writes nothing";
  return Bytes(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
}

TEST(OldStrings, ByteCodesOfOneCharacter) {
  const struct {
    unsigned int code;
    Bytes bytes;
  } cases[] = {
      {0, "\xFF"},          {1, "\x01"},         {247, "\xF7"},
      {248, "\xF8\xF8"},    {255, "\xF8\xFF"},   {0x100, "\xFA\x01"},
      {0x1234, "\xFB\x12\x34"}, {0xFF00, "\xFA\xFF"}, {0xFFFF, "\xFB\xFF\xFF"},
      {0x10041, "A"},  // taken as a 16-bit value
  };
  for (const auto& c : cases) EXPECT_EQ(Code(c.code), c.bytes) << c.code;
}

// Walks zero-terminated legacy text; the characters and the kinds seen.
std::vector<unsigned int> Walk(const Bytes& text, std::vector<int>* kinds = nullptr) {
  std::vector<unsigned int> out;
  RVOldStringPosition pos;
  const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
  RVOldStringFirstPosFun(p, &pos);
  for (int guard = 0; pos.run > 0 && guard < (1 << 20); ++guard) {
    EXPECT_LE(pos.current, p + text.size()) << "stays inside the text";
    out.push_back(RVOldStringCharFun(&pos));
    if (kinds != nullptr) kinds->push_back(pos.kind);
    RVOldStringNextPosFun(&pos);
  }
  EXPECT_LE(pos.current, p + text.size());
  return out;
}

TEST(OldStrings, WalkReadsEveryCode) {
  std::vector<int> kinds;
  EXPECT_EQ(Walk("a\xFF\xF8\xF8\xF9\x41\xFA\x01\xFB\x12\x34z", &kinds),
            (std::vector<unsigned int>{'a', 0, 0xF8, 0x41, 0x100, 0x1234, 'z'}));
  EXPECT_EQ(kinds, (std::vector<int>{0, 255, 1, 249, 250, 2, 0}));
  EXPECT_TRUE(Walk("").empty());
  EXPECT_EQ(Walk("\xFC\xFD\xFE"), (std::vector<unsigned int>{0xFC, 0xFD, 0xFE})) << "no prefixes";
  RVOldStringPosition pos;
  const unsigned char text[] = "\xFB\x12\x34";
  EXPECT_EQ(RVOldStringFirstPosFun(text, &pos), text + 1) << "the value bytes after the prefix";
  EXPECT_EQ(pos.code_start, text);
  EXPECT_EQ(pos.run, 1);
}

// A prefix whose value bytes the terminating zero cuts off ends the text: the
// walk never steps past the terminator.
TEST(OldStrings, TruncatedPrefixEndsTheWalk) {
  for (const Bytes& text : {Bytes("ab\xF8"), Bytes("ab\xF9"), Bytes("ab\xFA"), Bytes("ab\xFB"), Bytes("ab\xFB\x12")}) {
    EXPECT_EQ(Walk(text), (std::vector<unsigned int>{'a', 'b'})) << text.size();
  }
}

TEST(OldStrings, ConvertByteAndUcs2Strings) {
  const unsigned char bytes[] = {'a', 0, 0xF8, 'b'};
  int64_t size = -1;
  EXPECT_EQ(RVOldConvertByteString(bytes, 4, &size, nullptr), 0);
  EXPECT_EQ(size, 5);
  unsigned char out[16];
  unsigned char* cursor = out;
  EXPECT_EQ(RVOldConvertByteString(bytes, 4, &cursor, out + 3), 2) << "stops before the two-byte code";
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(out), static_cast<size_t>(cursor - out)), "a\xFF");
  EXPECT_EQ(RVOldConvertByteString(bytes + 2, 2, &cursor, out + sizeof out), 0);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(out), static_cast<size_t>(cursor - out)), "a\xFF\xF8\xF8" "b");

  const unsigned short units[] = {'x', 0x1234, 0x100, 0xF9};
  EXPECT_EQ(RVOldConvertUCS2String(units, 4, &size, nullptr), 0);
  EXPECT_EQ(size, 1 + 3 + 2 + 2);
  cursor = out;
  EXPECT_EQ(RVOldConvertUCS2String(units, 4, &cursor, out + 3), 3) << "two bytes left: stops before a three-byte code";
  EXPECT_EQ(cursor, out + 1);
  EXPECT_EQ(RVOldConvertUCS2String(units + 1, 3, &cursor, out + sizeof out), 0);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(out), static_cast<size_t>(cursor - out)), "x\xFB\x12\x34\xFA\x01\xF8\xF9");
}

// A write pass with nothing to write at must not claim that it wrote the text.
TEST(OldStrings, ConvertWithoutCursorWritesNothingAndSaysSo) {
  const unsigned char bytes[] = {'a', 'b', 'c'};
  const unsigned short units[] = {'x', 0x1234};
  unsigned char out[8];
  unsigned char* cursor = nullptr;
  EXPECT_EQ(RVOldConvertByteString(bytes, 3, &cursor, out + sizeof out), 3);
  EXPECT_EQ(RVOldConvertUCS2String(units, 2, &cursor, out + sizeof out), 2);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(RVOldConvertByteString(bytes, 3, nullptr, out + sizeof out), 3);
  EXPECT_EQ(RVOldConvertUCS2String(nullptr, 2, &cursor, out + sizeof out), 2);
}

TEST(OldStrings, EveryCharacterRoundTrips) {
  Bytes text;
  for (unsigned int c = 1; c <= 0xFFFF; c += 7) text += Code(c);
  text += Code(0);
  const std::vector<unsigned int> back = Walk(text);
  ASSERT_EQ(back.size(), 0xFFFF / 7 + 2);
  for (size_t i = 0; i + 1 < back.size(); ++i) ASSERT_EQ(back[i], 1 + 7 * i);
  EXPECT_EQ(back.back(), 0u);
}

TEST(OldStrings, MemchrGivesTheEndWhenAbsent) {
  const unsigned char text[] = "abcabc";
  EXPECT_EQ(inline_memchr2(text, 'c', 6), text + 2);
  EXPECT_EQ(inline_memchr2(text, 'z', 6), text + 6);
}

}  // namespace

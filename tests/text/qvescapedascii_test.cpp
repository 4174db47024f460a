// The escaped-ASCII writer and reader: both tables, the bounds on escapes, the
// joining of surrogate pairs and the character counter.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "include/quorvane_text.h"
#include "text/qvescapedascii.h"

namespace {

std::string Escape(unsigned int code) {
  char buf[16] = {};
  char* p = buf;
  const int n = RVConvertCharacter(code, &p);
  EXPECT_EQ(p - buf, n);
  EXPECT_EQ(RVConvertCharacter(code, nullptr), n);
  return std::string(buf, n);
}

TEST(Writer, FollowsTheTable) {
  const struct {
    unsigned int code;
    const char* text;
  } cases[] = {
      {0x00, "\\000"},     {0x0A, "\\012"},     {0x1F, "\\037"},         {0x20, " "},
      {0x41, "A"},         {0x5C, "\\\\"},      {0x7E, "~"},             {0x7F, "\\177"},
      {0x80, "\\200"},     {0xFF, "\\377"},     {0x100, "\\:0100"},      {0xD800, "\\:D800"},
      {0xFFFF, "\\:FFFF"}, {0x10000, "\\|010000"}, {0x1F600, "\\|01F600"}, {0x10FFFF, "\\|10FFFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(Escape(c.code), c.text) << std::hex << c.code;
  char buf[4] = {'?', '?', '?', '?'};
  char* p = buf;
  EXPECT_EQ(RVConvertCharacter(0x110000, &p), 0);  // no escaped form
  EXPECT_EQ(p, buf);
  EXPECT_EQ(RVConvertCharacter(0x5C, nullptr), 2);
  EXPECT_EQ(RVConvertNewLine(nullptr), 2);
  p = buf;
  EXPECT_EQ(RVConvertNewLine(&p), 2);
  EXPECT_EQ(p, buf + 2);
  EXPECT_EQ(std::string(buf, 2), "\\n");
}

struct ReadCase {
  const char* text;
  size_t length;  // bytes of text given (the end)
  int more;
  int code;
  size_t consumed;  // bytes the cursor moved
};

TEST(Reader, FollowsTheTable) {
  const ReadCase cases[] = {
      {"A", 1, 0, 'A', 1},
      {"\\\"", 2, 0, '"', 2},
      {"\\'", 2, 0, '\'', 2},
      {"\\?", 2, 0, '?', 2},
      {"\\\\", 2, 0, '\\', 2},
      {"\\a\\b", 4, 0, 7, 2},
      {"\\b", 2, 0, 8, 2},
      {"\\f", 2, 0, 12, 2},
      {"\\n", 2, 0, 10, 2},
      {"\\r", 2, 0, 13, 2},
      {"\\t", 2, 0, 9, 2},
      {"\\v", 2, 0, 11, 2},
      {"\\\nX", 3, 0, 'X', 3},              // line continuation
      {"\\\rX", 3, 0, 'X', 3},
      {"\\\n\\\n\\\nY", 7, 0, 'Y', 7},
      {"\\177", 4, 0, 0x7F, 4},
      {"\\12z", 4, 0, 10, 3},               // stops at the first byte that is no octal digit
      {"\\1234", 5, 0, 0123, 4},            // at most three digits
      {"\\12", 3, 1, -1, 0},                // may yet get a third digit
      {"\\12", 3, 0, 10, 3},                // the text is complete
      {"\\.e9", 4, 0, 0xE9, 4},
      {"\\:00e9", 6, 0, 0xE9, 6},           // either case
      {"\\:D83D", 6, 0, 0xD83D, 6},
      {"\\|01F600", 8, 0, 0x1F600, 8},
      {"\\|10FFFF", 8, 0, 0x10FFFF, 8},
      {"\\x41 ", 5, 0, 0x41, 4},            // cursor on the space
      {"\\x1F600!", 8, 0, 0x1F600, 7},
      {"\\x[long]", 8, 0, -2, 2},           // no digits
      {"\\[name]z", 8, 0, -2, 7},           // no long names are known
      {"\\q", 2, 0, -1, 0},                 // unknown letter
      {"", 0, 0, -1, 0},
      {"\\", 1, 0, -1, 0},                  // a backslash as the last byte
      {"\\:00E", 5, 0, -1, 0},              // cut hex form
      {"\\[name", 6, 0, -1, 0},             // no closing bracket
      {"\\x41", 4, 1, -1, 0},               // x run that reaches the end, more may follow
      {"\\x41", 4, 0, 0x41, 4},
      {"\\\n", 2, 0, -1, 0},                // nothing after the continuation
  };
  for (const auto& c : cases) {
    const char* p = c.text;
    EXPECT_EQ(QVNextChar(&p, c.text + c.length, c.more, 0, nullptr), c.code) << c.text;
    EXPECT_EQ(static_cast<size_t>(p - c.text), c.consumed) << c.text;
  }
}

TEST(Reader, EscapesAreBounded) {
  const ReadCase cases[] = {
      {"\\|110000", 8, 0, -2, 8},
      {"\\|FFFFFF", 8, 0, -2, 8},
      // Fixed forms take hex digits only.
      {"\\:12\\n", 6, 0, -2, 4},
      {"\\.G0", 4, 0, -2, 2},
      // A long name is bounded too.
      {"\\[0123456789012345678901234567890123456789]", 43, 0, -2, 2},
  };
  for (const auto& c : cases) {
    const char* p = c.text;
    EXPECT_EQ(QVNextChar(&p, c.text + c.length, c.more, 0, nullptr), c.code) << c.text;
    EXPECT_EQ(static_cast<size_t>(p - c.text), c.consumed) << c.text;
  }
}

// An x escape takes the whole run of hex digits, leading zeros without limit;
// a value past U+10FFFF, however long the run, is refused like an unknown
// letter: -1, the cursor stays. The value is checked against strtoull.
TEST(Reader, XTakesTheWholeRun) {
  const std::string zeros(60, '0');
  const struct {
    std::string text;
    int more;
    int code;
    size_t consumed;
  } cases[] = {
      {"\\x0000041 ", 0, 0x41, 9},
      {"\\x" + zeros + "1F600!", 0, 0x1F600, 67},
      {"\\x" + zeros + "10FFFF", 0, 0x10FFFF, 68},
      {"\\x" + zeros, 0, 0, 62},
      {"\\x110000", 0, -1, 0},
      {"\\x" + zeros + "110000 ", 0, -1, 0},
      {"\\xFFFFFFFFFFFFFFFFFFFFFFFF", 0, -1, 0},  // would overflow any integer
      {"\\x1000000000000000041", 0, -1, 0},
      {"\\x0000041", 1, -1, 0},                   // the run may go on in the next piece
      {"\\x110000", 1, -1, 0},
  };
  for (const auto& c : cases) {
    const char* p = c.text.data();
    EXPECT_EQ(QVNextChar(&p, c.text.data() + c.text.size(), c.more, 0, nullptr), c.code) << c.text;
    EXPECT_EQ(static_cast<size_t>(p - c.text.data()), c.consumed) << c.text;
    if (c.code >= 0) {
      EXPECT_EQ(std::strtoull(c.text.c_str() + 2, nullptr, 16), static_cast<unsigned long long>(c.code)) << c.text;
    }
    // The zero-terminated readers take the same run, past their look-ahead.
    if (c.more == 0) {
      EXPECT_EQ(RVStringCharacter(c.text.c_str()), c.code) << c.text;
      int64_t offset = 0;
      EXPECT_EQ(RVNextCharacterFromStringWithLength(c.text.c_str(), &offset, -1), c.code) << c.text;
      EXPECT_EQ(static_cast<size_t>(offset), c.consumed) << c.text;
    }
  }
  // The stepper goes on after the run; the counter counts it as one character
  // and stops, with -1, at a refused one.
  const std::string text = "a\\x0000041 b";
  RVStringPosition pos;
  RVStringFirstPosFun(text.c_str(), &pos);
  std::vector<int> codes;
  for (int c; (c = RVNextCharacter(&pos.cursor, pos.end)) >= 0;) codes.push_back(c);
  EXPECT_EQ(codes, (std::vector<int>{'a', 0x41, ' ', 'b'}));
  const char* p = text.data();
  EXPECT_EQ(QVCharOffset(&p, text.data() + text.size(), -1, 0), ~int64_t{4});
  const std::string refused = "ab\\x110000c";
  p = refused.data();
  EXPECT_EQ(QVCharOffset(&p, refused.data() + refused.size(), 10, 0), -1);
  EXPECT_EQ(p, refused.data() + 2);
}

TEST(Reader, JoinsSurrogatePairsOnRequest) {
  const struct {
    const char* text;
    int more;
    int code;
    size_t consumed;
    int joined;
  } cases[] = {
      {"\\:D83D\\:DE00", 0, 0x1F600, 12, 1},
      {"\\:d83d\\:de00x", 0, 0x1F600, 12, 1},
      {"\\:D83D\\:0041", 0, -2, 6, 0},      // a pair that is not valid; the second escape stays
      {"\\:D83D\\\\", 0, 0xD83D, 6, 0},     // an escaped backslash follows: no join
      {"\\:D83D\\|01F600", 0, 0xD83D, 6, 0},
      {"\\:D83DA", 0, 0xD83D, 6, 0},
      {"\\:D83D\\:DE", 1, -1, 0, 0},        // the second escape may still come
      {"\\:D83D\\:DE", 0, 0xD83D, 6, 0},
      {"\\:D83D", 1, -1, 0, 0},
      {"\\:D83D", 0, 0xD83D, 6, 0},
      {"\\:DE00\\:D83D", 0, 0xDE00, 6, 0},  // a trailing surrogate first is read alone
  };
  for (const auto& c : cases) {
    const char* p = c.text;
    int joined = 7;
    EXPECT_EQ(QVNextChar(&p, c.text + std::strlen(c.text), c.more, 1, &joined), c.code) << c.text;
    EXPECT_EQ(static_cast<size_t>(p - c.text), c.consumed) << c.text;
    EXPECT_EQ(joined, c.joined) << c.text;
  }
  // Without an end the reader looks only a few bytes ahead and never joins.
  const char* p = "\\:D83D\\:DE00";
  EXPECT_EQ(QVNextChar(&p, nullptr, 0, 1, nullptr), 0xD83D);
}

TEST(Reader, ZeroTerminatedText) {
  EXPECT_EQ(RVStringCharacter("\\|01F600 and more"), 0x1F600);
  EXPECT_EQ(RVStringCharacter("\\1"), 1);
  EXPECT_EQ(RVStringCharacter("\\"), -1);
  EXPECT_EQ(RVStringCharacter(""), -1);
  EXPECT_EQ(RVStringCharacter("\\[a-name-that-is-quite-long-but-fits]"), -2);

  const char* text = "a\\:00E9\\\n\\|01F600";
  RVStringPosition pos;
  EXPECT_EQ(RVStringFirstPosFun(text, &pos), text);
  EXPECT_EQ(pos.cursor, text);
  EXPECT_EQ(pos.end, text + std::strlen(text));
  std::vector<int> codes;
  int c;
  while ((c = RVNextCharacter(&pos.cursor, pos.end)) >= 0) codes.push_back(c);
  EXPECT_EQ(codes, (std::vector<int>{'a', 0xE9, 0x1F600}));
  EXPECT_EQ(pos.cursor, pos.end);

  int64_t offset = 1;
  EXPECT_EQ(RVNextCharacterFromStringWithLength(text, &offset, -1), 0xE9);
  EXPECT_EQ(offset, 7);
  EXPECT_EQ(RVNextCharacterFromStringWithLength(text, &offset, static_cast<int64_t>(std::strlen(text))), 0x1F600);
  EXPECT_EQ(offset, static_cast<int64_t>(std::strlen(text)));
  EXPECT_EQ(RVNextCharacterFromStringWithLength(text, &offset, static_cast<int64_t>(std::strlen(text))), -1);
  offset = 1;
  EXPECT_EQ(RVNextCharacterFromStringWithLength(text, &offset, 4), -1);  // the length cuts the escape
  EXPECT_EQ(offset, 1);
}

TEST(CharOffset, CountsAndStopsBeforeCutEscapes) {
  const std::string text = "ab\\:00E9\\\\\\|01F600\\:D83D\\:DE00";  // 7 characters
  const char* p = text.data();
  EXPECT_EQ(QVCharOffset(&p, text.data() + text.size(), -1, 0), ~int64_t{7});
  EXPECT_EQ(p, text.data() + text.size());
  p = text.data();
  EXPECT_EQ(QVCharOffset(&p, text.data() + text.size(), 3, 0), 0);
  EXPECT_EQ(p, text.data() + 8);
  p = text.data();
  EXPECT_EQ(RVCharacterOffset(&p, text.data() + text.size(), 100, 0), 93);
  // Cut inside the third escape: the cursor stays on its backslash.
  p = text.data();
  EXPECT_EQ(QVCharOffset(&p, text.data() + 12, 10, 1), 6);
  EXPECT_EQ(p, text.data() + 10);
  const char* unknown = "ab\\qc";
  p = unknown;
  EXPECT_EQ(QVCharOffset(&p, unknown + 5, 10, 0), -1);
  EXPECT_EQ(p, unknown + 2);
  p = "x\\\n";  // a continuation at the end is no character, and is passed over
  const char* start = p;
  EXPECT_EQ(QVCharOffset(&p, start + 3, 5, 0), 4);
  EXPECT_EQ(p, start + 3);
}

// Every negative count passes the whole text, and the ones' complement of the
// number passed cannot overflow however negative the count is.
TEST(CharOffset, AnyNegativeCountPassesAll) {
  const std::string text = "ab\\:00E9";
  for (const int64_t n : {int64_t{-1}, int64_t{-7}, INT64_MIN}) {
    const char* p = text.data();
    EXPECT_EQ(RVCharacterOffset(&p, text.data() + text.size(), n, 0), ~int64_t{3}) << n;
    EXPECT_EQ(p, text.data() + text.size());
  }
}

// Every code point written and read back gives itself; the counter agrees.
TEST(RoundTrip, EveryCodePoint) {
  std::vector<unsigned int> all;
  for (unsigned int c = 0; c <= 0x10FFFF; ++c) all.push_back(c);
  int64_t size = 0;
  ASSERT_EQ(RVConvertUTF32String(all.data(), static_cast<int64_t>(all.size()), reinterpret_cast<char**>(&size),
                                 nullptr),
            0);
  std::string text(static_cast<size_t>(size), '\0');
  char* cursor = text.data();
  ASSERT_EQ(RVConvertUTF32String(all.data(), static_cast<int64_t>(all.size()), &cursor, text.data() + text.size()),
            0);
  ASSERT_EQ(cursor, text.data() + text.size());
  for (char ch : text) ASSERT_TRUE(ch >= 0x20 && ch <= 0x7E);

  const char* p = text.data();
  const char* end = text.data() + text.size();
  for (unsigned int c = 0; c <= 0x10FFFF; ++c) {
    const int got = QVNextChar(&p, end, 0, 0, nullptr);
    ASSERT_EQ(static_cast<unsigned int>(got), c);
  }
  EXPECT_EQ(p, end);
  p = text.data();
  EXPECT_EQ(QVCharOffset(&p, end, -1, 0), ~int64_t{0x110000});
}

}  // namespace

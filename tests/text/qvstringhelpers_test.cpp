// The public conversion helpers into escaped ASCII: every encoding, the size
// pass against the write pass, every destination size, and invalid text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "include/quorvane_text.h"

namespace {

// The written form of one code, from the table, kept apart from the library's writer.
std::string Expected(unsigned int c, int newline = -1) {
  char buf[16];
  if (static_cast<int>(c) == newline) return "\\n";
  if (c == '\\') return "\\\\";
  if (c >= 0x20 && c <= 0x7E) return std::string(1, static_cast<char>(c));
  if (c <= 0xFF) snprintf(buf, sizeof buf, "\\%03o", c);
  else if (c <= 0xFFFF) snprintf(buf, sizeof buf, "\\:%04X", c);
  else snprintf(buf, sizeof buf, "\\|%06X", c);
  return buf;
}

// One conversion function seen through a common shape: (count, cursor, end).
using Conversion = std::function<int(int64_t skip, int64_t count, char** cursor, char* end)>;

struct Sample {
  const char* name;
  std::vector<unsigned int> codes;  // what the source holds, character by character
  Conversion convert;
  int newline;
};

// Checks the size pass, the full write, and every destination size from 0 up:
// the write stops only between characters, reports the characters left, and
// the rest converts on a second call.
void CheckSample(const Sample& s) {
  SCOPED_TRACE(s.name);
  std::vector<std::string> forms;
  std::string whole;
  for (auto c : s.codes) {
    forms.push_back(Expected(c, s.newline));
    whole += forms.back();
  }
  const int64_t count = static_cast<int64_t>(s.codes.size());
  int64_t size = -1;
  ASSERT_EQ(s.convert(0, count, reinterpret_cast<char**>(&size), nullptr), 0);
  EXPECT_EQ(size, static_cast<int64_t>(whole.size()));

  for (size_t room = 0; room <= whole.size(); ++room) {
    std::string buf(room + 1, '#');
    char* cursor = buf.data();
    const int left = s.convert(0, count, &cursor, buf.data() + room);
    ASSERT_GE(left, 0) << room;
    const int64_t done = count - left;
    std::string want;
    for (int64_t i = 0; i < done; ++i) want += forms[i];
    ASSERT_EQ(std::string(buf.data(), cursor), want) << room;
    ASSERT_LE(want.size(), room);
    if (left > 0) {
      ASSERT_GT(want.size() + forms[done].size(), room) << "stopped early at " << room;
    }
    ASSERT_EQ(buf[room], '#') << "wrote past the end at " << room;
    // The rest goes on in a second call.
    std::string rest(whole.size(), '#');
    char* c2 = rest.data();
    ASSERT_EQ(s.convert(done, left, &c2, rest.data() + rest.size()), 0);
    ASSERT_EQ(want + std::string(rest.data(), c2), whole) << room;
  }
}

// Source texts. Each conversion skips `skip` characters of its source first.
const std::vector<unsigned int> kMixed = {'a', '\\', 0, 0x0A, 0x1F, ' ', '~', 0x7F, 0xE9, 0xFF, 0x100,
                                          0x20AC, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF, 'z'};

std::vector<unsigned char> UTF8Of(const std::vector<unsigned int>& codes, std::vector<size_t>* starts) {
  std::vector<unsigned char> out;
  for (auto c : codes) {
    starts->push_back(out.size());
    if (c < 0x80) {
      out.push_back(static_cast<unsigned char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<unsigned char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<unsigned char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<unsigned char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<unsigned char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<unsigned char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<unsigned char>(0x80 | (c & 0x3F)));
    }
  }
  starts->push_back(out.size());
  return out;
}

TEST(ConvertHelpers, EveryEncodingEveryDestinationSize) {
  std::vector<unsigned int> bytes_codes, bmp_codes;
  for (auto c : kMixed) {
    if (c <= 0xFF) bytes_codes.push_back(c);
    if (c <= 0xFFFF) bmp_codes.push_back(c);
  }
  std::vector<unsigned char> bytes(bytes_codes.begin(), bytes_codes.end());
  std::vector<unsigned short> ucs2(bmp_codes.begin(), bmp_codes.end());
  std::vector<unsigned char> double_byte;
  for (auto c : bmp_codes) {
    double_byte.push_back(static_cast<unsigned char>(c >> 8));
    double_byte.push_back(static_cast<unsigned char>(c));
  }
  std::vector<unsigned int> utf32 = kMixed;
  std::vector<size_t> starts8, starts16;
  std::vector<unsigned char> utf8 = UTF8Of(kMixed, &starts8);
  std::vector<unsigned short> utf16;
  for (auto c : kMixed) {
    starts16.push_back(utf16.size());
    if (c >= 0x10000) {
      utf16.push_back(static_cast<unsigned short>(0xD7C0 + (c >> 10)));
      utf16.push_back(static_cast<unsigned short>(0xDC00 | (c & 0x3FF)));
    } else {
      utf16.push_back(static_cast<unsigned short>(c));
    }
  }
  starts16.push_back(utf16.size());

  const std::vector<Sample> samples = {
      {"bytes", bytes_codes,
       [&](int64_t k, int64_t n, char** c, char* e) { return RVConvertByteString(bytes.data() + k, n, c, e); }, -1},
      {"bytes NL", bytes_codes,
       [&](int64_t k, int64_t n, char** c, char* e) { return RVConvertByteStringNL(bytes.data() + k, n, c, e, 10); },
       10},
      {"UCS-2", bmp_codes,
       [&](int64_t k, int64_t n, char** c, char* e) { return RVConvertUCS2String(ucs2.data() + k, n, c, e); }, -1},
      {"UCS-2 NL", bmp_codes,
       [&](int64_t k, int64_t n, char** c, char* e) { return RVConvertUCS2StringNL(ucs2.data() + k, n, c, e, 0xE9); },
       0xE9},
      {"high byte first", bmp_codes,
       [&](int64_t k, int64_t n, char** c, char* e) {
         return RVConvertDoubleByteString(double_byte.data() + 2 * k, n, c, e);
       },
       -1},
      {"high byte first NL", bmp_codes,
       [&](int64_t k, int64_t n, char** c, char* e) {
         return RVConvertDoubleByteStringNL(double_byte.data() + 2 * k, n, c, e, 10);
       },
       10},
      {"UTF-8", kMixed,
       [&](int64_t k, int64_t n, char** c, char* e) { return RVConvertUTF8String(utf8.data() + starts8[k], n, c, e); },
       -1},
      {"UTF-8 NL", kMixed,
       [&](int64_t k, int64_t n, char** c, char* e) {
         return RVConvertUTF8StringNL(utf8.data() + starts8[k], n, c, e, 0x1F600);
       },
       0x1F600},
      {"UTF-16", kMixed,
       [&](int64_t k, int64_t n, char** c, char* e) {
         return RVConvertUTF16String(utf16.data() + starts16[k], n, c, e);
       },
       -1},
      {"UTF-16 NL", kMixed,
       [&](int64_t k, int64_t n, char** c, char* e) {
         return RVConvertUTF16StringNL(utf16.data() + starts16[k], n, c, e, 10);
       },
       10},
      {"UTF-32", kMixed,
       [&](int64_t k, int64_t n, char** c, char* e) { return RVConvertUTF32String(utf32.data() + k, n, c, e); }, -1},
      {"UTF-32 NL", kMixed,
       [&](int64_t k, int64_t n, char** c, char* e) { return RVConvertUTF32StringNL(utf32.data() + k, n, c, e, 'z'); },
       'z'},
  };
  for (const auto& s : samples) CheckSample(s);
}

TEST(ConvertHelpers, OneByteShortOfAnOctalEscape) {
  const unsigned char text[] = {'a', 'b', 0x7F, 'c'};
  char buf[6];
  char* cursor = buf;
  EXPECT_EQ(RVConvertByteString(text, 4, &cursor, buf + 5), 2);  // "ab" + 3 of the 4 bytes of \177
  EXPECT_EQ(cursor, buf + 2);
}

TEST(ConvertHelpers, InvalidTextIsReportedNotPassedAsDone) {
  const struct {
    const char* name;
    std::vector<unsigned char> utf8;
    int64_t count;
    size_t written;  // bytes of the valid characters before the fault
  } cases[] = {
      {"overlong", {'a', 0xC0, 0x80}, 2, 1},
      {"surrogate", {'a', 'b', 0xED, 0xA0, 0x80}, 3, 2},
      {"above 0x10FFFF", {0xF4, 0x90, 0x80, 0x80}, 1, 0},
      {"stray continuation first", {0x80, 'a'}, 2, 0},
      {"byte 0xFF", {'a', 0xFF, 'b'}, 3, 1},
      {"cut by the next lead", {0xE2, 0x82, 'x'}, 2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t size = 99;
    EXPECT_EQ(RVConvertUTF8String(c.utf8.data(), c.count, reinterpret_cast<char**>(&size), nullptr), -1);
    EXPECT_EQ(size, 0);
    char buf[64];
    char* cursor = buf;
    EXPECT_EQ(RVConvertUTF8String(c.utf8.data(), c.count, &cursor, buf + sizeof buf), -1);
    EXPECT_EQ(static_cast<size_t>(cursor - buf), c.written);
  }
  const unsigned int big[] = {'a', 0x110000};
  int64_t size = 99;
  EXPECT_EQ(RVConvertUTF32String(big, 2, reinterpret_cast<char**>(&size), nullptr), -1);
  EXPECT_EQ(size, 0);
  char buf[16];
  char* cursor = buf;
  EXPECT_EQ(RVConvertUTF32String(big, 2, &cursor, buf + sizeof buf), -1);
  EXPECT_EQ(cursor, buf + 1);
}

TEST(ConvertHelpers, ArgumentsAndSurrogatesOutsidePairs) {
  char buf[32];
  char* cursor = buf;
  EXPECT_EQ(RVConvertByteString(nullptr, 3, &cursor, buf + 32), -1);
  EXPECT_EQ(RVConvertByteString(reinterpret_cast<const unsigned char*>("a"), -1, &cursor, buf + 32), -1);
  EXPECT_EQ(RVConvertByteString(reinterpret_cast<const unsigned char*>("a"), 1, nullptr, buf + 32), -1);
  EXPECT_EQ(RVConvertByteString(nullptr, 0, &cursor, buf + 32), 0);
  EXPECT_EQ(cursor, buf);
  // A lone surrogate is kept as the escape of its unit.
  const unsigned short lone[] = {0xD800, 'A', 0xDC00};
  cursor = buf;
  EXPECT_EQ(RVConvertUTF16String(lone, 3, &cursor, buf + sizeof buf), 0);
  EXPECT_EQ(std::string(buf, cursor), "\\:D800A\\:DC00");
}

}  // namespace

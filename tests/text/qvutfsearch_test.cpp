// Comparing and searching within one encoding. Strings live in heap blocks of
// exactly their size, so a read past either one is caught by the sanitizer build.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "text/qvunicode.h"

namespace {

// A heap copy of exactly the given units.
template <typename T>
std::unique_ptr<T[]> Exact(std::initializer_list<T> units) {
  std::unique_ptr<T[]> p(new T[units.size()]);
  std::copy(units.begin(), units.end(), p.get());
  return p;
}

TEST(Strncmp, Utf8ComparesCodePoints) {
  auto a = Exact<unsigned char>({'a', 0xC3, 0xA9, 'z'});   // a é z
  auto b = Exact<unsigned char>({'a', 0xC3, 0xA9, 'y'});
  auto big = Exact<unsigned char>({'a', 0xF0, 0x9F, 0x98, 0x80});
  EXPECT_EQ(qvutf__strncmp(a.get(), 4, b.get(), 4, 2, 1), 0);
  EXPECT_EQ(qvutf__strncmp(a.get(), 4, b.get(), 4, 3, 1), 1);
  EXPECT_EQ(qvutf__strncmp(b.get(), 4, a.get(), 4, 3, 1), -1);
  EXPECT_EQ(qvutf__strncmp(a.get(), 4, big.get(), 5, 2, 1), -1);  // U+00E9 < U+1F600
  EXPECT_EQ(qvutf__strncmp(a.get(), 4, a.get(), 4, 4, 1), -2);    // n beyond the characters
  EXPECT_EQ(qvutf__strncmp(a.get(), 2, a.get(), 4, 2, 1), -2);    // cut inside a character
  EXPECT_EQ(qvutf__strncmp(a.get(), 4, b.get(), 4, 0, 1), 0);
  EXPECT_EQ(qvutf__strncmp(a.get(), 4, b.get(), 4, -3, 1), 0);
  EXPECT_EQ(qvutf__strncmp(nullptr, 4, b.get(), 4, 1, 1), -2);
  EXPECT_EQ(qvutf__strncmp(a.get(), 4, b.get(), 4, 1, 7), -2);
  // Bytes that are neither lead nor continuation bytes are passed over.
  auto noisy = Exact<unsigned char>({0xFF, 'a', 0x80, 0xC3, 0xA9});
  EXPECT_EQ(qvutf__strncmp(noisy.get(), 5, a.get(), 4, 2, 1), 0);
}

TEST(Strncmp, Utf16JoinsPairs) {
  auto a = Exact<unsigned short>({'x', 0xD83D, 0xDE00});
  auto b = Exact<unsigned short>({'x', 0xFFFF});
  EXPECT_EQ(qvutf__strncmp(a.get(), 6, b.get(), 4, 1, 2), 0);
  EXPECT_EQ(qvutf__strncmp(a.get(), 6, b.get(), 4, 2, 2), 1);  // 0x1F600 > 0xFFFF
  EXPECT_EQ(qvutf__strncmp(a.get(), 4, b.get(), 4, 2, 2), -2);  // cut inside the pair
  EXPECT_EQ(qvutf__strncmp(a.get(), 6, b.get(), 4, 0, 2), 0);
  EXPECT_EQ(qvutf__strncmp(a.get(), 6, b.get(), 4, -1, 2), -2);
  // A stray trailing surrogate stands for itself and the walk moves on.
  auto stray = Exact<unsigned short>({0xDC00, 'q'});
  auto same = Exact<unsigned short>({0xDC00, 'q'});
  EXPECT_EQ(qvutf__strncmp(stray.get(), 4, same.get(), 4, 2, 2), 0);
}

TEST(Strncmp, Utf32WalkIsBoundedByBothStrings) {
  auto longer = Exact<unsigned int>({1, 2, 3, 4});
  auto shorter = Exact<unsigned int>({1, 2});
  // a ends first with all units equal: equal.
  EXPECT_EQ(qvutf__strncmp(shorter.get(), 8, longer.get(), 16, 0, 3), 0);
  // a longer than b: the walk stops at b's end instead of reading past it.
  EXPECT_EQ(qvutf__strncmp(longer.get(), 16, shorter.get(), 8, 0, 3), -2);
  EXPECT_EQ(qvutf__strncmp(longer.get(), 16, shorter.get(), 8, 2, 3), 0);
  EXPECT_EQ(qvutf__strncmp(longer.get(), 16, shorter.get(), 8, 3, 3), -2);
  auto high = Exact<unsigned int>({1, 0x80000000u});
  EXPECT_EQ(qvutf__strncmp(shorter.get(), 8, high.get(), 8, 2, 3), -1);  // unsigned comparison
}

TEST(Strstr, FindsNeedleInEachKind) {
  // UTF-16: the needle starts at the third character (after a surrogate pair).
  auto hay16 = Exact<unsigned short>({'a', 0xD83D, 0xDE00, 'b', 'c', 'd'});
  auto needle16 = Exact<unsigned short>({'b', 'c'});
  const void* found = qvutf__strstr(hay16.get(), 12, 6, needle16.get(), 4, 2, QV_ENDIAN_NATIVE, 2);
  EXPECT_EQ(found, hay16.get() + 3);
  auto absent16 = Exact<unsigned short>({'c', 'b'});
  EXPECT_EQ(qvutf__strstr(hay16.get(), 12, 6, absent16.get(), 4, 2, QV_ENDIAN_NATIVE, 2), nullptr);
  // A needle that runs past the end of the haystack is not found, and not read past.
  auto tail16 = Exact<unsigned short>({'d', 'e'});
  EXPECT_EQ(qvutf__strstr(hay16.get(), 12, 6, tail16.get(), 4, 2, QV_ENDIAN_NATIVE, 2), nullptr);

  auto hay8 = Exact<unsigned char>({'x', 0xC3, 0xA9, 'y', 0xE2, 0x82, 0xAC});
  auto needle8 = Exact<unsigned char>({'y', 0xE2, 0x82, 0xAC});
  EXPECT_EQ(qvutf__strstr(hay8.get(), 7, 7, needle8.get(), 4, 2, QV_ENDIAN_NATIVE, 1), hay8.get() + 3);
  auto tail8 = Exact<unsigned char>({0xE2, 0x82, 0xAC, 'z'});
  EXPECT_EQ(qvutf__strstr(hay8.get(), 7, 7, tail8.get(), 4, 2, QV_ENDIAN_NATIVE, 1), nullptr);

  auto hay32 = Exact<unsigned int>({5, 6, 7, 6, 7, 8});
  auto needle32 = Exact<unsigned int>({7, 8});
  EXPECT_EQ(qvutf__strstr(hay32.get(), 24, 6, needle32.get(), 8, 2, QV_ENDIAN_NATIVE, 3), hay32.get() + 4);
  auto tail32 = Exact<unsigned int>({8, 9});
  EXPECT_EQ(qvutf__strstr(hay32.get(), 24, 6, tail32.get(), 8, 2, QV_ENDIAN_NATIVE, 3), nullptr);

  EXPECT_EQ(qvutf__strstr(nullptr, 24, 6, needle32.get(), 8, 2, QV_ENDIAN_NATIVE, 3), nullptr);
  EXPECT_EQ(qvutf__strstr(hay32.get(), 24, 6, needle32.get(), 8, 2, QV_ENDIAN_NATIVE, 4), nullptr);
}

// A stray continuation byte or a lone trailing surrogate before the needle does
// not end the search.
TEST(Strstr, FindsNeedleAfterIllFormedText) {
  auto hay8 = Exact<unsigned char>({'x', 0x80, 'a', 'y', 'z'});
  auto needle8 = Exact<unsigned char>({'y', 'z'});
  EXPECT_EQ(qvutf__strstr(hay8.get(), 5, 5, needle8.get(), 2, 2, QV_ENDIAN_NATIVE, 1), hay8.get() + 3);
  auto hay16 = Exact<unsigned short>({'a', 0xDC00, 'b', 'c'});
  auto needle16 = Exact<unsigned short>({'b', 'c'});
  EXPECT_EQ(qvutf__strstr(hay16.get(), 8, 4, needle16.get(), 4, 2, QV_ENDIAN_NATIVE, 2), hay16.get() + 2);
  auto absent16 = Exact<unsigned short>({'c', 'd'});
  EXPECT_EQ(qvutf__strstr(hay16.get(), 8, 4, absent16.get(), 4, 2, QV_ENDIAN_NATIVE, 2), nullptr);
}

}  // namespace

// Random names and integers, procedural and object forms.
#include "utilities/qvrandom.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "support/qvtest.h"
#include "utilities/qvrandomstring.h"

namespace {

const std::string kAlphabet = "23456789abcdefghijkmnpqrstuvwxyz";

TEST(RandomAlphabet, EachFiveBitValueHasItsCharacter) {
  ASSERT_EQ(kAlphabet.size(), 32u);
  for (int r = 0; r < 32; ++r) {
    EXPECT_EQ(Quorvane::RandomNameCharacter(r), kAlphabet[r]) << r;
    EXPECT_EQ(Quorvane::RandomNameCharacter(r + 32 * 12345), kAlphabet[r]) << "only the low five bits count";
  }
}

TEST(QVRandomRecord, AsciiStringIsAlphabetAndTerminated) {
  qvrandom* record = qvrandom_new(qvstd_clib_allocator, qvstd_clib_deallocator);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->in_place, 0);
  char* text = qvrandom_ascii_string(record, 8);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::strlen(text), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_NE(kAlphabet.find(text[i]), std::string::npos) << text;
  qvrandom_destroy_ascii_string(record, text);

  char* empty = qvrandom_ascii_string(record, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], '\0');
  qvrandom_destroy_ascii_string(record, empty);
  EXPECT_EQ(qvrandom_ascii_string(record, -1), nullptr);
  qvrandom_destroy_ascii_string(record, nullptr);
  qvrandom_destroy(record);
  qvrandom_destroy(nullptr);
}

TEST(QVRandomRecord, NullArgumentsAndRanges) {
  EXPECT_EQ(qvrandom_new(nullptr, qvstd_clib_deallocator), nullptr);
  EXPECT_EQ(qvrandom_new(qvstd_clib_allocator, nullptr), nullptr);
  EXPECT_EQ(qvrandom_initialize(nullptr, qvstd_clib_allocator, qvstd_clib_deallocator), nullptr);
  EXPECT_EQ(qvrandom_ascii_string(nullptr, 4), nullptr);
  EXPECT_EQ(qvrandom_integer(nullptr), -1);
  EXPECT_EQ(qvrandom_integer_range(nullptr, 1, 2), -1);

  qvrandom local;
  ASSERT_EQ(qvrandom_initialize(&local, qvstd_clib_allocator, qvstd_clib_deallocator), &local);
  EXPECT_EQ(local.in_place, 1);
  EXPECT_EQ(qvrandom_integer_range(&local, 5, 5), 5);
  for (int i = 0; i < 1000; ++i) {
    const long v = qvrandom_integer_range(&local, -3, 7);
    EXPECT_GE(v, -3);
    EXPECT_LE(v, 7);
    EXPECT_GE(qvrandom_integer(&local), 0);
  }
  qvrandom_destroy(&local);  // in place: not freed (ASan would report a bad free)
}

TEST(RandomRange, EndsOfTheGenerator) {
  EXPECT_EQ(Quorvane::RandomInRange(0, 10, 20), 10);
  EXPECT_EQ(Quorvane::RandomInRange(RAND_MAX, 10, 20), 20);
  EXPECT_EQ(Quorvane::RandomInRange(RAND_MAX - 1, 10, 20), 19);
  EXPECT_EQ(Quorvane::RandomInRange(RAND_MAX / 2, -10, 10), 0);  // toward zero
}

TEST(QVRandomString, LengthsAndAlphabet) {
  const Quorvane::QVRandomString none(0);
  ASSERT_NE(none.c_str(), nullptr);
  EXPECT_STREQ(none.c_str(), "");
  const Quorvane::QVRandomString six(6);
  ASSERT_NE(six.string(), nullptr);
  EXPECT_EQ(six.string()->size(), 6u);
  EXPECT_EQ(std::strlen(six.c_str()), 6u);
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const Quorvane::QVRandomString s(20);
    for (char c : *s.string()) EXPECT_NE(kAlphabet.find(c), std::string::npos);
    seen.insert(s.c_str());
  }
  EXPECT_EQ(seen.size(), 200u);
  Quorvane::QVRandomString copy(six);
  EXPECT_STREQ(copy.c_str(), six.c_str());
  EXPECT_NE(copy.string(), six.string());
  copy = none;
  EXPECT_STREQ(copy.c_str(), "");
}

// A forked child must not draw the names its parent draws next: unnamed
// cross-process locks are made under such names.
TEST(QVRandomString, ForkedChildDrawsOtherNames) {
  constexpr size_t kLength = 24;
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const int status = qvtest::RunInChild([&] {
    const Quorvane::QVRandomString name(kLength);
    return write(ends[1], name.c_str(), kLength) == static_cast<ssize_t>(kLength) ? 0 : 1;
  });
  const Quorvane::QVRandomString mine(kLength);
  char theirs[kLength];
  const ssize_t got = read(ends[0], theirs, kLength);
  close(ends[0]);
  close(ends[1]);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_EQ(got, static_cast<ssize_t>(kLength));
  EXPECT_NE(std::string(theirs, kLength), std::string(mine.c_str()));
}

TEST(QVRandomIntegerFactory, Draws) {
  Quorvane::QVRandomIntegerFactory f;
  EXPECT_EQ(f.GetIntegerInRange(5, 5), 5);
  for (int i = 0; i < 1000; ++i) {
    const long v = f.GetIntegerInRange(0, 3);
    EXPECT_GE(v, 0);
    EXPECT_LE(v, 3);
    EXPECT_GE(f.GetInteger(), 0);
  }
  EXPECT_TRUE(Quorvane::QVRandomObject::Initialize());
}

TEST(DefaultAllocators, AllocateGrowAndFree) {
  auto* p = static_cast<char*>(qvstd_clib_allocator(4));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "abc", 4);
  p = static_cast<char*>(qvstd_clib_reallocator(p, 4096));
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "abc");
  qvstd_clib_deallocator(p);
}

}  // namespace

// The tests' patterns: a whole-text match is the whole text, not a part of
// it; groups and every match of a text are where the C library's matcher puts
// them. Tests that check a log's lines or a name's shape rely on a mismatch
// being seen.
#include "support/qvpattern.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using qvtest::Pattern;

TEST(TestPattern, MatchesTheWholeTextOnly) {
  struct Case {
    const char* pattern;
    std::string text;
    bool whole;
  };
  const Case cases[] = {
      {"[A-Za-z0-9]{5}_shm", "ab3D9_shm", true},
      {"[A-Za-z0-9]{5}_shm", "ab3D9_shmx", false},  // more after it
      {"[A-Za-z0-9]{5}_shm", "xab3D9_shm", false},  // more before it
      {"[A-Za-z0-9]{5}_shm", "ab3D_shm", false},
      {"a|ab", "ab", true},  // the longest alternative, not the first
      {"x", std::string("x\0y", 3), false},  // a zero byte does not end the text
      {"", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.text);
    EXPECT_EQ(Pattern(c.pattern).Matches(c.text), c.whole);
  }
}

TEST(TestPattern, GroupsAndEveryMatchInOrder) {
  Pattern::Match match;
  ASSERT_TRUE(Pattern("(Put|Moved)\\[([0-9]+)\\](-(x))?").Matches("Moved[42]", &match));
  EXPECT_EQ(match.groups, (std::vector<std::string>{"Moved[42]", "Moved", "42", "", ""}));

  const std::vector<Pattern::Match> all = Pattern("<([a-z]+)>").FindAll("<ab>..<c><d>x");
  ASSERT_EQ(all.size(), 3u);
  const size_t positions[] = {0, 6, 9};
  const char* words[] = {"ab", "c", "d"};
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].position, positions[i]);
    EXPECT_EQ(all[i].groups[1], words[i]);
  }
  EXPECT_TRUE(Pattern("q").FindAll("none here").empty());
  const std::vector<Pattern::Match> past = Pattern("y").FindAll(std::string("x\0y", 3));
  ASSERT_EQ(past.size(), 1u);
  EXPECT_EQ(past[0].position, 2u);
  EXPECT_EQ(Pattern("a*").FindAll("ba").size(), 3u);  // empty matches move on: at 0, "a" at 1, at 2
}

TEST(TestPattern, AnExpressionTheMatcherRefusesThrows) {
  EXPECT_THROW(Pattern("(unclosed"), std::invalid_argument);
}

}  // namespace

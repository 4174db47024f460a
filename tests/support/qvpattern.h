// Regular expressions for the tests, through the C library's POSIX matcher
// (extended syntax: write [0-9] where <regex> would take \d). The standard
// C++ <regex> is not used: g++ 12 with the sanitizers reports its automaton's
// states as maybe used unset (a false positive inside the standard library),
// and warnings are errors.
#pragma once

#include <regex.h>

#include <cstddef>
#include <string>
#include <vector>

namespace qvtest {

class Pattern {
 public:
  // Throws std::invalid_argument for an expression the matcher refuses.
  explicit Pattern(const std::string& expression);
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  struct Match {
    size_t position = 0;
    size_t length = 0;
    std::vector<std::string> groups;  // [0] the whole match, then each group ("" where it took no part)
  };

  // Whether the whole text matches; the groups go to *match when given.
  bool Matches(const std::string& text, Match* match = nullptr) const;
  // Every match, left to right, none overlapping another.
  std::vector<Match> FindAll(const std::string& text) const;

 private:
  // The leftmost match at or after from.
  bool Find(const std::string& text, size_t from, Match& match) const;

  regex_t compiled_;
};

}  // namespace qvtest

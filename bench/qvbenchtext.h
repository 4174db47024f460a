// The text the text benchmarks share, so their figures compare like with like.
#pragma once

#include <random>
#include <string>

namespace qvbench {

// 1 MiB of UTF-8: mostly ASCII words, with Latin, Greek, Cyrillic, CJK and
// astral characters mixed in. ("\x35" is the digit 5: a hex escape would
// swallow a digit written after it.)
inline const std::string& MixedUtf8() {
  static const std::string text = [] {
    const char* pieces[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dogs, ", "and\n",
                            "caf\xC3\xA9 ", "na\xC3\xAFve ", "\xCE\xB1\xCE\xB2\xCE\xB3 ", "\xD0\xBC\xD0\xB8\xD1\x80 ",
                            "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E ", "\xE2\x82\xAC\x35 ", "\xF0\x9F\x98\x80 ",
                            "\xF0\x9D\x84\x9E "};
    std::mt19937 rng(7);
    std::string s;
    while (s.size() < (1u << 20) - 16) s += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
    return s;
  }();
  return text;
}

}  // namespace qvbench

// The real-number text rewriters, both directions, on every unit width: the
// worked examples, their edge cases, and a round trip.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/qvnumberstrings.h"

namespace {

enum class Direction { ToInput, ToLink };

struct Case {
  Direction direction;
  std::string text;      // "_" stands for a zero unit, " " for a blank
  std::string expected;  // the first `length` units after the rewrite
  long length;
};

// Texts are followed by two zero units, as the atom readers leave them.
template <class Unit>
std::vector<Unit> Units(const std::string& text) {
  std::vector<Unit> units;
  for (char c : text) units.push_back(static_cast<Unit>(c == '_' ? 0 : static_cast<unsigned char>(c)));
  units.push_back(0);
  units.push_back(0);
  return units;
}

template <class Unit>
std::string Text(const std::vector<Unit>& units, long length) {
  std::string out;
  for (long i = 0; i < length; ++i) out += units[i] == 0 ? '_' : static_cast<char>(units[i]);
  return out;
}

template <class Unit>
long Rewrite(Direction direction, Unit* text) {
  if constexpr (sizeof(Unit) == 1) {
    char* bytes = reinterpret_cast<char*>(text);
    return direction == Direction::ToInput ? qv_to_input_char(bytes) : input_to_qv_char(bytes);
  } else if constexpr (sizeof(Unit) == 2) {
    return direction == Direction::ToInput ? qv_to_input_short(text) : input_to_qv_short(text);
  } else {
    return direction == Direction::ToInput ? qv_to_input_int(text) : input_to_qv_int(text);
  }
}

const Direction kGet = Direction::ToInput;
const Direction kPut = Direction::ToLink;

const std::vector<Case> kCases = {
    // The worked examples.
    {kGet, "1.5e10", "1.5*^10", 7},
    {kGet, "-2.25E+7", "-2.25*^+7", 9},
    {kGet, "1.5E-3 `20", "1.5`20*^-3", 10},
    {kGet, "1.5e-3_`20", "1.5`20*^-3", 10},
    {kGet, "1.5 `20", "1.5`20", 6},
    {kGet, "1.5`20", "1.5`20", 6},
    {kGet, "1.5e10 abc", "1.5*^10", 7},
    {kPut, "1.5*^10", "1.5e10", 6},
    {kPut, "-2.25*^+7", "-2.25e+7", 8},
    {kPut, "1.5`20*^-3", "1.5e-3_`20", 10},
    {kPut, "1.5`20", "1.5_`20", 7},
    {kPut, "1.5`20 ", "1.5 `20", 7},
    {kPut, "1.5*^10`20", "1.5e10`20", 9},
    {kPut, "1.5e10", "1.5e10", 6},
    {kGet, "1.5", "1.5", 3},
    {kPut, "1.5", "1.5", 3},
    // Edge cases.
    {kGet, " 1.5e10", "", 0},
    {kPut, " 1.5*^10", "", 0},
    {kGet, "1.5*^10", "1.5*^10", 7},            // input syntax stays
    {kGet, "1.5e10  `20", "1.5*^10", 7},        // two separators: no precision field
    {kPut, "1.5^10", "1.e10", 5},               // a caret without an asterisk
    {kGet, "1.5e10 `20 `30", "1.5`20*^10", 10},  // only the first field moves
    {kPut, "^10", "^10", 3},                    // nothing before the caret: left alone
};

template <class Unit>
void RunTable() {
  for (const Case& c : kCases) {
    SCOPED_TRACE((c.direction == kGet ? "get " : "put ") + c.text);
    std::vector<Unit> units = Units<Unit>(c.text);
    const long length = Rewrite(c.direction, units.data());
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(Text(units, length), c.expected);
  }
}

TEST(NumberStrings, WorkedExamplesOnBytes) { RunTable<unsigned char>(); }
TEST(NumberStrings, WorkedExamplesOn16BitUnits) { RunTable<uint16_t>(); }
TEST(NumberStrings, WorkedExamplesOn32BitUnits) { RunTable<uint32_t>(); }

TEST(NumberStrings, ExponentWithoutPrecisionWritesOnlyTheSpareUnit) {
  std::vector<char> text = {'1', '.', '5', 'e', '1', '0', 0, 0, 'Z'};
  EXPECT_EQ(qv_to_input_char(text.data()), 7);
  EXPECT_EQ(std::string(text.data(), 7), "1.5*^10");
  EXPECT_EQ(text[8], 'Z');
}

TEST(NumberStrings, PutThenGetGivesBackTheInputText) {
  for (const std::string input : {"1.5`20*^-3", "1.5*^10", "1.5`20", "-0.25*^-300", "7"}) {
    SCOPED_TRACE(input);
    std::vector<char> text(input.begin(), input.end());
    text.insert(text.end(), {0, 0, 0});
    const long sent = input_to_qv_char(text.data());
    // The peer receives `sent` units and ends them with two zero units.
    std::vector<char> received(text.begin(), text.begin() + sent);
    received.insert(received.end(), {0, 0});
    const long length = qv_to_input_char(received.data());
    EXPECT_EQ(std::string(received.data(), length), input);
  }
}

}  // namespace

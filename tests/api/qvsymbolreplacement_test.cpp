#include "api/qvsymbolreplacement.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/qvenvironment.h"
#include "quorvane.h"
#include "tests/api/qvenvironmenttest.h"
#include "text/qvtextencoding.h"

namespace {

// Allocations through the table: counted, and failing once a budget is spent.
long gBudget = -1;  // -1: unlimited
long gLive = 0;
void* BudgetAllocate(uint64_t size) {
  if (gBudget == 0) return nullptr;
  if (gBudget > 0) --gBudget;
  ++gLive;
  return std::malloc(size);
}
void BudgetDeallocate(void* block) {
  --gLive;
  std::free(block);
}

using U16 = std::vector<uint16_t>;
using U32 = std::vector<uint32_t>;

uint16_t Swapped(uint16_t u) { return static_cast<uint16_t>((u >> 8) | (u << 8)); }
uint32_t Swapped(uint32_t u) { return __builtin_bswap32(u); }

template <typename Unit>
std::vector<Unit> Units(const std::string& ascii, bool mark, bool big_endian = false) {
  std::vector<Unit> units;
  if (mark) units.push_back(0xFEFF);
  for (unsigned char c : ascii) units.push_back(c);
  if (big_endian) {
    for (Unit& u : units) u = Swapped(u);
  }
  return units;
}

class SymbolReplacement : public testing::Test {
 protected:
  void SetUp() override {
    environment_ = qvtest::BeginWithoutDevices();
    ASSERT_NE(environment_, nullptr);
    environment_->allocate = BudgetAllocate;
    environment_->deallocate = BudgetDeallocate;
    gBudget = -1;
    gLive = 0;
    table_ = QVNewSymbolVariantEnv(environment_);
    ASSERT_NE(table_, nullptr);
  }
  void TearDown() override {
    QVDestroySymbolVariantEnv(table_);
    EXPECT_EQ(gLive, 0) << "every block of the table came back";
    RVEnd(environment_);
  }

  long Add(const std::string& from, const std::string& to, _qvsymbol_variant_env* table = nullptr) {
    return QVSymbolVariantAddReplacement(table != nullptr ? table : table_, from.data(),
                                         static_cast<long>(from.size()), to.data(), static_cast<long>(to.size()));
  }

  // Replaces an 8-bit name; answers the new name, or "(none)" with the counts
  // left as they were.
  std::string Replace8(const std::string& name, int encoding, int direction, long* bytes_out = nullptr,
                       long* characters_out = nullptr, long characters = -1,
                       _qvsymbol_variant_env* table = nullptr) {
    void* text = const_cast<char*>(name.data());
    long bytes = static_cast<long>(name.size());
    long chars = characters >= 0 ? characters : bytes;
    const long bytes_before = bytes;
    const long chars_before = chars;
    _qvsymbol_variant_env* t = table != nullptr ? table : table_;
    void* result = QVSymbolReplace(t, &text, &bytes, &chars, encoding, direction);
    if (bytes_out != nullptr) *bytes_out = bytes;
    if (characters_out != nullptr) *characters_out = chars;
    if (result == nullptr) {
      EXPECT_EQ(bytes, bytes_before);
      EXPECT_EQ(chars, chars_before);
      return "(none)";
    }
    std::string out(static_cast<const char*>(result), static_cast<size_t>(bytes));
    if (encoding != ENCODING_UTF8) {
      EXPECT_EQ(static_cast<const char*>(result)[bytes], '\0') << "terminated";
    }
    QVFreeReplacedSymbol(t, result);
    return out;
  }

  template <typename Unit>
  std::vector<Unit> ReplaceWide(std::vector<Unit> name, int encoding, int direction, long* bytes_out,
                                long* characters_out) {
    void* text = name.data();
    long bytes = static_cast<long>(name.size() * sizeof(Unit));
    long chars = static_cast<long>(name.size());
    *bytes_out = bytes;
    *characters_out = chars;
    void* result = QVSymbolReplace(table_, &text, bytes_out, characters_out, encoding, direction);
    if (result == nullptr) {
      EXPECT_EQ(*bytes_out, bytes) << "no answer, no change of the counts";
      EXPECT_EQ(*characters_out, chars);
      return {};
    }
    const auto* units = static_cast<const Unit*>(result);
    std::vector<Unit> out(units, units + *bytes_out / static_cast<long>(sizeof(Unit)));
    QVFreeReplacedSymbol(table_, result);
    return out;
  }

  RVEnvironment* environment_ = nullptr;
  _qvsymbol_variant_env* table_ = nullptr;
};

}  // namespace

TEST_F(SymbolReplacement, IndexesAcrossModes) {
  struct Step {
    char op;  // a add, r remove, c clear
    long index;
    long answer;
    int single;
    int has;
  };
  const std::vector<std::vector<Step>> scripts = {
      // first, second (map mode) and third replacement
      {{'a', 0, 0, 1, 1}, {'a', 0, 1, 0, 1}, {'a', 0, 2, 0, 1}},
      // back to single mode with the survivor's index; an emptied slot's index again
      {{'a', 0, 0, 1, 1}, {'a', 0, 1, 0, 1}, {'r', 0, 1, 1, 1}, {'r', 1, 1, 1, 0}, {'a', 0, 1, 1, 1}},
      // an index not held changes nothing
      {{'a', 0, 0, 1, 1}, {'r', 5, 1, 1, 1}, {'a', 0, 1, 0, 1}, {'r', 7, 1, 0, 1}},
      // clearing keeps map mode and the next index
      {{'a', 0, 0, 1, 1}, {'a', 0, 1, 0, 1}, {'c', 0, 0, 0, 0}, {'a', 0, 2, 0, 1}},
      // clearing in single mode
      {{'a', 0, 0, 1, 1}, {'c', 0, 0, 1, 0}, {'a', 0, 0, 1, 1}},
  };
  for (size_t s = 0; s < scripts.size(); ++s) {
    SCOPED_TRACE(s);
    _qvsymbol_variant_env* table = QVNewSymbolVariantEnv(environment_);
    ASSERT_NE(table, nullptr);
    for (const Step& step : scripts[s]) {
      switch (step.op) {
        case 'a':
          EXPECT_EQ(Add("A", "B", table), step.answer);
          break;
        case 'r':
          EXPECT_EQ(QVSymbolVariantRemoveReplacement(table, step.index), step.answer);
          break;
        default:
          QVClearSymbolVariantEnv(table);
          break;
      }
      EXPECT_EQ(table->single, step.single);
      EXPECT_EQ(QVSymbolVariantEnvHasReplacement(table), step.has);
    }
    QVDestroySymbolVariantEnv(table);
  }
  EXPECT_EQ(QVSymbolVariantRemoveReplacement(nullptr, 0), 0);
  EXPECT_EQ(QVSymbolVariantEnvHasReplacement(nullptr), 0);
  QVClearSymbolVariantEnv(nullptr);
  QVDestroySymbolVariantEnv(nullptr);
}

TEST_F(SymbolReplacement, EightBitNames) {
  ASSERT_EQ(Add("A", "B"), 0);
  struct Case {
    std::string name;
    int encoding;
    int direction;
    std::string result;
  };
  const Case cases[] = {
      {"A`x", ENCODING_ASCII, QVSYMBOL_PUT, "B`x"},
      {"B`x", ENCODING_ASCII, QVSYMBOL_GET, "A`x"},
      {"A`x", ENCODING_ASCII, QVSYMBOL_GET, "(none)"},
      {"A`x`y", ENCODING_BYTES, QVSYMBOL_PUT, "B`x`y"},
      {"AB`x", ENCODING_ASCII, QVSYMBOL_PUT, "(none)"},
      {"C`A", ENCODING_ASCII, QVSYMBOL_PUT, "(none)"},
      {"A", ENCODING_ASCII, QVSYMBOL_PUT, "(none)"},
      {"A`", ENCODING_ASCII, QVSYMBOL_PUT, "(none)"},  // nothing after the mark
      {"A`", ENCODING_BYTES, QVSYMBOL_PUT, "(none)"},
      {"A`x", 1, QVSYMBOL_PUT, "(none)"},
      {"A`x", ENCODING_OLDSTRING, QVSYMBOL_PUT, "(none)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    long bytes = 0;
    long characters = 0;
    EXPECT_EQ(Replace8(c.name, c.encoding, c.direction, &bytes, &characters), c.result);
    if (c.result != "(none)") {
      EXPECT_EQ(bytes, static_cast<long>(c.result.size()));
      EXPECT_EQ(characters, bytes);
    }
  }
}

TEST_F(SymbolReplacement, UTF8NamesCountCharactersApart) {
  ASSERT_EQ(Add("ctx", "Longer"), 0);
  long bytes = 0;
  long characters = 0;
  // "ctx`é" is 6 bytes, 5 characters.
  EXPECT_EQ(Replace8("ctx`\xC3\xA9", ENCODING_UTF8, QVSYMBOL_PUT, &bytes, &characters, 5), "Longer`\xC3\xA9");
  EXPECT_EQ(bytes, 9);
  EXPECT_EQ(characters, 8);
  EXPECT_EQ(Replace8("Longer`\xC3\xA9z", ENCODING_UTF8, QVSYMBOL_GET, &bytes, &characters, 9), "ctx`\xC3\xA9z");
  EXPECT_EQ(bytes, 7);
  EXPECT_EQ(characters, 6);
  EXPECT_EQ(Replace8("\xC3`x", ENCODING_UTF8, QVSYMBOL_PUT, nullptr, nullptr, 3), "(none)") << "malformed";
  EXPECT_EQ(Replace8("ctx`", ENCODING_UTF8, QVSYMBOL_PUT, nullptr, nullptr, 4), "(none)");
  EXPECT_EQ(Replace8("ctx`x", ENCODING_UTF8, QVSYMBOL_PUT, nullptr, nullptr, 3), "(none)")
      << "the mark lies past the character count";
}

TEST_F(SymbolReplacement, WideNamesAndTheirMarks) {
  ASSERT_EQ(Add("A", "BB"), 0);
  long bytes = 0;
  long characters = 0;
  // UCS-2: no mark in or out; the mark may be the last unit.
  EXPECT_EQ(ReplaceWide(Units<uint16_t>("A`x", false), ENCODING_UCS2, QVSYMBOL_PUT, &bytes, &characters),
            Units<uint16_t>("BB`x", false));
  EXPECT_EQ(bytes, 8);
  EXPECT_EQ(characters, 4);
  EXPECT_EQ(ReplaceWide(Units<uint16_t>("A`", false), ENCODING_UCS2, QVSYMBOL_PUT, &bytes, &characters),
            Units<uint16_t>("BB`", false));
  // UTF-16: this machine's mark, the swapped mark, or none (high byte first).
  const U16 expected16 = Units<uint16_t>("BB`x", true);
  for (const U16& name : {Units<uint16_t>("A`x", true), Units<uint16_t>("A`x", true, true),
                          Units<uint16_t>("A`x", false, true)}) {
    EXPECT_EQ(ReplaceWide(name, ENCODING_UTF16, QVSYMBOL_PUT, &bytes, &characters), expected16);
    EXPECT_EQ(bytes, 10) << "the mark counts";
    EXPECT_EQ(characters, 5);
  }
  EXPECT_EQ(ReplaceWide(Units<uint16_t>("A`", true), ENCODING_UTF16, QVSYMBOL_PUT, &bytes, &characters),
            Units<uint16_t>("BB`", true));
  // A surrogate takes the unit after it along: that unit is no mark.
  U16 surrogate = {0xFEFF, 'A', 0xD83D, 0x60, 'x'};
  EXPECT_EQ(ReplaceWide(surrogate, ENCODING_UTF16, QVSYMBOL_PUT, &bytes, &characters), U16{});
  // UTF-32 likewise, but something must follow the mark.
  const U32 expected32 = Units<uint32_t>("BB`x", true);
  for (const U32& name : {Units<uint32_t>("A`x", true), Units<uint32_t>("A`x", true, true),
                          Units<uint32_t>("A`x", false, true)}) {
    EXPECT_EQ(ReplaceWide(name, ENCODING_UTF32, QVSYMBOL_PUT, &bytes, &characters), expected32);
    EXPECT_EQ(bytes, 20);
    EXPECT_EQ(characters, 5);
  }
  EXPECT_EQ(ReplaceWide(Units<uint32_t>("A`", true), ENCODING_UTF32, QVSYMBOL_PUT, &bytes, &characters), U32{});
  EXPECT_EQ(ReplaceWide(Units<uint32_t>("BB`y", true), ENCODING_UTF32, QVSYMBOL_GET, &bytes, &characters),
            Units<uint32_t>("A`y", true));
}

TEST_F(SymbolReplacement, CountsChangeOnlyWithANewName) {
  ASSERT_EQ(Add("Other", "X"), 0);
  long bytes = 0;
  long characters = 0;
  // A marked name that no replacement matches keeps both counts, mark included.
  EXPECT_EQ(ReplaceWide(Units<uint16_t>("A`x", true), ENCODING_UTF16, QVSYMBOL_PUT, &bytes, &characters), U16{});
  EXPECT_EQ(ReplaceWide(Units<uint32_t>("A`x", true), ENCODING_UTF32, QVSYMBOL_PUT, &bytes, &characters), U32{});
  EXPECT_EQ(ReplaceWide(Units<uint16_t>("nomark", true), ENCODING_UTF16, QVSYMBOL_PUT, &bytes, &characters), U16{});
  // And when the new name cannot be had.
  gBudget = 0;
  EXPECT_EQ(ReplaceWide(Units<uint16_t>("Other`x", true), ENCODING_UTF16, QVSYMBOL_PUT, &bytes, &characters),
            U16{});
  gBudget = 1;  // the working copy, then no result
  EXPECT_EQ(ReplaceWide(Units<uint16_t>("Other`x", true), ENCODING_UTF16, QVSYMBOL_PUT, &bytes, &characters),
            U16{});
  gBudget = -1;
}

TEST_F(SymbolReplacement, EmptyPatternAndOrderOfRecords) {
  ASSERT_EQ(Add("", "G"), 0);
  EXPECT_EQ(Replace8("`x", ENCODING_ASCII, QVSYMBOL_PUT), "G`x");
  EXPECT_EQ(Replace8("A`x", ENCODING_ASCII, QVSYMBOL_PUT), "(none)");
  EXPECT_EQ(Replace8("G`x", ENCODING_ASCII, QVSYMBOL_GET), "`x");
  ASSERT_EQ(Add("A", "B"), 1);
  ASSERT_EQ(Add("A", "C"), 2);
  EXPECT_EQ(Replace8("A`x", ENCODING_ASCII, QVSYMBOL_PUT), "B`x") << "the lowest index wins";
  EXPECT_EQ(QVSymbolVariantRemoveReplacement(table_, 1), 1);
  EXPECT_EQ(Replace8("A`x", ENCODING_ASCII, QVSYMBOL_PUT), "C`x");
  EXPECT_EQ(Replace8("C`x", ENCODING_ASCII, QVSYMBOL_GET), "A`x");
  EXPECT_EQ(Replace8("`x", ENCODING_ASCII, QVSYMBOL_PUT), "G`x");
}

TEST_F(SymbolReplacement, RefusedNamesAndArguments) {
  EXPECT_EQ(Add("caf\xE9", "x"), -1) << "a byte above 127 would change meaning in the wide forms";
  EXPECT_EQ(Add("x", "\x80"), -1);
  EXPECT_EQ(QVSymbolVariantAddReplacement(table_, "A", -1, "B", 1), -1);
  EXPECT_EQ(QVSymbolVariantAddReplacement(table_, nullptr, 0, "B", 1), -1);
  EXPECT_EQ(QVSymbolVariantAddReplacement(table_, "A", 1, nullptr, 0), -1);
  EXPECT_EQ(QVSymbolVariantAddReplacement(nullptr, "A", 1, "B", 1), -1);
  EXPECT_EQ(QVSymbolVariantEnvHasReplacement(table_), 0);
  EXPECT_EQ(Add("\x7F", "x"), 0);
  void* name = const_cast<char*>("A`x");
  long bytes = 3;
  long characters = 3;
  EXPECT_EQ(QVSymbolReplace(table_, nullptr, &bytes, &characters, ENCODING_ASCII, 0), nullptr);
  EXPECT_EQ(QVSymbolReplace(table_, &name, nullptr, &characters, ENCODING_ASCII, 0), nullptr);
  EXPECT_EQ(QVSymbolReplace(table_, &name, &bytes, nullptr, ENCODING_ASCII, 0), nullptr);
  EXPECT_EQ(QVSymbolReplace(nullptr, &name, &bytes, &characters, ENCODING_ASCII, 0), nullptr);
  bytes = -3;
  EXPECT_EQ(QVSymbolReplace(table_, &name, &bytes, &characters, ENCODING_ASCII, 0), nullptr);
  EXPECT_EQ(QVNewSymbolVariantEnv(nullptr), nullptr);
  QVFreeReplacedSymbol(table_, nullptr);
}

TEST_F(SymbolReplacement, DuplicatesShareRecordsAndIndexes) {
  ASSERT_EQ(Add("A", "B"), 0);
  ASSERT_EQ(Add("C", "D"), 1);
  ASSERT_EQ(Add("E", "F"), 2);
  ASSERT_EQ(QVSymbolVariantRemoveReplacement(table_, 1), 1);
  _qvsymbol_variant_env* copy = QVDuplicateSymbolVariantEnv(table_);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->single, 0);
  EXPECT_EQ(Add("G", "H", copy), 3);
  EXPECT_EQ(QVSymbolVariantRemoveReplacement(table_, 0), 1);
  EXPECT_EQ(Replace8("A`x", ENCODING_ASCII, QVSYMBOL_PUT), "(none)");
  EXPECT_EQ(Replace8("A`x", ENCODING_ASCII, QVSYMBOL_PUT, nullptr, nullptr, -1, copy), "B`x")
      << "the copy keeps its share of the record";
  EXPECT_EQ(Replace8("E`x", ENCODING_ASCII, QVSYMBOL_PUT, nullptr, nullptr, -1, copy), "F`x");
  QVDestroySymbolVariantEnv(copy);
  EXPECT_EQ(Replace8("E`x", ENCODING_ASCII, QVSYMBOL_PUT), "F`x");

  // Single mode: the slot and its index travel together.
  EXPECT_EQ(table_->single, 1);
  EXPECT_EQ(table_->next_index, 2);
  copy = QVDuplicateSymbolVariantEnv(table_);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->single, 1);
  EXPECT_EQ(QVSymbolVariantRemoveReplacement(copy, 2), 1);
  EXPECT_EQ(QVSymbolVariantEnvHasReplacement(copy), 0);
  EXPECT_EQ(QVSymbolVariantEnvHasReplacement(table_), 1);
  QVDestroySymbolVariantEnv(copy);
  EXPECT_EQ(QVDuplicateSymbolVariantEnv(nullptr), nullptr);
}

TEST_F(SymbolReplacement, ExhaustedMemoryAtEveryStep) {
  // Adding: every allocation of two variants and a record in turn fails.
  for (long budget = 0; budget < 20; ++budget) {
    gBudget = budget;
    const long index = Add("A", "B");
    gBudget = -1;
    if (index >= 0) {
      EXPECT_GE(budget, 15) << "two variants of seven blocks and the record";
      break;
    }
  }
  ASSERT_EQ(QVSymbolVariantEnvHasReplacement(table_), 1);
  for (long budget = 0; budget < 20; ++budget) {
    gBudget = budget;
    const long index = Add("C", "D");
    gBudget = -1;
    if (index >= 0) {
      EXPECT_EQ(index, 1);
      break;
    }
    EXPECT_EQ(table_->single, 1) << "a failed second add leaves single mode as it was";
  }
  for (long budget = 0; budget < 3; ++budget) {
    gBudget = budget;
    _qvsymbol_variant_env* copy = QVDuplicateSymbolVariantEnv(table_);
    gBudget = -1;
    if (copy != nullptr) {
      QVDestroySymbolVariantEnv(copy);
      break;
    }
  }
  EXPECT_EQ(Replace8("C`x", ENCODING_ASCII, QVSYMBOL_PUT), "D`x");
}

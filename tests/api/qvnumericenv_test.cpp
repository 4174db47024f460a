// The table of numeric environments, the per-environment map and the two
// lookups the codec makes to choose a peer's type for a number.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "api/qvnumericenv.h"
#include "api/qvnumericdispatch.h"

namespace {

void* Allocate(uint64_t size) { return std::malloc(size); }
void Deallocate(void* p) { std::free(p); }

class NumericMap : public testing::Test {
 protected:
  void SetUp() override { map_ = QVGenerateNumericEnvDescriptions(Allocate, Deallocate); }
  void TearDown() override { QVDestroyNumericEnvDescriptions(map_); }
  const _qvnumeric_env_descriptor* Row(const char* name) const {
    const _qvnumeric_env_descriptor* row = QVFindNumericEnvDescription(map_, name);
    EXPECT_NE(row, nullptr) << name;
    return row;
  }
  QVNumericEnvMap* map_ = nullptr;
};

TEST_F(NumericMap, HoldsEveryRowOnceAndIsTheSameWhenBuiltAgain) {
  ASSERT_NE(map_, nullptr);
  EXPECT_EQ(map_->entries.size(), 41u);
  QVNumericEnvMap* again = QVGenerateNumericEnvDescriptions(Allocate, Deallocate);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->entries, map_->entries);
  QVDestroyNumericEnvDescriptions(again);
  // The map points into the one static table: rows are never copied.
  int rows = 0;
  for (const _qvnumeric_env_descriptor* row = QVNumericEnvTable(); row->name != nullptr; ++row, ++rows) {
    EXPECT_EQ(QVFindNumericEnvDescription(map_, row->name), row) << row->name;
  }
  EXPECT_EQ(rows, 41);
}

TEST_F(NumericMap, NamesAreDataComparedByteForByte) {
  for (const char* name : {"norwichterrior", "saintbernarnd", "Sep 13 1996, 13:46:34", "bichon_frise"}) {
    EXPECT_NE(QVFindNumericEnvDescription(map_, name), nullptr) << name;
  }
  for (const char* name : {"GreatDane", "greatdane ", "greatdan", "norwichterrier", ""}) {
    EXPECT_EQ(QVFindNumericEnvDescription(map_, name), nullptr) << name;
  }
}

TEST_F(NumericMap, NeedsBothAllocatorFunctions) {
  EXPECT_EQ(QVGenerateNumericEnvDescriptions(nullptr, Deallocate), nullptr);
  EXPECT_EQ(QVGenerateNumericEnvDescriptions(Allocate, nullptr), nullptr);
  QVDestroyNumericEnvDescriptions(nullptr);
}

TEST_F(NumericMap, PeerLookupAcceptsUniqueIdAsOwnAndRefusesOtherNames) {
  int error = -1;
  const _qvnumeric_env_descriptor* own = Row(kNumericIdentity);
  EXPECT_EQ(QVPeerNumericEnvDescription(map_, "zembu", &error), Row("zembu"));
  EXPECT_EQ(error, 0);
  EXPECT_EQ(QVPeerNumericEnvDescription(map_, "UniqueID", &error), own);
  EXPECT_EQ(error, 0);
  for (const char* name : {"GREATDANE", "uniqueid", "UniqueID2", "nosuchdog"}) {
    error = 0;
    EXPECT_EQ(QVPeerNumericEnvDescription(map_, name, &error), nullptr) << name;
    EXPECT_EQ(error, 56) << name;
  }
}

// The families named in prose: every row of a family shares its first seven types.
TEST_F(NumericMap, RowsFallIntoTheirByteOrderFamilies) {
  struct Family {
    std::vector<uint64_t> types;  // short, int, long, 64-bit, wide, single, double
    std::vector<const char*> names;
  };
  const Family families[] = {
      {{162, 164, 164, 197, 164, 180, 182},
       {"mastiff", "keeshond", "borzoi", "saintbernarnd", "beagle", "bullterrier", "rottweiler", "pug",
        "pointer", "siberianhusky", "newfoundland"}},
      {{162, 164, 166, 166, 166, 180, 182},
       {"japanesechin", "komondor", "briard", "bernesemountaindog", "borderterrier", "pharaohhound",
        "trout", "samoyed", "affenpinscher"}},
      {{226, 228, 230, 230, 230, 244, 246},
       {"norwichterrior", "tibetanmastiff", "greatdane", "australiancattledog", "boxer", "akitainu",
        "shibainu"}},
  };
  for (const Family& family : families) {
    for (const char* name : family.names) {
      const _qvnumeric_env_descriptor* row = Row(name);
      for (int pair = 0; pair < 7; ++pair) {
        EXPECT_EQ(row->types[2 * pair], family.types[pair]) << name << " pair " << pair;
      }
    }
  }
  // Form 1 and form 2 agree everywhere except the long double of "setter".
  for (const _qvnumeric_env_descriptor* row = QVNumericEnvTable(); row->name != nullptr; ++row) {
    for (int pair = 0; pair < 8; ++pair) {
      if (std::string(row->name) == "setter" && pair == 7) continue;
      EXPECT_EQ(row->types[2 * pair], row->types[2 * pair + 1]) << row->name << " pair " << pair;
    }
  }
}

TEST_F(NumericMap, KindAndTypeLookups) {
  const _qvnumeric_env_descriptor* greatdane = Row("greatdane");
  const _qvnumeric_env_descriptor* mastiff = Row("mastiff");
  const _qvnumeric_env_descriptor* zembu = Row("zembu");
  const _qvnumeric_env_descriptor* setter = Row("setter");
  const _qvnumeric_env_descriptor* bichon = Row("bichon_frise");
  struct DescCase {
    unsigned long type;
    const _qvnumeric_env_descriptor* descriptor;
    int form;
    int kind;
  };
  const DescCase desc_cases[] = {
      {161, greatdane, 1, 9}, {161, mastiff, 2, 9},  {230, greatdane, 2, 4}, {164, mastiff, 2, 2},
      {248, greatdane, 2, 7}, {216, setter, 2, 7},   {246, setter, 1, 6},    {200, greatdane, 2, 30},
      {226, greatdane, 0, 30}, {226, greatdane, 3, 30}, {226, nullptr, 2, 30}, {228, greatdane, 2, 2},
  };
  for (const DescCase& c : desc_cases) {
    EXPECT_EQ(QVGetNumericDesc(c.type, c.descriptor, c.form), c.kind) << c.type << " form " << c.form;
  }
  struct TypeCase {
    int kind;
    const _qvnumeric_env_descriptor* descriptor;
    int form;
    unsigned long type;
  };
  const TypeCase type_cases[] = {
      {9, greatdane, 1, 161}, {9, mastiff, 2, 161}, {4, zembu, 2, 196},  {7, setter, 1, 246},
      {7, setter, 2, 216},    {8, bichon, 2, 230},  {3, bichon, 2, 228}, {0, greatdane, 2, 0},
      {10, greatdane, 2, 0},  {2, greatdane, 0, 0}, {2, greatdane, 3, 0}, {2, nullptr, 2, 0},
  };
  for (const TypeCase& c : type_cases) {
    EXPECT_EQ(QVGetNumericType(c.kind, c.descriptor, c.form), c.type) << c.kind << " form " << c.form;
  }
}

// What the codec does with a number the peer does not take as it stands.
unsigned long PeerTypeOf(unsigned long own_type, const _qvnumeric_env_descriptor* own,
                         const _qvnumeric_env_descriptor* peer) {
  return QVGetNumericType(QVGetNumericDesc(own_type, own, 2), peer, 2);
}

TEST_F(NumericMap, ChoosesThePeerTypeOfEachOwnNumber) {
  const _qvnumeric_env_descriptor* own = Row("greatdane");
  for (unsigned long type : {161, 226, 228, 230, 244, 246, 248}) {
    EXPECT_EQ(PeerTypeOf(type, own, own), type);
  }
  const _qvnumeric_env_descriptor* zembu = Row("zembu");
  EXPECT_EQ(PeerTypeOf(230, own, zembu), 196u);
  EXPECT_EQ(PeerTypeOf(248, own, zembu), 246u);
  EXPECT_EQ(PeerTypeOf(228, own, Row("mastiff")), 164u);
  // The table's own row is the one the dispatcher names as this side's identity.
  char name[64];
  unsigned char set[16];
  long count = sizeof name;
  ASSERT_EQ(qvne__dispatch(0, name, set, &count), 0);
  EXPECT_EQ(QVFindNumericEnvDescription(map_, name), own);
}

}  // namespace

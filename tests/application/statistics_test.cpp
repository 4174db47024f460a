#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "application/qvstatistics.h"

namespace {

using Quorvane::kPassSlots;
using Quorvane::STDEVP;
using Quorvane::zuidazhi;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(STDEVPTest, EqualValuesHaveNoDeviation) {
  for (double v : {0.0, 7.25, -3.0, 1e300}) {
    EXPECT_EQ(STDEVP(v, v, v, v, v), 0.0) << v;
  }
}

TEST(STDEVPTest, OneToFiveIsTheRootOfTwo) {
  EXPECT_EQ(STDEVP(1, 2, 3, 4, 5), std::sqrt(2.0));
  EXPECT_EQ(STDEVP(5, 4, 3, 2, 1), std::sqrt(2.0));
}

struct ZuidazhiCase {
  const char* name;
  double fill;                 // every slot
  int slotA;                   // -1: none
  double valueA;
  int slotB;
  double valueB;
  double expected;
};

TEST(ZuidazhiTest, Table) {
  const ZuidazhiCase cases[] = {
      {"equal positive values: slot 0", 5.0, -1, 0, -1, 0, 0.0},
      {"all negative: nothing reaches the start of 0.0", -1.0, 3, -0.5, -1, 0, 0.0},
      {"only NaNs", kNaN, -1, 0, -1, 0, 0.0},
      {"maximum at slot 137", 10.0, 137, 11.0, -1, 0, 137 * 0.01},
      {"a tie goes to the lower slot", 10.0, 150, 12.0, 42, 12.0, 42 * 0.01},
      {"a NaN never wins", 10.0, 0, kNaN, 9, 11.0, 9 * 0.01},
      {"negatives lose to a zero slot", -4.0, 200, 0.0, -1, 0, 200 * 0.01},
      {"last slot", 1.0, 249, 2.0, -1, 0, 249 * 0.01},
  };
  for (const ZuidazhiCase& c : cases) {
    std::array<double, kPassSlots> a;
    a.fill(c.fill);
    if (c.slotA >= 0) a[c.slotA] = c.valueA;
    if (c.slotB >= 0) a[c.slotB] = c.valueB;
    EXPECT_EQ(zuidazhi(a.data()), c.expected) << c.name;
  }
}

}  // namespace

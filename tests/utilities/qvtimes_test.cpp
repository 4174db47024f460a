// QVTime arithmetic and the plain time helpers.
#include "utilities/qvtimes.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "utilities/qvexception.h"

using Quorvane::QVException;
using Quorvane::QVTime;
using Quorvane::qvexceptiontype;

namespace {

QVTime Make(uint64_t seconds, uint64_t micros) { return QVTime(seconds * 1000000 + micros); }

enum class Op { Add, Sub, Mul, Div, AddMicros, SubMicros, Inc, Dec };

struct TimeCase {
  const char* name;
  Op op;
  uint64_t s1, us1;
  uint64_t s2, us2;  // second operand (a microsecond count for the *Micros forms)
  uint64_t wantS, wantUs;
  int wantType;  // 0: no exception
};

void PrintTo(const TimeCase& c, std::ostream* os) { *os << c.name; }

const TimeCase kCases[] = {
    {"sub with borrow", Op::Sub, 2, 500000, 0, 700000, 1, 800000, 0},
    {"sub equal gives zero", Op::Sub, 5, 5, 5, 5, 0, 0, 0},
    {"sub larger seconds", Op::Sub, 1, 0, 2, 0, 0, 0, 22},
    {"sub larger micros", Op::Sub, 3, 1, 3, 2, 0, 0, 22},
    {"sub micro count", Op::SubMicros, 1, 0, 0, 1, 0, 999999, 0},
    {"sub micro count too large", Op::SubMicros, 0, 5, 0, 6, 0, 0, 22},
    {"add with carry", Op::Add, 1, 600000, 2, 500000, 4, 100000, 0},
    {"add to exactly a second", Op::Add, 0, 999999, 0, 1, 1, 0, 0},
    {"add micro count", Op::AddMicros, 1, 999999, 0, 2000001, 4, 0, 0},
    {"mul halves", Op::Mul, 2, 500000, 2, 0, 5, 0, 0},
    {"mul by fraction", Op::Mul, 10, 0, 0, 250000, 2, 500000, 0},
    {"mul by zero", Op::Mul, 10, 0, 0, 0, 0, 0, 0},
    {"div", Op::Div, 5, 0, 2, 0, 2, 500000, 0},
    {"div by fraction", Op::Div, 1, 0, 0, 500000, 2, 0, 0},
    {"div by zero", Op::Div, 5, 0, 0, 0, 0, 0, 3},
    {"inc carries", Op::Inc, 0, 999999, 0, 0, 1, 0, 0},
    {"dec borrows", Op::Dec, 1, 0, 0, 0, 0, 999999, 0},
    {"dec at zero", Op::Dec, 0, 0, 0, 0, 0, 0, 22},
};

class QVTimeTable : public ::testing::TestWithParam<TimeCase> {};

TEST_P(QVTimeTable, Holds) {
  const TimeCase& c = GetParam();
  QVTime t = Make(c.s1, c.us1);
  const QVTime before = t;
  const QVTime other = Make(c.s2, c.us2);
  const unsigned long count = c.s2 * 1000000 + c.us2;
  try {
    switch (c.op) {
      case Op::Add: EXPECT_EQ(&(t + other), &t); break;
      case Op::Sub: EXPECT_EQ(&(t - other), &t); break;
      case Op::Mul: t * other; break;
      case Op::Div: t / other; break;
      case Op::AddMicros: t + count; break;
      case Op::SubMicros: t - count; break;
      case Op::Inc: ++t; break;
      case Op::Dec: --t; break;
    }
    ASSERT_EQ(c.wantType, 0) << "expected an exception";
    EXPECT_EQ(t.GetSeconds(), c.wantS);
    EXPECT_EQ(t.GetMicroseconds(), c.wantUs);
  } catch (const QVException& e) {
    ASSERT_NE(c.wantType, 0) << "unexpected: " << e.getWhat().c_str();
    EXPECT_EQ(static_cast<int>(e.getType()), c.wantType);
    EXPECT_EQ(e.getCode(), 0);
    EXPECT_EQ(std::string(e.getFile().c_str()), "utilities/qvtimes");
    if (c.wantType == 22) {
      EXPECT_EQ(std::string(e.getWhat().c_str()), "Negative time values not allowed.");
    }
    EXPECT_TRUE(t == before) << "a failed operation changed the value";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, QVTimeTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TimeCase>& p) {
                           std::string n = p.param.name;
                           for (char& ch : n) {
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return n;
                         });

TEST(QVTime, MicrosecondConstructorSplits) {
  const QVTime t(2500000);
  EXPECT_EQ(t.GetSeconds(), 2u);
  EXPECT_EQ(t.GetMicroseconds(), 500000u);
  EXPECT_EQ(t.GetAsMicroseconds(), 2500000u);
}

TEST(QVTime, ComparesSecondsThenMicroseconds) {
  const QVTime a = Make(1, 999999), b = Make(2, 0);
  EXPECT_TRUE(a < b);
  EXPECT_TRUE(a <= b);
  EXPECT_FALSE(a > b);
  EXPECT_TRUE(b >= a);
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(b == 2000000ul);
  EXPECT_TRUE(a < 2000000ul);
  EXPECT_TRUE(b > 1999999ul);
  EXPECT_TRUE(b <= 2000000ul);
  EXPECT_TRUE(b >= 2000000ul);
}

TEST(QVTime, NowFollowsTheSystemClock) {
  struct timeval before, after;
  gettimeofday(&before, nullptr);
  QVTime now;
  gettimeofday(&after, nullptr);
  const uint64_t lo = static_cast<uint64_t>(before.tv_sec) * 1000000 + before.tv_usec;
  const uint64_t hi = static_cast<uint64_t>(after.tv_sec) * 1000000 + after.tv_usec;
  EXPECT_GE(now.GetAsMicroseconds(), lo);
  EXPECT_LE(now.GetAsMicroseconds(), hi);
  EXPECT_LT(now.GetMicroseconds(), 1000000u);
}

TEST(QVTime, Prints) {
  std::ostringstream os;
  os << Make(12, 345);
  EXPECT_EQ(os.str(), "12:345 ");
}

TEST(PlainTime, Compare) {
  EXPECT_EQ(QVTimeCompare(1, 5, 2, 0), -1);
  EXPECT_EQ(QVTimeCompare(2, 0, 1, 999999), 1);
  EXPECT_EQ(QVTimeCompare(3, 7, 3, 7), 0);
  EXPECT_EQ(QVTimeCompare(3, 8, 3, 7), 1);
}

TEST(PlainTime, WithinInterval) {
  EXPECT_EQ(QVTimesAreWithinInterval(10, 900000, 11, 100000, 200000), 1);
  EXPECT_EQ(QVTimesAreWithinInterval(10, 900000, 11, 100000, 199999), 0);
  EXPECT_EQ(QVTimesAreWithinInterval(11, 100000, 10, 900000, 200000), 1);  // either order
  EXPECT_EQ(QVTimesAreWithinInterval(4, 4, 4, 4, 0), 1);
  EXPECT_EQ(QVTimesAreWithinInterval(4, 4, 4, 5, 0), 0);
}

TEST(PlainTime, Conversions) {
  const struct timeval t = QVNewTimeFromOffset(10, 600000, 2, 700000);
  EXPECT_EQ(t.tv_sec, 13);
  EXPECT_EQ(t.tv_usec, 300000);
  const struct timeval m = QVConvertMicroToTimeval(3000001);
  EXPECT_EQ(m.tv_sec, 3);
  EXPECT_EQ(m.tv_usec, 1);
  EXPECT_EQ(QVConvertTimevalToMicro(3, 1), 3000001);
  EXPECT_EQ(QVGetCurrentTime(nullptr), 0);
  struct timeval now = {0, 0};
  EXPECT_EQ(QVGetCurrentTime(&now), 0);
  EXPECT_GT(now.tv_sec, 0);
}

TEST(PlainTime, MicroSleepWaitsAtLeastThatLong) {
  struct timeval a, b;
  gettimeofday(&a, nullptr);
  EXPECT_EQ(QVMicroSleep(20000), 0);
  EXPECT_EQ(Quorvane::QVMicroSleep(1), 0);
  gettimeofday(&b, nullptr);
  EXPECT_GE((b.tv_sec - a.tv_sec) * 1000000 + (b.tv_usec - a.tv_usec), 20000);
}

}  // namespace

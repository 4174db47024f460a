// Calendar breakdown checked against the C library's calendar, and local
// dates under time zones with and without daylight saving.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <random>
#include <sstream>
#include <string>

#include "utilities/qvtimes.h"

using Quorvane::QVDate;
using Quorvane::QVDateComponents;

namespace {

constexpr int64_t kEpochTo2001 = 978307200;

// Seconds from 1970-01-01 to year-01-01 by the C library's calendar.
int64_t YearStart(int year) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mday = 1;
  return static_cast<int64_t>(timegm(&t));
}

void ExpectMatchesLibrary(int referenceYear, double seconds) {
  SCOPED_TRACE("reference " + std::to_string(referenceYear) + " seconds " +
               std::to_string(seconds));
  const QVDateComponents c(referenceYear, seconds);
  const double whole = std::floor(seconds);
  const time_t instant = static_cast<time_t>(YearStart(referenceYear) + static_cast<int64_t>(whole));
  struct tm want;
  ASSERT_NE(gmtime_r(&instant, &want), nullptr);
  EXPECT_EQ(c.Year, want.tm_year + 1900);
  EXPECT_EQ(c.Month, want.tm_mon + 1);
  EXPECT_EQ(c.DayOfMonth, want.tm_mday);
  EXPECT_EQ(c.DayOfYear, want.tm_yday + 1);
  EXPECT_EQ(c.Hour, want.tm_hour);
  EXPECT_EQ(c.Minute, want.tm_min);
  EXPECT_EQ(c.Second, want.tm_sec);
  EXPECT_NEAR(c.SubSecond, seconds - whole, 1e-6);
  EXPECT_GE(c.SubSecond, 0.0);
  EXPECT_LT(c.SubSecond, 1.0);
  EXPECT_EQ(c.dayOfWeek(), want.tm_wday);
  char week[8];
  ASSERT_GT(strftime(week, sizeof week, "%W", &want), 0u);
  EXPECT_EQ(c.weekOfYear(), std::atoi(week));
  // Converting back gives the interval.
  EXPECT_NEAR(c.dateAsIntervalFromReference(referenceYear), seconds, 1e-3);
}

TEST(QVDateComponents, AgreeWithLibraryAcrossTheWholeRange) {
  std::mt19937_64 rng(20261209);
  std::uniform_real_distribution<double> span(QVDate::distantPast().timeIntervalSinceReferenceDate(),
                                              QVDate::distantFuture().timeIntervalSinceReferenceDate());
  for (int i = 0; i < 20000; ++i) ExpectMatchesLibrary(2001, std::round(span(rng) * 1000) / 1000);
  // Ends of the range, and other reference years.
  ExpectMatchesLibrary(2001, QVDate::distantPast().timeIntervalSinceReferenceDate());
  ExpectMatchesLibrary(2001, QVDate::distantFuture().timeIntervalSinceReferenceDate());
  std::uniform_int_distribution<int> years(1600, 2400);
  std::uniform_real_distribution<double> near(-4e10, 4e10);
  for (int i = 0; i < 2000; ++i) ExpectMatchesLibrary(years(rng), std::round(near(rng)));
}

TEST(QVDateComponents, EveryDayAroundCenturyLeapRules) {
  // Day by day over 1899..1901 and 1999..2001 (plus a noon offset) from 2001.
  for (int year : {1899, 1999}) {
    const double start = static_cast<double>(YearStart(year) - kEpochTo2001);
    for (int day = 0; day < 3 * 366; ++day) ExpectMatchesLibrary(2001, start + day * 86400.0 + 43200.5);
  }
}

TEST(QVDateComponents, DistantEndsAreWholeYears) {
  const QVDateComponents past(2001, QVDate::distantPast().timeIntervalSinceReferenceDate());
  EXPECT_EQ(past, QVDateComponents(1, 1, 1, 0, 0, 0));
  const QVDateComponents future(2001, QVDate::distantFuture().timeIntervalSinceReferenceDate());
  EXPECT_EQ(future, QVDateComponents(6001, 1, 1, 0, 0, 0));
}

TEST(QVDateComponents, WeekdayBeforeYearOne) {
  // The calendar goes on backwards; the weekday must stay in 0..6.
  for (int64_t back : {1, 59, 366, 400 * 146097 / 400, 3000 * 365}) {
    ExpectMatchesLibrary(1, -static_cast<double>(back) * 86400.0 + 100.0);
  }
}

TEST(QVDateComponents, ReferenceAndLeapDay) {
  const QVDateComponents start(2001, 0.0);
  EXPECT_EQ(start.Year, 2001);
  EXPECT_EQ(start.Month, 1);
  EXPECT_EQ(start.DayOfMonth, 1);
  EXPECT_EQ(start.DayOfYear, 1);
  EXPECT_EQ(start.Hour + start.Minute + start.Second, 0);
  EXPECT_EQ(start.dayOfWeek(), 1);

  const QVDateComponents leap(2004, 59 * 86400.0);
  EXPECT_EQ(leap.Month, 2);
  EXPECT_EQ(leap.DayOfMonth, 29);
  const QVDateComponents march(2004, 60 * 86400.0);
  EXPECT_EQ(march.Month, 3);
  EXPECT_EQ(march.DayOfMonth, 1);
  EXPECT_EQ(march.DayOfYear, 61);
}

TEST(QVDateComponents, FieldConstructorAndTables) {
  const QVDateComponents c(2004, 3, 1, 10, 20, 30);
  EXPECT_EQ(c.DayOfYear, 61);
  EXPECT_EQ(c.SubSecond, 0.0);
  EXPECT_EQ(QVDateComponents(2003, 3, 1, 0, 0, 0).DayOfYear, 60);
  EXPECT_EQ(QVDateComponents(2003, 0, 17, 0, 0, 0).DayOfYear, 17);
  EXPECT_EQ(QVDateComponents::numberOfDaysInMonth(2, 1900), 28);
  EXPECT_EQ(QVDateComponents::numberOfDaysInMonth(2, 2000), 29);
  EXPECT_EQ(QVDateComponents::daysPriorToMonth(1, 2000), 0);
  EXPECT_EQ(QVDateComponents::daysPriorToMonth(12, 2000), 335);
  EXPECT_EQ(QVDateComponents::secondsInYear(2100), 31536000.0);
  EXPECT_EQ(QVDateComponents::secondsInYear(2400), 31622400.0);
  EXPECT_EQ(QVDateComponents::secondsFromYearToYear(2001, 2005), (365 * 3 + 366) * 86400.0);
}

TEST(QVDateComponents, WeekOfMonthAndOrdering) {
  // 2026-12-09 is a Wednesday (3): 9 / 7 = 1, 9 % 7 = 2 < 3.
  EXPECT_EQ(QVDateComponents(2026, 12, 9, 0, 0, 0).weekOfMonth(), 1);
  // 2026-12-12 is a Saturday (6): 12 % 7 = 5 < 6 -> 1; 2026-12-06 Sunday -> 0.
  EXPECT_EQ(QVDateComponents(2026, 12, 12, 0, 0, 0).weekOfMonth(), 1);
  EXPECT_EQ(QVDateComponents(2026, 12, 6, 0, 0, 0).weekOfMonth(), 0);
  // 2026-12-01 is a Tuesday (2): 1 % 7 = 1 < 2 -> 0; 2026-12-08 Tuesday -> 1.
  EXPECT_EQ(QVDateComponents(2026, 12, 8, 0, 0, 0).weekOfMonth(), 1);

  const QVDateComponents a(2001, 100.25), b(2001, 100.5), c(2001, 100.25);
  EXPECT_TRUE(a.earlier(b));
  EXPECT_FALSE(b.earlier(a));
  EXPECT_TRUE(b.later(a));
  EXPECT_FALSE(a.later(c));
  EXPECT_TRUE(a == c);
  EXPECT_TRUE(a != b);
}

TEST(QVDateComponents, NonFiniteAndHugeInputsStayBounded) {
  const QVDateComponents n(2001, std::nan(""));
  EXPECT_EQ(n, QVDateComponents(2001, 0.0));
  const QVDateComponents big(2001, 1e300);
  EXPECT_GT(big.Year, 2001);
  const QVDateComponents small(2001, -1e300);
  EXPECT_LT(small.Year, 2001);
  EXPECT_LE(small.dayOfWeek(), 6);
}

TEST(QVDateComponents, Prints) {
  std::ostringstream os;
  os << QVDateComponents(2001, 3661.5);
  EXPECT_EQ(os.str(),
            "<QVDateComponents><Year>2001</Year><Month>1</Month><DayOfMonth>1</DayOfMonth>"
            "<DayOfYear>1</DayOfYear><Hour>1</Hour><Minute>1</Minute><Second>1</Second>"
            "<SubSecond>0.5</SubSecond></QVDateComponents>");
}

TEST(QVDate, ValueOperations) {
  EXPECT_EQ(QVDate::initWithIntervalSince1970(978307200.0).timeIntervalSinceReferenceDate(), 0.0);
  QVDate d(100.0);
  EXPECT_EQ(d.timeIntervalSince1970(), 978307300.0);
  EXPECT_EQ((d + 5.0).timeIntervalSinceReferenceDate(), 105.0);
  EXPECT_EQ((d - 5.0).timeIntervalSinceReferenceDate(), 95.0);
  d += 10.0;
  d -= 4.0;
  EXPECT_EQ(static_cast<double>(d), 106.0);
  EXPECT_EQ(static_cast<double>(d++), 106.0);
  EXPECT_EQ(static_cast<double>(++d), 108.0);
  EXPECT_EQ(static_cast<double>(d--), 108.0);
  EXPECT_EQ(static_cast<double>(--d), 106.0);
  const QVDate e(2.0, d);
  EXPECT_EQ(e - d, 2.0);
  EXPECT_EQ(e.timeIntervalSinceDate(d), 2.0);
  EXPECT_TRUE(d < e && d <= e && e > d && e >= d && d != e);
  EXPECT_EQ(d.earlierDate(e), d);
  EXPECT_EQ(d.laterDate(e), e);
  EXPECT_EQ(QVDate::initWithIntervalSinceDate(3.0, d).timeIntervalSinceReferenceDate(), 109.0);
  EXPECT_EQ(QVDate::initWithIntervalSinceReferenceDate(7.0).timeIntervalSinceReferenceDate(), 7.0);
  EXPECT_EQ(QVDate::daysInYear(1900), 365.0);
  EXPECT_EQ(QVDate::daysInYear(2000), 366.0);
  EXPECT_TRUE(QVDate::isLeapYear(2024));
  EXPECT_EQ(QVDate::daysInSeconds(43200.0), 0.5);

  const QVDate pm(13 * 3600.0 + 61.0);
  EXPECT_EQ(pm.year(), 2001);
  EXPECT_EQ(pm.month(), 1);
  EXPECT_EQ(pm.day(), 1);
  EXPECT_EQ(pm.hour(), 13);
  EXPECT_EQ(pm.minute(), 1);
  EXPECT_EQ(pm.second(), 1);
  EXPECT_EQ(pm.dayOfWeek(), 1);
  EXPECT_TRUE(pm.isPM());
  EXPECT_FALSE(pm.isAM());
  EXPECT_EQ(pm.halfOfDay(), 1);

  std::ostringstream os;
  os << QVDate(12.5);
  EXPECT_EQ(os.str(), "<QVDate>12.5</QVDate>");
}

struct ZoneCase {
  const char* name;
  const char* tz;
  long offsetSeconds;  // east of UTC, daylight saving included
};

// Zones given by rule, so no zone database is needed. The J1/0,J365/25 rules
// keep daylight saving on all year, so the expected offset holds at any date.
void PrintTo(const ZoneCase& c, std::ostream* os) { *os << c.name; }

const ZoneCase kZones[] = {
    {"Utc", "UTC0", 0},
    {"WestNoSaving", "AAA5", -5 * 3600},
    {"EastAlwaysSaving", "CCC-1DDD,J1/0,J365/25", 2 * 3600},
    {"WestAlwaysSaving", "EEE5FFF,J1/0,J365/25", -4 * 3600},
    {"HalfHourSaving", "LHST-10:30LHDT-11,J1/0,J365/25", 11 * 3600},
};

class QVDateZones : public ::testing::TestWithParam<ZoneCase> {};

// Each test case runs in a process of its own, so changing TZ here is safe.
TEST_P(QVDateZones, NowIsLocalTimeSinceTheReferenceDate) {
  ASSERT_EQ(setenv("TZ", GetParam().tz, 1), 0);
  tzset();
  struct tm probe;
  const time_t nowSeconds = time(nullptr);
  ASSERT_NE(localtime_r(&nowSeconds, &probe), nullptr);
  ASSERT_EQ(probe.tm_gmtoff, GetParam().offsetSeconds) << "the zone rule is not understood";

  struct timeval before, after;
  gettimeofday(&before, nullptr);
  const double current = QVDate::currentTime();
  const QVDate date;
  const QVDate soon = QVDate::initWithIntervalSinceNow(60.0);
  gettimeofday(&after, nullptr);
  const double shift = static_cast<double>(GetParam().offsetSeconds) - kEpochTo2001;
  const double lo = before.tv_sec + before.tv_usec / 1e6 + shift;
  const double hi = after.tv_sec + after.tv_usec / 1e6 + shift;
  for (double v : {current, date.timeIntervalSinceReferenceDate()}) {
    EXPECT_GE(v, lo - 1e-3);
    EXPECT_LE(v, hi + 1e-3);
  }
  EXPECT_GE(soon.timeIntervalSinceReferenceDate(), lo + 60.0 - 1e-3);
  EXPECT_LE(soon.timeIntervalSinceReferenceDate(), hi + 60.0 + 1e-3);
  EXPECT_GT(soon.timeIntervalSinceNow(), 50.0);

  // The components show the wall clock of the zone.
  struct tm wall;
  const time_t wallSeconds = static_cast<time_t>(std::floor(date.timeIntervalSinceReferenceDate())) + kEpochTo2001;
  gmtime_r(&wallSeconds, &wall);
  const QVDateComponents c = date.dateComponents();
  EXPECT_EQ(c.Year, wall.tm_year + 1900);
  EXPECT_EQ(c.DayOfYear, wall.tm_yday + 1);
  EXPECT_EQ(c.Hour, wall.tm_hour);
  EXPECT_EQ(c.Minute, wall.tm_min);
}

INSTANTIATE_TEST_SUITE_P(Zones, QVDateZones, ::testing::ValuesIn(kZones),
                         [](const ::testing::TestParamInfo<ZoneCase>& p) { return std::string(p.param.name); });

TEST(QVDate, SavingFollowsTheInstantInASeasonalZone) {
  // Northern rule: summer +2, winter +1. The offset of "now" must be the one in force now.
  ASSERT_EQ(setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1), 0);
  tzset();
  const time_t nowSeconds = time(nullptr);
  struct tm probe;
  localtime_r(&nowSeconds, &probe);
  const double expected = static_cast<double>(nowSeconds) - kEpochTo2001 + (probe.tm_isdst > 0 ? 7200 : 3600);
  EXPECT_NEAR(QVDate::currentTime(), expected, 2.0);
}

}  // namespace

// Date patterns: the field forms by run length, letters that never quote, and
// the numeric fields checked against the C library's strftime for many
// instants in a zone without and one with daylight saving.
#include "utilities/qvlinklog/qvdateformatter.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <sstream>
#include <string>

#include "utilities/qvlinklog/qvdatesymbolstate.h"

using namespace Quorvane;

namespace {

constexpr int64_t kEpochTo2001 = 978307200;

QVDate At(int year, int month, int day, int hour, int minute, int second, double fraction = 0) {
  const QVDateComponents c(year, static_cast<unsigned short>(month),
                           static_cast<unsigned short>(day), static_cast<unsigned short>(hour),
                           static_cast<unsigned short>(minute),
                           static_cast<unsigned short>(second));
  return QVDate(c.dateAsIntervalFromReference(2001) + fraction);
}

std::string Format(const std::string& pattern, const QVDate& date) {
  return ToStdString(QVDateFormatter::initWithFormat(ToQVString(pattern)).stringFromDate(date));
}

// Each case runs in a process of its own, so the zone can be pinned here.
void PinZone(const char* tz) {
  ASSERT_EQ(setenv("TZ", tz, 1), 0);
  tzset();
}

struct PatternCase {
  const char* pattern;
  QVDate date;
  std::string expected;
};

TEST(QVDateFormatter, FieldFormsByRunLength) {
  PinZone("UTC0");
  const QVDate thursday = At(2026, 3, 5, 10, 0, 0);  // a Thursday in March
  const QVDate stamp = At(2026, 12, 7, 23, 5, 9, 0.25);
  const QVDate september = At(2026, 9, 1, 0, 0, 0);
  const QVDate tuesday = At(2026, 4, 7, 0, 0, 0);  // a Tuesday in April
  const std::string weekOfMonth = std::to_string(thursday.dateComponents().weekOfMonth());
  const PatternCase cases[] = {
      {"", thursday, ""},
      {"--/::", thursday, "--/::"},
      {"MM-dd-yyyy", thursday, "03-05-2026"},
      {"M/d/yy", thursday, "03/5/26"},  // a single M still gives two digits
      {"yyyy-MM-dd hh:mm:ss.SSSS", stamp, "2026-12-07 11:05:09.2500"},
      {"yyyy-MM-dd hh:mm:ss.SSSS", At(2026, 12, 7, 0, 5, 0), "2026-12-07 12:05:00.0000"},
      {"SSS", At(2026, 12, 7, 0, 0, 0, 0.9999), "999"},  // truncated, not rounded
      {"y", thursday, "2026"},
      {"yy", thursday, "26"},
      {"yyyyy", thursday, "02026"},
      {"QQQQ", thursday, "1st quarter"},
      {"QQQQ", At(2026, 5, 1, 0, 0, 0), "2nd quarter"},
      {"QQQQ", At(2026, 10, 1, 0, 0, 0), "4th quarter"},
      {"QQQ", At(2026, 7, 1, 0, 0, 0), "Q3"},
      {"Q", At(2026, 1, 1, 0, 0, 0), "01"},
      {"qq", september, "03"},
      {"MMM", september, "Sept"},
      {"MMM", tuesday, "April"},
      {"MMMM", september, "September"},
      {"MMMMM", september, "S"},
      {"MMMMMM", september, ""},
      {"EEEE", thursday, "Thursday"},
      {"EEE", thursday, "Thurs"},
      {"E", tuesday, "Tues"},
      {"EEEEE", tuesday, "T"},
      {"EEEEEE", thursday, ""},
      {"Ee", thursday, "ThursThurs"},  // a change of letter starts a new field
      {"W", thursday, weekOfMonth},
      {"WW", thursday, ""},
      {"ML", thursday, "0303"},
      {"'yyyy'", thursday, "'2026'"},  // no quoting: the apostrophes are copied
      {"a", At(2026, 3, 5, 11, 59, 0), "AM"},
      {"a", At(2026, 3, 5, 12, 0, 0), "PM"},
      {"k", At(2026, 3, 5, 23, 0, 0), "24"},
      {"K", At(2026, 3, 5, 12, 0, 0), "0"},
      {"h", At(2026, 3, 5, 0, 0, 0), "12"},
      {"GGGG", thursday, "Anno Domini"},
      {"G", thursday, "AD"},
      {"DDD", At(2026, 2, 1, 0, 0, 0), "032"},
      {"D", At(2026, 2, 1, 0, 0, 0), "32"},
      {"S", stamp, "2"},
      // Runs longer than nine digits: zeros beyond the ninth, never an overflow.
      {"SSSSSSSSSSSS", stamp, "250000000000"},
      {"SSSSSSSSS", At(2026, 12, 7, 0, 0, 0, 0.5), "500000000"},
  };
  for (const PatternCase& c : cases) {
    EXPECT_EQ(Format(c.pattern, c.date), c.expected) << "pattern '" << c.pattern << "'";
  }
}

TEST(QVDateFormatter, PresetsAndDump) {
  PinZone("UTC0");
  const QVDate date = At(2026, 3, 5, 14, 7, 30, 0.5);
  EXPECT_EQ(ToStdString(QVDateFormatter().stringFromDate(date)), "03-05-2026");
  EXPECT_EQ(ToStdString(QVDateFormatter::init().getFormatString()), "MM-dd-yyyy");
  EXPECT_EQ(ToStdString(QVDateFormatter::initWithMonthDayYearWithSlashesFormat().getFormatString()),
            "MM-dd-yyyy");
  EXPECT_EQ(ToStdString(QVDateFormatter::initWithLogFormat().stringFromDate(date)),
            "2026-03-05 02:07:30.5000");
  QVDateFormatter formatter;
  formatter.setFormatString("HH");
  EXPECT_EQ(ToStdString(formatter.stringFromDate(date)), "14");
  std::ostringstream dump;
  dump << formatter;
  EXPECT_EQ(dump.str(), "<QVDateFormatter><Format>HH</Format></QVDateFormatter>");
}

TEST(QVDateFormatter, ParsingAnswersTheCurrentTime) {
  PinZone("CET-1CEST,M3.5.0,M10.5.0/3");
  const double before = QVDate::currentTime();
  for (const char* text : {"", "2001-01-01", "garbage"}) {
    const double got = QVDateFormatter().dateFromString(text).timeIntervalSinceReferenceDate();
    EXPECT_GE(got, before);
    EXPECT_LE(got, QVDate::currentTime());
  }
}

// Years before 1 have a sign before the padded magnitude.
TEST(QVDateSymbolState, YearsBeforeOneAndCounting) {
  const QVDateComponents bc(-5, 3, 1, 0, 0, 0);
  QVYearState year;
  EXPECT_EQ(ToStdString(year.doConversion(bc)), "-5");
  ++year;
  EXPECT_EQ(ToStdString(year.doConversion(bc)), "-05");
  ++year;
  ++year;
  EXPECT_EQ(ToStdString(year.doConversion(bc)), "-0005");
  QVEraState era;
  EXPECT_EQ(ToStdString(era.doConversion(bc)), "BC");

  // Postfix gives a base-class copy with the old count.
  QVMonthState month;
  const QVDateSymbolState before = month++;
  EXPECT_EQ(before.getCount(), 1);
  EXPECT_EQ(month.getCount(), 2);
  EXPECT_EQ(ToStdString(before.doConversion(bc)), "");
  std::ostringstream dump;
  dump << month << before;
  EXPECT_EQ(dump.str(),
            "<QVMonthState><Count>2</Count></QVMonthState>"
            "<QVDateSymbolState><Count>1</Count></QVDateSymbolState>");
}

// The numeric fields against strftime. The Part's own differences stay: a
// single M gives two digits, 'k' is the hour plus one, 'K' the hour modulo 12.
class QVDateFormatterOracle : public ::testing::TestWithParam<const char*> {};

TEST_P(QVDateFormatterOracle, NumericFieldsAgreeWithStrftime) {
  PinZone(GetParam());
  const QVDateFormatter formatter =
      QVDateFormatter::initWithFormat("yyyy|MM|M|dd|hh|HH|mm|ss|DDD|ww|k|K|SSSS");
  std::mt19937_64 rng(20261207);
  std::uniform_int_distribution<int64_t> instants(-2100000000LL, 2140000000LL);  // 1903..2037
  std::uniform_int_distribution<int> fractions(0, 1023);
  for (int i = 0; i < 5000; ++i) {
    const time_t instant = static_cast<time_t>(instants(rng));
    struct tm local;
    ASSERT_NE(localtime_r(&instant, &local), nullptr);
    // Exact in binary, so the four fraction digits are known exactly.
    const int k = fractions(rng);
    const QVDate date(static_cast<double>(instant - kEpochTo2001 + local.tm_gmtoff) + k / 1024.0);
    char expected[128];
    ASSERT_GT(strftime(expected, sizeof expected, "%Y|%m|%m|%d|%I|%H|%M|%S|%j|%W|", &local), 0u);
    char tail[32];
    std::snprintf(tail, sizeof tail, "%d|%d|%04d", local.tm_hour + 1, local.tm_hour % 12,
                  k * 10000 / 1024);
    EXPECT_EQ(ToStdString(formatter.stringFromDate(date)), std::string(expected) + tail)
        << "instant " << instant << " in " << GetParam();
  }
}

INSTANTIATE_TEST_SUITE_P(Zones, QVDateFormatterOracle,
                         ::testing::Values("UTC0", "CET-1CEST,M3.5.0,M10.5.0/3"));

}  // namespace

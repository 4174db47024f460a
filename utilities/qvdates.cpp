// Calendar dates: QVDate and its breakdown into QVDateComponents. The calendar
// is the Gregorian one, extended backwards and forwards without change.
#include <sys/time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "utilities/qvtimes.h"

namespace Quorvane {

namespace {

constexpr int64_t kDaysIn400Years = 146097;
// Instants further than this from the reference are held at this distance, so
// that the year stays far inside 32 bits (about 950 million years).
constexpr double kLargestOffsetSeconds = 3.0e16;

bool IsLeap(int64_t year) { return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0); }

// Division and remainder rounding toward minus infinity, right for years before 1.
int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0 && ((a < 0) != (b < 0))) ? 1 : 0); }
int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

// Days from 0001-01-01 to the first day of year.
int64_t DaysBeforeYear(int64_t year) {
  const int64_t y = year - 1;
  return 365 * y + FloorDiv(y, 4) - FloorDiv(y, 100) + FloorDiv(y, 400);
}

}  // namespace

const unsigned short QVDateComponents::daysInMonth[13] = {0,  31, 28, 31, 30, 31, 30,
                                                          31, 31, 30, 31, 30, 31};
const unsigned short QVDateComponents::dayOfWeek_t[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};

QVDateComponents::QVDateComponents(int referenceYear, double seconds) {
  if (std::isnan(seconds)) seconds = 0.0;
  if (seconds > kLargestOffsetSeconds) seconds = kLargestOffsetSeconds;
  if (seconds < -kLargestOffsetSeconds) seconds = -kLargestOffsetSeconds;

  int64_t days = static_cast<int64_t>(std::floor(seconds / 86400.0));
  double secondsOfDay = seconds - static_cast<double>(days) * 86400.0;
  // The division may round across a day boundary.
  if (secondsOfDay < 0.0) {
    --days;
    secondsOfDay += 86400.0;
  } else if (secondsOfDay >= 86400.0) {
    ++days;
    secondsOfDay -= 86400.0;
  }

  // Count days from 0001-01-01, estimate the year from the mean Gregorian year
  // and correct the estimate by at most a step or two.
  const int64_t absolute = DaysBeforeYear(referenceYear) + days;
  int64_t year = FloorDiv(absolute * 400, kDaysIn400Years) + 1;
  while (DaysBeforeYear(year) > absolute) --year;
  while (DaysBeforeYear(year + 1) <= absolute) ++year;
  days = absolute - DaysBeforeYear(year);
  Year = static_cast<int32_t>(year);
  DayOfYear = static_cast<uint16_t>(days + 1);

  const unsigned short lastMonthStart = IsLeap(year) ? 335 : 334;
  if (DayOfYear > lastMonthStart) {
    Month = 12;
    DayOfMonth = static_cast<uint16_t>(DayOfYear - lastMonthStart);
  } else {
    unsigned short month = 1;
    while (month < 12 && daysPriorToMonth(month + 1, Year) < DayOfYear) ++month;
    Month = month;
    DayOfMonth = static_cast<uint16_t>(DayOfYear - daysPriorToMonth(month, Year));
  }

  double rest = secondsOfDay;
  double hour = std::floor(rest / 3600.0);
  if (hour > 23.0) hour = 23.0;
  rest -= hour * 3600.0;
  double minute = std::floor(rest / 60.0);
  if (minute > 59.0) minute = 59.0;
  rest -= minute * 60.0;
  double second = std::floor(rest);
  if (second > 59.0) second = 59.0;
  Hour = static_cast<uint16_t>(hour);
  Minute = static_cast<uint16_t>(minute);
  Second = static_cast<uint16_t>(second);
  SubSecond = rest - second;
  if (SubSecond < 0.0) SubSecond = 0.0;
}

QVDateComponents::QVDateComponents(int year, unsigned short month, unsigned short day,
                                   unsigned short hour, unsigned short minute,
                                   unsigned short second)
    : Year(year), Month(month), DayOfMonth(day), Hour(hour), Minute(minute), Second(second) {
  DayOfYear = static_cast<uint16_t>(month < 1 ? day : daysPriorToMonth(month, year) + day);
}

unsigned short QVDateComponents::dayOfWeek() const {
  if (Month < 1 || Month > 12) return 0;
  const int64_t y = Month < 3 ? static_cast<int64_t>(Year) - 1 : Year;
  const int64_t sum = y + FloorDiv(y, 4) - FloorDiv(y, 100) + FloorDiv(y, 400) +
                      dayOfWeek_t[Month - 1] + DayOfMonth;
  return static_cast<unsigned short>(FloorMod(sum, 7));
}

unsigned short QVDateComponents::weekOfMonth() const {
  const unsigned short w = dayOfWeek();
  const unsigned short d = DayOfMonth;
  return static_cast<unsigned short>(d / 7 + ((w != 0 && d % 7 >= w) ? 1 : 0));
}

unsigned short QVDateComponents::weekOfYear() const {
  struct tm t = {};
  t.tm_year = Year - 1900;
  t.tm_mon = Month - 1;
  t.tm_mday = DayOfMonth;
  t.tm_yday = DayOfYear - 1;
  t.tm_wday = dayOfWeek();
  t.tm_hour = Hour;
  t.tm_min = Minute;
  t.tm_sec = Second;
  char text[16];
  if (std::strftime(text, sizeof text, "%W", &t) == 0) return 0;
  return static_cast<unsigned short>(std::atoi(text));
}

double QVDateComponents::secondsInYear(int year) { return IsLeap(year) ? 31622400.0 : 31536000.0; }

unsigned short QVDateComponents::numberOfDaysInMonth(unsigned short month, int year) {
  if (month < 1 || month > 12) return 0;
  return static_cast<unsigned short>(daysInMonth[month] + ((month == 2 && IsLeap(year)) ? 1 : 0));
}

unsigned short QVDateComponents::daysPriorToMonth(unsigned short month, int year) {
  static constexpr unsigned short kBefore[14] = {0,   0,   31,  59,  90,  120, 151,
                                                 181, 212, 243, 273, 304, 334, 365};
  if (month > 13) month = 13;
  return static_cast<unsigned short>(kBefore[month] + ((month > 2 && IsLeap(year)) ? 1 : 0));
}

double QVDateComponents::secondsFromYearToYear(int from, int to) {
  return static_cast<double>(DaysBeforeYear(to) - DaysBeforeYear(from)) * 86400.0;
}

double QVDateComponents::dateAsIntervalFromReference(int referenceYear) const {
  return secondsFromYearToYear(referenceYear, Year) +
         (static_cast<double>(DayOfYear) - 1.0) * 86400.0 + Hour * 3600.0 + Minute * 60.0 +
         Second + SubSecond;
}

bool QVDateComponents::operator==(const QVDateComponents& c) const {
  return Year == c.Year && Month == c.Month && DayOfMonth == c.DayOfMonth &&
         DayOfYear == c.DayOfYear && Hour == c.Hour && Minute == c.Minute && Second == c.Second &&
         SubSecond == c.SubSecond;
}

bool QVDateComponents::earlier(const QVDateComponents& c) const {
  if (Year != c.Year) return Year < c.Year;
  if (Month != c.Month) return Month < c.Month;
  if (DayOfMonth != c.DayOfMonth) return DayOfMonth < c.DayOfMonth;
  if (Hour != c.Hour) return Hour < c.Hour;
  if (Minute != c.Minute) return Minute < c.Minute;
  if (Second != c.Second) return Second < c.Second;
  return SubSecond < c.SubSecond;
}

bool QVDateComponents::later(const QVDateComponents& c) const {
  if (Year != c.Year) return Year > c.Year;
  if (Month != c.Month) return Month > c.Month;
  if (DayOfMonth != c.DayOfMonth) return DayOfMonth > c.DayOfMonth;
  if (DayOfYear != c.DayOfYear) return DayOfYear > c.DayOfYear;
  if (Hour != c.Hour) return Hour > c.Hour;
  if (Minute != c.Minute) return Minute > c.Minute;
  if (Second != c.Second) return Second > c.Second;
  return SubSecond > c.SubSecond;
}

void QVDateComponents::print(std::ostream& os) const {
  os << "<QVDateComponents><Year>" << Year << "</Year><Month>" << Month << "</Month><DayOfMonth>"
     << DayOfMonth << "</DayOfMonth><DayOfYear>" << DayOfYear << "</DayOfYear><Hour>" << Hour
     << "</Hour><Minute>" << Minute << "</Minute><Second>" << Second << "</Second><SubSecond>"
     << SubSecond << "</SubSecond></QVDateComponents>";
}

std::ostream& operator<<(std::ostream& os, const QVDateComponents& c) {
  c.print(os);
  return os;
}

// QVDate

double QVDate::currentTime() {
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) return 0.0;
  // The local offset east of UTC at this instant, daylight saving included.
  struct tm local;
  const time_t seconds = now.tv_sec;
  const long offset = localtime_r(&seconds, &local) != nullptr ? local.tm_gmtoff : 0;
  return static_cast<double>(now.tv_sec) - kSecondsFrom1970To2001 + static_cast<double>(offset) +
         static_cast<double>(now.tv_usec) / 1e6;
}

QVDate::QVDate() : value_(currentTime()) {}
QVDate::QVDate(double secondsSinceReference) : value_(secondsSinceReference) {}
QVDate::QVDate(double seconds, const QVDate& date) : value_(date.value_ + seconds) {}

QVDate QVDate::init() { return QVDate(); }
QVDate QVDate::initWithIntervalSinceNow(double s) { return QVDate(currentTime() + s); }
QVDate QVDate::initWithIntervalSinceDate(double s, const QVDate& d) { return QVDate(s, d); }
QVDate QVDate::initWithIntervalSinceReferenceDate(double s) { return QVDate(s); }
QVDate QVDate::initWithIntervalSince1970(double s) { return QVDate(s - kSecondsFrom1970To2001); }
QVDate QVDate::distantPast() { return QVDate(-63113904000.0); }
QVDate QVDate::distantFuture() { return QVDate(126227808000.0); }

double QVDate::daysInYear(int year) { return IsLeap(year) ? 366.0 : 365.0; }
bool QVDate::isLeapYear(int year) { return IsLeap(year); }
double QVDate::daysInSeconds(double s) { return s / 86400.0; }

QVDate& QVDate::operator+=(double s) {
  value_ += s;
  return *this;
}
QVDate& QVDate::operator-=(double s) {
  value_ -= s;
  return *this;
}
QVDate& QVDate::operator++() {
  value_ += 1.0;
  return *this;
}
QVDate QVDate::operator++(int) {
  QVDate before(*this);
  value_ += 1.0;
  return before;
}
QVDate& QVDate::operator--() {
  value_ -= 1.0;
  return *this;
}
QVDate QVDate::operator--(int) {
  QVDate before(*this);
  value_ -= 1.0;
  return before;
}

void QVDate::print(std::ostream& os) const { os << "<QVDate>" << value_ << "</QVDate>"; }

std::ostream& operator<<(std::ostream& os, const QVDate& d) {
  d.print(os);
  return os;
}

}  // namespace Quorvane

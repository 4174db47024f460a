#include "utilities/qvlinklog/qvdatesymbolstate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace Quorvane {

namespace {

QVString Unpadded(int64_t value) {
  char digits[24];
  const int n = std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(value));
  return QVString(digits, static_cast<size_t>(n));
}

// The decimal number preceded by '0' characters up to width; never cut. A
// negative number (years before 1) gets its sign before the padded magnitude.
QVString Padded(int64_t value, int32_t width) {
  const bool negative = value < 0;
  QVString digits = Unpadded(negative ? -value : value);
  QVString text = negative ? "-" : "";
  if (width > 0 && digits.size() < static_cast<size_t>(width)) {
    text.append(static_cast<size_t>(width) - digits.size(), '0');
  }
  return text + digits;
}

// The common rule of most numeric fields: two digits for a run of two, plain otherwise.
QVString TwoDigitsForTwo(int64_t value, int32_t count) {
  return count == 2 ? Padded(value, 2) : Unpadded(value);
}

}  // namespace

QVDateSymbolState* QVDateSymbolState::init() { return new QVDateSymbolState; }
QVDateSymbolState* QVDateSymbolState::initAsEra() { return new QVEraState; }
QVDateSymbolState* QVDateSymbolState::initAsYear() { return new QVYearState; }
QVDateSymbolState* QVDateSymbolState::initAsQuarter() { return new QVQuarterState; }
QVDateSymbolState* QVDateSymbolState::initAsMonth() { return new QVMonthState; }
QVDateSymbolState* QVDateSymbolState::initAsWeekOfMonth() { return new QVWeekOfMonthState; }
QVDateSymbolState* QVDateSymbolState::initAsWeekOfYear() { return new QVWeekOfYearState; }
QVDateSymbolState* QVDateSymbolState::initAsDayOfMonth() { return new QVDayOfMonthState; }
QVDateSymbolState* QVDateSymbolState::initAsDayOfYear() { return new QVDayOfYearState; }
QVDateSymbolState* QVDateSymbolState::initAsDayOfWeek() { return new QVDayOfWeekState; }
QVDateSymbolState* QVDateSymbolState::initAsPeriod() { return new QVPeriodState; }
QVDateSymbolState* QVDateSymbolState::initAsStandardHour() { return new QVStandardHourState; }
QVDateSymbolState* QVDateSymbolState::initAsMilitaryHour() { return new QVMilitaryHourState; }
QVDateSymbolState* QVDateSymbolState::initAsNonStandardHour() { return new QVNonStandardHourState; }
QVDateSymbolState* QVDateSymbolState::initAsNonStandardMilitaryHour() {
  return new QVNonStandardMilitaryHourState;
}
QVDateSymbolState* QVDateSymbolState::initAsMinute() { return new QVMinuteState; }
QVDateSymbolState* QVDateSymbolState::initAsStandardSecond() { return new QVStandardSecondState; }
QVDateSymbolState* QVDateSymbolState::initAsFractionalSecond() {
  return new QVFractionalSecondState;
}

QVString QVDateSymbolState::doConversion(const QVDateComponents&) const { return QVString(); }

void QVDateSymbolState::printTagged(std::ostream& os, const char* tag) const {
  os << '<' << tag << "><Count>" << count << "</Count></" << tag << '>';
}

void QVDateSymbolState::print(std::ostream& os) const { printTagged(os, "QVDateSymbolState"); }

std::ostream& operator<<(std::ostream& os, const QVDateSymbolState& state) {
  state.print(os);
  return os;
}

// ---- Field texts ----

QVString QVEraState::doConversion(const QVDateComponents& c) const {
  const bool anno = c.Year > 0;
  switch (count) {
    case 1:
    case 2:
    case 3:
      return anno ? "AD" : "BC";
    case 4:
      return anno ? "Anno Domini" : "Before Christ";
    case 5:
      return anno ? "A" : "B";
    default:
      return QVString();
  }
}

QVString QVYearState::doConversion(const QVDateComponents& c) const {
  if (count == 1) return Unpadded(c.Year);
  if (count == 2) return Padded(c.Year % 100, 2);
  return Padded(c.Year, count);
}

QVString QVQuarterState::doConversion(const QVDateComponents& c) const {
  static const char* const kOrdinals[5] = {"", "st ", "nd ", "rd ", "th "};
  const int quarter = std::clamp((c.Month + 2) / 3, 1, 4);
  switch (count) {
    case 1:
    case 2:
      return Padded(quarter, 2);
    case 3:
      return "Q" + Unpadded(quarter);
    case 4:
      return Unpadded(quarter) + kOrdinals[quarter] + "quarter";
    default:
      return QVString();
  }
}

const char* const QVMonthState::monthAbbreviations[13] = {
    "", "Jan", "Feb", "Mar", "April", "May", "Jun", "Jul", "Aug", "Sept", "Oct", "Nov", "Dec"};
const char* const QVMonthState::monthNames[13] = {
    "",     "January", "February",  "March",   "April",    "May",     "June",
    "July", "August",  "September", "October", "November", "December"};

QVString QVMonthState::doConversion(const QVDateComponents& c) const {
  const int month = std::clamp<int>(c.Month, 1, 12);
  switch (count) {
    case 1:
    case 2:
      return Padded(month, 2);
    case 3:
      return monthAbbreviations[month];
    case 4:
      return monthNames[month];
    case 5:
      return QVString(1, monthNames[month][0]);
    default:
      return QVString();
  }
}

QVString QVWeekOfYearState::doConversion(const QVDateComponents& c) const {
  return TwoDigitsForTwo(c.weekOfYear(), count);
}

QVString QVWeekOfMonthState::doConversion(const QVDateComponents& c) const {
  return count == 1 ? Unpadded(c.weekOfMonth()) : QVString();
}

QVString QVDayOfMonthState::doConversion(const QVDateComponents& c) const {
  return TwoDigitsForTwo(c.DayOfMonth, count);
}

QVString QVDayOfYearState::doConversion(const QVDateComponents& c) const {
  if (count == 2 || count == 3) return Padded(c.DayOfYear, count);
  return Unpadded(c.DayOfYear);
}

const char* const QVDayOfWeekState::weekDayAbbreviations[7] = {"Sun",   "Mon", "Tues", "Wed",
                                                               "Thurs", "Fri", "Sat"};
const char* const QVDayOfWeekState::weekDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};

QVString QVDayOfWeekState::doConversion(const QVDateComponents& c) const {
  const int day = c.dayOfWeek() % 7;
  if (count >= 1 && count <= 3) return weekDayAbbreviations[day];
  if (count == 4) return weekDayNames[day];
  if (count == 5) return QVString(1, weekDayNames[day][0]);
  return QVString();
}

QVString QVPeriodState::doConversion(const QVDateComponents& c) const {
  return c.Hour < 12 ? "AM" : "PM";
}

QVString QVStandardHourState::doConversion(const QVDateComponents& c) const {
  const int hour = c.Hour == 0 ? 12 : (c.Hour > 12 ? c.Hour - 12 : c.Hour);
  return TwoDigitsForTwo(hour, count);
}

QVString QVMilitaryHourState::doConversion(const QVDateComponents& c) const {
  return TwoDigitsForTwo(c.Hour, count);
}

QVString QVNonStandardHourState::doConversion(const QVDateComponents& c) const {
  return TwoDigitsForTwo(c.Hour < 12 ? c.Hour : c.Hour - 12, count);
}

QVString QVNonStandardMilitaryHourState::doConversion(const QVDateComponents& c) const {
  return TwoDigitsForTwo(c.Hour + 1, count);
}

QVString QVMinuteState::doConversion(const QVDateComponents& c) const {
  return TwoDigitsForTwo(c.Minute, count);
}

QVString QVStandardSecondState::doConversion(const QVDateComponents& c) const {
  return TwoDigitsForTwo(c.Second, count);
}

// Truncated, never rounded. A 32-bit power of ten holds nine digits; any
// further digits of a longer run are written as zeros rather than letting the
// power overflow.
QVString QVFractionalSecondState::doConversion(const QVDateComponents& c) const {
  constexpr int32_t kExactDigits = 9;
  const int32_t digits = std::min(count, kExactDigits);
  uint32_t power = 1;
  for (int32_t i = 0; i < digits; ++i) power *= 10;
  double scaled = std::trunc(c.SubSecond * static_cast<double>(power));
  if (!(scaled >= 0.0)) scaled = 0.0;  // also NaN
  const uint32_t value =
      scaled >= static_cast<double>(power) ? power - 1 : static_cast<uint32_t>(scaled);
  QVString text = Padded(value, digits);
  if (count > kExactDigits) text.append(static_cast<size_t>(count - kExactDigits), '0');
  return text;
}

// ---- Prints ----

void QVEraState::print(std::ostream& os) const { printTagged(os, "QVEraState"); }
void QVYearState::print(std::ostream& os) const { printTagged(os, "QVYearState"); }
void QVQuarterState::print(std::ostream& os) const { printTagged(os, "QVQuarterState"); }
void QVMonthState::print(std::ostream& os) const { printTagged(os, "QVMonthState"); }
void QVWeekOfYearState::print(std::ostream& os) const { printTagged(os, "QVWeekOfYearState"); }
void QVWeekOfMonthState::print(std::ostream& os) const { printTagged(os, "QVWeekOfMonthState"); }
void QVDayOfMonthState::print(std::ostream& os) const { printTagged(os, "QVDayOfMonthState"); }
void QVDayOfYearState::print(std::ostream& os) const { printTagged(os, "QVDayOfYearState"); }
void QVDayOfWeekState::print(std::ostream& os) const { printTagged(os, "QVDayOfWeekState"); }
void QVPeriodState::print(std::ostream& os) const { printTagged(os, "QVPeriodState"); }
void QVStandardHourState::print(std::ostream& os) const { printTagged(os, "QVStandardHourState"); }
void QVMilitaryHourState::print(std::ostream& os) const { printTagged(os, "QVMilitaryHourState"); }
void QVNonStandardHourState::print(std::ostream& os) const {
  printTagged(os, "QVNonStandardHourState");
}
void QVNonStandardMilitaryHourState::print(std::ostream& os) const {
  printTagged(os, "QVNonStandardMilitaryHourState");
}
void QVMinuteState::print(std::ostream& os) const { printTagged(os, "QVMinuteState"); }
void QVStandardSecondState::print(std::ostream& os) const {
  printTagged(os, "QVStandardSecondState");
}
void QVFractionalSecondState::print(std::ostream& os) const {
  printTagged(os, "QVFractionalSecondState");
}

}  // namespace Quorvane

#include "utilities/qvlinklog/qvdateformatter.h"

#include <memory>

#include "utilities/qvlinklog/qvdatesymbolstate.h"

namespace Quorvane {

namespace {

constexpr char kDefaultPattern[] = "MM-dd-yyyy";
constexpr char kLogPattern[] = "yyyy-MM-dd hh:mm:ss.SSSS";

using StateFactory = QVDateSymbolState* (*)();

// The field kind of a pattern letter; null for a character that is copied.
StateFactory FactoryForLetter(char letter) {
  switch (letter) {
    case 'G': return &QVDateSymbolState::initAsEra;
    case 'y': return &QVDateSymbolState::initAsYear;
    case 'Q':
    case 'q': return &QVDateSymbolState::initAsQuarter;
    case 'M':
    case 'L': return &QVDateSymbolState::initAsMonth;
    case 'w': return &QVDateSymbolState::initAsWeekOfYear;
    case 'W': return &QVDateSymbolState::initAsWeekOfMonth;
    case 'd': return &QVDateSymbolState::initAsDayOfMonth;
    case 'D': return &QVDateSymbolState::initAsDayOfYear;
    case 'E':
    case 'e': return &QVDateSymbolState::initAsDayOfWeek;
    case 'a': return &QVDateSymbolState::initAsPeriod;
    case 'h': return &QVDateSymbolState::initAsStandardHour;
    case 'H': return &QVDateSymbolState::initAsMilitaryHour;
    case 'K': return &QVDateSymbolState::initAsNonStandardHour;
    case 'k': return &QVDateSymbolState::initAsNonStandardMilitaryHour;
    case 'm': return &QVDateSymbolState::initAsMinute;
    case 's': return &QVDateSymbolState::initAsStandardSecond;
    case 'S': return &QVDateSymbolState::initAsFractionalSecond;
    default: return nullptr;
  }
}

}  // namespace

QVDateFormatter::QVDateFormatter() : pattern_(kDefaultPattern) {}
QVDateFormatter::QVDateFormatter(const QVString& pattern) : pattern_(pattern) {}

QVDateFormatter QVDateFormatter::init() { return QVDateFormatter(); }
QVDateFormatter QVDateFormatter::initWithFormat(const QVString& pattern) {
  return QVDateFormatter(pattern);
}
QVDateFormatter QVDateFormatter::initWithMonthDayYearWithSlashesFormat() {
  return QVDateFormatter(kDefaultPattern);
}
QVDateFormatter QVDateFormatter::initWithLogFormat() { return QVDateFormatter(kLogPattern); }

// Walks the pattern keeping one pending field. Only the same letter extends a
// run: M followed by L are two month fields.
QVString QVDateFormatter::stringFromDate(const QVDate& date) const {
  const QVDateComponents components = date.dateComponents();
  QVString text;
  std::unique_ptr<QVDateSymbolState> pending;
  char pendingLetter = '\0';
  auto emit = [&] {
    if (!pending) return;
    text += pending->doConversion(components);
    pending.reset();
    pendingLetter = '\0';
  };
  for (const char c : pattern_) {
    if (c == '\0') break;
    if (pending && c == pendingLetter) {
      ++*pending;
      continue;
    }
    emit();
    if (const StateFactory make = FactoryForLetter(c)) {
      pending.reset(make());
      pendingLetter = c;
    } else {
      text += c;
    }
  }
  emit();
  return text;
}

QVDate QVDateFormatter::dateFromString(const QVString&) const { return QVDate::init(); }

void QVDateFormatter::print(std::ostream& os) const {
  os << "<QVDateFormatter><Format>" << pattern_ << "</Format></QVDateFormatter>";
}

std::ostream& operator<<(std::ostream& os, const QVDateFormatter& formatter) {
  formatter.print(os);
  return os;
}

}  // namespace Quorvane

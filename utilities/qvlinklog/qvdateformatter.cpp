#include "utilities/qvlinklog/qvdateformatter.h"

#include <memory>

#include "utilities/qvlinklog/qvdatesymbolstate.h"

namespace Quorvane {

namespace {

constexpr char kDefaultPattern[] = "MM-dd-yyyy";
constexpr char kLogPattern[] = "yyyy-MM-dd hh:mm:ss.SSSS";

using StateFactory = QVDateSymbolState* (*)();

// The 20 pattern letters and the field kinds they start.
struct PatternLetter {
  char letter;
  StateFactory make;
};
const PatternLetter kPatternLetters[] = {
    {'G', &QVDateSymbolState::initAsEra},
    {'y', &QVDateSymbolState::initAsYear},
    {'Q', &QVDateSymbolState::initAsQuarter},
    {'q', &QVDateSymbolState::initAsQuarter},
    {'M', &QVDateSymbolState::initAsMonth},
    {'L', &QVDateSymbolState::initAsMonth},
    {'w', &QVDateSymbolState::initAsWeekOfYear},
    {'W', &QVDateSymbolState::initAsWeekOfMonth},
    {'d', &QVDateSymbolState::initAsDayOfMonth},
    {'D', &QVDateSymbolState::initAsDayOfYear},
    {'E', &QVDateSymbolState::initAsDayOfWeek},
    {'e', &QVDateSymbolState::initAsDayOfWeek},
    {'a', &QVDateSymbolState::initAsPeriod},
    {'h', &QVDateSymbolState::initAsStandardHour},
    {'H', &QVDateSymbolState::initAsMilitaryHour},
    {'K', &QVDateSymbolState::initAsNonStandardHour},
    {'k', &QVDateSymbolState::initAsNonStandardMilitaryHour},
    {'m', &QVDateSymbolState::initAsMinute},
    {'s', &QVDateSymbolState::initAsStandardSecond},
    {'S', &QVDateSymbolState::initAsFractionalSecond},
};

// The field kind of a pattern letter; null for a character that is copied.
StateFactory FactoryForLetter(char c) {
  for (const PatternLetter& p : kPatternLetters) {
    if (p.letter == c) return p.make;
  }
  return nullptr;
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

// Dates to text by a pattern of field letters: a run of one letter is one
// field, its length picks the field's form, and every other character is
// copied as it is (there is no quoting). Used for the time stamp of log lines.
#pragma once

#include <ostream>

#include "utilities/qvobject.h"
#include "utilities/qvtimes.h"

namespace Quorvane {

class QVDateFormatter : public QVObject {
 public:
  QVDateFormatter();  // "MM-dd-yyyy"
  explicit QVDateFormatter(const QVString& pattern);
  QVDateFormatter(const QVDateFormatter&) = default;
  QVDateFormatter& operator=(const QVDateFormatter&) = default;
  ~QVDateFormatter() override = default;

  static QVDateFormatter init();
  static QVDateFormatter initWithFormat(const QVString& pattern);
  // Hyphens, as the default, despite the name.
  static QVDateFormatter initWithMonthDayYearWithSlashesFormat();
  // "yyyy-MM-dd hh:mm:ss.SSSS": 12-hour clock without a period marker.
  static QVDateFormatter initWithLogFormat();

  QVString getFormatString() const { return pattern_; }
  void setFormatString(const QVString& pattern) { pattern_ = pattern; }

  QVString stringFromDate(const QVDate& date) const;
  // Parsing is not offered: the answer is the current time, whatever the text.
  QVDate dateFromString(const QVString& text) const;

  void print(std::ostream& os) const;

 private:
  QVString pattern_;
};

std::ostream& operator<<(std::ostream& os, const QVDateFormatter& formatter);

}  // namespace Quorvane

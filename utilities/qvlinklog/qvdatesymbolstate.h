// One pending field of a date pattern: a run of one pattern letter, whose
// length selects the field's form. Each field kind renders itself from the
// calendar breakdown of the date.
#pragma once

#include <cstdint>
#include <ostream>

#include "utilities/qvobject.h"
#include "utilities/qvtimes.h"

namespace Quorvane {

class QVDateSymbolState : public QVObject {
 public:
  // Each factory returns a new state with count 1; the caller deletes it.
  static QVDateSymbolState* init();
  static QVDateSymbolState* initAsEra();
  static QVDateSymbolState* initAsYear();
  static QVDateSymbolState* initAsQuarter();
  static QVDateSymbolState* initAsMonth();
  static QVDateSymbolState* initAsWeekOfMonth();
  static QVDateSymbolState* initAsWeekOfYear();
  static QVDateSymbolState* initAsDayOfMonth();
  static QVDateSymbolState* initAsDayOfYear();
  static QVDateSymbolState* initAsDayOfWeek();
  static QVDateSymbolState* initAsPeriod();
  static QVDateSymbolState* initAsStandardHour();
  static QVDateSymbolState* initAsMilitaryHour();
  static QVDateSymbolState* initAsNonStandardHour();
  static QVDateSymbolState* initAsNonStandardMilitaryHour();
  static QVDateSymbolState* initAsMinute();
  static QVDateSymbolState* initAsStandardSecond();
  static QVDateSymbolState* initAsFractionalSecond();

  QVDateSymbolState() = default;
  QVDateSymbolState(const QVDateSymbolState& other) : QVObject(), count(other.count) {}
  QVDateSymbolState& operator=(const QVDateSymbolState& other) {
    count = other.count;
    return *this;
  }
  ~QVDateSymbolState() override = default;

  QVDateSymbolState& operator++() {
    ++count;
    return *this;
  }
  // A base-class copy holding the count before the step.
  QVDateSymbolState operator++(int) {
    QVDateSymbolState before(*this);
    ++count;
    return before;
  }

  int32_t getCount() const { return count; }

  // The field's text for this run length; the base state has none.
  virtual QVString doConversion(const QVDateComponents& components) const;
  virtual void print(std::ostream& os) const;

 protected:
  // "<tag><Count>n</Count></tag>".
  void printTagged(std::ostream& os, const char* tag) const;

  int32_t count = 1;
};

std::ostream& operator<<(std::ostream& os, const QVDateSymbolState& state);

class QVEraState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVYearState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVQuarterState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVMonthState final : public QVDateSymbolState {
 public:
  static const char* const monthAbbreviations[13];  // 1-12; entry 0 unused
  static const char* const monthNames[13];
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVWeekOfYearState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVWeekOfMonthState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVDayOfMonthState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVDayOfYearState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVDayOfWeekState final : public QVDateSymbolState {
 public:
  static const char* const weekDayAbbreviations[7];  // 0 Sunday .. 6 Saturday
  static const char* const weekDayNames[7];
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVPeriodState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVStandardHourState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVMilitaryHourState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVNonStandardHourState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVNonStandardMilitaryHourState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVMinuteState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVStandardSecondState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

class QVFractionalSecondState final : public QVDateSymbolState {
 public:
  QVString doConversion(const QVDateComponents& c) const override;
  void print(std::ostream& os) const override;
};

}  // namespace Quorvane

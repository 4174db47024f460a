// Time values for time-outs and waits (QVTime), plain time helpers for the
// procedural layers, and calendar dates (QVDate, QVDateComponents).
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ostream>

#include "utilities/qvobject.h"

// Plain time helpers of the procedural layers; times are {seconds, microseconds}.
extern "C" {
int QVTimeCompare(int64_t s1, int64_t us1, int64_t s2, int64_t us2);
int QVTimesAreWithinInterval(int64_t s1, int64_t us1, int64_t s2, int64_t us2,
                             int64_t interval);
struct timeval QVNewTimeFromOffset(int64_t s, int64_t us, int64_t ds, int64_t dus);
struct timeval QVConvertMicroToTimeval(int64_t us);
int64_t QVConvertTimevalToMicro(int64_t s, int64_t us);
// 0 on success (and for a null argument, which is left alone), -1 when the clock cannot be read.
int QVGetCurrentTime(struct timeval* now);
// Sleeps by waiting on no descriptors; returns the wait call's result.
int QVMicroSleep(int64_t microseconds);
}

namespace Quorvane {

int QVMicroSleep(int64_t microseconds);

// Seconds and microseconds (always below 1000000); never negative.
class QVTime : public QVObject {
 public:
  QVTime();  // now; throws type 4 when the clock cannot be read
  explicit QVTime(unsigned long microseconds);
  QVTime(const QVTime& other) = default;
  QVTime& operator=(const QVTime& other) = default;
  ~QVTime() override = default;

  void UpdateToNow();
  uint64_t GetSeconds() const { return seconds_; }
  uint64_t GetMicroseconds() const { return microseconds_; }
  uint64_t GetAsMicroseconds() const { return seconds_ * 1000000 + microseconds_; }

  bool operator==(const QVTime& t) const;
  bool operator<(const QVTime& t) const;
  bool operator<=(const QVTime& t) const;
  bool operator>=(const QVTime& t) const;
  bool operator>(const QVTime& t) const;
  bool operator==(unsigned long us) const { return *this == QVTime(us); }
  bool operator<(unsigned long us) const { return *this < QVTime(us); }
  bool operator<=(unsigned long us) const { return *this <= QVTime(us); }
  bool operator>=(unsigned long us) const { return *this >= QVTime(us); }
  bool operator>(unsigned long us) const { return *this > QVTime(us); }

  // Arithmetic works in place and returns this object.
  QVTime& operator+(const QVTime& t);
  QVTime& operator+(unsigned long us) { return *this + QVTime(us); }
  QVTime& operator-(const QVTime& t);  // type 22 when the result would be negative
  QVTime& operator-(unsigned long us) { return *this - QVTime(us); }
  QVTime& operator*(const QVTime& t);
  QVTime& operator*(unsigned long us) { return *this * QVTime(us); }
  QVTime& operator/(const QVTime& t);  // type 3 for a zero divisor
  QVTime& operator/(unsigned long us) { return *this / QVTime(us); }
  QVTime& operator++();
  QVTime& operator--();  // type 22 at zero

  void PrintTime(std::ostream& os) const;

 private:
  void SetFromSeconds(double seconds);
  double AsSeconds() const;

  uint64_t seconds_ = 0;
  uint64_t microseconds_ = 0;
};

std::ostream& operator<<(std::ostream& os, const QVTime& t);

// The calendar breakdown of an instant.
class QVDateComponents : public QVObject {
 public:
  static const unsigned short daysInMonth[13];
  static const unsigned short dayOfWeek_t[12];

  QVDateComponents(int referenceYear, double seconds);
  QVDateComponents(int year, unsigned short month, unsigned short day, unsigned short hour,
                   unsigned short minute, unsigned short second);
  QVDateComponents(const QVDateComponents&) = default;
  QVDateComponents& operator=(const QVDateComponents&) = default;
  ~QVDateComponents() override = default;

  unsigned short dayOfWeek() const;  // 0 Sunday .. 6 Saturday
  unsigned short weekOfMonth() const;
  unsigned short weekOfYear() const;  // as the "%W" conversion numbers weeks

  static double secondsInYear(int year);
  static unsigned short numberOfDaysInMonth(unsigned short month, int year);
  static unsigned short daysPriorToMonth(unsigned short month, int year);
  // Seconds from the start of year from to the start of year to (negative when to < from).
  static double secondsFromYearToYear(int from, int to);
  // The instant of these components as seconds after referenceYear-01-01 00:00:00.
  double dateAsIntervalFromReference(int referenceYear) const;

  bool operator==(const QVDateComponents& c) const;
  bool operator!=(const QVDateComponents& c) const { return !(*this == c); }
  bool earlier(const QVDateComponents& c) const;
  bool later(const QVDateComponents& c) const;

  void print(std::ostream& os) const;

  int32_t Year = 0;
  uint16_t Month = 1;
  uint16_t DayOfMonth = 1;
  uint16_t DayOfYear = 1;
  uint16_t Hour = 0;
  uint16_t Minute = 0;
  uint16_t Second = 0;
  double SubSecond = 0.0;
};

std::ostream& operator<<(std::ostream& os, const QVDateComponents& c);

// Seconds since 2001-01-01 00:00:00 local time.
class QVDate : public QVObject {
 public:
  static constexpr double kSecondsFrom1970To2001 = 978307200.0;

  QVDate();  // now
  explicit QVDate(double secondsSinceReference);
  QVDate(double seconds, const QVDate& date);
  QVDate(const QVDate&) = default;
  QVDate& operator=(const QVDate&) = default;
  ~QVDate() override = default;

  static double currentTime();  // now; 0.0 when the clock cannot be read
  static QVDate init();
  static QVDate initWithIntervalSinceNow(double s);
  static QVDate initWithIntervalSinceDate(double s, const QVDate& d);
  static QVDate initWithIntervalSinceReferenceDate(double s);
  static QVDate initWithIntervalSince1970(double s);
  static QVDate distantPast();
  static QVDate distantFuture();

  static double daysInYear(int year);
  static bool isLeapYear(int year);
  static double daysInSeconds(double s);

  QVDate operator+(double s) const { return QVDate(value_ + s); }
  QVDate operator-(double s) const { return QVDate(value_ - s); }
  QVDate& operator+=(double s);
  QVDate& operator-=(double s);
  QVDate& operator++();
  QVDate operator++(int);
  QVDate& operator--();
  QVDate operator--(int);
  double operator-(const QVDate& d) const { return value_ - d.value_; }
  double timeIntervalSinceDate(const QVDate& d) const { return value_ - d.value_; }
  operator double() const { return value_; }
  double timeIntervalSinceReferenceDate() const { return value_; }
  double timeIntervalSince1970() const { return value_ + kSecondsFrom1970To2001; }
  double timeIntervalSinceNow() const { return value_ - currentTime(); }

  bool operator==(const QVDate& d) const { return value_ == d.value_; }
  bool operator!=(const QVDate& d) const { return value_ != d.value_; }
  bool operator<(const QVDate& d) const { return value_ < d.value_; }
  bool operator<=(const QVDate& d) const { return value_ <= d.value_; }
  bool operator>=(const QVDate& d) const { return value_ >= d.value_; }
  bool operator>(const QVDate& d) const { return value_ > d.value_; }
  QVDate earlierDate(const QVDate& d) const { return d.value_ < value_ ? d : *this; }
  QVDate laterDate(const QVDate& d) const { return d.value_ > value_ ? d : *this; }

  QVDateComponents dateComponents() const { return QVDateComponents(2001, value_); }
  int year() const { return dateComponents().Year; }
  int month() const { return dateComponents().Month; }
  int day() const { return dateComponents().DayOfMonth; }
  int hour() const { return dateComponents().Hour; }
  int minute() const { return dateComponents().Minute; }
  int second() const { return dateComponents().Second; }
  int dayOfWeek() const { return dateComponents().dayOfWeek(); }
  bool isAM() const { return dateComponents().Hour < 12; }
  bool isPM() const { return dateComponents().Hour > 11; }
  int halfOfDay() const { return isPM() ? 1 : 0; }

  void print(std::ostream& os) const;

 private:
  double value_ = 0.0;
};

std::ostream& operator<<(std::ostream& os, const QVDate& d);

}  // namespace Quorvane

#include "utilities/qvtimes.h"

#include <sys/select.h>

#include <cerrno>
#include <cmath>

#include "utilities/qvexception.h"

namespace {
constexpr char kSourceFile[] = "utilities/qvtimes";
constexpr uint64_t kMicrosPerSecond = 1000000;
}  // namespace

extern "C" {

int QVTimeCompare(int64_t s1, int64_t us1, int64_t s2, int64_t us2) {
  if (s1 != s2) return s1 < s2 ? -1 : 1;
  if (us1 != us2) return us1 < us2 ? -1 : 1;
  return 0;
}

int QVTimesAreWithinInterval(int64_t s1, int64_t us1, int64_t s2, int64_t us2,
                             int64_t interval) {
  const int order = QVTimeCompare(s1, us1, s2, us2);
  if (order == 0) return 1;
  if (interval == 0) return 0;
  const int64_t a = QVConvertTimevalToMicro(s1, us1);
  const int64_t b = QVConvertTimevalToMicro(s2, us2);
  const int64_t gap = order < 0 ? b - a : a - b;
  return gap <= interval ? 1 : 0;
}

struct timeval QVNewTimeFromOffset(int64_t s, int64_t us, int64_t ds, int64_t dus) {
  struct timeval t;
  t.tv_sec = static_cast<time_t>(s + ds + (us + dus) / 1000000);
  t.tv_usec = static_cast<suseconds_t>((us + dus) % 1000000);
  return t;
}

struct timeval QVConvertMicroToTimeval(int64_t us) {
  struct timeval t;
  t.tv_sec = static_cast<time_t>(us / 1000000);
  t.tv_usec = static_cast<suseconds_t>(us % 1000000);
  return t;
}

int64_t QVConvertTimevalToMicro(int64_t s, int64_t us) { return s * 1000000 + us; }

int QVGetCurrentTime(struct timeval* now) {
  if (now == nullptr) return 0;
  return gettimeofday(now, nullptr) == 0 ? 0 : -1;
}

int QVMicroSleep(int64_t microseconds) { return Quorvane::QVMicroSleep(microseconds); }

}  // extern "C"

namespace Quorvane {

int QVMicroSleep(int64_t microseconds) {
  struct timeval t = QVConvertMicroToTimeval(microseconds);
  return select(0, nullptr, nullptr, nullptr, &t);
}

QVTime::QVTime() { UpdateToNow(); }

QVTime::QVTime(unsigned long microseconds)
    : seconds_(microseconds / kMicrosPerSecond), microseconds_(microseconds % kMicrosPerSecond) {}

void QVTime::UpdateToNow() {
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) {
    throw QVException("Gettimeofday error.", kSourceFile, __LINE__,
                      qvexceptiontype::systemCallFailed, errno);
  }
  seconds_ = static_cast<uint64_t>(now.tv_sec);
  microseconds_ = static_cast<uint64_t>(now.tv_usec);
}

bool QVTime::operator==(const QVTime& t) const {
  return seconds_ == t.seconds_ && microseconds_ == t.microseconds_;
}
bool QVTime::operator<(const QVTime& t) const {
  return seconds_ != t.seconds_ ? seconds_ < t.seconds_ : microseconds_ < t.microseconds_;
}
bool QVTime::operator<=(const QVTime& t) const { return !(t < *this); }
bool QVTime::operator>=(const QVTime& t) const { return !(*this < t); }
bool QVTime::operator>(const QVTime& t) const { return t < *this; }

QVTime& QVTime::operator+(const QVTime& t) {
  seconds_ += t.seconds_;
  microseconds_ += t.microseconds_;
  if (microseconds_ >= kMicrosPerSecond) {
    microseconds_ -= kMicrosPerSecond;
    ++seconds_;
  }
  return *this;
}

QVTime& QVTime::operator-(const QVTime& t) {
  if (*this < t) {
    throw QVException("Negative time values not allowed.", kSourceFile, __LINE__,
                      qvexceptiontype::negativeTime, 0);
  }
  if (microseconds_ < t.microseconds_) {
    microseconds_ += kMicrosPerSecond - t.microseconds_;
    seconds_ -= t.seconds_ + 1;
  } else {
    microseconds_ -= t.microseconds_;
    seconds_ -= t.seconds_;
  }
  return *this;
}

double QVTime::AsSeconds() const {
  return static_cast<double>(seconds_) + static_cast<double>(microseconds_) / 1e6;
}

void QVTime::SetFromSeconds(double seconds) {
  // A time holds no negative value and at most 2^64 - 1 whole seconds.
  if (!(seconds >= 0.0) || seconds >= 18446744073709551616.0) {
    throw QVException("Time value out of range.", kSourceFile, __LINE__,
                      qvexceptiontype::badArgument, 0);
  }
  const double whole = std::floor(seconds);
  seconds_ = static_cast<uint64_t>(whole);
  microseconds_ = static_cast<uint64_t>((seconds - whole) * 1e6);
  if (microseconds_ >= kMicrosPerSecond) microseconds_ = kMicrosPerSecond - 1;
}

QVTime& QVTime::operator*(const QVTime& t) {
  SetFromSeconds(AsSeconds() * t.AsSeconds());
  return *this;
}

QVTime& QVTime::operator/(const QVTime& t) {
  if (t.seconds_ == 0 && t.microseconds_ == 0) {
    throw QVException("Division of a time by zero.", kSourceFile, __LINE__,
                      qvexceptiontype::badArgument, 0);
  }
  SetFromSeconds(AsSeconds() / t.AsSeconds());
  return *this;
}

QVTime& QVTime::operator++() {
  if (++microseconds_ == kMicrosPerSecond) {
    microseconds_ = 0;
    ++seconds_;
  }
  return *this;
}

QVTime& QVTime::operator--() {
  if (seconds_ == 0 && microseconds_ == 0) {
    throw QVException("Negative time values not allowed.", kSourceFile, __LINE__,
                      qvexceptiontype::negativeTime, 0);
  }
  if (microseconds_ == 0) {
    microseconds_ = kMicrosPerSecond - 1;
    --seconds_;
  } else {
    --microseconds_;
  }
  return *this;
}

void QVTime::PrintTime(std::ostream& os) const { os << seconds_ << ":" << microseconds_ << " "; }

std::ostream& operator<<(std::ostream& os, const QVTime& t) {
  t.PrintTime(os);
  return os;
}

}  // namespace Quorvane

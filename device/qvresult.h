// A value or an error number: what making a device answers.
#pragma once

#include <utility>

#include "utilities/qvexception.h"

namespace Quorvane {

template <typename T>
struct QVOk {
  T value;
};

template <typename E>
struct QVErr {
  E error;
};

template <typename T>
QVOk<T> make_ok(T value) {
  return QVOk<T>{std::move(value)};
}

template <typename E>
QVErr<E> make_err(E error) {
  return QVErr<E>{std::move(error)};
}

template <typename T, typename E>
class QVResult {
 public:
  QVResult(QVOk<T> ok) : value_(std::move(ok.value)), ok_(true) {}  // NOLINT: implicit by design
  template <typename F>
  QVResult(QVErr<F> err) : error_(static_cast<E>(err.error)) {}  // NOLINT: implicit by design

  bool isOk() const { return ok_; }
  bool isErr() const { return !ok_; }
  // The error; E{} for a value.
  E error() const { return error_; }

  const T& unwrap() const {
    if (!ok_) {
      throw QVException("QVResult: unwrap() on an Err value", "device/qvresult", __LINE__,
                        qvexceptiontype::internalError, 0);
    }
    return value_;
  }

 private:
  T value_{};
  E error_{};
  bool ok_ = false;
};

}  // namespace Quorvane

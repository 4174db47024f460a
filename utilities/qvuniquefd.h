// Owner of one open descriptor: closed when the owner goes.
#pragma once

#include <unistd.h>

namespace Quorvane::detail {

class QVUniqueFd {
 public:
  explicit QVUniqueFd(int fd = -1) noexcept : fd_(fd) {}
  ~QVUniqueFd() { reset(); }
  QVUniqueFd(const QVUniqueFd&) = delete;
  QVUniqueFd& operator=(const QVUniqueFd&) = delete;

  bool valid() const noexcept { return fd_ >= 0; }
  int get() const noexcept { return fd_; }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

}  // namespace Quorvane::detail

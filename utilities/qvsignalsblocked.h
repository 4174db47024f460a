// Signals kept from the calling thread for a scope, so that a handler cannot
// run on this thread in the middle of what the scope changes.
#pragma once

#include <signal.h>

#include <initializer_list>

namespace Quorvane {

class SignalsBlocked {
 public:
  explicit SignalsBlocked(std::initializer_list<int> numbers) noexcept {
    sigset_t block;
    sigemptyset(&block);
    for (int number : numbers) sigaddset(&block, number);
    restore_ = pthread_sigmask(SIG_BLOCK, &block, &previous_) == 0;
  }
  // Gives back the mask it found.
  ~SignalsBlocked() {
    if (restore_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
  bool restore_ = false;
};

}  // namespace Quorvane

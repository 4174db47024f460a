// Holding SIGPIPE back around a write, without touching the process's
// disposition of it.
#pragma once

#include <signal.h>
#include <time.h>

#include <cerrno>

namespace Quorvane {

// A write to a pipe or socket whose reader is gone raises SIGPIPE in the
// writing thread. It is kept blocked around the write and a SIGPIPE the write
// raised is taken back, so the write only fails, whatever the process's
// disposition.
class SigpipeHeld {
 public:
  SigpipeHeld() noexcept {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    held_ = pthread_sigmask(SIG_BLOCK, &block, &previous_) == 0;
    sigset_t pending;
    wasPending_ = held_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeHeld() {
    if (!held_) return;
    const int savedErrno = errno;
    sigset_t pending;
    if (!wasPending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      sigset_t only;
      sigemptyset(&only);
      sigaddset(&only, SIGPIPE);
      const struct timespec now {0, 0};
      sigtimedwait(&only, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    errno = savedErrno;
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

 private:
  sigset_t previous_;
  bool held_ = false;
  bool wasPending_ = false;
};

}  // namespace Quorvane

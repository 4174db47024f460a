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
//
// Only a write failing with EPIPE raises the signal, and it leaves errno at
// EPIPE for the caller; so the pending set is looked at only then, and a
// write that went costs two mask changes and nothing more. A SIGPIPE already
// pending on entry can only be one the thread held blocked before, so it is
// looked for only then, and left for the thread's own unblocking.
class SigpipeHeld {
 public:
  SigpipeHeld() noexcept {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    held_ = pthread_sigmask(SIG_BLOCK, &block, &previous_) == 0;
    if (held_ && sigismember(&previous_, SIGPIPE) == 1) {
      sigset_t pending;
      wasPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
  }
  ~SigpipeHeld() {
    if (!held_) return;
    const int savedErrno = errno;
    sigset_t pending;
    if (savedErrno == EPIPE && !wasPending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      sigset_t only;
      sigemptyset(&only);
      sigaddset(&only, SIGPIPE);
      const struct timespec now {0, 0};
      sigtimedwait(&only, nullptr, &now);
    }
    // Blocked before: the mask is as it was already.
    if (sigismember(&previous_, SIGPIPE) != 1) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
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

// Holding SIGPIPE back around a write: a write to a pipe whose reader is gone
// only fails, the thread's signal mask is as it was afterwards, and a SIGPIPE
// the thread held pending before is still pending (the write takes back only
// the one it raised). Each case runs on a thread of its own, so the masks it
// sets stay there; a SIGPIPE that escapes is counted by a handler.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "device/qvsigpipeheld.h"

namespace {

std::atomic<int> gDelivered{0};

void Count(int) { gDelivered.fetch_add(1); }

bool SigpipeIn(const sigset_t& set) { return sigismember(&set, SIGPIPE) == 1; }

bool SigpipePending() {
  sigset_t pending;
  return sigpending(&pending) == 0 && SigpipeIn(pending);
}

struct Case {
  const char* what;
  bool blockedBefore;
  bool pendingBefore;  // a SIGPIPE of the thread's own, held by its mask
  bool readerGone;     // the write fails with EPIPE
};

struct Outcome {
  long written = 0;
  int error = 0;
  bool blockedAfter = false;
  bool pendingAfter = false;
};

Outcome RunCase(const Case& c) {
  Outcome outcome;
  int fds[2];
  if (pipe(fds) != 0) return outcome;
  if (c.readerGone) close(fds[0]);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, SIGPIPE);
  if (c.blockedBefore) pthread_sigmask(SIG_BLOCK, &only, nullptr);
  if (c.pendingBefore) pthread_kill(pthread_self(), SIGPIPE);
  {
    Quorvane::SigpipeHeld held;
    errno = 0;
    outcome.written = write(fds[1], "x", 1);
  }
  outcome.error = errno;
  sigset_t now;
  pthread_sigmask(SIG_BLOCK, nullptr, &now);
  outcome.blockedAfter = SigpipeIn(now);
  outcome.pendingAfter = SigpipePending();
  // Leaves nothing behind for the thread's end: a pending SIGPIPE is taken.
  if (outcome.pendingAfter) {
    const struct timespec zero {0, 0};
    sigtimedwait(&only, nullptr, &zero);
  }
  close(fds[1]);
  if (!c.readerGone) close(fds[0]);
  return outcome;
}

TEST(SigpipeHeld, AWriteToAGoneReaderOnlyFailsAndTheMaskStaysAsItWas) {
  struct sigaction counting {};
  counting.sa_handler = &Count;
  sigemptyset(&counting.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGPIPE, &counting, &previous), 0);
  const Case cases[] = {
      {"unblocked, the reader gone", false, false, true},
      {"unblocked, the write goes", false, false, false},
      {"blocked before, the reader gone", true, false, true},
      {"blocked before with one pending, the reader gone", true, true, true},
      {"blocked before with one pending, the write goes", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    gDelivered = 0;
    Outcome outcome;
    std::thread([&] { outcome = RunCase(c); }).join();
    if (c.readerGone) {
      EXPECT_EQ(outcome.written, -1);
      EXPECT_EQ(outcome.error, EPIPE) << "the caller still learns why the write failed";
    } else {
      EXPECT_EQ(outcome.written, 1);
    }
    EXPECT_EQ(outcome.blockedAfter, c.blockedBefore);
    EXPECT_EQ(outcome.pendingAfter, c.pendingBefore) << "only the signal the write raised is taken back";
    EXPECT_EQ(gDelivered.load(), 0) << "no SIGPIPE reached the handler";
  }
  sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace

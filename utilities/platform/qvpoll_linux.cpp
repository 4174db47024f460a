// Linux: poll has no ceiling on descriptor numbers (select stops at 1023).
#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "utilities/platform/qvpoll.h"

namespace Quorvane::platform {

namespace {

constexpr short kReadableEvents = POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR;
constexpr short kWritableEvents = POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR;
constexpr short kExceptionalEvents = POLLPRI;
constexpr size_t kOnStack = 64;
constexpr int64_t kLongestWait = 1000000000000000;  // microseconds

int64_t MonotonicNanoseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int Wait(struct pollfd* fds, size_t count, long microseconds) {
  const bool unlimited = microseconds == -1;
  // Longer than about 31 years is waited as 31 years, keeping the sum in range.
  const int64_t limit = microseconds > kLongestWait ? kLongestWait : microseconds;
  struct timespec left = {static_cast<time_t>(limit / 1000000),
                          static_cast<long>(limit % 1000000) * 1000};
  // Only a timed wait reads the clock.
  const int64_t deadline = unlimited || limit == 0 ? 0 : MonotonicNanoseconds() + limit * 1000;
  for (;;) {
    const int result = ppoll(fds, static_cast<nfds_t>(count), unlimited ? nullptr : &left, nullptr);
    if (result >= 0) return result;
    if (errno != EINTR) return -1;
    // Interrupted by a signal: go on with the time that is left.
    if (!unlimited && limit != 0) {
      int64_t remaining = deadline - MonotonicNanoseconds();
      if (remaining < 0) remaining = 0;
      left.tv_sec = static_cast<time_t>(remaining / 1000000000);
      left.tv_nsec = static_cast<long>(remaining % 1000000000);
    }
  }
}

}  // namespace

int WaitForDescriptors(QVDescriptorWait* entries, size_t count, long microseconds) {
  if (microseconds < -1) {
    errno = EINVAL;
    return -1;
  }
  struct pollfd onStack[kOnStack];
  std::vector<struct pollfd> onHeap;
  struct pollfd* fds = onStack;
  if (count > kOnStack) {
    onHeap.resize(count);
    fds = onHeap.data();
  }
  for (size_t i = 0; i < count; ++i) {
    fds[i].fd = entries[i].fd;
    fds[i].events = POLLIN;
    if ((entries[i].watch & 1) != 0) fds[i].events |= POLLOUT;
    if ((entries[i].watch & 2) != 0) fds[i].events |= POLLPRI;
    fds[i].revents = 0;
  }
  const int result = Wait(fds, count, microseconds);
  if (result <= 0) return result;
  // A descriptor that is not open fails the whole wait, as it does for select.
  for (size_t i = 0; i < count; ++i) {
    if ((fds[i].revents & POLLNVAL) != 0) {
      errno = EBADF;
      return -1;
    }
  }
  int ready = 0;
  for (size_t i = 0; i < count; ++i) {
    const short got = fds[i].revents;
    entries[i].readable = (got & kReadableEvents) != 0;
    entries[i].found = 0;
    if ((entries[i].watch & 1) != 0 && (got & kWritableEvents) != 0) entries[i].found |= 1;
    if ((entries[i].watch & 2) != 0 && (got & kExceptionalEvents) != 0) entries[i].found |= 2;
    if (entries[i].readable || entries[i].found != 0) ++ready;
  }
  return ready;
}

}  // namespace Quorvane::platform

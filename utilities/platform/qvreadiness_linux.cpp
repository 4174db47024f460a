// Linux: poll has no ceiling on descriptor numbers (select's sets stop at
// 1023, and writing past them corrupts memory).
#include <poll.h>

#include <cerrno>

#include "utilities/platform/qvreadiness.h"

namespace Quorvane::platform {

namespace {

constexpr short kReadableEvents = POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR;
constexpr short kWritableEvents = POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR;
constexpr short kExceptionalEvents = POLLPRI;

short EventsFor(unsigned char want) {
  short events = 0;
  if ((want & kReadinessReadable) != 0) events |= POLLIN;
  if ((want & kReadinessWritable) != 0) events |= POLLOUT;
  if ((want & kReadinessExceptional) != 0) events |= POLLPRI;
  return events;
}

unsigned char BitsFrom(short revents, unsigned char want) {
  if ((revents & POLLNVAL) != 0) return kReadinessNotOpen;
  unsigned char got = 0;
  if ((want & kReadinessReadable) != 0 && (revents & kReadableEvents) != 0) got |= kReadinessReadable;
  if ((want & kReadinessWritable) != 0 && (revents & kWritableEvents) != 0) got |= kReadinessWritable;
  if ((want & kReadinessExceptional) != 0 && (revents & kExceptionalEvents) != 0) got |= kReadinessExceptional;
  return got;
}

int CountBits(unsigned char got) {
  if (got == kReadinessNotOpen) return 1;
  return ((got & kReadinessReadable) != 0) + ((got & kReadinessWritable) != 0) +
         ((got & kReadinessExceptional) != 0);
}

// One poll call over at most kReadinessBatch entries.
int CheckBatch(QVReadinessEntry* entries, size_t count, int milliseconds) {
  struct pollfd fds[kReadinessBatch];
  for (size_t i = 0; i < count; ++i) {
    // poll skips a negative descriptor, as the wanted set of select would.
    fds[i].fd = entries[i].fd;
    fds[i].events = EventsFor(entries[i].want);
    fds[i].revents = 0;
    entries[i].got = 0;
  }
  const int result = poll(fds, static_cast<nfds_t>(count), milliseconds);
  if (result < 0) return -1;
  int found = 0;
  for (size_t i = 0; i < count; ++i) {
    if (entries[i].fd < 0) continue;
    entries[i].got = BitsFrom(fds[i].revents, entries[i].want);
    found += CountBits(entries[i].got);
  }
  return found;
}

// Rounded up, so that a short wait is never a pure poll.
int Milliseconds(long microseconds) {
  if (microseconds < 0) return -1;
  const long milliseconds = (microseconds + 999) / 1000;
  return milliseconds > 0x7fffffffL ? 0x7fffffff : static_cast<int>(milliseconds);
}

}  // namespace

int CheckReadiness(QVReadinessEntry* entries, size_t count, long microseconds) noexcept {
  if (microseconds < -1 || (count > kReadinessBatch && microseconds != 0) || (count > 0 && entries == nullptr)) {
    errno = EINVAL;
    return -1;
  }
  if (count <= kReadinessBatch) return CheckBatch(entries, count, Milliseconds(microseconds));
  int found = 0;
  for (size_t start = 0; start < count; start += kReadinessBatch) {
    const size_t batch = count - start < kReadinessBatch ? count - start : kReadinessBatch;
    const int result = CheckBatch(entries + start, batch, 0);
    if (result < 0) return -1;
    found += result;
  }
  return found;
}

}  // namespace Quorvane::platform

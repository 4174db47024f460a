// Readiness: whether a link has something to read, and waiting for activity
// on one link or the first of several. The wait flushes and asks each link
// first, so data already buffered is found without waiting; a wait on one
// link then lets its device look a moment for data about to come; only then
// does it wait on the links' descriptors, with one deadline for the whole call.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

#include "api/qvcodecread.h"
#include "api/qvenvironment.h"
#include "api/qvmarkcalls.h"
#include "api/qvqueries.h"
#include "quorvane.h"
#include "utilities/platform/qvpoll.h"

namespace {

constexpr unsigned long kDeviceTypeSelector = 0x80000000UL;
constexpr long kNothingToRead = 16;

// The descriptor selector of a device type, or 0 for a type without one.
unsigned long DescriptorSelector(int64_t type) {
  switch (type) {
    case 1: return 0x80000100UL;
    case 2:
    case 12: return 0x80000200UL;
    case 5: return 0x80000500UL;
    case 14: return 0x80000E00UL;
    case 15: return 0x80000F00UL;
    default: return 0;
  }
}

// Types whose descriptor only signals that data came and must be drained.
bool IsSignalling(int64_t type) { return type == 5 || type == 15; }

bool DeviceType(QVLink* link, int64_t* type) {
  int64_t word = 0;
  long size = sizeof word;
  if (RVDeviceInformation(link, kDeviceTypeSelector, &word, &size) == 0) return false;
  *type = word;
  return true;
}

// Empties a signalling descriptor; false when reading it fails for a reason
// other than its being empty.
bool Drain(int descriptor) {
  unsigned char bytes[256];
  for (;;) {
    const ssize_t n = ::read(descriptor, bytes, sizeof bytes);
    if (n >= 0) return true;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

using Clock = std::chrono::steady_clock;

// A wait with less time than this is a poll: its device does not look first.
constexpr long kLookLeastMicroseconds = 1000;
// Waits on up to this many links keep their descriptors on the stack.
constexpr int kLinksInPlace = 8;

// Whether data comes to a link that has nothing to read now, asked of its
// device as a wait about to block asks (the device may look a moment); an
// error is an answer too: the next read reports it.
bool InputSoon(QVLink* link) {
  QVLinkLockGuard guard(link);
  device_kebab* stack = link->deviceStack;
  if (link->error != 0 || stack == nullptr || stack->loopback != 0 || !stack->device) return false;
  long error = 0;
  return stack->device->hasDataSoon(&error) || error != 0;
}

// Microseconds left before the deadline (never below 0); -1 without one.
long TimeLeft(bool bounded, Clock::time_point deadline) {
  if (!bounded) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<long>(left) : 0;
}

}  // namespace

int RVReady(QVLink* link) QV_NOEXCEPT {
  if (link == nullptr) return 0;
  QVLinkLockGuard guard(link);
  switch (link->error) {
    case 1:
    case 9:  // neither is ever cleared: reading can never succeed again
      return -1;
    case 10: {
      device_kebab* stack = link->deviceStack;
      if (stack != nullptr && stack->loopback != 0) return 1;
      if (stack == nullptr || !stack->device) return 0;
      long error = 0;
      const bool connected = stack->device->connectReady(&error);
      if (error != 0) return -1;
      return connected ? 1 : 0;
    }
    default: {
      const long code = QVReady_(&link->readState, link->deviceStack, &link->queueStack);
      if (code == kNothingToRead) {
        link->error = 0;
        return 0;
      }
      link->error = static_cast<uint32_t>(code);
      return 1;  // an error is "ready": the next read reports it
    }
  }
}

int unix_ready_parallel(readyParallelEnv* wait, QVLink** links, int n, long seconds, long microseconds) noexcept {
  if (wait == nullptr) return -1;
  if (n <= 0) return -3;
  if (links == nullptr) return -1;
  const bool bounded = !(seconds == -1 && microseconds == -1);
  // Kept far from the clock's range: a time-out of years is no time-out.
  constexpr long kLongestSeconds = 100000000;
  const long whole = std::clamp(seconds, 0L, kLongestSeconds);
  const long part = std::clamp(microseconds, 0L, kLongestSeconds);
  const Clock::time_point deadline =
      bounded ? Clock::now() + std::chrono::seconds(whole) + std::chrono::microseconds(part)
              : Clock::time_point::max();
  // The environment's wait object may serve other threads at the same time;
  // each wait keeps its descriptors to itself, on the stack for a few links.
  std::array<Quorvane::platform::QVDescriptorWait, kLinksInPlace> entriesInPlace;
  std::array<int64_t, kLinksInPlace> typesInPlace;
  std::vector<Quorvane::platform::QVDescriptorWait> moreEntries;
  std::vector<int64_t> moreTypes;
  Quorvane::platform::QVDescriptorWait* entries = entriesInPlace.data();
  int64_t* types = typesInPlace.data();
  if (n > kLinksInPlace) {
    try {
      moreEntries.resize(static_cast<size_t>(n));
      moreTypes.resize(static_cast<size_t>(n));
    } catch (...) {
      return -1;
    }
    entries = moreEntries.data();
    types = moreTypes.data();
  }
  for (;;) {
    // Only a wait on one link looks: it would hold up the others.
    const bool look = n == 1 && (!bounded || TimeLeft(bounded, deadline) >= kLookLeastMicroseconds);
    for (int i = 0; i < n; ++i) {
      QVLink* link = links[i];
      RVFlush(link);
      if (RVReady(link) == 1) return i;
      if (look && InputSoon(link) && RVReady(link) == 1) return i;
      int64_t type = 0;
      if (!DeviceType(link, &type)) return -1;
      const unsigned long selector = DescriptorSelector(type);
      if (selector == 0) return -1;
      int32_t descriptor = -1;
      long size = sizeof descriptor;
      if (RVDeviceInformation(link, selector, &descriptor, &size) == 0 || descriptor < 0) return -1;
      entries[static_cast<size_t>(i)] = {descriptor, 0, false, 0};
      types[static_cast<size_t>(i)] = type;
    }
    const int ready =
        Quorvane::platform::WaitForDescriptors(entries, static_cast<size_t>(n), TimeLeft(bounded, deadline));
    if (ready == 0) return -2;
    if (ready < 0) return -1;
    for (int i = 0; i < n; ++i) {
      const auto& entry = entries[static_cast<size_t>(i)];
      if (!entry.readable) continue;
      int64_t type = 0;
      if (!DeviceType(links[i], &type)) return i;
      // A device whose readable descriptor held only its own control bytes
      // (acknowledgements it has now taken) has nothing to read: wait on.
      if (!IsSignalling(type)) {
        if (RVReady(links[i]) != 0) return i;
        Quorvane::platform::QVDescriptorWait again = {entry.fd, 0, false, 0};
        if (Quorvane::platform::WaitForDescriptors(&again, 1, 0) != 0) return i;
        continue;
      }
      if (!Drain(entry.fd)) return -1;
      if (RVReady(links[i]) != 0) return i;
      break;  // a signal without data: collect again
    }
    if (TimeLeft(bounded, deadline) == 0) return -2;
  }
}

int RVReadyParallel(RVEnvironment* environment, QVLink** links, int n, long seconds, long microseconds) QV_NOEXCEPT {
  if (environment == nullptr || environment->readyWait == nullptr) return -1;
  return unix_ready_parallel(environment->readyWait, links, n, seconds, microseconds);
}

int RVWaitForLinkActivity(QVLink* link) QV_NOEXCEPT {
  qv_environment* environment = link == nullptr ? nullptr : link->environment();
  if (environment == nullptr || environment->readyWait == nullptr) return 2;
  const int answer = unix_ready_parallel(environment->readyWait, &link, 1, -1, -1);
  return answer == -1 || answer == -3 ? 2 : 1;
}

int RVWaitForLinkActivityWithCallback(QVLink* link, int (*callback)(QVLink*, void*)) QV_NOEXCEPT {
  for (;;) {
    qv_environment* environment = link == nullptr ? nullptr : link->environment();
    if (environment == nullptr || environment->readyWait == nullptr) return 2;
    const int answer = unix_ready_parallel(environment->readyWait, &link, 1, 0, 50000);
    if (answer == -1 || answer == -3) return 2;
    if (answer >= 0) return 1;
    if (callback != nullptr && callback(link, nullptr) == 1) return 4;
  }
}

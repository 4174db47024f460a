#include "device/qvstreamspin.h"

#include <sched.h>
#include <time.h>

#include "utilities/platform/qvcpupause.h"
#include "utilities/platform/qvcpus.h"
#include "utilities/platform/qvreadiness.h"

namespace Quorvane {

namespace {

// Pauses between two looks: a look is a system call, a pause some tens of
// nanoseconds.
constexpr int kPausesBetweenLooks = 24;

int64_t Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool ReadableNow(int fd) {
  platform::QVReadinessEntry entry{fd, platform::kReadinessReadable, 0};
  return platform::CheckReadiness(&entry, 1, 0) != 0;
}

bool BusyLookDue(QVStreamSpin* spin) {
  if (spin->misses < QVStreamSpin::kMissesTolerated) return true;
  return ++spin->sinceProbe % QVStreamSpin::kProbeEvery == 0;
}

bool BusyLook(int fd) {
  const int64_t until = Now() + QVStreamSpin::kSpinNanoseconds;
  do {
    for (int i = 0; i < kPausesBetweenLooks; ++i) platform::CpuPause();
    if (ReadableNow(fd)) return true;
  } while (Now() < until);
  return false;
}

}  // namespace

bool SpinUntilReadable(QVStreamSpin* spin, int fd) noexcept {
  // While looks keep missing, the peer mostly shares this CPU: it has not
  // run since this side wrote, and even a first look would only cost a call.
  if (BusyLookDue(spin)) {
    // The mask is read only when a wait is due, so a change of it while the
    // link lives is followed. With one CPU the peer cannot run meanwhile.
    if (ReadableNow(fd) || (AllowedCpuCount() > 1 && BusyLook(fd))) {
      spin->misses = 0;
      return true;
    }
    if (spin->misses < QVStreamSpin::kMissesTolerated) ++spin->misses;
  }
  sched_yield();
  return false;
}

}  // namespace Quorvane

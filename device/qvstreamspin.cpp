#include "device/qvstreamspin.h"

#include <sched.h>
#include <time.h>

#include <cstdint>

#include "utilities/platform/qvcpupause.h"
#include "utilities/platform/qvreadifready.h"
#include "utilities/platform/qvreadiness.h"

namespace Quorvane {

namespace {

// Pauses between two looks: a look is a system call, a pause some tens of
// nanoseconds.
constexpr int kPausesBetweenLooks = 24;
constexpr long kEndOfFile = -2;

int64_t Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct Look {
  bool met;     // the peer's bytes (or its end, or a failure) are there
  long answer;  // what ReadSoon answers for it
};

// One look: a read that does not wait, or where the descriptor takes none,
// a readiness poll (the caller's read then takes what it saw).
Look LookOnce(QVStreamSpin* spin, int fd, void* buffer, long length) {
  if (!spin->looksOnly) {
    size_t count = 0;
    switch (platform::ReadIfReady(fd, buffer, static_cast<size_t>(length), &count)) {
      case platform::ReadIfReadyResult::got:
        return {true, count > 0 ? static_cast<long>(count) : kEndOfFile};
      case platform::ReadIfReadyResult::nothingYet: return {false, kNothingReadYet};
      case platform::ReadIfReadyResult::failed: return {true, kNothingReadYet};
      case platform::ReadIfReadyResult::unsupported: spin->looksOnly = true; break;
    }
  }
  platform::QVReadinessEntry entry{fd, platform::kReadinessReadable, 0};
  return {platform::CheckReadiness(&entry, 1, 0) != 0, kNothingReadYet};
}

bool Due(QVStreamSpin::Way* way) {
  if (way->misses < QVStreamSpin::kMissesTolerated) return true;
  return ++way->sinceTry % QVStreamSpin::kTryEvery == 0;
}

void Learn(QVStreamSpin::Way* way, bool met) {
  if (met) way->misses = 0;
  else if (way->misses < QVStreamSpin::kMissesTolerated) ++way->misses;
}

Look BusyLook(QVStreamSpin* spin, int fd, void* buffer, long length, int peerProcess) {
  Look look = LookOnce(spin, fd, buffer, length);
  if (look.met || !spin->choice.Spins(peerProcess, Now())) return look;
  // Timed from here: a look at the masks does not eat into the budget.
  const int64_t until = Now() + QVStreamSpin::kBusyLookNanoseconds;
  do {
    for (int i = 0; i < kPausesBetweenLooks; ++i) platform::CpuPause();
    look = LookOnce(spin, fd, buffer, length);
  } while (!look.met && Now() < until);
  return look;
}

}  // namespace

long ReadSoon(QVStreamSpin* spin, int fd, void* buffer, long length, int peerProcess) noexcept {
  if (length <= 0) return kNothingReadYet;
  if (Due(&spin->busyLook)) {
    const Look look = BusyLook(spin, fd, buffer, length, peerProcess);
    Learn(&spin->busyLook, look.met);
    if (look.met) return look.answer;
  }
  if (Due(&spin->offerCpu)) {
    sched_yield();
    const Look look = LookOnce(spin, fd, buffer, length);
    Learn(&spin->offerCpu, look.met);
    if (look.met) return look.answer;
    // The peer did not answer from this CPU: it may run on another one,
    // where a busy look would meet it. The next wait tries one.
    QVStreamSpin::Way& busy = spin->busyLook;
    if (busy.misses >= QVStreamSpin::kMissesTolerated) busy.misses = QVStreamSpin::kMissesTolerated - 1;
  }
  return kNothingReadYet;
}

}  // namespace Quorvane

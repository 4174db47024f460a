// What a stream device ("Pipes", "TCP") does before it blocks on its
// descriptor for data or an acknowledgement. The window framing lets only
// two windows await acknowledgement, so a bulk transfer is a long run of
// short waits, and a sleep and a wake-up per window cost more than the
// window itself:
// - Where the process may run on more than one CPU, a peer that answers
//   within tens of microseconds is met by a short busy look (readiness polls
//   with pauses between them), so neither side sleeps. A peer that keeps
//   answering later than that (it shares this CPU, or the machine is busy)
//   soon gets no busy look at all, with a full one now and then to notice
//   when it is quick again.
// - Then the CPU is offered to whatever else may run on it: a peer that
//   shares it answers before this side sleeps, and it finds this side awake,
//   so its next window costs no wake-up either.
#pragma once

#include <cstdint>

namespace Quorvane {

struct QVStreamSpin {
  static constexpr int64_t kSpinNanoseconds = 30000;
  // Busy looks in a row that must miss before they stop.
  static constexpr int kMissesTolerated = 8;
  // While they are stopped, every this-many-th wait makes one.
  static constexpr unsigned kProbeEvery = 256;

  int misses = 0;
  unsigned sinceProbe = 0;
};

// Before a blocking read of fd; takes no bytes. True when fd was seen
// readable (also at end of file, or when the look failed: what a read
// reports at once); false when it was not seen so, or not looked at, and the
// caller's read waits, where it must, as it would have.
bool SpinUntilReadable(QVStreamSpin* spin, int fd) noexcept;

}  // namespace Quorvane

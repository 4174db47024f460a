// What a stream device ("Pipes", "TCP") does before it blocks on its
// descriptor for data or an acknowledgement. The window framing lets only
// two windows await acknowledgement, so a bulk transfer is a long run of
// short waits, and a sleep and a wake-up per window cost more than the
// window itself. Two ways to meet the peer awake, each made only while it
// pays:
// - Where this side and the peer cannot be held to one CPU (QVSpinChoice:
//   this thread may use several, or it and the peer are pinned apart), a
//   short busy look (reads that do not wait, with pauses between them)
//   meets a peer on another CPU that answers within tens of microseconds.
// - Offering the CPU to whatever else may run on it lets a peer that shares
//   this CPU answer before this side sleeps; it then finds this side awake,
//   so its next window costs no wake-up either.
// A way that keeps missing (the peer shares this CPU, or answers later, or
// the machine is busy) is soon left out, with one try now and then to notice
// when it pays again; then the device waits as it would have. Each look is
// itself the read, so a look that finds the peer's bytes costs nothing more.
#pragma once

#include "device/qvspinchoice.h"

namespace Quorvane {

struct QVStreamSpin {
  static constexpr long kBusyLookNanoseconds = 30000;
  // Tries in a row that must miss before a way is left out.
  static constexpr int kMissesTolerated = 8;
  // While it is left out, every this-many-th wait tries it.
  static constexpr unsigned kTryEvery = 256;

  struct Way {
    int misses = 0;
    unsigned sinceTry = 0;
  };
  Way busyLook;
  Way offerCpu;
  QVSpinChoice choice;
  // The descriptor cannot be read without waiting: looks are readiness polls.
  bool looksOnly = false;
};

// ReadSoon's answer when nothing was read: the caller reads as it would have.
inline constexpr long kNothingReadYet = -3;

// Before a read of fd that may block: the bytes read into buffer (at most
// length, more than 0), -2 at end of file, or kNothingReadYet. peerProcess
// is the process at the far end (QVSpinChoice::kPeerUnknown: not known).
long ReadSoon(QVStreamSpin* spin, int fd, void* buffer, long length, int peerProcess) noexcept;

}  // namespace Quorvane

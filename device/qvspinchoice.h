// Whether a waiter looks for its peer's answer in a short busy wait before
// it sleeps. A spin pays only while the peer can answer meanwhile, so it is
// refused where the two sides may be held to one CPU: a side allowed a
// single CPU that the other side may also use (the one that waits could be
// sitting on the CPU the other needs). Sides pinned to CPUs of their own
// spin; so does a thread allowed several CPUs whose peer is allowed several
// too, or whose peer's CPUs are not known. Both masks are looked at again
// now and then, since either process can be pinned anew while a link lives,
// but never at every wait.
#pragma once

#include <cstdint>

#include "utilities/platform/qvcpus.h"

namespace Quorvane {

class QVSpinChoice {
 public:
  // A peer whose process is not known.
  static constexpr int kPeerUnknown = 0;
  static constexpr int64_t kLookEveryNanoseconds = 100'000'000;

  // The choice for the CPUs this thread may use (ours) and those of the
  // peer's process (peers, null when not known).
  static bool WorthwhileFor(const platform::QVCpuSet& ours, const platform::QVCpuSet* peers) noexcept;
  // Without the peer's CPUs: only a thread allowed more than one CPU spins.
  static bool WorthwhileFor(int allowedCpus) noexcept { return allowedCpus > 1; }

  // The choice for the calling thread waiting for the process peerProcess
  // (kPeerUnknown or less: not known) at now (steady clock, nanoseconds):
  // the masks are read when it is first asked and then at most once every
  // kLookEveryNanoseconds. A zeroed choice is a fresh one.
  bool Spins(int peerProcess, int64_t now) noexcept;

 private:
  int64_t nextLookAt_ = 0;
  bool spins_ = false;
};

}  // namespace Quorvane

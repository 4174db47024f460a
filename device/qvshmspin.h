// A short busy wait on a ring's own counter before a shared-memory waiter
// sleeps: a peer that answers within tens of microseconds is met awake, so
// neither side pays a sleep and a wake-up at every empty or full edge. A peer
// that keeps answering slower than the spin soon costs only a couple of
// microseconds of spinning per wait; a full spin now and then finds out when
// it is quick again. Whether a spin met the peer depends only on how fast the
// peer answered, never on how long a sleep took to end, so a loaded machine's
// slow wake-ups do not talk the spin down. Whether to spin at all comes from
// the CPUs this thread and the peer's process may use (QVSpinChoice): where
// the peer may need the very CPU this side would spin on, it never spins.
#pragma once

#include <chrono>
#include <cstdint>

#include "device/qvspinchoice.h"

namespace Quorvane {

class QVSHMSpin {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr Clock::duration kLongest = std::chrono::microseconds(50);
  static constexpr Clock::duration kShortest = std::chrono::microseconds(2);
  // Spins in a row that must miss before the spin is cut short.
  static constexpr int kMissesTolerated = 16;
  // While it is short, every this-many-th spin is a full one.
  static constexpr int kProbeEvery = 16;

  // Whether a thread allowed this many CPUs spins when its peer's CPUs are
  // not known.
  static bool WorthwhileFor(int allowedCpus) { return QVSpinChoice::WorthwhileFor(allowedCpus); }

  // Whether a wait of the calling thread for the process peerProcess
  // (QVSpinChoice::kPeerUnknown: not known) spins now.
  bool SpinsFor(int peerProcess) { return choice_.Spins(peerProcess, Nanoseconds(Clock::now())); }

  // Spins while unchanged() holds, for at most the budget of this wait; true
  // when it stopped holding. Where the choice is not to spin, it does not
  // look at all.
  template <typename Unchanged>
  bool SpinWhile(int peerProcess, Unchanged&& unchanged) {
    if (!SpinsFor(peerProcess)) return false;
    // Timed from here: a look at the masks does not eat into the budget.
    const Clock::time_point now = Clock::now();
    const bool full = longSpins_ || ++sinceProbe_ % kProbeEvery == 0;
    const Clock::time_point until = now + (full ? kLongest : kShortest);
    bool met = false;
    do {
      for (int i = 0; i < kChecksPerClockLook && !met; ++i) {
        met = !unchanged();
        if (!met) Pause();
      }
    } while (!met && Clock::now() < until);
    met = met || !unchanged();
    Learn(met);
    return met;
  }

  // Whether the next spin is a full one (not counting the probes).
  bool longSpinsQ() const { return longSpins_; }

 private:
  static constexpr int kChecksPerClockLook = 16;

  static int64_t Nanoseconds(Clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  }
  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  void Learn(bool met) {
    if (met) {
      longSpins_ = true;
      misses_ = 0;
    } else if (++misses_ >= kMissesTolerated) {
      longSpins_ = false;
    }
  }

  bool longSpins_ = true;
  int misses_ = 0;
  unsigned sinceProbe_ = 0;
  QVSpinChoice choice_;
};

}  // namespace Quorvane

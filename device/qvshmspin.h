// A short busy wait on a ring's own counter before a shared-memory waiter
// sleeps: a peer that answers within tens of microseconds is met awake, so
// neither side pays a sleep and a wake-up at every empty or full edge. A peer
// that keeps answering slower than the spin soon costs only a couple of
// microseconds of spinning per wait; a full spin now and then finds out when
// it is quick again. Whether a spin met the peer depends only on how fast the
// peer answered, never on how long a sleep took to end, so a loaded machine's
// slow wake-ups do not talk the spin down.
#pragma once

#include <chrono>

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

  // Spins while unchanged() holds, for at most the budget of this wait; true
  // when it stopped holding. A machine with one processor never spins: the
  // peer cannot run meanwhile.
  template <typename Unchanged>
  bool SpinWhile(Unchanged&& unchanged) {
    if (!Worthwhile()) return false;
    const bool full = longSpins_ || ++sinceProbe_ % kProbeEvery == 0;
    const Clock::time_point until = Clock::now() + (full ? kLongest : kShortest);
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

  static bool Worthwhile();
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
};

}  // namespace Quorvane

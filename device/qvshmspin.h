// A short busy wait on a ring's own counter before a shared-memory waiter
// sleeps: a peer that answers within tens of microseconds is met awake, so
// neither side pays a sleep and a wake-up at every empty or full edge. The
// budget learns from what the waits took: a peer that answers slowly soon
// costs only a couple of microseconds of spinning per wait.
#pragma once

#include <algorithm>
#include <chrono>

namespace Quorvane {

class QVSHMSpin {
 public:
  using Clock = std::chrono::steady_clock;

  // Spins while unchanged() holds, for at most the current budget; true when
  // it stopped holding. A machine with one processor never spins: the peer
  // cannot run meanwhile.
  template <typename Unchanged>
  bool SpinWhile(Unchanged&& unchanged) {
    if (!Worthwhile() || budget_ <= kNothing) return false;
    const Clock::time_point until = Clock::now() + budget_;
    do {
      for (int i = 0; i < kChecksPerClockLook; ++i) {
        if (!unchanged()) return true;
        Pause();
      }
    } while (Clock::now() < until);
    return !unchanged();
  }

  // The whole wait (spin and sleep) took this long: one that the longest spin
  // would have covered earns it next time, a longer one halves the budget.
  void Learn(Clock::duration waited) {
    if (waited <= kLongest) {
      budget_ = kLongest;
    } else {
      budget_ = std::max<Clock::duration>(budget_ / 2, kShortest);
    }
  }

  Clock::duration budget() const { return budget_; }

  static constexpr Clock::duration kLongest = std::chrono::microseconds(50);
  static constexpr Clock::duration kShortest = std::chrono::microseconds(2);

 private:
  static constexpr Clock::duration kNothing = Clock::duration::zero();
  static constexpr int kChecksPerClockLook = 16;

  static bool Worthwhile();
  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  Clock::duration budget_ = kLongest;
};

}  // namespace Quorvane

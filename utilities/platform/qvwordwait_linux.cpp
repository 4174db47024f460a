// Linux sleeps on a shared word with a futex: not the process-private kind,
// so that the sleeper and the waker may be two processes mapping one segment.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

#include "utilities/platform/qvwordwait.h"

namespace Quorvane::platform {

void WaitWhileWordIs(uint32_t* word, uint32_t expected, long microseconds) noexcept {
  timespec timeout{microseconds / 1000000, (microseconds % 1000000) * 1000};
  // An interruption or a changed word returns early, as callers expect.
  syscall(SYS_futex, word, FUTEX_WAIT, expected, microseconds < 0 ? nullptr : &timeout, nullptr, 0);
}

void WakeWordSleepers(uint32_t* word) noexcept { syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

}  // namespace Quorvane::platform

// The C library on Linux keeps the two lowest real-time signals (32 and 33)
// for thread cancellation and credential changes. SIGIO's default action on
// Linux ends the process.
#include "utilities/platform/qvsignals.h"

#include <signal.h>
#include <unistd.h>

namespace Quorvane::platform {

bool SignalReservedBySystemQ(int number) { return number == 32 || number == 33; }

bool IgnoreRatherThanDefaultQ(int number) { return number == SIGIO; }

long ThisThreadNumber() noexcept { return static_cast<long>(gettid()); }

bool SignalThreadOfThisProcess(long thread, int number) noexcept {
  return tgkill(getpid(), static_cast<pid_t>(thread), number) == 0;
}

}  // namespace Quorvane::platform

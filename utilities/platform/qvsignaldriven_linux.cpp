// Linux: F_SETOWN with the process id and the O_ASYNC status flag. Linux
// also raises SIGIO for write space and connection events (extra wake-ups).
#include <fcntl.h>
#include <unistd.h>

#include "utilities/platform/qvsignaldriven.h"

namespace Quorvane::platform {

bool ArmSignalDrivenInput(int fd) noexcept {
  if (fcntl(fd, F_SETOWN, getpid()) == -1) return false;
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags | O_ASYNC) != -1;
}

bool DisarmSignalDrivenInput(int fd) noexcept {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_ASYNC) != -1;
}

bool SignalDrivenInputQ(int fd) noexcept {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && (flags & O_ASYNC) != 0;
}

}  // namespace Quorvane::platform

// Linux: a process descriptor (pidfd) polls readable once its process has
// ended, and waitid reaps through it, so no other child is ever collected.
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "utilities/platform/qvchildend.h"

namespace Quorvane::platform {

int OpenChildEndDescriptor(int child, int* err) noexcept {
  if (child < 1) {
    *err = ESRCH;
    return -1;
  }
  // Close-on-exec by itself.
  const long fd = syscall(SYS_pidfd_open, static_cast<pid_t>(child), 0U);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  return static_cast<int>(fd);
}

ChildEndState ReapChildIfEnded(int descriptor, int child) noexcept {
  const int savedErrno = errno;
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  int result;
  do {
    result = descriptor >= 0 ? waitid(P_PIDFD, static_cast<id_t>(descriptor), &info, WEXITED | WNOHANG)
                             : waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG);
  } while (result < 0 && errno == EINTR);
  // A system that makes process descriptors but cannot wait through them.
  if (result < 0 && errno == EINVAL && descriptor >= 0) return ReapChildIfEnded(-1, child);
  const bool running = result == 0 && info.si_pid == 0;
  // Any failure (ECHILD above all) means there is nothing of ours left to wait for.
  errno = savedErrno;
  return running ? ChildEndState::running : ChildEndState::gone;
}

}  // namespace Quorvane::platform

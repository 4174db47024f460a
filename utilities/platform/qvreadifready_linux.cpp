// Linux: preadv2 with RWF_NOWAIT at the descriptor's own position, which
// pipes and sockets take; a kernel or a file that does not is answered as
// unsupported.
#include <sys/uio.h>

#include <cerrno>

#include "utilities/platform/qvreadifready.h"

namespace Quorvane::platform {

ReadIfReadyResult ReadIfReady(int fd, void* buffer, size_t length, size_t* count) noexcept {
  iovec piece{buffer, length};
  const ssize_t got = preadv2(fd, &piece, 1, -1, RWF_NOWAIT);
  if (got >= 0) {
    *count = static_cast<size_t>(got);
    return ReadIfReadyResult::got;
  }
  switch (errno) {
    case EAGAIN:
    case EINTR: return ReadIfReadyResult::nothingYet;
    case EOPNOTSUPP:
    case EINVAL:
    case ENOSYS:
    case ESPIPE: return ReadIfReadyResult::unsupported;
    default: return ReadIfReadyResult::failed;
  }
}

}  // namespace Quorvane::platform

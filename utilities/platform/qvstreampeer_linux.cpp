// Linux: poll reports the peer's shutdown (POLLRDHUP) as soon as it arrives,
// also behind unread bytes, where a peek would only see the bytes.
#include <poll.h>

#include <cerrno>

#include "utilities/platform/qvstreampeer.h"

namespace Quorvane::platform {

bool StreamPeerGoneQ(int fd) noexcept {
  if (fd < 0) return false;
  pollfd entry{fd, POLLRDHUP, 0};
  int ready;
  while ((ready = poll(&entry, 1, 0)) < 0 && errno == EINTR) {
  }
  if (ready <= 0 || (entry.revents & POLLNVAL) != 0) return false;
  return (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace Quorvane::platform

#include "device/qvsockcalls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>

#include "utilities/platform/qvreadiness.h"

namespace platform = Quorvane::platform;

int qvsock__startup() noexcept { return 0; }
int qvsock__cleanup() noexcept { return 0; }
int qvsock__gethostname(char* buffer, size_t size) noexcept { return gethostname(buffer, size); }
struct hostent* qvsock__gethostbyname(const char* name) noexcept { return gethostbyname(name); }
struct hostent* qvsock__gethostbyaddr(const void* address, socklen_t length, int family) noexcept {
  return gethostbyaddr(address, length, family);
}
// Close-on-exec from the start, as accepted sockets: a program launched
// before the device tunes the socket must not inherit it.
int qvsock__socket() noexcept { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
int qvsock__bind(int fd, const struct sockaddr* address, socklen_t length) noexcept {
  return bind(fd, address, length);
}
int qvsock__listen(int fd, int backlog) noexcept { return listen(fd, backlog); }
int qvsock__accept(int fd, struct sockaddr* address, socklen_t* length) noexcept {
  return accept4(fd, address, length, SOCK_CLOEXEC);
}
int qvsock__connect(int fd, const struct sockaddr* address, socklen_t length) noexcept {
  return connect(fd, address, length);
}
int qvsock__getsockname(int fd, struct sockaddr* address, socklen_t* length) noexcept {
  return getsockname(fd, address, length);
}
int qvsock__setsockopt(int fd, int level, int name, const void* value, socklen_t length) noexcept {
  return setsockopt(fd, level, name, value, length);
}
int qvsock__closesocket(int fd) noexcept { return close(fd); }

int qvsock__select(int readFd, int writeFd, int exceptFd, long microseconds) noexcept {
  if (microseconds < 0) {
    errno = EINVAL;
    return -1;
  }
  platform::QVReadinessEntry entries[3];
  size_t count = 0;
  const int fds[3] = {readFd, writeFd, exceptFd};
  const unsigned char wants[3] = {platform::kReadinessReadable, platform::kReadinessWritable,
                                  platform::kReadinessExceptional};
  for (size_t i = 0; i < 3; ++i) {
    if (fds[i] >= 0) entries[count++] = {fds[i], wants[i], 0};
  }
  const int found = platform::CheckReadiness(entries, count, microseconds);
  if (found < 0) return -1;
  // A descriptor that is not open fails the whole wait, as it does for select.
  for (size_t i = 0; i < count; ++i) {
    if (entries[i].got == platform::kReadinessNotOpen) {
      errno = EBADF;
      return -1;
    }
  }
  return found;
}

ssize_t qvsock__recv(int fd, void* bytes, size_t length, int flags) noexcept {
  return recv(fd, bytes, length, flags);
}
ssize_t qvsock__send(int fd, const void* bytes, size_t length, int flags) noexcept {
  return send(fd, bytes, length, flags);
}
uint16_t qvsock__htons(uint16_t value) noexcept { return htons(value); }
uint16_t qvsock__ntohs(uint16_t value) noexcept { return ntohs(value); }
unsigned long qvsock__htonl(unsigned long value) noexcept { return htonl(static_cast<uint32_t>(value)); }
unsigned long qvsock__ntohl(unsigned long value) noexcept { return ntohl(static_cast<uint32_t>(value)); }
int qvsock__getlasterror() noexcept { return errno; }
void qvsock__setlasterror(int error) noexcept { errno = error; }

int qvsock___keepalive(int fd) noexcept {
  const int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

int qvsock___reuseaddr(int fd) noexcept {
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0) return 0;
  return errno != 0 ? errno : -1;
}

int qvsock___closeonexec(int fd) noexcept { return fcntl(fd, F_SETFD, FD_CLOEXEC); }

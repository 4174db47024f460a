// Descriptor pairs for the message-layer tests: a pipe, a local socket pair
// and a TCP connection over 127.0.0.1, each end closed (and disarmed) when
// the pair goes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "device/qvmessagelayer.h"

namespace qvtest {

struct DescriptorPair {
  int read = -1;   // the receiving end
  int write = -1;  // the sending end
  DescriptorPair() = default;
  DescriptorPair(const DescriptorPair&) = delete;
  DescriptorPair& operator=(const DescriptorPair&) = delete;
  DescriptorPair(DescriptorPair&& other) noexcept : read(other.read), write(other.write) {
    other.read = other.write = -1;
  }
  ~DescriptorPair() {
    // Both disarmed before either closes: closing one end signals the other.
    for (int fd : {read, write}) {
      if (fd >= 0) unix_arrange_to_stop_msgs(fd);
    }
    for (int fd : {read, write}) {
      if (fd >= 0) close(fd);
    }
  }
  // The receiving end moved to the given number (which must be free).
  bool moveReadTo(int number) {
    if (dup2(read, number) != number) return false;
    close(read);
    read = number;
    return true;
  }
};

inline DescriptorPair MakePipe() {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  DescriptorPair pair;
  pair.read = fds[0];
  pair.write = fds[1];
  return pair;
}

inline DescriptorPair MakeSocketPair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
  DescriptorPair pair;
  pair.read = fds[0];
  pair.write = fds[1];
  return pair;
}

// A connected TCP pair on the loopback address: write is the connecting end,
// read the accepted one.
inline DescriptorPair MakeTcpPair() {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) throw std::runtime_error("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  DescriptorPair pair;
  bool ok = bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (ok) {
    pair.write = socket(AF_INET, SOCK_STREAM, 0);
    ok = pair.write >= 0 && connect(pair.write, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  if (ok) {
    pair.read = accept(listener, nullptr, nullptr);
    ok = pair.read >= 0;
  }
  close(listener);
  if (!ok) throw std::runtime_error("loopback connection");
  return pair;
}

// Raises the soft limit on open descriptors to at least want; false when the
// hard limit does not allow it.
inline bool AllowDescriptorsUpTo(rlim_t want) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= want) return true;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < want) return false;
  limit.rlim_cur = want;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace qvtest

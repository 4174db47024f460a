// Helpers of the service-discovery tests: loopback ports for the listeners a
// registration opens.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace qvsdtest {

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port on 127.0.0.1 that nothing listens on now.
inline uint16_t FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(s);
  return port;
}

// True when a new socket can listen on 127.0.0.1:port, that is when no
// listener holds it.
inline bool PortFree(uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = Loopback(port);
  const bool free = bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && listen(s, 1) == 0;
  close(s);
  return free;
}

}  // namespace qvsdtest

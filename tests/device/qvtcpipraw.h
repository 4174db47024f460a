// A hand-made far end of a new-model "TCPIP" link on plain sockets, for the
// tests that must send or withhold exact bytes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace qvtcpiptest {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

inline Fd ListenLoopback(unsigned short* port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd.get(), 5) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Fd();
  }
  *port = ntohs(address.sin_port);
  return fd;
}

inline Fd ConnectLoopback(unsigned short port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return Fd();
  return fd;
}

// Waits at most 10 s for the descriptor to become readable.
inline bool Readable(int fd, int milliseconds = 10000) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, milliseconds) == 1;
}

inline bool SendAll(int fd, const void* bytes, size_t count) {
  const char* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t n = ::send(fd, at, count, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// Reads up to count bytes, stopping at the end of the stream or after 10 s of silence.
inline std::string ReadUpTo(int fd, size_t count) {
  std::string got;
  char buffer[65536];
  while (got.size() < count && Readable(fd)) {
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - got.size()), 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

inline std::string Header(int32_t size = 0) {
  const int32_t words[4] = {3, 0, 0, size};
  return std::string(reinterpret_cast<const char*>(words), sizeof words);
}

inline std::string Message(uint32_t code, uint32_t argument) {
  const uint32_t words[2] = {htonl(code), htonl(argument)};
  return std::string(reinterpret_cast<const char*>(words), sizeof words);
}

// The far end of a new-model connecting device: accepts its two connections.
struct RawServer {
  unsigned short port = 0;
  Fd listening;
  Fd data;
  Fd mesg;

  RawServer() { listening = ListenLoopback(&port); }
  std::string Name() const { return std::to_string(port) + "@127.0.0.1"; }
  bool Accept() {
    if (!Readable(listening.get())) return false;
    data.reset(::accept(listening.get(), nullptr, nullptr));
    if (!Readable(listening.get())) return false;
    mesg.reset(::accept(listening.get(), nullptr, nullptr));
    return data.get() >= 0 && mesg.get() >= 0;
  }
  // Sends our header and checks the device's.
  bool Handshake() {
    const std::string header = Header();
    return SendAll(data.get(), header.data(), header.size()) && ReadUpTo(data.get(), 16) == header;
  }
};

}  // namespace qvtcpiptest

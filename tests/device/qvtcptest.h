// Helpers of the TCP device tests: a private network namespace with only
// loopback up (so listeners on the any-address reach nothing outside), a
// world made through socket_main, a yield function that bounds every wait of
// a device, and raw sockets the test owns as peers.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "device/qvmessagelayer.h"
#include "device/qvtcp.h"
#include "quorvane.h"
#include "support/qvprivatenetwork.h"

namespace qvtest {

// Listening devices bind the any-address: without a network of the test's
// own they would listen on this machine's interfaces, so the test is skipped.
#define QV_REQUIRE_PRIVATE_NETWORK(entered)                                                 \
  do {                                                                                      \
    if (!(entered)) GTEST_SKIP() << "no private network namespace (" << qvtest::PrivateNetworkRefusal() \
                                 << "): the test would listen on this machine's interfaces"; \
  } while (0)

// A yield function that lets a device wait until the deadline (its cookie)
// and then asks it to stop, so a peer that never comes fails the test rather
// than hanging it.
inline int UntilDeadline(void* cookie, QVYieldParams*) {
  if (std::chrono::steady_clock::now() >= *static_cast<std::chrono::steady_clock::time_point*>(cookie)) return 1;
  std::this_thread::yield();
  return 0;
}
inline int StopAtOnce(void*, QVYieldParams*) { return 1; }
// The same for links, whose yield function has no cookie: one deadline for
// the process's links.
inline std::chrono::steady_clock::time_point& LinkDeadline() {
  static std::chrono::steady_clock::time_point deadline;
  return deadline;
}
inline int UntilLinkDeadline(void*, QVYieldParams* parameters) { return UntilDeadline(&LinkDeadline(), parameters); }

// A link opened from the command text whose waits end at the deadline, 20
// seconds from now; null when it does not open.
inline QVLink* OpenLinkWithDeadline(RVEnvironment* environment, const std::string& command) {
  int error = 0;
  QVLink* link = RVOpenString(environment, command.c_str(), &error);
  LinkDeadline() = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  if (link != nullptr) RVSetYieldFunction(link, &UntilLinkDeadline);
  return link;
}

inline void* TcpAllocate(uint64_t size) { return std::malloc(size); }
inline void TcpRelease(void* block) { std::free(block); }

inline long TcpCall(void* object, Quorvane::qvdeviceselector selector, void* a1 = nullptr, void* a2 = nullptr) {
  return socket_main(object, selector, a1, a2);
}

class TcpWorld {
 public:
  TcpWorld() {
    // As the environment would install them.
    watchsignal(SIGIO, &unix_signal_handler);
    watchsignal(SIGURG, &unix_signal_handler);
    EXPECT_EQ(TcpCall(&world_, Quorvane::QVDEVICE_WORLD_INIT, reinterpret_cast<void*>(&TcpAllocate),
                      reinterpret_cast<void*>(&TcpRelease)),
              0);
  }
  ~TcpWorld() {
    if (world_ != nullptr) TcpCall(world_, Quorvane::QVDEVICE_WORLD_DEINIT);
  }
  TcpWorld(const TcpWorld&) = delete;
  TcpWorld& operator=(const TcpWorld&) = delete;

  void* Make(const std::string& protocol, unsigned long mode, const std::string& name, const std::string& location,
             unsigned long options, long* error) {
    std::string block = protocol + '\0' + std::to_string(mode) + '\0' + name + '\0' + location + '\0' + '\0' +
                        std::to_string(options) + '\0';
    void* device = nullptr;
    *error = TcpCall(world_, Quorvane::QVDEVICE_WORLD_MAKE, &device, block.data());
    return device;
  }
  void* world() const { return world_; }

 private:
  void* world_ = nullptr;
};

// The world's host text as the device answers it (selector 40).
inline std::string HostText(void* device) {
  char buffer[256] = {};
  long capacity = sizeof buffer;
  TcpCall(device, Quorvane::QVDEVICE_SPECIFIC_40, buffer, &capacity);
  return buffer;
}

// A device closed at scope end.
struct Device {
  void* handle = nullptr;
  explicit Device(void* made) : handle(made) {}
  ~Device() {
    if (handle != nullptr) TcpCall(handle, Quorvane::QVDEVICE_CLOSE);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  std::string Name() const {
    char buffer[256] = {};
    long capacity = sizeof buffer;
    TcpCall(handle, Quorvane::QVDEVICE_NAME, buffer, &capacity);
    return std::string(buffer, static_cast<size_t>(capacity));
  }
  int Port() const { return std::atoi(Name().c_str()); }
  // Every later wait of the device ends by the deadline (with 25).
  void Bound(std::chrono::seconds within = std::chrono::seconds(10)) {
    deadline = std::chrono::steady_clock::now() + within;
    Yield(&UntilDeadline, &deadline);
  }
  void Yield(int (*function)(void*, QVYieldParams*), void* cookie = nullptr) {
    TcpCall(handle, Quorvane::QVDEVICE_SET_YIELD_FUNCTION, reinterpret_cast<void*>(function), cookie);
  }
  std::chrono::steady_clock::time_point deadline;
};

// Writes data through the device's windows, reading acknowledgements when no
// window is free: 0 or the failing answer.
inline long WriteThrough(void* device, const std::string& data) {
  char* window = nullptr;
  long size = 0;
  long answer = TcpCall(device, Quorvane::QVDEVICE_WRITE_WINDOW, &window, &size);
  size_t at = 0;
  for (int round = 0; answer == 0 && at < data.size() && round < 100000; ++round) {
    if (window == nullptr) {
      char* segment = nullptr;
      long length = 0;
      answer = TcpCall(device, Quorvane::QVDEVICE_READ, &segment, &length);
      if (answer == 0) answer = TcpCall(device, Quorvane::QVDEVICE_WRITE_WINDOW, &window, &size);
      continue;
    }
    long placed = static_cast<long>(std::min<size_t>(static_cast<size_t>(size), data.size() - at));
    std::memcpy(window, data.data() + at, static_cast<size_t>(placed));
    at += static_cast<size_t>(placed);
    answer = TcpCall(device, Quorvane::QVDEVICE_WRITE, &window, &placed);
  }
  // The last window goes out once a window is free again.
  for (int round = 0; answer == 0 && window == nullptr && round < 1000; ++round) {
    char* segment = nullptr;
    long length = 0;
    answer = TcpCall(device, Quorvane::QVDEVICE_READ, &segment, &length);
    if (answer == 0) answer = TcpCall(device, Quorvane::QVDEVICE_WRITE_WINDOW, &window, &size);
  }
  return answer;
}

// Reads count data bytes: 0 or the failing answer.
inline long ReadThrough(void* device, size_t count, std::string* got) {
  for (int round = 0; got->size() < count && round < 100000; ++round) {
    char* segment = nullptr;
    long length = 0;
    const long answer = TcpCall(device, Quorvane::QVDEVICE_READ, &segment, &length);
    if (answer != 0) return answer;
    got->append(segment == nullptr ? "" : std::string(segment, static_cast<size_t>(length)));
  }
  return got->size() == count ? 0 : -1;
}

// A raw socket the test drives as the other side.
class RawSocket {
 public:
  RawSocket() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  explicit RawSocket(int fd) : fd_(fd) {}
  ~RawSocket() {
    if (fd_ >= 0) close(fd_);
  }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;
  int fd() const { return fd_; }
  int LocalPort() const {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
  }

  bool Bind(const char* address, int port) {
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = Address(address, port);
    return bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  bool Connect(const char* address, int port) {
    sockaddr_in a = Address(address, port);
    return connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  // Listens on a port of the system's choice on 127.0.0.1 and answers it.
  int Listen() {
    if (!Bind("127.0.0.1", 0) || listen(fd_, 4) != 0) return -1;
    return LocalPort();
  }
  // A connection accepted within the deadline, or -1.
  int Accept(int milliseconds = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, milliseconds) != 1) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }
  bool Send(const std::string& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Up to count bytes, each within the deadline; stops early at end of file.
  std::string Receive(size_t count, int milliseconds = 5000) {
    std::string got;
    while (got.size() < count) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, milliseconds) != 1) break;
      char buffer[4096];
      const size_t want = count - got.size() < sizeof buffer ? count - got.size() : sizeof buffer;
      const ssize_t n = recv(fd_, buffer, want, 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  // Bytes up to and including the terminator byte.
  std::string ReceiveThrough(char terminator, size_t limit = 64) {
    std::string got;
    while (got.size() < limit) {
      const std::string one = Receive(1);
      if (one.empty()) break;
      got += one;
      if (one[0] == terminator) break;
    }
    return got;
  }
  // True when the peer closed within the deadline.
  bool SeesEnd(int milliseconds = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, milliseconds) != 1) return false;
    char byte = 0;
    return recv(fd_, &byte, 1, 0) <= 0;
  }

 private:
  static sockaddr_in Address(const char* address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
  }
  int fd_;
};

// A listener waiting with a yield function that ends the wait after ten
// seconds; the connect runs on its own thread.
struct WaitingListener {
  qvtest::TcpWorld world;
  std::unique_ptr<Device> server;
  std::future<long> connected;

  void Start(unsigned long options) {
    long error = 0;
    server = std::make_unique<Device>(world.Make("TCP", /* Listen */ 2, "", "", options, &error));
    ASSERT_NE(server->handle, nullptr) << error;
    server->Bound();
    connected = std::async(std::launch::async, [this] { return TcpCall(server->handle, Quorvane::QVDEVICE_CONNECT); });
  }
  ~WaitingListener() {
    if (connected.valid()) connected.wait();
  }
  bool StillWaiting() { return connected.wait_for(std::chrono::seconds(0)) == std::future_status::timeout; }
  // A client from the address that sends no side-channel request.
  void ConnectFrom(const char* address, RawSocket* client) {
    ASSERT_TRUE(client->Bind(address, 0));
    ASSERT_TRUE(client->Connect("127.0.0.1", server->Port()));
    ASSERT_TRUE(client->Send("Yang "));
  }
  // The connect ends with the peer, which the device then reports.
  void ExpectConnected(RawSocket* peer, uint64_t address) {
    EXPECT_EQ(peer->Receive(4), "Yin ");
    ASSERT_EQ(connected.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(connected.get(), 0);
    ExpectPeer(address, peer->LocalPort());
  }
  void ExpectPeer(uint64_t address, int port) {
    uint64_t peerAddress = 0;
    uint16_t peerPort = 0;
    EXPECT_EQ(TcpCall(server->handle, Quorvane::QVDEVICE_SPECIFIC_34, &peerAddress), 0);
    EXPECT_EQ(TcpCall(server->handle, Quorvane::QVDEVICE_SPECIFIC_35, &peerPort), 0);
    EXPECT_EQ(peerAddress, address);
    EXPECT_EQ(peerPort, port);
  }
};

}  // namespace qvtest

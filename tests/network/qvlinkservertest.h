// Helpers of the link-server tests: an environment with a server on
// 127.0.0.1, a collector of the links its callback receives, raw connections
// that send identification lines, and the Python client.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorvane.h"
#include "support/qvtest.h"

namespace qvlinkservertest {

inline std::string Line(const std::string& id, const std::string& kind) { return "id=" + id + " connection=" + kind; }

// 36 upper-case characters in the 8-4-4-4-12 shape, distinct per number.
inline std::string Id(unsigned number) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-0000-4000-8000-%012X", number, number * 7919u);
  return text;
}

// A TCP connection to 127.0.0.1, closed when the object goes.
class Connection {
 public:
  // A socket not yet connected.
  Connection() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {}
  explicit Connection(unsigned short port) : Connection() { Connect(port); }
  bool Connect(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    return connected_;
  }
  ~Connection() {
    if (fd_ >= 0) ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  bool Send(const std::string& bytes) const {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // The peer closed the connection (end of stream or reset); nothing is waited for.
  bool ClosedQ() const {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, 0) != 1) return false;
    char byte;
    return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
  }

 private:
  int fd_;
  bool connected_ = false;
};

// The two halves of one client, as a connecting device would send them.
struct RawPair {
  RawPair(unsigned short port, const std::string& id) : data(port), mesg(port) {
    ok = data.connected() && mesg.connected() && data.Send(Line(id, "data")) && mesg.Send(Line(id, "mesg"));
  }
  Connection data;
  Connection mesg;
  bool ok = false;
};

// Links handed to the server's callback. The server's context points here.
class Collector {
 public:
  static void Receive(RVLinkServer* server, QVLink* link) {
    auto* self = static_cast<Collector*>(RVContextFromLinkServer(server, nullptr));
    std::lock_guard<std::mutex> hold(self->lock_);
    self->links_.push_back(link);
  }
  size_t size() {
    std::lock_guard<std::mutex> hold(lock_);
    return links_.size();
  }
  std::vector<QVLink*> links() {
    std::lock_guard<std::mutex> hold(lock_);
    return links_;
  }
  // Waits for the next link not yet taken; null when none comes in time.
  QVLink* Next() {
    if (!qvtest::WaitUntil([&] { return size() > taken_; })) return nullptr;
    std::lock_guard<std::mutex> hold(lock_);
    return links_[taken_++];
  }

 private:
  std::mutex lock_;
  std::vector<QVLink*> links_;
  size_t taken_ = 0;
};

// An environment and a server on 127.0.0.1 with a system-chosen port.
class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_ = RVInitialize(nullptr);
    ASSERT_NE(environment_, nullptr);
  }
  void TearDown() override {
    RVShutdownLinkServer(server_);
    RVDeinitialize(environment_);
  }
  void Serve(void* context = nullptr) {
    int error = -2;
    server_ = RVNewLinkServerWithPortAndInterface(environment_, 0, "127.0.0.1", context, &error);
    ASSERT_NE(server_, nullptr);
    ASSERT_EQ(error, 0);
    port_ = RVPortFromLinkServer(server_, &error);
    ASSERT_NE(port_, 0);
  }
  void ServeToCollector() {
    Serve(&collector_);
    RVRegisterCallbackFunctionWithLinkServer(server_, &Collector::Receive);
  }

  // A raw pair with the id of number becomes one link for the collector,
  // which is closed here.
  void ExpectPairBecomesLink(unsigned number) {
    RawPair pair(port_, Id(number));
    ASSERT_TRUE(pair.ok);
    QVLink* link = collector_.Next();
    ASSERT_NE(link, nullptr);
    RVClose(link);
  }

  RVEnvironment* environment_ = nullptr;
  RVLinkServer* server_ = nullptr;
  unsigned short port_ = 0;
  Collector collector_;
};

// The Python client of one case, running until Lines() collects its report.
class PythonClient {
 public:
  PythonClient(unsigned short port, const std::string& name) {
    const std::string command = "python3 " QV_SOURCE_DIR "/tests/network/qvlinkserver_client.py " +
                                std::to_string(port) + " " + name;
    pipe_ = ::popen(command.c_str(), "r");
  }
  ~PythonClient() {
    if (pipe_ != nullptr) ::pclose(pipe_);
  }
  PythonClient(const PythonClient&) = delete;
  PythonClient& operator=(const PythonClient&) = delete;

  bool started() const { return pipe_ != nullptr; }
  // Every line it printed; status is its exit status.
  std::vector<std::string> Lines(int* status) {
    std::vector<std::string> lines;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe_) != nullptr) {
      std::string text(buffer);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      lines.push_back(text);
    }
    *status = ::pclose(pipe_);
    pipe_ = nullptr;
    return lines;
  }

 private:
  FILE* pipe_ = nullptr;
};

}  // namespace qvlinkservertest

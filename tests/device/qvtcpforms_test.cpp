// The TCP device's operations outside its interface function, with the peer
// in a second process: the connection questions and the user data on both
// ends, and the stub handler that holds a device from its connect until a
// handler is set (also as a public link answers it). Inside a network
// namespace of the test's own.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "quorvane.h"
#include "tests/device/qvtcptest.h"
#include "tests/support/qvtest.h"
#include "utilities/qvsignalsblocked.h"

namespace {

using namespace Quorvane;
using qvtest::Device;
using qvtest::TcpCall;

// Before main: unshare needs a process of one thread.
const bool kPrivateNetwork = qvtest::EnterPrivateNetwork();

constexpr unsigned long kListen = 2;
constexpr unsigned long kConnect = 4;

// A byte from the other process within the deadline.
bool AwaitByte(int fd) {
  pollfd p{fd, POLLIN, 0};
  char byte = 0;
  return poll(&p, 1, 20000) == 1 && read(fd, &byte, 1) == 1;
}

// The second process, run by body with the read end of a pipe from the
// test; killed and reaped if the test leaves early.
class Peer {
 public:
  template <typename Body>
  explicit Peer(Body body) {
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    child_ = fork();
    if (child_ == 0) {
      close(fds[1]);
      body(fds[0]);
      _exit(1);
    }
    close(fds[0]);
    to_ = fds[1];
  }
  ~Peer() {
    if (to_ >= 0) close(to_);
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  bool Started() const { return child_ > 0 && to_ >= 0; }
  bool Tell(const std::string& text) {
    return write(to_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  // Its exit status within the deadline, or -1.
  int ExitStatus() {
    int status = -1;
    if (!qvtest::WaitUntil([&] { return waitpid(child_, &status, WNOHANG) == child_; })) return -1;
    child_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t child_ = -1;
  int to_ = -1;
};

// A listening device on a port of the system's choice, its waits bounded.
struct Listener {
  qvtest::TcpWorld world;
  std::unique_ptr<Device> device;
  void Open() {
    long error = 0;
    device = std::make_unique<Device>(world.Make("TCP", kListen, "", "", 0, &error));
    ASSERT_NE(device->handle, nullptr) << error;
    device->Bound();
  }
  std::string Address() const { return std::to_string(device->Port()) + "@127.0.0.1"; }
};

// The connecting process of the first test: its answers before and after the
// connect, then "hello" once told, then reads until the listener closes.
[[noreturn]] void AskingConnector(const std::string& address, int go) {
  qvtest::TcpWorld world;
  long error = 0;
  Device client(world.Make("TCP", kConnect, address, "", 0, &error));
  if (client.handle == nullptr) _exit(2);
  client.Bound();
  int mine = 0;
  socket_setuserdata(client.handle, &mine);
  // Not listening: it needs no peer to be asked, and has nothing to wait for.
  if (socket_has_connection(client.handle) != 1 || socket_hasdata(client.handle) != 1) _exit(3);
  if (TcpCall(client.handle, QVDEVICE_CONNECT) != 0) _exit(4);
  if (socket_has_connection(client.handle) != 1 || socket_hasdata(client.handle) != 0) _exit(5);
  if (socket_userdata(client.handle) != &mine) _exit(6);
  if (!AwaitByte(go)) _exit(7);
  if (qvtest::WriteThrough(client.handle, "hello") != 0) _exit(8);
  std::string rest;
  _exit(qvtest::ReadThrough(client.handle, 1, &rest) == 11 ? 0 : 9);
}

TEST(TcpForms, ConnectionQuestionsAndUserDataOnBothEnds) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  Listener listener;
  ASSERT_NO_FATAL_FAILURE(listener.Open());
  void* server = listener.device->handle;
  EXPECT_EQ(socket_has_connection(server), 0);
  EXPECT_EQ(socket_hasdata(server), 0);  // no client waits to be accepted
  int mine = 0;
  socket_setuserdata(server, &mine);
  Peer peer([&](int go) { AskingConnector(listener.Address(), go); });
  ASSERT_TRUE(peer.Started());
  // Before the accept the listening socket is the one asked.
  EXPECT_TRUE(qvtest::WaitUntil([&] { return socket_hasdata(server) == 1; })) << "no client came";
  EXPECT_EQ(socket_has_connection(server), 0);
  ASSERT_EQ(TcpCall(server, QVDEVICE_CONNECT), 0);
  EXPECT_EQ(socket_has_connection(server), 1);
  EXPECT_EQ(socket_hasdata(server), 0);
  EXPECT_EQ(socket_userdata(server), &mine);
  // The peer's address and port go only into a buffer that holds them.
  for (auto [selector, bytes] :
       {std::pair{QVDEVICE_SPECIFIC_34, sizeof(uint64_t)}, std::pair{QVDEVICE_SPECIFIC_35, sizeof(uint16_t)}}) {
    unsigned char answer[8] = {};
    long size = static_cast<long>(bytes) - 1;
    EXPECT_EQ(TcpCall(server, selector, answer, &size), -1) << selector;
    EXPECT_TRUE(std::all_of(std::begin(answer), std::end(answer), [](unsigned char b) { return b == 0; })) << selector;
    size = static_cast<long>(bytes);
    EXPECT_EQ(TcpCall(server, selector, answer, &size), 0) << selector;
  }
  socket_notifyForClosedConnection(server);
  socket_notifyForClosedConnection(nullptr);
  ASSERT_TRUE(peer.Tell("g"));
  EXPECT_TRUE(qvtest::WaitUntil([&] { return socket_hasdata(server) == 1; })) << "no data came";
  std::string got;
  EXPECT_EQ(qvtest::ReadThrough(server, 5, &got), 0);
  EXPECT_EQ(got, "hello");
  listener.device.reset();
  EXPECT_EQ(peer.ExitStatus(), 0);
  EXPECT_EQ(socket_userdata(nullptr), nullptr);
  EXPECT_EQ(socket_has_connection(nullptr), -1);
  EXPECT_EQ(socket_hasdata(nullptr), -1);
}

std::atomic<long> gHeardCode{0};
std::atomic<long> gHeardArgument{0};
std::atomic<int> gHeardCount{0};
void Hear(void*, int code, int argument) {
  gHeardArgument = argument;
  gHeardCode = code;
  ++gHeardCount;
}

// The connecting process of the second test: a record right after the
// connect, another once told, then reads until the listener closes.
[[noreturn]] void MessagingConnector(const std::string& address, int go) {
  qvtest::TcpWorld world;
  long error = 0;
  Device client(world.Make("TCP", kConnect, address, "", 0, &error));
  if (client.handle == nullptr) _exit(2);
  client.Bound();
  if (TcpCall(client.handle, QVDEVICE_CONNECT) != 0) _exit(3);
  long code = 1, argument = 11;
  if (TcpCall(client.handle, QVDEVICE_WRITE_MESSAGE, &code, &argument) != 0) _exit(4);
  if (!AwaitByte(go)) _exit(5);
  code = 2;
  argument = 22;
  if (TcpCall(client.handle, QVDEVICE_WRITE_MESSAGE, &code, &argument) != 0) _exit(6);
  std::string rest;
  _exit(qvtest::ReadThrough(client.handle, 1, &rest) == 11 ? 0 : 7);
}

// Whether a record waits on the device (selector 24).
bool RecordWaits(void* device) {
  long waiting = 0, alsoWaiting = 0;
  return TcpCall(device, QVDEVICE_HAS_MESSAGE, &alsoWaiting, &waiting) == 0 && waiting == 1;
}

// SIGIO is held back here and its dispatch run by the test once a record has
// come, so what the stub takes is known to be taken before a handler is set.
TEST(TcpForms, StubHandlerDropsWhatComesBeforeAHandlerIsSet) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  const SignalsBlocked held({SIGIO, SIGURG});
  Listener listener;
  ASSERT_NO_FATAL_FAILURE(listener.Open());
  void* server = listener.device->handle;
  Peer peer([&](int go) { MessagingConnector(listener.Address(), go); });
  ASSERT_TRUE(peer.Started());
  ASSERT_EQ(TcpCall(server, QVDEVICE_CONNECT), 0);
  qv_message_handler handler = nullptr;
  void* cookie = &handler;
  ASSERT_EQ(TcpCall(server, QVDEVICE_GET_MESSAGE_HANDLER, &handler, &cookie), 0);
  EXPECT_EQ(handler, &socket_stubhandler);
  EXPECT_EQ(cookie, nullptr);

  ASSERT_TRUE(qvtest::WaitUntil([&] { return RecordWaits(server); })) << "the first record did not come";
  unix_signal_handler(SIGIO);
  EXPECT_FALSE(RecordWaits(server)) << "the stub left the record waiting";

  gHeardCount = 0;
  ASSERT_EQ(TcpCall(server, QVDEVICE_SET_MESSAGE_HANDLER, reinterpret_cast<void*>(&Hear), nullptr), 0);
  ASSERT_TRUE(peer.Tell("g"));
  ASSERT_TRUE(qvtest::WaitUntil([&] { return RecordWaits(server); })) << "the second record did not come";
  unix_signal_handler(SIGIO);
  EXPECT_EQ(gHeardCount.load(), 1);
  EXPECT_EQ(std::make_pair(gHeardCode.load(), gHeardArgument.load()), std::make_pair(2L, 22L));
  listener.device.reset();
  EXPECT_EQ(peer.ExitStatus(), 0);
}

// Each end of a connected public link answers the stub until its program
// sets a handler. The listening end tells its name.
int StubbedLinkEnd(const std::string& command, const std::function<bool(const std::string&)>& tell = nullptr) {
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 20;
  int answer = 0;
  QVLink* link = qvtest::OpenLinkWithDeadline(environment, command);
  if (link == nullptr) answer = 21;
  if (answer == 0 && tell && !tell(RVName(link))) answer = 22;
  if (answer == 0 && RVActivate(link) == 0) answer = 23;
  if (answer == 0 && RVGetMessageHandler(link) != &socket_stubhandler) answer = 24;
  if (answer == 0 && (RVSetMessageHandler(link, &Hear) != 1 || RVGetMessageHandler(link) != &Hear)) answer = 25;
  if (link != nullptr) RVClose(link);
  RVDeinitialize(environment);
  return answer;
}

TEST(TcpForms, APublicLinkAnswersTheStubHandlerUntilOneIsSet) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  Peer peer([&](int name) {
    char told[256] = {};
    pollfd entry{name, POLLIN, 0};
    if (poll(&entry, 1, 20000) != 1 || read(name, told, sizeof told - 1) <= 0) _exit(10);
    const std::string port = std::string(told).substr(0, std::string(told).find('@'));
    _exit(StubbedLinkEnd("-linkprotocol TCP -linkmode connect -linkname " + port + "@127.0.0.1"));
  });
  ASSERT_TRUE(peer.Started());
  const std::string listening = "-linkprotocol TCP -linkmode listen -linkname 0";
  EXPECT_EQ(StubbedLinkEnd(listening, [&](const std::string& name) { return peer.Tell(name); }), 0);
  EXPECT_EQ(peer.ExitStatus(), 0);
}

}  // namespace

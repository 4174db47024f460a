// The TCP device against a peer written separately in Python from the wire
// rules (qvtcp_peer.py), with the device in either role: side channel, role
// words, windows of at most 972 data bytes with their acknowledgements, and
// the close marker, checked byte by byte on the Python side. Every wait of
// the device ends at a deadline, and the peer is killed when it overstays.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/qvtest.h"
#include "tests/device/qvtcptest.h"
#include "tests/utilities/qvtestprocesses.h"

namespace {

using namespace Quorvane;
using qvtest::Device;
using qvtest::TcpCall;

const bool kPrivateNetwork = qvtest::EnterPrivateNetwork();
const std::string kPeer = std::string(QV_SOURCE_DIR) + "/tests/device/qvtcp_peer.py";

std::string Pattern() {
  std::string text(2600, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>((i * 7 + 3) % 256);
  return text;
}

// The peer as a child; its first output line (a port) when it listens.
struct Peer {
  pid_t pid = -1;
  int port = 0;
  std::unique_ptr<qvtest::ChildKiller> killer;  // until the peer is reaped
  Peer(const char* mode, const std::string& port_argument, bool listens) {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      execlp("python3", "python3", kPeer.c_str(), mode, port_argument.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    killer = std::make_unique<qvtest::ChildKiller>(pid);
    close(out[1]);
    if (listens) {
      std::string line;
      char c = 0;
      pollfd p{out[0], POLLIN, 0};
      for (int i = 0; i < 16 && poll(&p, 1, 10000) == 1 && read(out[0], &c, 1) == 1 && c != '\n'; ++i) line += c;
      port = std::atoi(line.c_str());
    }
    close(out[0]);
  }
  // Exit status within the deadline, else -1 (and the peer is killed).
  int Status() {
    int status = -1;
    const bool ended = qvtest::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(10));
    if (!ended) return -1;
    killer->release();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

// Takes the peer's pattern, sends its own, waits for every acknowledgement
// and closes.
void Exchange(void* device) {
  const std::string pattern = Pattern();
  std::string got;
  for (int round = 0; got.size() < pattern.size() && round < 10000; ++round) {
    char* segment = nullptr;
    long length = 0;
    ASSERT_EQ(TcpCall(device, QVDEVICE_READ, &segment, &length), 0);
    if (segment != nullptr) got.append(segment, static_cast<size_t>(length));
  }
  EXPECT_EQ(got, pattern);
  char* window = nullptr;
  long size = 0;
  ASSERT_EQ(TcpCall(device, QVDEVICE_WRITE_WINDOW, &window, &size), 0);
  size_t at = 0;
  for (int round = 0; (at < pattern.size() || window == nullptr) && round < 10000; ++round) {
    if (window == nullptr) {
      char* segment = nullptr;
      long length = 0;
      ASSERT_EQ(TcpCall(device, QVDEVICE_READ, &segment, &length), 0);
      ASSERT_EQ(TcpCall(device, QVDEVICE_WRITE_WINDOW, &window, &size), 0);
      continue;
    }
    long placed = static_cast<long>(std::min(pattern.size() - at, static_cast<size_t>(size)));
    std::memcpy(window, pattern.data() + at, static_cast<size_t>(placed));
    at += static_cast<size_t>(placed);
    ASSERT_EQ(TcpCall(device, QVDEVICE_WRITE, &window, &placed), 0);
  }
  for (int round = 0; TcpCall(device, QVDEVICE_ACKNOWLEDGE) != 0 && round < 100; ++round) {
    char* segment = nullptr;
    long length = 0;
    ASSERT_EQ(TcpCall(device, QVDEVICE_READ, &segment, &length), 0);
  }
  EXPECT_EQ(TcpCall(device, QVDEVICE_ACKNOWLEDGE), 0);
}

TEST(TcpPython, DeviceListensPeerConnects) {
  QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  qvtest::TcpWorld world;
  long error = 0;
  Device server(world.Make("TCP", 2, "", "", 0, &error));
  ASSERT_NE(server.handle, nullptr);
  server.Bound();
  Peer peer("client", std::to_string(server.Port()), false);
  ASSERT_EQ(TcpCall(server.handle, QVDEVICE_CONNECT), 0);
  ASSERT_NO_FATAL_FAILURE(Exchange(server.handle));
  TcpCall(server.handle, QVDEVICE_CLOSE);
  server.handle = nullptr;
  EXPECT_EQ(peer.Status(), 0);
}

TEST(TcpPython, DeviceConnectsPeerListens) {
  qvtest::TcpWorld world;
  Peer peer("server", "", true);
  ASSERT_GT(peer.port, 0);
  long error = 0;
  Device client(world.Make("TCP", 4, std::to_string(peer.port), "127.0.0.1", 0, &error));
  ASSERT_NE(client.handle, nullptr);
  client.Bound();
  ASSERT_EQ(TcpCall(client.handle, QVDEVICE_CONNECT), 0);
  ASSERT_NO_FATAL_FAILURE(Exchange(client.handle));
  TcpCall(client.handle, QVDEVICE_CLOSE);
  client.handle = nullptr;
  EXPECT_EQ(peer.Status(), 0);
}

TEST(TcpPython, PeerAnsweringOnlyYFailsTheConnect) {
  qvtest::TcpWorld world;
  Peer peer("only-y", "", true);
  ASSERT_GT(peer.port, 0);
  long error = 0;
  Device client(world.Make("TCP", 4, std::to_string(peer.port) + "@127.0.0.1", "", 0, &error));
  ASSERT_NE(client.handle, nullptr);
  client.Bound();
  EXPECT_EQ(TcpCall(client.handle, QVDEVICE_CONNECT), 1);
  TcpCall(client.handle, QVDEVICE_CLOSE);
  client.handle = nullptr;
  EXPECT_EQ(peer.Status(), 0);
}

}  // namespace

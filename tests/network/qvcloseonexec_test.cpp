// Link sockets are close-on-exec from the moment they exist: listeners,
// connectors and accepted connections (also those taken in place of a
// listener's descriptor, and copies), of the end points and of the procedural
// devices' socket calls; a program launched afterwards holds none of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "api/qvenvironment.h"
#include "device/qvsockcalls.h"
#include "network/qvendpoint.h"
#include "quorvane.h"
#include "tests/api/qvenvironmenttest.h"
#include "tests/support/qvscripteddevice.h"
#include "tests/support/qvtest.h"

namespace {

using Quorvane::QVEndPoint;
using Quorvane::QVIPAddress;

bool CloseOnExecQ(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  return flags != -1 && (flags & FD_CLOEXEC) != 0;
}

QVEndPoint LoopbackListener() {
  QVEndPoint listener(Quorvane::QVIPV4, Quorvane::QVStream,
                      QVIPAddress("127.0.0.1", Quorvane::QVIPV4, static_cast<unsigned short>(0)));
  listener.SetForListening();
  return listener;
}

// The end points' listener, connector and accepted connection.
struct EndPointTrio {
  QVEndPoint listener = LoopbackListener();
  QVEndPoint client{Quorvane::QVIPV4, Quorvane::QVStream,
                    QVIPAddress("127.0.0.1", Quorvane::QVIPV4, listener.GetPort())};
  QVEndPoint accepted;
  EndPointTrio() {
    client.Connect();
    accepted = listener.GetIncomingConnection(5.0);
  }
};

// Connections that replace or copy a descriptor: a listener that takes the
// connection in place of its own descriptor (the shared-memory side channel
// and the TCPIP listeners do so), and copies of an accepted connection.
struct Duplicates {
  QVEndPoint inPlace = LoopbackListener();
  QVEndPoint client{Quorvane::QVIPV4, Quorvane::QVStream,
                    QVIPAddress("127.0.0.1", Quorvane::QVIPV4, inPlace.GetPort())};
  EndPointTrio trio;
  QVEndPoint copy;
  Duplicates() {
    client.Connect();
    inPlace.GetIncomingAndDuplicate(5.0);
    copy = trio.accepted.Duplicate();
  }
};

// The procedural devices' calls: a listener on loopback, and what it accepts.
struct RawCalls {
  int listener = qvsock__socket();
  int client = -1;
  int accepted = -1;
  RawCalls() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (qvsock__bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        qvsock__listen(listener, 1) != 0 ||
        qvsock__getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    client = qvsock__socket();
    if (qvsock__connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    accepted = qvsock__accept(listener, nullptr, nullptr);
  }
  ~RawCalls() {
    for (int fd : {listener, client, accepted}) {
      if (fd >= 0) close(fd);
    }
  }
  RawCalls(const RawCalls&) = delete;
  RawCalls& operator=(const RawCalls&) = delete;
};

TEST(CloseOnExec, EveryLinkSocketIsCloseOnExecAsMade) {
  EndPointTrio points;
  RawCalls raw;
  Duplicates copies;
  const struct {
    const char* what;
    int fd;
  } cases[] = {
      {"end point listener", points.listener.GetSocket().GetRawSocket()},
      {"end point connector", points.client.GetSocket().GetRawSocket()},
      {"end point accepted", points.accepted.GetSocket().GetRawSocket()},
      {"socket call listener", raw.listener},
      {"socket call connector", raw.client},
      {"socket call accepted", raw.accepted},
      {"end point accepted in place", copies.inPlace.GetSocket().GetRawSocket()},
      {"end point copy", copies.copy.GetSocket().GetRawSocket()},
  };
  for (const auto& c : cases) {
    ASSERT_GE(c.fd, 0) << c.what;
    EXPECT_TRUE(CloseOnExecQ(c.fd)) << c.what;
  }
}

// The inode of the socket at fd, as /proc shows it: "socket:[N]".
std::string SocketName(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return "";
  return "socket:[" + std::to_string(st.st_ino) + "]";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A program launched over a link while connections stand. The launch closes
// the low descriptors in the child itself; connections numbered beyond that
// sweep are the ones only close-on-exec keeps out, so the low numbers are
// taken first.
class CloseOnExecLaunch : public ::testing::Test {
 protected:
  static constexpr int kSweepEnd = 1024;

  void SetUp() override {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < kSweepEnd + 64) {
      if (limit.rlim_max < kSweepEnd + 64) GTEST_SKIP() << "descriptor limit too low";
      limit.rlim_cur = kSweepEnd + 64;
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    for (;;) {
      const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      if (fd >= kSweepEnd) {
        close(fd);
        break;
      }
      fillers_.push_back(fd);
    }
    RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
    ASSERT_NE(parameters, nullptr);
    environment_.reset(RVBegin(parameters));
    RVReleaseParameters(parameters);
    ASSERT_NE(environment_, nullptr);
    qvtest::QueueScriptedWorld({"P", 0, 0});
    environment_->deviceManager->registerWorldForTesting(qvtest::ScriptedWorldFunction());
  }

  void TearDown() override {
    for (int fd : fillers_) close(fd);
  }

  // The descriptor list of a launched program, as it saw it.
  std::string LaunchAndList() {
    const std::string helper = dir_.file("helper");
    const std::string out = dir_.file("fds");
    std::ofstream(helper) << "#!/bin/sh\nls -l /proc/$$/fd > " << out << ".tmp && mv " << out << ".tmp " << out
                          << "\n";
    chmod(helper.c_str(), 0755);
    std::vector<char*> argv = {const_cast<char*>("-linkprotocol"), const_cast<char*>("P"),
                               const_cast<char*>("-linkmode"),     const_cast<char*>("launch"),
                               const_cast<char*>("-linkname"),     const_cast<char*>(helper.c_str()),
                               nullptr};
    int error = -1;
    QVLink* link = RVOpenArgcArgv(environment_.get(), 6, argv.data(), &error);
    EXPECT_NE(link, nullptr) << error;
    EXPECT_TRUE(qvtest::WaitUntil([&] { return access(out.c_str(), F_OK) == 0; }));
    if (link != nullptr) RVClose(link);
    return ReadFile(out);
  }

  std::vector<int> fillers_;
  qvtest::TempDir dir_;
  qvtest::EnvironmentHandle environment_;
};

TEST_F(CloseOnExecLaunch, HoldsNoLinkSocket) {
  EndPointTrio points;
  RawCalls raw;
  Duplicates copies;
  const int fds[] = {points.listener.GetSocket().GetRawSocket(), points.accepted.GetSocket().GetRawSocket(),
                     raw.listener, raw.accepted, copies.inPlace.GetSocket().GetRawSocket(),
                     copies.copy.GetSocket().GetRawSocket()};
  for (int fd : fds) ASSERT_GE(fd, kSweepEnd);
  const std::string listing = LaunchAndList();
  ASSERT_NE(listing.find("->"), std::string::npos) << listing;
  for (int fd : fds) EXPECT_EQ(listing.find(SocketName(fd)), std::string::npos) << fd << "\n" << listing;
}

}  // namespace

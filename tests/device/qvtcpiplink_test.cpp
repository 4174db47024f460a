// Two programs joined by "TCPIP" links opened from link options, in each wire
// model over IPv4 and IPv6 loopback (the identified one through a link
// server); a link whose sends fail reports it on the next put or flush; and
// the installable program served over such a link: a terminate message ends
// it with status 0, also when idle.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "network/qvlinkserver.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/device/qvtcpiptest.h"
#include "utilities/qvtestprocesses.h"

namespace {

constexpr int kReals = 50000;  // many chunks of the writer's queue

double RealAt(int i) { return i * 0.25 - 1e200 * (i % 3); }

QVLink* Open(RVEnvironment* environment, const std::string& command) {
  int error = 0;
  return RVOpenString(environment, command.c_str(), &error);
}

// The connecting program: sends List[reals...], reads back their count.
int Connector(int nameFd, const std::string& options) {
  char name[256] = {};
  pollfd entry{nameFd, POLLIN, 0};
  if (::poll(&entry, 1, 20000) != 1 || ::read(nameFd, name, sizeof name - 1) <= 0) return 10;
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 11;
  int answer = 12;
  if (QVLink* link = Open(environment, "-linkprotocol TCPIP -linkmode connect -linkname " + std::string(name) + options)) {
    bool ok = RVActivate(link) != 0 && RVPutFunction(link, "List", kReals) != 0;
    for (int i = 0; i < kReals && ok; ++i) ok = RVPutReal64(link, RealAt(i)) != 0;
    ok = ok && RVEndPacket(link) && RVFlush(link);
    int count = 0;
    ok = ok && RVGetInteger32(link, &count) && count == kReals;
    answer = ok ? 0 : 13;
    RVClose(link);
  }
  RVDeinitialize(environment);
  return answer;
}

// The other side of Connector: takes the reals and answers their count.
void ReceiveRealsAndAnswer(QVLink* link) {
  ASSERT_NE(RVActivate(link), 0);
  double* reals = nullptr;
  int count = 0;
  ASSERT_EQ(RVGetReal64List(link, &reals, &count), 1);
  int wrong = 0;
  for (int i = 0; i < count; ++i) wrong += reals[i] != RealAt(i);
  RVReleaseReal64List(link, reals, count);
  EXPECT_EQ(count, kReals);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(RVPutInteger32(link, count), 1);
  EXPECT_EQ(RVFlush(link), 1);
}

struct LinkCase {
  const char* options;
  const char* host;
};

class TCPIPLinkTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(TCPIPLinkTest, TwoProcessesExchangeExpressions) {
  const LinkCase& c = GetParam();
  if (std::string(c.host) == "::1" && !qvtcpiptest::HasIPV6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  int names[2];
  ASSERT_EQ(::pipe(names), 0);
  const std::string options = c.options;
  const pid_t child = fork();
  if (child == 0) {
    ::close(names[1]);
    _exit(Connector(names[0], options));
  }
  ASSERT_GT(child, 0);
  ::close(names[0]);
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  QVLink* link = Open(environment, "-linkprotocol TCPIP -linkmode listen -linkname @" + std::string(c.host) + options);
  ASSERT_NE(link, nullptr);
  const std::string name = RVName(link);
  ASSERT_EQ(::write(names[1], name.data(), name.size()), static_cast<ssize_t>(name.size()));
  ::close(names[1]);
  ReceiveRealsAndAnswer(link);
  int status = -1;
  EXPECT_TRUE(qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  RVClose(link);
  RVDeinitialize(environment);
}

INSTANTIATE_TEST_SUITE_P(Models, TCPIPLinkTest,
                         ::testing::Values(LinkCase{"", "127.0.0.1"},
                                           LinkCase{" -linkoptions QVUseNewTCPIPConnection", "127.0.0.1"},
                                           LinkCase{"", "::1"},
                                           LinkCase{" -linkoptions QVUseNewTCPIPConnection", "::1"}),
                         [](const auto& param) {
                           const std::string options = param.param.options;
                           const std::string model = options.find("New") != std::string::npos ? "new" : "old";
                           return model + (std::string(param.param.host) == "::1" ? "_v6" : "_v4");
                         });

// The identified model: a connector in another process pairs its two
// connections at this process's link server, which hands the link over.
void TakeLink(RVLinkServer* server, QVLink* link) {
  static_cast<std::atomic<QVLink*>*>(RVContextFromLinkServer(server, nullptr))->store(link);
}

// The public calls make IPv4 servers only; an IPv6 one is made directly.
RVLinkServer* NewServer(RVEnvironment* environment, const std::string& host, void* context) {
  if (host.find(':') == std::string::npos) {
    int error = -2;
    return RVNewLinkServerWithPortAndInterface(environment, 0, host.c_str(), context, &error);
  }
  try {
    auto* server = new Quorvane::RVLinkServer(environment, 0, Quorvane::QVString(host.c_str()), true, nullptr);
    server->context = context;
    return server;
  } catch (const Quorvane::QVException&) {
    return nullptr;
  }
}

class TCPIPLinkServer : public ::testing::TestWithParam<const char*> {};

TEST_P(TCPIPLinkServer, IdentifiedConnectorInAnotherProcessExchangesExpressions) {
  const std::string host = GetParam();
  if (host == "::1" && !qvtcpiptest::HasIPV6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  int names[2];
  ASSERT_EQ(::pipe(names), 0);
  const pid_t child = fork();
  if (child == 0) {
    ::close(names[1]);
    _exit(Connector(names[0], " -linkoptions QVUseUUIDTCPIPConnection"));
  }
  ASSERT_GT(child, 0);
  ::close(names[0]);
  qvtest::ChildKiller killer(child);
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  std::atomic<QVLink*> delivered{nullptr};
  int error = -2;
  RVLinkServer* server = NewServer(environment, host, &delivered);
  ASSERT_NE(server, nullptr);
  RVRegisterCallbackFunctionWithLinkServer(server, &TakeLink);
  const std::string name = std::to_string(RVPortFromLinkServer(server, &error)) + "@" + host;
  ASSERT_EQ(::write(names[1], name.data(), name.size()), static_cast<ssize_t>(name.size()));
  ::close(names[1]);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return delivered.load() != nullptr; })) << "no link from the child";
  QVLink* link = delivered.load();
  ReceiveRealsAndAnswer(link);
  int status = -1;
  EXPECT_TRUE(qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }));
  if (WIFEXITED(status) || WIFSIGNALED(status)) killer.release();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  RVClose(link);
  RVShutdownLinkServer(server);
  RVDeinitialize(environment);
}

INSTANTIATE_TEST_SUITE_P(Hosts, TCPIPLinkServer, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto& param) { return std::string(param.param) == "::1" ? "v6" : "v4"; });

// The connector's data connection stops taking bytes while its message
// connection stays up: only the writer thread learns of it, and the link's
// next put or flush must fail rather than queue bytes nobody sends.
TEST(TCPIPLinkFailure, SendFailureMakesAPutOrFlushFailWithElevenInsteadOfQueueing) {
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  QVLink* listener = Open(environment, "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1 -linkoptions "
                                       "QVUseNewTCPIPConnection");
  ASSERT_NE(listener, nullptr);
  QVLink* connector = Open(environment, "-linkprotocol TCPIP -linkmode connect -linkoptions QVUseNewTCPIPConnection "
                                        "-linkname " + std::string(RVName(listener)));
  ASSERT_NE(connector, nullptr);
  std::atomic<int> accepted{0};
  std::thread accepting([&] { accepted = RVActivate(listener); });
  EXPECT_NE(RVActivate(connector), 0);
  accepting.join();
  ASSERT_NE(accepted.load(), 0);
  ASSERT_EQ(RVPutInteger32(connector, 1), 1);
  ASSERT_EQ(RVFlush(connector), 1);

  constexpr unsigned long kStreamDescriptor = 0x80000200UL;
  int descriptor = -1;
  long size = sizeof descriptor;
  ASSERT_EQ(RVDeviceInformation(connector, kStreamDescriptor, &descriptor, &size), 1);
  ASSERT_EQ(::shutdown(descriptor, SHUT_WR), 0);
  const bool failed = qvtest::WaitUntil([&] {
    return RVPutInteger32(connector, 2) == 0 || RVEndPacket(connector) == 0 || RVFlush(connector) == 0;
  });
  EXPECT_TRUE(failed) << "puts and flushes went on succeeding after the send failed";
  EXPECT_EQ(RVError(connector), 11);
  RVClose(connector);
  RVClose(listener);
  RVDeinitialize(environment);
}

TEST(TCPIPProgram, IdleProgramEndsWithStatusZeroOnTerminate) {
  // Without the program nothing would ever connect to the waiting listener.
  ASSERT_EQ(::access(QV_BINARY_DIR "/application/quorvane-algorithm3", X_OK), 0) << "build quorvane-algorithm3";
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  QVLink* link = Open(environment, "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1 -linkoptions "
                                   "QVUseNewTCPIPConnection");
  ASSERT_NE(link, nullptr);
  const std::string command = "env -u SSH_CLIENT '" QV_BINARY_DIR
                              "/application/quorvane-algorithm3' -linkprotocol TCPIP -linkmode connect "
                              "-linkoptions QVUseNewTCPIPConnection -linkname " +
                              std::string(RVName(link)) + " </dev/null";
  FILE* program = popen(command.c_str(), "r");
  ASSERT_NE(program, nullptr);
  ASSERT_NE(RVActivate(link), 0);
  // The program's installation arrives first; it then waits for a call.
  ASSERT_TRUE(qvtest::WaitUntil([&] { return RVReady(link) != 0; }));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RVPutMessage(link, 1), 1);
  const int status = pclose(program);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  RVClose(link);
  RVDeinitialize(environment);
}

}  // namespace

// Connecting a TCP link leaves SIGPIPE as the program set it; a TCPIP link
// makes the process ignore it, as its programs expect. Either way a write to a
// peer that has gone fails with an error instead of raising the signal, also
// once the program has set the signal back to its default. Each case runs in
// a child of its own, so a raised SIGPIPE ends that child, not the test
// program.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/api/qvenvironmenttest.h"
#include "tests/device/qvtcptest.h"

namespace {

const bool kPrivateNetwork = qvtest::EnterPrivateNetwork();

struct Device {
  const char* protocol;
  const char* listen;   // the listener's open string
  const char* options;  // appended to the connector's open string
  bool ignoresSigpipe;  // whether connecting makes the process ignore SIGPIPE
  // The name the connector opens, from the listener's name.
  std::string (*connectTo)(const std::string& listenerName);
};

// Exit codes of the two programs.
constexpr int kInterrupt = 2;

enum : int { kFine = 0, kNoLink = 2, kNoConnect = 3, kDispositionChanged = 4, kWriteNeverFailed = 5, kNoName = 6 };

bool SigpipeIsQ(void (*disposition)(int)) {
  struct sigaction now {};
  return sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler == disposition && (now.sa_flags & SA_SIGINFO) == 0;
}

// Whether connecting left the disposition the device promises; then the
// program takes the default back, under which writes must still not raise
// the signal.
bool ConnectedDispositionQ(const Device& device) {
  const bool expected = SigpipeIsQ(device.ignoresSigpipe ? SIG_IGN : SIG_DFL);
  return signal(SIGPIPE, SIG_DFL) != SIG_ERR && expected;
}

// An environment dispatches the signals its devices list; the program then
// sets its own disposition, which the links must leave alone. Ending it closes
// the program's links and joins their threads before the program exits.
qvtest::EnvironmentHandle Initialize() {
  qvtest::EnvironmentHandle environment(RVInitialize(nullptr));
  if (environment != nullptr && signal(SIGPIPE, SIG_DFL) == SIG_ERR) environment.reset();
  return environment;
}

// The connecting program: connects, reports whether the disposition held,
// and goes away.
int Connector(const Device& device, int nameFd) {
  char name[256] = {};
  pollfd entry{nameFd, POLLIN, 0};
  if (poll(&entry, 1, 20000) != 1 || read(nameFd, name, sizeof name - 1) <= 0) return kNoName;
  const qvtest::EnvironmentHandle environment = Initialize();
  if (environment == nullptr) return kNoLink;
  const std::string open = std::string("-linkprotocol ") + device.protocol + " -linkmode connect -linkname " +
                           device.connectTo(name) + device.options;
  int error = 0;
  QVLink* link = RVOpenString(environment.get(), open.c_str(), &error);
  if (link == nullptr) return kNoLink;
  if (RVConnect(link) != 1) return kNoConnect;
  return ConnectedDispositionQ(device) ? kFine : kDispositionChanged;
}

// The listening program, in a child: the connector is its own child, so the
// peer's going is the connector's exit.
int Listener(const Device& device) {
  int names[2];
  if (pipe(names) != 0) return kNoLink;
  const pid_t peer = fork();
  if (peer < 0) return kNoLink;
  if (peer == 0) {
    close(names[1]);
    _exit(Connector(device, names[0]));
  }
  close(names[0]);
  const qvtest::EnvironmentHandle environment = Initialize();
  if (environment == nullptr) return kNoLink;
  int error = 0;
  QVLink* link = RVOpenString(environment.get(), device.listen, &error);
  if (link == nullptr) return kNoLink;
  const std::string name = RVName(link);
  if (write(names[1], name.data(), name.size()) != static_cast<ssize_t>(name.size())) return kNoName;
  close(names[1]);
  if (RVConnect(link) != 1) return kNoConnect;
  if (!ConnectedDispositionQ(device)) return kDispositionChanged;
  int status = -1;
  while (waitpid(peer, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status)) return 10;
  if (WEXITSTATUS(status) != kFine) return 10 + WEXITSTATUS(status);
  int value = 0;
  if (!qvtest::WaitUntil([&] { return RVPutInteger32(link, ++value) != 1 || RVFlush(link) != 1; },
                         std::chrono::seconds(10)) ||
      RVError(link) == 0)
    return kWriteNeverFailed;
  // Messages go on being tried on their own connection: the first of them
  // meets the reset, the later ones a connection already known gone (EPIPE).
  int refused = 0;
  if (!qvtest::WaitUntil([&] { return (refused += RVPutMessage(link, kInterrupt) != 1 ? 1 : 0) >= 3; },
                         std::chrono::seconds(10)))
    return kWriteNeverFailed;
  return kFine;
}

class SocketSigpipe : public testing::TestWithParam<Device> {};

TEST_P(SocketSigpipe, ConnectSetsTheExpectedDispositionAndAWriteToAGonePeerFails) {
  const int status = qvtest::RunInChild([&] { return Listener(GetParam()); });
  ASSERT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
  ASSERT_TRUE(WIFEXITED(status));
  // Below 10 the listener's code; from 10 on, 10 plus the connector's.
  EXPECT_EQ(WEXITSTATUS(status), kFine);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, SocketSigpipe,
    testing::Values(Device{"TCP", "-linkprotocol TCP -linkmode listen -linkname 0", "", false,
                           [](const std::string& name) { return std::to_string(std::atoi(name.c_str())) + "@127.0.0.1"; }},
                    Device{"TCPIP",
                           "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1 -linkoptions "
                           "QVUseNewTCPIPConnection",
                           " -linkoptions QVUseNewTCPIPConnection", true, [](const std::string& name) { return name; }}),
    [](const testing::TestParamInfo<Device>& row) { return std::string(row.param.protocol); });

}  // namespace

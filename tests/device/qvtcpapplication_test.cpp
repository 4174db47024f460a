// The installable program serving a host over the socket devices (TCP and
// TCPIP): the host listens, the program connects to the listener's name,
// answers an Algorithm3 call and ends on the terminate message. The host's
// waits end at a deadline, and the program is killed when the test leaves
// early.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "application/qvapplication.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/application/qvalgorithm3definition.h"
#include "tests/application/qvalgorithm3sample.h"
#include "tests/device/qvtcptest.h"
#include "tests/utilities/qvtestprocesses.h"

namespace {

const bool kPrivateNetwork = qvtest::EnterPrivateNetwork();

constexpr long kTerminate = 1;

// The program's exit status within the deadline, or -1; a program that
// ended is reaped, so the killer lets it be.
int ExitWithin(pid_t child, std::chrono::milliseconds deadline, qvtest::ChildKiller* killer) {
  int status = -1;
  const bool ended = qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, deadline);
  if (ended) killer->release();
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Device {
  const char* protocol;
  const char* listen;   // the host's open string
  const char* options;  // link options both sides give, or ""
  bool anyAddress;      // the listener binds the any-address
  // The name the program connects to, from the listener's name.
  std::string (*connectTo)(const std::string& listenerName);
};

class SocketApplication : public testing::TestWithParam<Device> {};

TEST_P(SocketApplication, AnswersACallAndEndsOnTerminate) {
  const Device& device = GetParam();
  if (device.anyAddress) QV_REQUIRE_PRIVATE_NETWORK(kPrivateNetwork);
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  int error = 0;
  QVLink* link = RVOpenString(environment, device.listen, &error);
  ASSERT_NE(link, nullptr) << error;
  qvtest::LinkDeadline() = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  ASSERT_EQ(RVSetYieldFunction(link, &qvtest::UntilLinkDeadline), 1);
  const std::string name = RVName(link);
  ASSERT_NE(name.find('@'), std::string::npos) << name;
  const std::string program = std::string(QV_BINARY_DIR) + "/application/quorvane-algorithm3";
  const std::string connectTo = device.connectTo(name);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (device.options[0] != '\0') {
      execl(program.c_str(), program.c_str(), "-linkprotocol", device.protocol, "-linkmode", "connect",
            "-linkoptions", device.options, "-linkname", connectTo.c_str(), static_cast<char*>(nullptr));
    } else {
      execl(program.c_str(), program.c_str(), "-linkprotocol", device.protocol, "-linkmode", "connect",
            "-linkname", connectTo.c_str(), static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  qvtest::ChildKiller killer(child);
  ASSERT_EQ(RVConnect(link), 1) << RVError(link);
  ASSERT_NO_FATAL_FAILURE(qvtest::ReadAlgorithm3Definition(link));

  const qvtest::Algorithm3Call call{};
  ASSERT_TRUE(qvtest::PutAlgorithm3Call(link, call)) << RVError(link);
  ASSERT_EQ(RVGetType(link), 42) << RVError(link);
  double value = 0;
  ASSERT_EQ(RVGetReal64(link, &value), 1) << RVError(link);
  EXPECT_EQ(value, call.sample.Direct());

  ASSERT_EQ(RVPutMessage(link, kTerminate), 1) << RVError(link);
  const int status = ExitWithin(child, std::chrono::seconds(1), &killer);
  EXPECT_EQ(status, 0);
  RVClose(link);
  RVDeinitialize(environment);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, SocketApplication,
    testing::Values(Device{"TCP", "-linkprotocol TCP -linkmode listen -linkname 0", "", true,
                           [](const std::string& name) { return std::to_string(std::atoi(name.c_str())) + "@127.0.0.1"; }},
                    Device{"TCPIP",
                           "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1 -linkoptions "
                           "QVUseNewTCPIPConnection",
                           "QVUseNewTCPIPConnection", false, [](const std::string& name) { return name; }}),
    [](const testing::TestParamInfo<Device>& row) { return std::string(row.param.protocol); });

}  // namespace

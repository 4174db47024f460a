// A launch's command line and the 256 bytes of an open's device parameters:
// over SharedMemory, TCP and TCPIP the launching side opens a listener with
// no name and hands the command line to the shell, so a command line of
// thousands of bytes starts the program, which connects back; over Pipes the
// command line is the device's link name, and one too long for the
// parameters is refused at open with 42, starting nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/application/qvalgorithm3definition.h"
#include "tests/device/qvprivatehost.h"
#include "tests/device/qvtcptest.h"

namespace {

constexpr int kOpenBlockTooLong = 42;
constexpr long kTerminate = 1;

// The program, started through env with a variable that makes the command
// line over 2,000 bytes long.
std::string LongCommandLine() {
  return "env -u SSH_CLIENT QV_PADDING=" + std::string(2000, 'p') + " '" QV_BINARY_DIR
         "/application/quorvane-algorithm3'";
}

QVLink* Launch(RVEnvironment* environment, const char* protocol, const std::string& command, int* error) {
  std::vector<std::string> words = {"-linkprotocol", protocol, "-linkmode", "launch", "-linkname", command};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return RVOpenArgcArgv(environment, static_cast<int>(words.size()), argv.data(), error);
}

struct EnvironmentEnd {
  RVEnvironment* environment;
  ~EnvironmentEnd() { RVDeinitialize(environment); }
};

// Launches the program on the long command line and reads what it sends
// first: it runs, with its link to this one.
void LaunchOnALongCommandLine(const char* protocol) {
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  const EnvironmentEnd end{environment};
  const std::string command = LongCommandLine();
  ASSERT_GT(command.size(), 2000u) << "the command line is the test's point";
  int error = -1;
  QVLink* link = Launch(environment, protocol, command, &error);
  ASSERT_NE(link, nullptr) << "error " << error;
  EXPECT_EQ(error, 0);
  EXPECT_EQ(RVName(link), command);
  qvtest::LinkDeadline() = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  ASSERT_EQ(RVSetYieldFunction(link, &qvtest::UntilLinkDeadline), 1);
  ASSERT_EQ(RVActivate(link), 1) << "error " << RVError(link);
  ASSERT_NO_FATAL_FAILURE(qvtest::ReadAlgorithm3Definition(link));
  EXPECT_EQ(RVPutMessage(link, kTerminate), 1) << RVError(link);
  RVClose(link);
}

class LongCommandLineLaunch : public testing::TestWithParam<const char*> {};

TEST_P(LongCommandLineLaunch, StartsTheProgramWhichConnectsBack) {
  const char* protocol = GetParam();
  if (std::string(protocol) == "SharedMemory") {
    LaunchOnALongCommandLine(protocol);
    return;
  }
  // The socket devices' listeners bind the any-address, and the program
  // connects to the host name in the listener's name: on a host of the
  // test's own, whose hosts file knows its name.
  QV_ON_PRIVATE_HOST(qvtest::NamedLoopbackHost(), [&] { LaunchOnALongCommandLine(protocol); });
}

INSTANTIATE_TEST_SUITE_P(Devices, LongCommandLineLaunch, testing::Values("SharedMemory", "TCP", "TCPIP"),
                         [](const testing::TestParamInfo<const char*>& row) { return std::string(row.param); });

TEST(LongCommandLinePipesLaunch, IsRefusedAtOpenWith42) {
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  const EnvironmentEnd end{environment};
  int error = 0;
  EXPECT_EQ(Launch(environment, "Pipes", LongCommandLine(), &error), nullptr);
  EXPECT_EQ(error, kOpenBlockTooLong);
  // The same program on a short command line is launched.
  error = -1;
  QVLink* link = Launch(environment, "Pipes", QV_BINARY_DIR "/application/quorvane-algorithm3", &error);
  ASSERT_NE(link, nullptr) << "error " << error;
  qvtest::LinkDeadline() = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  ASSERT_EQ(RVSetYieldFunction(link, &qvtest::UntilLinkDeadline), 1);
  ASSERT_EQ(RVActivate(link), 1) << "error " << RVError(link);
  ASSERT_NO_FATAL_FAILURE(qvtest::ReadAlgorithm3Definition(link));
  EXPECT_EQ(RVPutMessage(link, kTerminate), 1) << RVError(link);
  RVClose(link);
}

}  // namespace

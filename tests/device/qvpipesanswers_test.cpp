// What the Pipes world answers about itself: on both ends of a link to a
// launched child, through the public device calls, the name, its length and
// the child's process id (also at the highest process id the system gives,
// in a process-id space of the test's own); the signals the world asks for;
// and a record on the message pipes reaching the public handler of a
// launched program though the world asks for no SIGIO itself.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "quorvane.h"
#include "device/qvpipesrecord.h"
#include "support/qvprivatenetwork.h"
#include "support/qvtest.h"
#include "tests/device/qvbackslashtexts.h"
#include "tests/device/qvpipestest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvsignalhandlermanager.h"
#include "utilities/qvsignalsblocked.h"

namespace {

using namespace Quorvane;
using qvtest::Call;

constexpr unsigned long kName = 0x80000001;
constexpr unsigned long kNameSize = 0x80000002;
constexpr unsigned long kChildProcess = 0x80000101;
constexpr unsigned long kLaunch = 8;

// The library reaps its children on SIGCHLD; held back while a test runs
// (threads made later inherit the mask), the child's exit status is left to
// the test.
struct ChildSignalHeld : SignalsBlocked {
  ChildSignalHeld() : SignalsBlocked({SIGCHLD}) {}
};

// A host link launching the test's child in its "answers" role.
QVLink* LaunchAnswers(RVEnvironment* environment, const std::string& command) {
  const char* words[] = {"-linkprotocol", "Pipes", "-linkmode", "launch", "-linkname", command.c_str()};
  int error = 0;
  return RVOpenArgcArgv(environment, 6, const_cast<char**>(words), &error);
}

pid_t ChildProcessOf(QVLink* link) {
  pid_t pid = 0;
  long size = sizeof pid;
  return RVDeviceInformation(link, kChildProcess, &pid, &size) == 1 ? pid : -1;
}

// The child's exit status within the deadline, or -1.
int ExitStatusOf(pid_t child) {
  int status = -1;
  if (!qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; })) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PipesAnswers, BothEndsOfALinkToALaunchedChild) {
  ChildSignalHeld held;
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  const std::string command = std::string(QV_PIPES_CHILD) + " answers";
  QVLink* link = LaunchAnswers(environment, command);
  ASSERT_NE(link, nullptr);
  const std::vector<int> children = qvtest::ChildrenOfThisProcess();
  ASSERT_EQ(children.size(), 1u);
  qvtest::ChildKiller killer(children[0]);

  // The name is the command line; its size is its length, and a buffer of
  // exactly that length takes it whole.
  long length = -1;
  long size = sizeof length;
  ASSERT_EQ(RVDeviceInformation(link, kNameSize, &length, &size), 1);
  EXPECT_EQ(length, static_cast<long>(command.size()));
  std::string name(static_cast<size_t>(length), '\0');
  size = length;
  EXPECT_EQ(RVDeviceInformation(link, kName, name.data(), &size), 1);
  EXPECT_EQ(name, command);
  char* lowLevel = nullptr;
  ASSERT_EQ(RVLowLevelDeviceName(link, &lowLevel), 1);
  EXPECT_EQ(std::string(lowLevel), command);
  RVReleaseLowLevelDeviceName(link, lowLevel);

  // The child's process id, and a buffer too small for one refused untouched.
  EXPECT_EQ(ChildProcessOf(link), children[0]);
  unsigned char small[sizeof(pid_t)];
  std::fill(std::begin(small), std::end(small), 0xA5);
  size = sizeof(pid_t) - 1;
  EXPECT_EQ(RVDeviceInformation(link, kChildProcess, small, &size), 0);
  EXPECT_TRUE(std::all_of(std::begin(small), std::end(small), [](unsigned char b) { return b == 0xA5; }));

  // The child's end: the default name, its length, no child of its own.
  ASSERT_NE(RVActivate(link), 0) << RVError(link);
  EXPECT_EQ(qvtest::GetTexts(link), (std::vector<std::string>{"10", "ParentLink", "0", std::to_string(children[0])}))
      << RVError(link);
  RVClose(link);
  EXPECT_EQ(ExitStatusOf(children[0]), 0);
  killer.release();
  RVDeinitialize(environment);
}

// Steps of the launch in a process-id space of its own, each failure its own
// exit status.
constexpr int kRefused = 77;

int LaunchAtTheHighestProcessId() {
  long limit = 0;
  std::ifstream("/proc/sys/kernel/pid_max") >> limit;  // of this process's space
  if (limit < 3) return 10;
  const pid_t highest = static_cast<pid_t>(limit - 1);
  ChildSignalHeld held;
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 11;
  // The environment's threads have their ids; the launch's fork takes the next.
  {
    std::ofstream next("/proc/sys/kernel/ns_last_pid");
    next << highest - 1;
    next.flush();
    if (!next) return 12;
  }
  int answer = 0;
  QVLink* link = LaunchAnswers(environment, std::string(QV_PIPES_CHILD) + " answers");
  if (link == nullptr) answer = 13;
  const pid_t child = answer == 0 ? ChildProcessOf(link) : -1;
  if (answer == 0 && child != highest) answer = 14;
  if (answer == 0 && RVActivate(link) == 0) answer = 15;
  if (answer == 0) {
    const std::vector<std::string> told = qvtest::GetTexts(link);
    if (told.size() != 4 || told[2] != "0" || told[3] != std::to_string(highest)) answer = 16;
  }
  if (link != nullptr) RVClose(link);
  if (answer == 0 && ExitStatusOf(highest) != 0) answer = 17;
  RVDeinitialize(environment);
  return answer;
}

// The whole id answered and reaped for the highest process id the system can
// give: made in a process-id space of the test's own, whose next id the test
// sets (the system lets the owner of the space do so, root or not).
TEST(PipesAnswers, TheHighestProcessIdIsAnsweredAndReapedWhole) {
  const int status = qvtest::RunInChild([] {
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
      const uid_t uid = getuid();
      const gid_t gid = getgid();
      if (unshare(CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNS) != 0) return kRefused;
      qvtest::MapToRoot(uid, gid);
    }
    // The first process made is the space's first (process id 1).
    const pid_t first = fork();
    if (first < 0) return kRefused;
    if (first == 0) {
      // The space's own /proc, as a container has: what looks up a process by
      // its id there (the reaper, a leak checker at exit) finds the space's.
      // Where the system refuses the mount the outer one stays.
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        (void)mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
      _exit(LaunchAtTheHighestProcessId());
    }
    int firstStatus = 0;
    if (waitpid(first, &firstStatus, 0) != first) return 1;
    return WIFEXITED(firstStatus) ? WEXITSTATUS(firstStatus) : 2;
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == kRefused) GTEST_SKIP() << "no process-id space of the test's own";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the step that failed (see LaunchAtTheHighestProcessId)";
}

// The record keeps a whole pid_t and the answer gives it back whole, at
// either end of the type (no system gives such ids; the record is set here).
TEST(PipesAnswers, ChildProcessIdsAtTheLimitsOfTheirType) {
  qvtest::PipesWorld world;
  qvtest::PeerPipes pipes;
  long error = 0;
  void* device = pipes.Attach(world, &error);
  ASSERT_NE(device, nullptr) << error;
  pipes::Record* record = static_cast<pipes::Instance*>(device)->record;
  const pid_t kept = record->childPid;
  for (pid_t pid : {std::numeric_limits<pid_t>::max(), std::numeric_limits<pid_t>::min()}) {
    record->childPid = pid;
    unsigned char answer[16];  // room beyond the id, which stays untouched
    std::fill(std::begin(answer), std::end(answer), 0xA5);
    long size = sizeof answer;
    ASSERT_EQ(Call(device, QVDEVICE_SPECIFIC_30, answer, &size), 0);
    pid_t got = 0;
    std::memcpy(&got, answer, sizeof got);
    EXPECT_EQ(got, pid);
    EXPECT_TRUE(std::all_of(answer + sizeof got, std::end(answer), [](unsigned char b) { return b == 0xA5; }));
  }
  record->childPid = kept;
  Call(device, QVDEVICE_CLOSE);
}

TEST(PipesWorld, AsksForItsFourSignals) {
  qvtest::PipesWorld world;
  QVSignalHandlerList* list = nullptr;
  ASSERT_EQ(Call(world.world(), QVDEVICE_WORLD_GET_SIGNAL_HANDLERS, &list), 0);
  ASSERT_NE(list, nullptr);
  struct Row {
    int number;
    uintptr_t handler;
    bool preExists, external, valid;
    bool operator==(const Row&) const = default;
  };
  std::vector<Row> rows;
  for (const QVSignalHandler& h : *list) {
    rows.push_back(Row{h.getSignalNumber(), h.getHandlerFunction(), h.preExistsQ(), h.externalQ(), h.validQ()});
  }
  const auto own = reinterpret_cast<uintptr_t>(&pipe_signal_handler);
  EXPECT_TRUE((rows == std::vector<Row>{{SIGCHLD, own, false, false, true},
                                        {SIGTERM, own, false, false, true},
                                        {SIGINT, own, false, false, true},
                                        {SIGABRT, own, false, false, true}}));
  EXPECT_EQ(Call(world.world(), QVDEVICE_WORLD_RELEASE_SIGNAL_HANDLERS, list), 0);
  EXPECT_EQ(Call(world.world(), QVDEVICE_WORLD_GET_SIGNAL_HANDLERS), -1);
}

// A message record that must wait until the deadline; false when none came.
bool AwaitRecord(void* device, long* code, long* argument) {
  return qvtest::WaitUntil([&] { return Call(device, QVDEVICE_READ_MESSAGE, code, argument) == 0; },
                           std::chrono::seconds(20));
}

// The launched program opens its link through the public calls on message
// pipes and sets its handler; the record the host sends reaches it while the
// program makes no link call, so by SIGIO, which the environment installs
// for the worlds that ask for it though the Pipes world does not.
TEST(PipesMessages, ARecordReachesThePublicHandlerOfALaunchedProgram) {
  qvtest::PipesWorld world;
  long error = 0;
  void* device = world.Make("Pipes:0,1,3,4", kLaunch,
                            std::string(QV_PIPES_CHILD) + " handler -linkprotocol Pipes:0,1,3,4", 0, &error);
  ASSERT_NE(device, nullptr) << error;
  pid_t child = 0;
  ASSERT_EQ(Call(device, QVDEVICE_SPECIFIC_30, &child), 0);
  qvtest::ChildKiller killer(child);
  long code = 0, argument = 0;
  ASSERT_TRUE(AwaitRecord(device, &code, &argument)) << "the program did not set its handler";
  EXPECT_EQ(std::make_pair(code, argument), std::make_pair(100L, 0L));
  code = 6;  // not 5 or 8, whose argument the link core fills in
  argument = 70000;
  ASSERT_EQ(Call(device, QVDEVICE_WRITE_MESSAGE, &code, &argument), 0);
  ASSERT_TRUE(AwaitRecord(device, &code, &argument)) << "the handler heard nothing";
  EXPECT_EQ(std::make_pair(code, argument), std::make_pair(7L, 70001L));
  EXPECT_EQ(ExitStatusOf(child), 0);
  killer.release();
  Call(device, QVDEVICE_CLOSE);
}

}  // namespace

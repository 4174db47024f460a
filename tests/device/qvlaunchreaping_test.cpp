// Every program a link launches is reaped, also when the host ends its
// environment right after closing the link: over "SharedMemory" (launched
// through the process manager) and "Pipes" (the device's own child table),
// the program that ends at the close is gone from the process table soon
// after, not left a zombie; one that ignores the close does not hold up the
// environment's end beyond the bound, and is reaped once it ends. A child
// the host started itself is never reaped for it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "quorvane.h"
#include "support/qvconnectorchild.h"
#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvchildreaper.h"

namespace {

const char kReaperThread[] = "QV-ChildReaper";
constexpr auto kReapDeadline = std::chrono::seconds(10);
constexpr int kRounds = 3;

struct LaunchCase {
  const char* name;
  const char* protocol;
  const char* connectorKind;  // the launching kind of tests/support/qvconnectorchild.h
};

void PrintTo(const LaunchCase& c, std::ostream* out) { *out << c.name; }

const LaunchCase kCases[] = {
    {"SharedMemory", "SharedMemory", "SharedMemoryLaunched"},
    {"Pipes", "Pipes", "Pipes"},
};

// The processes whose parent is this one, ended ones included.
std::vector<pid_t> ChildrenOfThisProcess() {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (stat == nullptr) continue;
    char text[1024] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    // "pid (command) state ppid ...": the command may hold blanks.
    const char* close = std::strrchr(text, ')');
    if (n == 0 || close == nullptr) continue;
    char state = 0;
    int parent = 0;
    if (std::sscanf(close + 1, " %c %d", &state, &parent) == 2 && parent == getpid()) children.push_back(pid);
  }
  closedir(proc);
  std::sort(children.begin(), children.end());
  return children;
}

// Reaped by someone: no longer a child of this process to wait for. Asked
// without collecting anything, so this test never reaps for the library.
bool ReapedQ(pid_t pid) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD;
}

bool RunningQ(pid_t pid) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

std::chrono::steady_clock::time_point gGiveUpAt;
int UntilGiveUp(void*, QVYieldParams*) { return std::chrono::steady_clock::now() >= gGiveUpAt ? 1 : 0; }

class LaunchReaping : public ::testing::TestWithParam<LaunchCase> {};

// The installable program ends when its host closes the link.
TEST_P(LaunchReaping, AProgramEndingAtTheCloseIsReapedAfterAnEndAtOnce) {
  const std::string program = std::string(QV_BINARY_DIR) + "/application/quorvane-algorithm3";
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    RVEnvironment* environment = RVInitialize(nullptr);
    ASSERT_NE(environment, nullptr);
    const std::vector<pid_t> before = ChildrenOfThisProcess();
    const std::string open =
        std::string("-linkprotocol ") + GetParam().protocol + " -linkmode launch -linkname '" + program + "'";
    int error = 0;
    QVLink* link = RVOpenString(environment, open.c_str(), &error);
    ASSERT_NE(link, nullptr) << open << ": error " << error;
    gGiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    ASSERT_EQ(RVSetYieldFunction(link, &UntilGiveUp), 1);
    ASSERT_EQ(RVActivate(link), 1) << "error " << RVError(link);
    std::vector<pid_t> launched;
    for (const pid_t pid : ChildrenOfThisProcess()) {
      if (!std::binary_search(before.begin(), before.end(), pid)) launched.push_back(pid);
    }
    ASSERT_EQ(launched.size(), 1u);
    RVClose(link);
    RVDeinitialize(environment);
    EXPECT_TRUE(qvtest::WaitUntil([&] { return ReapedQ(launched[0]); }, kReapDeadline))
        << "process " << launched[0] << " was left unreaped";
  }
  EXPECT_TRUE(qvtest::WaitUntil([] { return qvtest::ThreadsNamed(kReaperThread) == 0; }, kReapDeadline));
}

// The connector program keeps running after its link is closed, until killed.
TEST_P(LaunchReaping, AProgramOutlivingTheEndHoldsItUpNoLongerThanTheBoundAndIsReapedWhenItEnds) {
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  qvtest::ListenerWithConnector peer(environment, qvtest::ListenerKindNamed(GetParam().connectorKind),
                                     QV_CONNECTOR_CHILD, qvtest::PrivateRoot());
  ASSERT_EQ(peer.failure(), "");
  const pid_t program = peer.told().pid;
  QVLink* link = peer.link();
  gGiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  ASSERT_EQ(RVSetYieldFunction(link, &UntilGiveUp), 1);
  ASSERT_EQ(RVConnect(link), 1) << "error " << RVError(link);
  RVClose(link);

  const auto started = std::chrono::steady_clock::now();
  RVDeinitialize(environment);
  const auto took = std::chrono::steady_clock::now() - started;
  // One bound for the device's child table, one for the process manager.
  EXPECT_LT(took, 2 * Quorvane::QVChildReaper::kEndingBound + std::chrono::seconds(2));
  ASSERT_TRUE(RunningQ(program)) << "the program was expected to outlive the end";

  // A child of the host's own, ended: it stays the host's to reap.
  const pid_t own = fork();
  ASSERT_GE(own, 0);
  if (own == 0) _exit(7);

  ASSERT_EQ(kill(program, SIGKILL), 0);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return ReapedQ(program); }, kReapDeadline))
      << "the program was left a zombie once it ended";
  EXPECT_TRUE(qvtest::WaitUntil([] { return qvtest::ThreadsNamed(kReaperThread) == 0; }, kReapDeadline))
      << "the reaper outlived its last child";
  int status = 0;
  EXPECT_EQ(waitpid(own, &status, 0), own) << "the host's own child was reaped by the library";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
}

INSTANTIATE_TEST_SUITE_P(Devices, LaunchReaping, ::testing::ValuesIn(kCases),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace

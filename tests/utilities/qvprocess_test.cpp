#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvprocess.h"
#include "utilities/qvsignalhandlermanager.h"

using namespace Quorvane;
using qvtest::ThreadsNamed;

namespace {

// "missing", "zombie" or "running" from /proc.
std::string ProcessState(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return "missing";
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return "missing";
  return stat[close + 2] == 'Z' ? "zombie" : "running";
}

std::string Printed(const QVProcessManager& manager) {
  std::ostringstream out;
  out << manager;
  return out.str();
}

bool Tracks(const QVProcessManager& manager, int pid) {
  return Printed(manager).find("<processId>" + std::to_string(pid) + "</processId>") !=
         std::string::npos;
}

// The environment hooks the child signal to the manager like this.
std::atomic<QVProcessManager*> watched{nullptr};
void OnChildSignal(int) {
  if (QVProcessManager* manager = watched.load()) manager->signalUpdateAllTheStatus();
}

const char kWatchThreadName[] = "QV-ProcessManag";  // the system keeps 15 bytes

}  // namespace

TEST(Process, LaunchedChildIsReapedOnTheChildSignal) {
  qvtest::TempDir dir;
  const std::string flag = dir.file("go");
  QVProcessManager manager;
  watched.store(&manager);
  QVSignalHandlerManager signals;
  signals.setHandlerFromFunction(SIGCHLD, &OnChildSignal, false);
  signals.startHandlingSignals();

  // The child runs until the test lets it go.
  const int pid = QVProcess::launch(
      ToQVString("sh -c 'while [ ! -e " + flag + " ]; do sleep 0.01; done'"));
  ASSERT_GT(pid, 0);
  qvtest::ChildKiller killer(pid);
  EXPECT_TRUE(QVProcess::processIsAliveQ(pid));
  manager.trackProcess(pid);
  ASSERT_TRUE(qvtest::WaitUntil([] { return ThreadsNamed(kWatchThreadName) == 1; }));
  EXPECT_EQ(ProcessState(pid), "running");
  EXPECT_TRUE(Tracks(manager, pid));

  std::ofstream(flag).put('x');
  // Far sooner than the 300-second pass: only the child signal can do it.
  EXPECT_TRUE(qvtest::WaitUntil([&] { return ProcessState(pid) == "missing"; }));
  EXPECT_TRUE(qvtest::WaitUntil([&] { return !Tracks(manager, pid); }));
  EXPECT_FALSE(QVProcess::processIsAliveQ(pid));
  killer.release();

  manager.stopTrackingAllProcesses();
  EXPECT_TRUE(qvtest::NoThreadNamed(kWatchThreadName));
  signals.stopHandlingSignals();
  watched.store(nullptr);
}

TEST(Process, LaunchLeavesSigpipeAndTheSignalMaskAsTheyWere) {
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  ASSERT_EQ(sigaction(SIGPIPE, &dfl, nullptr), 0);
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);

  const int pid = QVProcess::launch("sleep 5");
  qvtest::ChildKiller killer(pid);
  struct sigaction now;
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  sigset_t after;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  EXPECT_EQ(sigismember(&after, SIGCHLD), sigismember(&before, SIGCHLD));

  // "exec" made the program replace the shell: the child runs sleep itself.
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  ASSERT_TRUE(qvtest::WaitUntil([&] {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::getline(in, name);
    return name == "sleep";
  }));
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  killer.release();
  EXPECT_TRUE(WIFSIGNALED(status));
}

TEST(Process, AliveAndTryWait) {
  EXPECT_FALSE(QVProcess::processIsAliveQ(0));
  EXPECT_FALSE(QVProcess::processIsAliveQ(-5));
  EXPECT_TRUE(QVProcess::processIsAliveQ(QVProcess::currentProcessId()));
  EXPECT_EQ(QVProcess::currentProcessId(), getpid());

  EXPECT_TRUE(QVProcess::tryWait(0));
  EXPECT_TRUE(QVProcess::tryWait(1));  // not our child: ECHILD

  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ends[1]);
    char byte;
    (void)!read(ends[0], &byte, 1);
    _exit(0);
  }
  close(ends[0]);
  EXPECT_FALSE(QVProcess::tryWait(child));  // still running
  close(ends[1]);                           // lets it end
  EXPECT_TRUE(qvtest::WaitUntil([&] { return QVProcess::tryWait(child); }));
  EXPECT_EQ(ProcessState(child), "missing");
  EXPECT_FALSE(QVProcess::processIsAliveQ(child));
}

// A process for the aliveness cases: a child of the test, or a grandchild
// whose parent (the test's child) never reaps it and waits until it is told
// to end (its pipe closed). The process waits too, on the same pipe; with
// firstThreadEnds its first thread ends at once, another thread waiting.
class WatchedProcess {
 public:
  WatchedProcess(bool grandchild, bool firstThreadEnds) {
    int go[2], told[2];
    if (pipe(go) != 0 || pipe(told) != 0) return;
    child_ = fork();
    if (child_ == 0) {
      close(go[1]);
      close(told[0]);
      pid_t target = getpid();
      if (grandchild) target = fork();
      if (target == 0 || !grandchild) Become(go[0], firstThreadEnds);
      // The parent of a grandchild: says who it is, then waits, never reaping it.
      (void)!write(told[1], &target, sizeof target);
      char byte;
      (void)!read(go[0], &byte, 1);
      _exit(0);
    }
    close(go[0]);
    close(told[1]);
    go_ = go[1];
    target_ = child_;
    if (grandchild && read(told[0], &target_, sizeof target_) != static_cast<ssize_t>(sizeof target_)) target_ = 0;
    close(told[0]);
  }
  ~WatchedProcess() {
    if (target_ > 0) kill(target_, SIGKILL);
    if (go_ >= 0) close(go_);
    if (child_ > 0) waitpid(child_, nullptr, 0);
  }
  WatchedProcess(const WatchedProcess&) = delete;
  WatchedProcess& operator=(const WatchedProcess&) = delete;

  pid_t target() const { return target_; }
  // Reaps the child; its status, or -1.
  int Reap() {
    int status = -1;
    if (child_ > 0 && waitpid(child_, &status, 0) != child_) status = -1;
    child_ = 0;
    return status;
  }

 private:
  [[noreturn]] static void Become(int go, bool firstThreadEnds) {
    auto wait = [](void* fd) -> void* {
      char byte;
      (void)!read(static_cast<int>(reinterpret_cast<intptr_t>(fd)), &byte, 1);
      _exit(0);
    };
    void* const fd = reinterpret_cast<void*>(static_cast<intptr_t>(go));
    if (firstThreadEnds) {
      pthread_t other;
      if (pthread_create(&other, nullptr, wait, fd) != 0) _exit(1);
      // Ends this thread alone, without unwinding into the test's frames.
      syscall(SYS_exit, 0);
    }
    wait(fd);
    _exit(0);
  }

  pid_t child_ = -1;
  pid_t target_ = 0;
  int go_ = -1;
};

// A process that was killed has ended while its parent has still to reap
// it, ours or another's, and the check leaves it to be reaped. One whose
// first thread has ended, the system shows as a zombie too, but another of
// its threads runs: it is alive.
TEST(Process, AKilledProcessNotYetReapedIsNotAlive) {
  struct Case {
    const char* what;
    bool grandchild;
    bool killed;  // else its first thread ends, another waits
    bool alive;
  } cases[] = {
      {"our child, killed", false, true, false},
      {"a child of another, killed", true, true, false},
      {"our child, its first thread ended", false, false, true},
      {"a child of another, its first thread ended", true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WatchedProcess process(c.grandchild, !c.killed);
    const pid_t pid = process.target();
    ASSERT_GT(pid, 0);
    if (c.killed) {
      EXPECT_TRUE(QVProcess::processIsAliveQ(pid));
      ASSERT_EQ(kill(pid, SIGKILL), 0);
    }
    ASSERT_TRUE(qvtest::WaitUntil([&] { return ProcessState(pid) == "zombie"; }));
    if (c.alive) {
      EXPECT_TRUE(QVProcess::processIsAliveQ(pid));
    } else {
      // The first thread of a killed process can show as a zombie while
      // another (a sanitizer's own, say) is still being torn down: the
      // process ends once the last has.
      EXPECT_TRUE(qvtest::WaitUntil([&] { return !QVProcess::processIsAliveQ(pid); }));
    }
    if (!c.grandchild && c.killed) {
      // Nothing was reaped: the status is still ours to collect.
      const int status = process.Reap();
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    }
  }
}

TEST(ProcessManager, TableKeepsOneEntryAndForgetsNonChildren) {
  QVProcessManager manager;
  manager.trackProcess(1);
  manager.trackProcess(1);
  const std::string printed = Printed(manager);
  EXPECT_EQ(printed.find("<processId>1</processId>"),
            printed.rfind("<processId>1</processId>"));
  // Not our child: the first reaping pass drops it.
  EXPECT_TRUE(qvtest::WaitUntil([&] { return !Tracks(manager, 1); }));
  manager.stopTrackingAllProcesses();
  EXPECT_NE(Printed(manager).find("<table></table>"), std::string::npos);
  EXPECT_NE(Printed(manager).find("<stopProcessWatchThread>1</stopProcessWatchThread>"),
            std::string::npos);
}

// A child that ends before it is tracked sends its signal too early to wake
// a reaping pass that knows it; tracking it must bring the pass.
TEST(ProcessManager, ChildEndedBeforeItWasTrackedIsReapedAtOnce) {
  QVProcessManager manager;
  manager.trackProcess(1);  // starts the watch thread, whose first pass drops it
  ASSERT_TRUE(qvtest::WaitUntil([&] { return !Tracks(manager, 1); }));

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  qvtest::ChildKiller killer(child);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return ProcessState(child) == "zombie"; }));
  manager.trackProcess(child);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return ProcessState(child) == "missing"; },
                                std::chrono::seconds(10)));
  EXPECT_TRUE(qvtest::WaitUntil([&] { return !Tracks(manager, child); }));
  killer.release();
  manager.stopTrackingAllProcesses();
}

TEST(ProcessManager, ConcurrentFirstChildrenStartOneWatchThread) {
  for (int round = 0; round < 20; ++round) {
    QVProcessManager manager;
    std::atomic<bool> go{false};
    std::vector<std::thread> trackers;
    for (int i = 0; i < 8; ++i) {
      trackers.emplace_back([&, i] {
        while (!go.load()) {
        }
        manager.trackProcess(1000000 + i);  // no such process: forgotten at once
      });
    }
    go.store(true);
    for (std::thread& t : trackers) t.join();
    ASSERT_TRUE(qvtest::WaitUntil([] { return ThreadsNamed(kWatchThreadName) >= 1; }));
    EXPECT_EQ(ThreadsNamed(kWatchThreadName), 1);
    manager.stopTrackingAllProcesses();
    EXPECT_TRUE(qvtest::NoThreadNamed(kWatchThreadName));
  }
}

TEST(ProcessManager, DestructionJoinsTheWatchThread) {
  {
    QVProcessManager manager;
    manager.trackProcess(1);
    ASSERT_TRUE(qvtest::WaitUntil([] { return ThreadsNamed(kWatchThreadName) == 1; }));
  }
  EXPECT_TRUE(qvtest::NoThreadNamed(kWatchThreadName));
}

// The shared-memory world: the open-file limit it asks for, the start-up
// sweep of segments whose users died, its two watch threads shared by every
// world of a process, the peer-death watch, and its signal handler.
#include "device/qvshmworld.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "device/qvmessagelayer.h"
#include "device/qvshmworldstate.h"
#include "qvshmtest.h"
#include "support/qvtest.h"
#include "utilities/platform/qvthreadname.h"
#include "utilities/qvsignalhandlermanager.h"
#include "utilities/qvtestprocesses.h"

using namespace Quorvane;
using namespace qvshmtest;

namespace {

// What the system shows of a thread name the library gives.
std::string Shown(const char* name) {
  return (std::string(QVThread::threadNamePrefix) + name).substr(0, platform::kThreadNameLimit);
}

// Each row sets the process's limits in a child, makes a world there, and
// reads the soft limit back. "Unlimited" falls back to the hard limit the
// child inherited where the system keeps this process from raising it.
TEST(SharedMemoryWorld, RaisesTheOpenFileLimitOnlyWhereItMay) {
  constexpr rlim_t kUnlimited = RLIM_INFINITY;
  struct Case {
    rlim_t soft, hard, expected;
  };
  const Case cases[] = {
      {256, kUnlimited, 4000},
      {5000, kUnlimited, 5000},
      {300, 300, 300},   // soft equal to hard is left alone
      {256, 1000, 256},  // the hard limit refuses 4000
      {3999, 4000, 4000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.soft) + "/" + std::to_string(c.hard));
    SharedMailbox box;
    Child child([&] {
      rlimit limits{c.soft, c.hard};
      if (setrlimit(RLIMIT_NOFILE, &limits) != 0 && c.hard == kUnlimited) {
        getrlimit(RLIMIT_NOFILE, &limits);
        if (limits.rlim_max <= 5000) return 77;
        limits.rlim_cur = c.soft;
        if (setrlimit(RLIMIT_NOFILE, &limits) != 0) return 78;
      }
      { World world; }
      rlimit after{};
      getrlimit(RLIMIT_NOFILE, &after);
      box->answer = static_cast<int>(after.rlim_cur);
      return 0;
    });
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 77) continue;  // no hard limit high enough to show the row
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(box->answer.load(), static_cast<int>(c.expected));
  }
  // This system never lets a process hold an unlimited hard limit of open
  // files; the rule for one is asked directly.
  EXPECT_EQ(QVSharedMemoryWorld::RaisedOpenFileLimit(256, kUnlimited), std::optional<rlim_t>(4000));
  EXPECT_EQ(QVSharedMemoryWorld::RaisedOpenFileLimit(kUnlimited, kUnlimited), std::nullopt);
}

// Writes a record file as a dead (or living) user left it, beside a segment.
void LeaveSegment(const std::string& name, int pid) {
  ASSERT_TRUE(initSyncObjectDir());
  std::ofstream(SyncDir() + "/qvshm-" + name + ".rec") << pid << ":\n";
  const int fd = open(ShmPath(name).c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  close(fd);
}

TEST(SharedMemoryWorld, TheFirstSweepRemovesSegmentsOfDeadUsersOnly) {
  const std::string dead = UniqueName("dead"), live = UniqueName("live");
  Child gone([] { return 0; });
  const pid_t deadPid = gone.pid();
  ASSERT_NE(gone.Wait(), -1);
  LeaveSegment(dead, deadPid);
  LeaveSegment(live, getpid());

  const uint64_t passes = shmworld::SegmentWatchPasses();
  World world;
  ASSERT_TRUE(qvtest::WaitUntil([&] { return shmworld::SegmentWatchPasses() > passes; }));
  EXPECT_FALSE(Exists(ShmPath(dead)));
  EXPECT_FALSE(Exists(SyncDir() + "/qvshm-" + dead + ".rec"));
  EXPECT_TRUE(Exists(ShmPath(live)));
  EXPECT_TRUE(Exists(SyncDir() + "/qvshm-" + live + ".rec"));
  unlink(ShmPath(live).c_str());
  unlink((SyncDir() + "/qvshm-" + live + ".rec").c_str());
}

TEST(SharedMemoryWorld, TheWatchesRunOncePerProcessUntilTheLastWorldEnds) {
  const std::string segment = Shown(shmworld::kSegmentWatchName);
  const std::string other = Shown(shmworld::kOtherProcessWatchName);
  EXPECT_EQ(segment, "QV-SHM-SegmentW");
  auto first = std::make_unique<World>();
  EXPECT_EQ(qvtest::ThreadsNamed(segment), 1);
  EXPECT_EQ(qvtest::ThreadsNamed(other), 1);
  auto second = std::make_unique<World>();
  EXPECT_EQ(shmworld::ActiveWorlds(), 2u);
  EXPECT_EQ(qvtest::ThreadsNamed(segment), 1);
  EXPECT_EQ(qvtest::ThreadsNamed(other), 1);
  first.reset();
  EXPECT_EQ(qvtest::ThreadsNamed(segment), 1);
  EXPECT_EQ(qvtest::ThreadsNamed(other), 1);
  second.reset();
  EXPECT_EQ(shmworld::ActiveWorlds(), 0u);
  EXPECT_TRUE(qvtest::NoThreadNamed(segment));
  EXPECT_TRUE(qvtest::NoThreadNamed(other));
  World again;
  EXPECT_EQ(qvtest::ThreadsNamed(segment), 1) << "a new first world starts them again";
}

// The peer is killed; the watch, started by a world that has ended since,
// marks the surviving device of the other world dead within its period.
TEST(SharedMemoryWorld, APeerKilledWhileConnectedIsMarkedDead) {
  const std::string name = UniqueName("pk");
  SharedMailbox box;
  Child connector([&] { return ConnectorChild(box, name, 1, 3); });  // killed while it waits
  auto starter = std::make_unique<World>();
  World world;
  Link listener;
  ASSERT_TRUE(ListenAndConnect(world, listener, box, name));
  starter.reset();
  EXPECT_FALSE(listener->DeadQ());

  const auto killed = std::chrono::steady_clock::now();
  connector.Kill();
  ASSERT_TRUE(qvtest::WaitUntil([&] { return listener->DeadQ(); }, std::chrono::seconds(10)));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::milliseconds(4500));
}

// A device whose peer has not attached has no peer to lose: its read queue's
// writer id is still 0, which names no living process, yet the watch leaves it.
TEST(SharedMemoryWorld, TheWatchLeavesDevicesThatAreNotConnected) {
  World world;
  Link listener;
  ASSERT_EQ(world.Make(listener, UniqueName("nc"), kListen), 0);
  const uint64_t passes = shmworld::OtherProcessWatchPasses();
  ASSERT_TRUE(qvtest::WaitUntil([&] { return shmworld::OtherProcessWatchPasses() >= passes + 2; }));
  EXPECT_FALSE(listener->DeadQ());
}

// Installs the world's handler for these signals as the only one.
bool InstallDirectly(std::initializer_list<int> numbers) {
  struct sigaction action {};
  action.sa_handler = &QVSharedMemorySignalHandler;
  sigemptyset(&action.sa_mask);
  for (int number : numbers) {
    if (sigaction(number, &action, nullptr) != 0) return false;
  }
  return true;
}

// In a child: SIGCHLD leaves every device alone; SIGHUP marks each dead and
// removes its segment, the handler itself ending nothing, and the devices
// then close without touching what is gone.
TEST(SharedMemoryWorld, HangUpReleasesEveryDeviceAndChildSignalsDoNothing) {
  const std::string a = UniqueName("hua"), b = UniqueName("hub");
  Child child([&] {
    World world;
    Link first, second;
    if (world.Make(first, a, kListen) != 0 || world.Make(second, b, kConnect) != 0) return 1;
    if (!InstallDirectly({SIGCHLD, SIGHUP})) return 2;
    raise(SIGCHLD);
    if (first->DeadQ() || second->DeadQ() || !Exists(ShmPath(a)) || !Exists(ShmPath(b))) return 3;
    raise(SIGHUP);
    if (!first->DeadQ() || !second->DeadQ()) return 4;
    if (Exists(ShmPath(a)) || Exists(ShmPath(b))) return 5;
    first.Close();
    second.Close();
    return 0;
  });
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A real fault cleans up and then ends the process by the fault's signal
// instead of running the faulting instruction again for ever: with the
// handler installed alone, and behind the process's signal manager.
TEST(SharedMemoryWorld, AFaultRemovesTheSegmentAndStillEndsTheProcess) {
  for (const bool alone : {true, false}) {
    for (const int fault : {SIGSEGV, SIGBUS}) {
      SCOPED_TRACE(std::to_string(fault) + (alone ? " alone" : " managed"));
      const std::string name = UniqueName(fault == SIGSEGV ? "sv" : "bu") + (alone ? "a" : "m");
      Child child([&] {
        // No earlier handler (a sanitizer's would stand in for the world's).
        for (const int number : {SIGSEGV, SIGBUS}) ::signal(number, SIG_DFL);
        World world;
        Link listener;
        if (world.Make(listener, name, kListen) != 0) return 1;
        std::unique_ptr<QVSignalHandlerList> handlers(world->GetSignalHandlers());
        QVSignalHandlerManager manager;
        if (alone) {
          if (!InstallDirectly({fault})) return 2;
        } else {
          manager.setHandlers(*handlers);
          manager.startHandlingSignals();
        }
        if (fault == SIGSEGV) {
          qvtest::StoreIntoAnInaccessiblePage();
        } else {
          raise(fault);
        }
        return 3;
      });
      const int status = child.Wait();
      ASSERT_NE(status, -1) << "the process did not end";
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == fault) << "status " << status;
      EXPECT_FALSE(Exists(ShmPath(name)));
    }
  }
}

TEST(SharedMemoryWorld, AnswersAndPrintsWhatItIs) {
  World world;
  EXPECT_EQ(world->ProtocolName(), "SharedMemory");
  EXPECT_EQ(world->Modes(), 6u);
  EXPECT_EQ(world->StreamCapacity(), 100000);
  std::unique_ptr<QVSignalHandlerList> handlers(world->GetSignalHandlers());
  std::vector<std::pair<int, uintptr_t>> rows;
  for (const QVSignalHandler& handler : *handlers) rows.emplace_back(handler.getSignalNumber(), handler.getHandlerFunction());
  const auto input = reinterpret_cast<uintptr_t>(&unix_signal_handler);
  const auto own = reinterpret_cast<uintptr_t>(&QVSharedMemorySignalHandler);
  EXPECT_EQ(rows, (std::vector<std::pair<int, uintptr_t>>{{SIGIO, input}, {SIGURG, input}, {SIGCHLD, own},
                                                           {SIGSEGV, own}, {SIGBUS, own}, {SIGHUP, own},
                                                           {SIGPIPE, own}}));
  std::ostringstream out;
  world->PrintWorld(out);
  const std::string number = std::to_string(world->getWorldNumber());
  EXPECT_EQ(out.str(), "<QVSharedMemoryWorld><Id>" + ToStdString(world->Id()) +
                           "</Id><currentlyActiveWorlds>1</currentlyActiveWorlds><nextWorldNumber>" +
                           std::to_string(world->getWorldNumber() + 1) + "</nextWorldNumber><worldNumber>" +
                           number + "</worldNumber><nextDeviceNumber>" +
                           std::to_string(shmworld::NextDeviceNumber()) +
                           "</nextDeviceNumber></QVSharedMemoryWorld>");
}

}  // namespace

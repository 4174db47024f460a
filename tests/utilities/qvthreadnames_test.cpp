// Thread names: the system shows a thread's first 15 bytes, the library keeps
// its whole name while it lives. For the threads each subsystem starts, the
// whole name kept and the cut one in /proc/self/task/*/comm, both gone once
// the subsystem ends; and the keeping itself: long names, a name given while
// memory runs out, a thread's end and a fork.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fakednssd/fakednssd.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/device/qvshmtest.h"
#include "utilities/platform/qvthreadname.h"
#include "utilities/qvlinklog/qvlinklog.h"
#include "utilities/qvthreads.h"

namespace {

using Quorvane::QVThread;
using Quorvane::platform::CurrentThreadFullName;
using Quorvane::platform::kThreadNameLimit;
using Quorvane::platform::LiveThreadFullNames;

std::string Comm(pid_t tid) {
  std::string name;
  std::getline(std::ifstream("/proc/self/task/" + std::to_string(tid) + "/comm"), name);
  return name;
}

bool TaskExists(pid_t tid) { return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0; }

// The system ids of the live threads kept under that whole name.
std::vector<pid_t> ThreadsWithFullName(const std::string& name) {
  std::vector<pid_t> tids;
  for (const auto& thread : LiveThreadFullNames()) {
    if (Quorvane::ToStdString(thread.name) == name) tids.push_back(thread.tid);
  }
  return tids;
}

// ---------------------------------------------------------------- subsystems

// What one row starts, ended in reverse: links closed, the server shut down,
// the environment ended (which ends its worlds and its service manager).
struct Rig {
  Rig() : environment(RVBegin(nullptr)) {}
  ~Rig() {
    for (QVLink* link : links) RVClose(link);
    RVShutdownLinkServer(server);
    if (environment != nullptr) RVEnd(environment);
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  QVLink* Open(const std::string& command) {
    int error = 0;
    QVLink* link = RVOpenString(environment, command.c_str(), &error);
    if (link != nullptr) links.push_back(link);
    return link;
  }
  // A listener and its connector, both connected; the connector's name is
  // read from the listener.
  bool Pair(const std::string& listen, const std::string& connectBeforeName, const std::string& connectAfterName) {
    QVLink* listener = Open(listen);
    if (listener == nullptr) return false;
    QVLink* connector = Open(connectBeforeName + RVName(listener) + connectAfterName);
    if (connector == nullptr) return false;
    std::atomic<int> connected{0};
    std::thread other([&] { connected = RVConnect(connector); });
    const int accepted = RVConnect(listener);
    other.join();
    return accepted == 1 && connected.load() == 1;
  }

  RVEnvironment* environment;
  std::vector<QVLink*> links;
  RVLinkServer* server = nullptr;
};

void IgnoreBrowse(RVEnvironment*, RVServiceRef, int, const char*, void*) {}

// The connector of a shared-memory link, in a child forked before this
// process starts any library thread: at stage 1 it connects, reports 2, and
// closes at 3.
int SharedMemoryConnector(const qvshmtest::SharedMailbox& box, const std::string& name) {
  if (!qvshmtest::Reaches(box, 1)) return 10;
  RVEnvironment* environment = RVBegin(nullptr);
  if (environment == nullptr) return 11;
  int error = 0;
  QVLink* link = RVOpenString(environment, ("-linkmode connect -linkname " + name).c_str(), &error);
  int answer = link != nullptr && RVActivate(link) != 0 ? 0 : 12;
  if (answer == 0) box->stage = 2;
  if (answer == 0 && !qvshmtest::Reaches(box, 3)) answer = 13;
  if (link != nullptr) RVClose(link);
  RVEnd(environment);
  return answer;
}

struct SharedMemoryPeer {
  std::string name = qvshmtest::UniqueName("qvthreadnames");
  qvshmtest::SharedMailbox box;
  qvshmtest::Child child{[this] { return SharedMemoryConnector(box, name); }};
};

struct Row {
  const char* what;
  // Starts the subsystem; the whole names its threads must have.
  std::function<std::vector<std::string>(Rig&)> start;
};

TEST(ThreadNames, EachSubsystemsThreadsKeepTheirWholeNameWhileTheSystemShowsItsStart) {
  SharedMemoryPeer peer;
  ASSERT_GT(peer.child.pid(), 0);
  qvtest::TempDir folder;
  const Row rows[] = {
      {"shared memory",
       [&](Rig& rig) -> std::vector<std::string> {
         QVLink* listener = rig.Open("-linkmode listen -linkname " + peer.name);
         if (listener == nullptr) return {};
         peer.box->stage = 1;
         if (RVActivate(listener) == 0 || !qvshmtest::Reaches(peer.box, 2)) return {};
         return {"QV-SHM-SegmentWatch", "QV-SHM-OtherProcessWatch", "QV-SHM-" + peer.name + "-EventWatch"};
       }},
      {"TCPIP",
       [](Rig& rig) -> std::vector<std::string> {
         if (!rig.Pair("-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1",
                       "-linkprotocol TCPIP -linkmode connect -linkname ", "")) {
           return {};
         }
         return {"QV-TCPIP-SignalHandler", "QV-TCPIP-" + std::string(RVName(rig.links[0])) + "-WriteThread",
                 "QV-TCPIP-" + std::string(RVName(rig.links[1])) + "-WriteThread"};
       }},
      {"link log",
       [&](Rig& rig) -> std::vector<std::string> {
         if (!rig.Pair("-linkcreate -linkprotocol IntraProcess", "-linkconnect -linkname ",
                       " -linkprotocol IntraProcess") ||
             RVLogStreamToFile(rig.links[0], folder.file("log").c_str()) != 1) {
           return {};
         }
         const std::string device = RVName(rig.links[0]);
         const Quorvane::QVString kept = Quorvane::QVLinkLog::abbreviateName(
             Quorvane::ToQVString(device + "-LogThread"), Quorvane::QVLinkLog::minimumThreadNameLength);
         return {"QV-" + Quorvane::ToStdString(kept)};
       }},
      {"link server",
       [](Rig& rig) -> std::vector<std::string> {
         int error = -1;
         rig.server = RVNewLinkServerWithPortAndInterface(rig.environment, 0, "127.0.0.1", nullptr, &error);
         if (rig.server == nullptr) return {};
         return {"QV-LinkServer-EndPoint-Thread", "QV-LinkServer-QVLINK-Thread"};
       }},
      {"service manager",
       [](Rig& rig) -> std::vector<std::string> {
         fakednssd::Reset();
         RVServiceRef reference = nullptr;
         if (RVBrowseForLinkServices(rig.environment, &IgnoreBrowse, "qvtest", nullptr, nullptr, &reference) != 0) {
           return {};
         }
         return {"QV-DarwinServiceManager"};
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::string> names;
    std::vector<pid_t> seen;
    {
      Rig rig;
      ASSERT_NE(rig.environment, nullptr);
      names = row.start(rig);
      ASSERT_FALSE(names.empty()) << "could not start";
      for (const std::string& name : names) {
        std::vector<pid_t> tids;
        EXPECT_TRUE(qvtest::WaitUntil([&] { return !(tids = ThreadsWithFullName(name)).empty(); })) << name;
        for (pid_t tid : tids) {
          EXPECT_EQ(Comm(tid), name.substr(0, kThreadNameLimit)) << name;
          seen.push_back(tid);
        }
      }
    }
    for (const std::string& name : names) {
      EXPECT_TRUE(qvtest::WaitUntil([&] { return ThreadsWithFullName(name).empty(); })) << name;
    }
    for (pid_t tid : seen) EXPECT_TRUE(qvtest::WaitUntil([&] { return !TaskExists(tid); })) << tid;
  }
  peer.box->stage = 3;
  const int status = peer.child.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "connector child, wait status " << status;
}

// ---------------------------------------------------------------- the keeping

// Names a thread, reports what is kept for it while it lives, and ends it.
struct Named {
  std::string current;      // its own reading
  bool listedOnce = false;  // listed once, under its system id
  std::string comm;
  pid_t tid = 0;
};

Named NameAThread(const std::string& name) {
  Named named;
  std::thread([&] {
    QVThread::SetName(name);
    named.tid = gettid();
    named.current = Quorvane::ToStdString(CurrentThreadFullName());
    named.listedOnce = ThreadsWithFullName(named.current) == std::vector<pid_t>{named.tid};
    named.comm = Comm(named.tid);
  }).join();
  return named;
}

TEST(ThreadNames, TheWholeNameIsKeptUntilTheThreadEndsHoweverLong) {
  for (const std::string& name : {std::string("Short"), std::string(61, 'a'), std::string(62, 'b'),
                                 std::string(300, 'c') + "-End"}) {
    SCOPED_TRACE(name.size());
    const Named named = NameAThread(name);
    EXPECT_EQ(named.current, "QV-" + name);
    EXPECT_TRUE(named.listedOnce);
    EXPECT_EQ(named.comm, ("QV-" + name).substr(0, kThreadNameLimit));
    EXPECT_TRUE(ThreadsWithFullName("QV-" + name).empty());
  }
  // Named again: the later name replaces the earlier.
  std::string first, second;
  std::thread([&] {
    QVThread::SetName(std::string(200, 'x'));
    first = Quorvane::ToStdString(CurrentThreadFullName());
    QVThread::SetName("Again");
    second = Quorvane::ToStdString(CurrentThreadFullName());
  }).join();
  EXPECT_EQ(first, "QV-" + std::string(200, 'x'));
  EXPECT_EQ(second, "QV-Again");
  EXPECT_TRUE(ThreadsWithFullName(first).empty());
}

void* RefuseEveryBlock(uint64_t) { return nullptr; }

TEST(ThreadNames, NamingWhileMemoryRunsOutNeitherThrowsNorLosesTheName) {
  // The system's naming call is looked up once, beforehand.
  NameAThread("Warm");
  const std::string name = "Worker-" + std::string(100, 'm');
  std::atomic<int> step{0};
  std::string kept, comm;
  Quorvane::QVObject::SetAllocator(&RefuseEveryBlock);
  std::thread worker([&] {
    QVThread::SetName(name);
    step = 1;
    qvtest::WaitUntil([&] { return step.load() == 2; });
    kept = Quorvane::ToStdString(CurrentThreadFullName());
    comm = Comm(gettid());
  });
  const bool named = qvtest::WaitUntil([&] { return step.load() == 1; });
  Quorvane::QVObject::InstallDefaultAllocators();
  step = 2;
  worker.join();
  ASSERT_TRUE(named);
  // Kept cut where it has no room; the system's part is whole.
  EXPECT_FALSE(kept.empty());
  EXPECT_EQ(kept, ("QV-" + name).substr(0, kept.size()));
  EXPECT_EQ(comm, ("QV-" + name).substr(0, kThreadNameLimit));
}

TEST(ThreadNames, AForkedChildKnowsOnlyItsOwnThreadUnderItsNewId) {
  std::atomic<bool> named{false};
  std::atomic<bool> leave{false};
  std::thread other([&] {
    QVThread::SetName("Parents-Other-Thread");
    named = true;
    qvtest::WaitUntil([&] { return leave.load(); });
  });
  ASSERT_TRUE(qvtest::WaitUntil([&] { return named.load(); }));
  int status = -1;
  std::thread forking([&] {
    QVThread::SetName("Forking-Thread");
    status = qvtest::RunInChild([] {
      const auto live = LiveThreadFullNames();
      return live.size() == 1 && live[0].tid == gettid() && live[0].name == "QV-Forking-Thread" ? 0 : 1;
    });
  });
  forking.join();
  leave = true;
  other.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

}  // namespace

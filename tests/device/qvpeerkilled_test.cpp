// A listener whose connector died before the listener connected: the
// connecting program (started by the test, or launched by the link) opens its
// link, waits in its connect for the listener, tells the test so and is
// killed there with SIGKILL. The listener's RVConnect must then fail with
// error 1 (the link is lost) rather than wait for a peer that is gone, with
// or without a yield function of the user's that lets it wait, and also
// while the dead connector's parent has not reaped it. A watchdog
// ends the test process if RVConnect has not answered within ten seconds.
// And a SharedMemory name whose connector was killed is listened on again
// and serves the next connector.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "quorvane.h"
#include "support/qvconnectorchild.h"
#include "support/qvprivatenetwork.h"
#include "support/qvtest.h"
#include "tests/device/qvwatchdog.h"
#include "utilities/qvplatformthreads.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvsyncobjectnamerecordmanager.h"

namespace {

constexpr auto kConnectDeadline = std::chrono::seconds(10);
constexpr long kLinkLost = 1;

// A yield function that lets the wait go on: it must not hide the peer's death.
int GoOn(void*, QVYieldParams*) { return 0; }

struct Case {
  const qvtest::ListenerKind* kind;
  bool yields;    // the listener has a yield function of the user's
  bool unreaped;  // the connector's parent never reaps it: killed, it stays a zombie
};

std::string Suffix(const Case& c) { return std::string(c.yields ? "_Yielding" : "") + (c.unreaped ? "_Unreaped" : ""); }

void PrintTo(const Case& c, std::ostream* out) { *out << c.kind->name << Suffix(c); }

class PeerKilledBeforeConnect : public testing::TestWithParam<Case> {};

TEST_P(PeerKilledBeforeConnect, ListenersConnectAnswersTheLinkIsLost) {
  const qvtest::ListenerKind& kind = *GetParam().kind;
  // Before the library starts any thread: the namespace needs a process of one thread.
  if (kind.anyAddress && !qvtest::EnterPrivateNetwork()) {
    GTEST_SKIP() << "no private network namespace (" << qvtest::PrivateNetworkRefusal()
                 << "): the listener would bind this machine's interfaces";
  }
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  QVLink* link = nullptr;
  int connected = -1;
  {
    // Kept while the listener connects: an unreaped connector stays a zombie as long.
    qvtest::ListenerWithConnector peer(environment, kind, QV_CONNECTOR_CHILD, qvtest::PrivateRoot(),
                                       GetParam().unreaped ? qvtest::ConnectorParent::kNonReaping
                                                           : qvtest::ConnectorParent::kCaller);
    link = peer.link();
    ASSERT_EQ(peer.failure(), "");
    ASSERT_TRUE(peer.told().stage == "waiting" || peer.told().stage == "connected") << peer.told().stage;
    ASSERT_TRUE(peer.KillConnector()) << "the connector outlived SIGKILL";
    if (GetParam().yields) {
      ASSERT_EQ(RVSetYieldFunction(link, &GoOn), 1);
    }
    qvtest::Watchdog watchdog(kConnectDeadline, std::string(kind.name) + Suffix(GetParam()) +
                                            ": RVConnect with a killed connector");
    connected = RVConnect(link);
  }
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(RVError(link), kLinkLost) << RVErrorString(environment, RVError(link));
  RVClose(link);
  RVDeinitialize(environment);
}

// Every kind with and without a yield function; every kind whose connector
// the test starts also with a connector left unreaped.
std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const qvtest::ListenerKind& kind : qvtest::kListenerKinds) {
    for (const bool yields : {false, true}) cases.push_back({&kind, yields, false});
    if (!kind.launches) cases.push_back({&kind, false, true});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Devices, PeerKilledBeforeConnect, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& row) {
                           return std::string(row.param.kind->name) + Suffix(row.param);
                         });

// A program of the connector's, the caller's child: /bin/sh runs line.
pid_t StartConnector(const std::string& line) {
  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The path of this process's record of named objects.
std::string RecordOfThisProcess() {
  Quorvane::QVSmartPointer<Quorvane::QVSyncObjectNameRecordManager> manager =
      Quorvane::QVSyncObjectNameRecordManager::defaultManager();
  return Quorvane::ToStdString(Quorvane::getThreadSyncDir()) + "/" +
         Quorvane::ToStdString(manager->computeRecordFileName(getpid()));
}

std::chrono::steady_clock::time_point gGiveUpAt;
int UntilGiveUp(void*, QVYieldParams*) { return std::chrono::steady_clock::now() >= gGiveUpAt ? 1 : 0; }

// A SharedMemory listener whose connector was killed is closed, and the same
// name is listened on again: the new listener's objects are its own (what
// the dead connector's record names must not remove them), so a live
// connector connects and carries a value both ways. Round after round.
TEST(SharedMemoryNameReuse, AListenerReopenedAfterItsConnectorWasKilledServesTheNextConnector) {
  constexpr int kRounds = 5;
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  const std::string name = "qvreuse" + std::to_string(getpid());
  const std::string listen = "-linkprotocol SharedMemory -linkmode listen -linkname " + name;
  const std::string connect = " -linkprotocol SharedMemory -linkmode connect -linkname " + name;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    int error = 0;
    QVLink* first = RVOpenString(environment, listen.c_str(), &error);
    ASSERT_NE(first, nullptr) << "error " << error;
    {
      qvtest::ConnectorReport report(qvtest::PrivateRoot());
      const pid_t killed = StartConnector(std::string("exec ") + QV_CONNECTOR_CHILD + " " + report.path() + connect);
      ASSERT_GT(killed, 0);
      const qvtest::ConnectorReport::Line told = report.Await(std::chrono::seconds(20));
      ASSERT_EQ(told.pid, killed) << "the connector never told how far it got";
      ASSERT_TRUE(qvtest::KillAndAwaitEnd(killed, true));
    }
    {
      qvtest::Watchdog watchdog(kConnectDeadline, "RVConnect with a killed connector");
      EXPECT_EQ(RVConnect(first), 0);
    }
    RVClose(first);

    QVLink* again = RVOpenString(environment, listen.c_str(), &error);
    ASSERT_NE(again, nullptr) << "the name was not free again: error " << error;
    // Once the closed listener's queued removals are written (a probe's
    // removal, queued after them, is), the record still names every object
    // of the new one, so a crash of this process would not leave them.
    const std::string record = RecordOfThisProcess();
    {
      Quorvane::QVFileLockingMutexHandle probe(Quorvane::ToQVString("probe" + name));
    }
    Quorvane::QVSyncObjectNameRecordManager::defaultManager()->flushRemovedObjectsFromSystemRecord();
    ASSERT_TRUE(qvtest::WaitUntil([&] { return ReadAll(record).find("probe") == std::string::npos; }));
    for (const char* suffix : {"ffrdcon:FC", "ffrmcon:FC", "fffsrdcon:FC", "wrlck:FM", "rdlck:FM", "wrmsglck:FM",
                               "rdmsglck:FM"}) {
      EXPECT_NE(ReadAll(record).find(name + suffix), std::string::npos) << suffix << " is missing from the record";
    }
    qvtest::ConnectorReport report(qvtest::PrivateRoot());
    const pid_t live = StartConnector(std::string("exec ") + QV_CONNECTOR_CHILD + " " + report.path() + " " +
                                      qvtest::kEchoWord + connect);
    ASSERT_GT(live, 0);
    gGiveUpAt = std::chrono::steady_clock::now() + kConnectDeadline;
    ASSERT_EQ(RVSetYieldFunction(again, &UntilGiveUp), 1);
    ASSERT_EQ(RVConnect(again), 1) << "error " << RVError(again) << "; the connector told \""
                                   << report.Await(std::chrono::seconds(1)).stage << "\"";
    ASSERT_EQ(RVPutInteger32(again, 41 + round), 1);
    ASSERT_EQ(RVFlush(again), 1) << "error " << RVError(again);
    int answer = 0;
    EXPECT_EQ(RVGetInteger32(again, &answer), 1) << "error " << RVError(again);
    EXPECT_EQ(answer, 42 + round);
    // Closed once the connector's own flush has returned: a close that
    // overtakes a flush in progress is another case than this one.
    EXPECT_EQ(report.Await(kConnectDeadline).stage, "answered");
    RVClose(again);
    int status = -1;
    EXPECT_TRUE(qvtest::WaitUntil([&] { return waitpid(live, &status, WNOHANG) == live; }, kConnectDeadline));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  RVDeinitialize(environment);
}

}  // namespace

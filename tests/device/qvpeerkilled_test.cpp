// A listener whose connector died before the listener connected: the
// connecting program (started by the test, or launched by the link) opens its
// link, waits in its connect for the listener, tells the test so and is
// killed there with SIGKILL. The listener's RVConnect must then fail with
// error 1 (the link is lost) rather than wait for a peer that is gone, with
// or without a yield function of the user's that lets it wait. A watchdog
// ends the test process if RVConnect has not answered within ten seconds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "quorvane.h"
#include "support/qvconnectorchild.h"
#include "support/qvprivatenetwork.h"
#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"

namespace {

constexpr auto kConnectDeadline = std::chrono::seconds(10);
constexpr long kLinkLost = 1;

// Ends the process, saying why, unless disarmed (destroyed) in time: a wait
// that never ends must fail the test, not hang it to the case's time-out.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds within, std::string what) : what_(std::move(what)) {
    thread_ = std::thread([this, within] {
      std::unique_lock<std::mutex> hold(mutex_);
      if (done_.wait_for(hold, within, [this] { return disarmed_; })) return;
      std::fprintf(stderr, "FAILED: %s still waits after %lld s\n", what_.c_str(),
                   static_cast<long long>(within.count()));
      std::fflush(stderr);
      qvtest::RemoveTree(qvtest::PrivateRoot());
      _exit(3);
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      disarmed_ = true;
    }
    done_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::string what_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool disarmed_ = false;
  std::thread thread_;
};

struct Device {
  const char* name;
  // The listener's open string. A launching one gets "-linkname" and the
  // connector's command line after it; a listening one whose name is drawn
  // here gets "-linkname" and the name.
  const char* listen;
  bool launches;
  bool named;
  // The connector's words before its "-linkname" (a listening link only).
  const char* connect;
  // The name the connector connects to, from the listener's name.
  std::string (*connectTo)(const std::string& listenerName);
  bool anyAddress;  // the listener binds the any-address
  // Why the row is skipped: a fault of that device that is known, not mended yet.
  const char* knownFault = nullptr;
};

std::string Same(const std::string& name) { return name; }
std::string PortOnLoopback(const std::string& name) { return std::to_string(std::atoi(name.c_str())) + "@127.0.0.1"; }

// A yield function that lets the wait go on: it must not hide the peer's death.
int GoOn(void*, QVYieldParams*) { return 0; }

struct Case {
  Device device;
  bool yields;  // the listener has a yield function of the user's
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.device.name << (c.yields ? " yielding" : ""); }

class PeerKilledBeforeConnect : public testing::TestWithParam<Case> {};

TEST_P(PeerKilledBeforeConnect, ListenersConnectAnswersTheLinkIsLost) {
  const Device& device = GetParam().device;
  if (device.knownFault != nullptr) GTEST_SKIP() << device.knownFault;
  if (device.anyAddress) {
    // Before the library starts any thread: the namespace needs a process of one thread.
    if (!qvtest::EnterPrivateNetwork()) {
      GTEST_SKIP() << "no private network namespace (" << qvtest::PrivateNetworkRefusal()
                   << "): the listener would bind this machine's interfaces";
    }
  }
  qvtest::ConnectorReport report(qvtest::PrivateRoot());
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  const std::string program = QV_CONNECTOR_CHILD;
  std::string open = device.listen;
  if (device.launches) open += " -linkname '" + program + " " + report.path() + "'";
  if (device.named) open += " -linkname qvpeer" + std::to_string(getpid());
  int error = 0;
  QVLink* link = RVOpenString(environment, open.c_str(), &error);
  ASSERT_NE(link, nullptr) << open << ": " << error;
  pid_t started = 0;
  if (!device.launches) {
    const std::string connectTo = device.connectTo(RVName(link));
    const std::string command =
        "exec '" + program + "' '" + report.path() + "' " + device.connect + " -linkname " + connectTo;
    started = fork();
    ASSERT_GE(started, 0);
    if (started == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  qvtest::ChildKiller killer(started);
  const qvtest::ConnectorReport::Line told = report.Await(std::chrono::seconds(20));
  ASSERT_GT(told.pid, 0) << "the connector never told how far it got";
  ASSERT_TRUE(told.stage == "waiting" || told.stage == "connected") << told.stage;
  ASSERT_TRUE(qvtest::KillAndAwaitEnd(told.pid, !device.launches)) << "the connector outlived SIGKILL";
  killer.release();

  if (GetParam().yields) {
    ASSERT_EQ(RVSetYieldFunction(link, &GoOn), 1);
  }
  int connected = -1;
  {
    Watchdog watchdog(kConnectDeadline, std::string(device.name) + ": RVConnect with a killed connector");
    connected = RVConnect(link);
  }
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(RVError(link), kLinkLost) << RVErrorString(environment, RVError(link));
  RVClose(link);
  RVDeinitialize(environment);
}

constexpr Device kDevices[] = {
    {"SharedMemory", "-linkprotocol SharedMemory -linkmode listen", false, true,
     "-linkprotocol SharedMemory -linkmode connect", &Same, false},
    {"SharedMemoryLaunched", "-linkmode launch", true, false, "", nullptr, false},
    {"Pipes", "-linkprotocol Pipes -linkmode launch", true, false, "", nullptr, false},
    {"TCP", "-linkprotocol TCP -linkmode listen -linkname 0", false, false, "-linkprotocol TCP -linkmode connect",
     &PortOnLoopback, true},
    {"TCPIPOld", "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1", false, false,
     "-linkprotocol TCPIP -linkmode connect", &Same, false,
     "the listener of the old model, once it has answered the connector's request for a message port, waits "
     "for the message connection of a connector that died with only the yield function to end it"},
    {"TCPIPNew", "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1 -linkoptions QVUseNewTCPIPConnection",
     false, false, "-linkprotocol TCPIP -linkmode connect -linkoptions QVUseNewTCPIPConnection", &Same, false},
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const Device& device : kDevices) {
    for (const bool yields : {false, true}) cases.push_back({device, yields});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Devices, PeerKilledBeforeConnect, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& row) {
                           return std::string(row.param.device.name) + (row.param.yields ? "_Yielding" : "");
                         });

}  // namespace

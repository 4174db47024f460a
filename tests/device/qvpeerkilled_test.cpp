// A listener whose connector died before the listener connected: the
// connecting program (started by the test, or launched by the link) opens its
// link, waits in its connect for the listener, tells the test so and is
// killed there with SIGKILL. The listener's RVConnect must then fail with
// error 1 (the link is lost) rather than wait for a peer that is gone, with
// or without a yield function of the user's that lets it wait, and also
// while the dead connector's parent has not reaped it. A watchdog
// ends the test process if RVConnect has not answered within ten seconds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "quorvane.h"
#include "support/qvconnectorchild.h"
#include "support/qvprivatenetwork.h"
#include "support/qvtest.h"
#include "tests/device/qvwatchdog.h"

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

}  // namespace

// A link waiting for its peer keeps asking its yield function whether to go
// on: the function given to RVSetYieldFunction is called, through its own
// type, with the link, and its nonzero answer ends the wait. One row a
// device, each listening where no peer ever comes (sockets on loopback only).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "quorvane.h"
#include "tests/device/qvtcptest.h"

namespace {

const bool kPrivateNetwork = qvtest::EnterPrivateNetwork();

struct Listener {
  const char* device;
  const char* open;  // the open string
  bool named;        // a name of this process's own follows it
};

std::atomic<int> gCalls{0};
std::atomic<void*> gSeen{nullptr};

int GiveUpOnThirdCall(void* link, QVYieldParams*) {
  gSeen = link;
  return ++gCalls >= 3 ? 1 : 0;
}

class LinkYield : public testing::TestWithParam<Listener> {};

TEST_P(LinkYield, ListeningLinkCallsItsYieldFunctionWithItselfAndBacksOutWhenAsked) {
  const Listener& listener = GetParam();
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  std::string command = listener.open;
  if (listener.named) command += " -linkname qvyield" + std::to_string(getpid());
  int error = 0;
  QVLink* link = RVOpenString(environment, command.c_str(), &error);
  ASSERT_NE(link, nullptr) << error;
  ASSERT_EQ(RVSetYieldFunction(link, &GiveUpOnThirdCall), 1);
  EXPECT_EQ(RVYieldFunction(link), &GiveUpOnThirdCall);
  gCalls = 0;
  gSeen = nullptr;
  EXPECT_EQ(RVConnect(link), 0) << "no peer came, yet the link connected";
  EXPECT_EQ(gCalls.load(), 3);
  EXPECT_EQ(gSeen.load(), static_cast<void*>(link));
  RVClose(link);
  RVDeinitialize(environment);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, LinkYield,
    testing::Values(Listener{"IntraProcess", "-linkprotocol IntraProcess -linkmode listen", true},
                    Listener{"SharedMemory", "-linkprotocol SharedMemory -linkmode listen", true},
                    Listener{"TCPIP",
                             "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1 -linkoptions "
                             "QVUseNewTCPIPConnection",
                             false},
                    Listener{"TCP", "-linkprotocol TCP -linkmode listen -linkname 0", false}),
    [](const testing::TestParamInfo<Listener>& row) { return std::string(row.param.device); });

}  // namespace

// The two server forms that pick the machine's preferred interface, in a
// private network namespace where loopback is the only interface: the
// interface they report, the port asked for or chosen, a port in use, and a
// pair of connections to the reported address becoming a link.
#include <netdb.h>
#include <sys/socket.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/device/qvtcptest.h"
#include "tests/network/qvlinkservertest.h"

namespace {

using namespace qvlinkservertest;

// Before any thread exists.
const bool kPrivateNetwork = qvtest::EnterPrivateNetwork();

class PreferredServer : public ServerFixture {
 protected:
  void SetUp() override {
    if (!kPrivateNetwork) GTEST_SKIP() << "no private network namespace here; the forms would use a real interface";
    ServerFixture::SetUp();
  }
  std::string Interface(RVLinkServer* server) {
    int error = -2;
    char* text = RVInterfaceFromLinkServer(server, &error);
    EXPECT_EQ(error, 0);
    const std::string copy = text != nullptr ? text : "";
    RVReleaseInterfaceFromLinkServer(server, text);
    return copy;
  }
};

// The IPv4 address a host text stands for, in presentation form.
std::string Numeric(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return "";
  char text[NI_MAXHOST] = {};
  ::getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
  ::freeaddrinfo(found);
  return text;
}

TEST_F(PreferredServer, SystemPortOnLoopbackMakesLinks) {
  int error = -2;
  server_ = RVNewLinkServer(environment_, &collector_, &error);
  ASSERT_NE(server_, nullptr);
  EXPECT_EQ(error, 0);
  port_ = RVPortFromLinkServer(server_, &error);
  EXPECT_NE(port_, 0);
  EXPECT_EQ(Numeric(Interface(server_)), "127.0.0.1");
  RVRegisterCallbackFunctionWithLinkServer(server_, &Collector::Receive);
  ExpectPairBecomesLink(3);
}

TEST_F(PreferredServer, GivenPortIsUsedAndAPortInUseIsForty) {
  int error = -2;
  RVLinkServer* first = RVNewLinkServer(environment_, nullptr, &error);
  ASSERT_NE(first, nullptr);
  const unsigned short taken = RVPortFromLinkServer(first, nullptr);
  EXPECT_EQ(RVNewLinkServerWithPort(environment_, taken, nullptr, &error), nullptr);
  EXPECT_EQ(error, 40);
  RVShutdownLinkServer(first);
  // Free again once the first server is gone: asked for, it is the port used.
  server_ = RVNewLinkServerWithPort(environment_, taken, nullptr, &error);
  ASSERT_NE(server_, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(RVPortFromLinkServer(server_, &error), taken);
  EXPECT_EQ(error, 0);
}

}  // namespace

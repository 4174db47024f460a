// A "TCPIP" service registered by protocol name is reachable as advertised: a
// peer that opens the advertised link name with the advertised options
// connects, and an expression crosses. Against the stand-in DNS-SD library,
// in a network namespace of the test's own with loopback only, since the
// listener takes the machine's preferred interface.
#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fakednssd/fakednssd.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/api/qvenvironmenttest.h"
#include "tests/device/qvtcptest.h"

namespace {

const bool kPrivateNetwork = qvtest::EnterPrivateNetwork();

void Ignore(RVEnvironment*, RVServiceRef, int, const char*, void*) {}

// The value of key in the advertised TXT record, or "" when it is missing.
std::string Advertised(const fakednssd::Call& call, const std::string& key) {
  for (const auto& [k, v] : fakednssd::ParseTXT(call.txt)) {
    if (k == key) return v;
  }
  return "";
}

TEST(ServiceByProtocol, TCPIPListenerIsWhatItAdvertises) {
  if (!kPrivateNetwork) GTEST_SKIP() << "no network namespace for the test";
  fakednssd::Reset();
  qvtest::EnvironmentHandle environment(RVBegin(nullptr));
  ASSERT_NE(environment, nullptr);
  RVServiceRef reference = nullptr;
  int error = -7;
  QVLink* listener = QVRegisterLinkServiceUsingLinkProtocol(environment.get(), "qvtest", "Proto", 0, "", "TCPIP",
                                                            &Ignore, nullptr, nullptr, &reference, &error);
  ASSERT_NE(listener, nullptr) << error;
  const auto calls = fakednssd::CallsOf("DNSServiceRegister");
  ASSERT_EQ(calls.size(), 1u);
  const std::string name = Advertised(calls[0], "linkname");
  const std::string options = Advertised(calls[0], "options");
  EXPECT_EQ(options, "1048832");
  ASSERT_NE(name.find("@127.0.0.1"), std::string::npos) << name;
  // A two-port name would be a listener of the other wire model.
  ASSERT_EQ(name.find(','), std::string::npos) << name;

  const std::string open = "-linkconnect -linkprotocol TCPIP -linkoptions " + options + " -linkname " + name;
  QVLink* connector = RVOpenString(environment.get(), open.c_str(), &error);
  ASSERT_NE(connector, nullptr) << error;
  std::atomic<int> connected{-1};
  std::thread connecting([&] { connected = RVConnect(connector); });
  const int accepted = RVConnect(listener);
  connecting.join();
  ASSERT_EQ(accepted, 1) << RVError(listener);
  ASSERT_EQ(connected.load(), 1) << RVError(connector);

  ASSERT_EQ(RVPutFunction(connector, "Plus", 2), 1);
  ASSERT_EQ(RVPutInteger32(connector, 20), 1);
  ASSERT_EQ(RVPutInteger32(connector, 22), 1);
  ASSERT_EQ(RVFlush(connector), 1);
  int count = 0;
  ASSERT_EQ(RVTestHead(listener, "Plus", &count), 1) << RVError(listener);
  EXPECT_EQ(count, 2);
  int first = 0;
  int second = 0;
  EXPECT_EQ(RVGetInteger32(listener, &first), 1);
  EXPECT_EQ(RVGetInteger32(listener, &second), 1);
  EXPECT_EQ(first + second, 42);
  RVClose(connector);
  RVClose(listener);
}

}  // namespace

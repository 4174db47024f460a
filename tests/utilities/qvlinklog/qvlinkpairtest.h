// A connected pair of links in one process, "IntraProcess" or "TCPIP" over
// 127.0.0.1, whose listener the link-log tests log.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "api/qvlink.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "utilities/qvlinklog/qvlinklog.h"
#include "tests/utilities/qvlinklog/qvlogfiletest.h"

namespace qvlinklogtest {

// The name the system shows for a thread the library named so.
inline std::string ShownThreadName(const std::string& kept) { return ("QV-" + kept).substr(0, 15); }

// The listener, logged in the tests, and the connector, served by a thread
// of its own.
class LinkPair : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_ = RVBegin(nullptr);
    ASSERT_NE(environment_, nullptr);
    int error = -1;
    const bool tcpip = protocol_ == "TCPIP";
    const char* listen =
        tcpip ? "-linkprotocol TCPIP -linkmode listen -linkname @127.0.0.1" : "-linkcreate -linkprotocol IntraProcess";
    listener_ = RVOpenString(environment_, listen, &error);
    ASSERT_NE(listener_, nullptr) << error;
    const std::string connect = tcpip ? "-linkprotocol TCPIP -linkmode connect -linkname " : "-linkconnect -linkname ";
    const std::string command = connect + RVName(listener_) + " -linkprotocol " + protocol_;
    connector_ = RVOpenString(environment_, command.c_str(), &error);
    ASSERT_NE(connector_, nullptr) << error;
    std::thread other([this] { RVConnect(connector_); });
    ASSERT_EQ(RVConnect(listener_), 1);
    other.join();
    ASSERT_EQ(RVError(connector_), 0);
  }

  void TearDown() override {
    if (listener_ != nullptr) RVClose(listener_);
    if (connector_ != nullptr) RVClose(connector_);
    if (environment_ != nullptr) RVEnd(environment_);
  }

  // The connector answers one call: Plus[a, b] -> a + b.
  std::thread Answerer() {
    return std::thread([this] {
      const char* head = nullptr;
      int count = 0;
      if (RVGetFunction(connector_, &head, &count) == 0) return;
      RVReleaseSymbol(connector_, head);
      int a = 0, b = 0;
      RVGetInteger(connector_, &a);
      RVGetInteger(connector_, &b);
      RVPutInteger(connector_, a + b);
      RVEndPacket(connector_);
      RVFlush(connector_);
    });
  }

  // The listener calls Plus[a, b] and answers the sum it received.
  int Call(int a, int b) {
    std::thread answering = Answerer();
    RVPutFunction(listener_, "Plus", 2);
    RVPutInteger(listener_, a);
    RVPutInteger(listener_, b);
    RVEndPacket(listener_);
    RVFlush(listener_);
    int sum = -1;
    RVGetInteger(listener_, &sum);
    answering.join();
    return sum;
  }

  Quorvane::QVLinkLog* Log() { return listener_->log.get(); }

  std::string protocol_ = "IntraProcess";

  RVEnvironment* environment_ = nullptr;
  QVLink* listener_ = nullptr;
  QVLink* connector_ = nullptr;
  qvtest::TempDir folder_;
};

}  // namespace qvlinklogtest

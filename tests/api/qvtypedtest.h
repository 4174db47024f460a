// Links for the typed-call tests: loopback links as the loopback opener
// leaves them, and links over a scripted device established from this side's
// own features (no exchange, so the device sees only what the calls write).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "api/qvenvironment.h"
#include "api/qvfeatureset.h"
#include "api/qvlink.h"
#include "quorvane.h"
#include "tests/api/qvenvironmenttest.h"
#include "tests/support/qvscripteddevice.h"

namespace qvtest {

// An environment allocator that notes the largest block it was asked for:
// a peer declaring a huge size must not make a reader ask for it.
class LargestRequest {
 public:
  static void* Allocate(uint64_t size) {
    uint64_t seen = Largest().load();
    while (size > seen && !Largest().compare_exchange_weak(seen, size)) {
    }
    return std::malloc(size);
  }
  static void Free(void* block) { std::free(block); }
  static void Reset() { Largest() = 0; }
  static uint64_t Get() { return Largest().load(); }

 private:
  static std::atomic<uint64_t>& Largest() {
    static std::atomic<uint64_t> largest{0};
    return largest;
  }
};

class TypedLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_.reset(BeginWithoutDevices());
    ASSERT_NE(environment_, nullptr);
  }

  // Ends the environment and starts another without device worlds, with
  // whatever configure sets on its parameters.
  void RestartEnvironment(const std::function<void(RVEnvironmentParameters*)>& configure) {
    environment_.reset();
    RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
    ASSERT_NE(parameters, nullptr);
    RVSetDeviceParameter(parameters, "");
    configure(parameters);
    environment_.reset(RVBegin(parameters));
    RVReleaseParameters(parameters);
    ASSERT_NE(environment_, nullptr);
  }

  // An environment whose allocator is LargestRequest's.
  void RestartRecordingRequests() {
    RestartEnvironment([](RVEnvironmentParameters* p) {
      RVSetAllocParameter(p, LargestRequest::Allocate, LargestRequest::Free);
    });
  }

  // features: the optional token forms the link may write (short lengths,
  // packed runs, array tokens); all of them by default.
  QVLink* Loopback(uint64_t features = QVFEATURE_ALL) {
    QVLink* link = QVInternalMake(environment_->globals, {}, nullptr);
    if (link == nullptr) return nullptr;
    QVMakeLoopback(link);
    feature_set own = OwnFeatures();
    own.features = (own.features & ~uint64_t{QVFEATURE_ALL}) | features;
    EXPECT_EQ(RVEstablish(link, &own), 1);
    return link;
  }

  // A loopback link holding one packet of what put writes, flushed.
  QVLink* LoopbackHolding(const std::function<void(QVLink*)>& put) {
    QVLink* link = Loopback();
    if (link == nullptr) return nullptr;
    put(link);
    EXPECT_EQ(RVEndPacket(link), 1);
    EXPECT_EQ(RVFlush(link), 1);
    return link;
  }

  // Established over the device; the test reads what it writes with Captured().
  QVLink* Scripted(ScriptedDevice& device) {
    QVLink* link = QVInternalMake(environment_->globals, device.TakeInstance(), nullptr);
    if (link == nullptr) return nullptr;
    feature_set features = OwnFeatures();
    EXPECT_EQ(RVEstablish(link, &features), 1);
    return link;
  }

  // A call the discipline refuses does so on a null link, and on link under
  // a pending error that refuses it (3), which it leaves and which is then
  // cleared; the caller checks the call's outputs inside it and that the
  // input is still unread afterwards.
  static void ExpectRefusedOnNullLinkAndPendingError(const std::function<int(QVLink*)>& call, QVLink* link) {
    {
      SCOPED_TRACE("null link");
      EXPECT_EQ(call(nullptr), 0);
    }
    SCOPED_TRACE("pending error");
    ASSERT_NE(link, nullptr);
    link->error = 3;
    EXPECT_EQ(call(link), 0);
    EXPECT_EQ(RVError(link), 3);
    ASSERT_EQ(RVClearError(link), 1);
  }

  feature_set OwnFeatures() {
    feature_set features = environment_->ownFeatures;
    std::strcpy(features.numerics_id, "UniqueID");
    return features;
  }

  static void Destroy(QVLink* link) {
    long a = 0;
    long b = 0;
    QVDestroy(link, &a, &b);
  }

  // Bytes written as hex pairs "A1 2C 0A".
  static std::string Hex(const std::string& bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
      std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", c);
      out += b;
    }
    return out;
  }

  EnvironmentHandle environment_;
};

}  // namespace qvtest

// Links over the device framework: a bridged world registered with an
// environment's manager makes the device of a link opened from real link
// options, the public device-information call reaches it, and closing the
// link closes the device once; without a world, an open answers an error code.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "api/qvenvironment.h"
#include "api/qvqueries.h"
#include "quorvane.h"
#include "qvfakeworld.h"
#include "tests/api/qvenvironmenttest.h"
#include "user/qvopen.h"

namespace {

using qvtest::Fake;

int Closes() {
  const auto& calls = Fake().calls;
  return static_cast<int>(std::count(calls.begin(), calls.end(), "device.notifyForClosedConnection"));
}

class DeviceLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fake() = qvtest::FakeRecord();
    environment_.reset(qvtest::BeginWithoutDevices());
    ASSERT_NE(environment_, nullptr);
    environment_->deviceManager->registerWorldForTesting(&qvtest::FakeMain);
  }

  qvtest::EnvironmentHandle environment_;
};

TEST_F(DeviceLinkTest, OpenMakesTheDeviceAndCloseClosesItOnce) {
  int error = -7;
  QVLink* link = RVOpenString(environment_.get(), "-linkprotocol Fake -linkmode Connect -linkname quotes-1", &error);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Fake().devicesAlive, 1);
  EXPECT_STREQ(RVName(link), "quotes-1");

  int64_t word = 0;
  long size = sizeof word;
  EXPECT_EQ(RVDeviceInformation(link, 0x80000000UL, &word, &size), 1);
  EXPECT_EQ(word, 12);  // the public number of raw type 4
  word = 0;
  EXPECT_EQ(RVDeviceInformation(link, 0x80000006UL, &word, &size), 1);
  EXPECT_EQ(word, 4);  // a connecting device

  // Codes that would reach close or a world selector are refused, and the device lives on.
  for (unsigned long code : {21UL, 16UL, 17UL, 18UL, 29UL, 34UL, 0x80000005UL}) {
    EXPECT_EQ(RVDeviceInformation(link, code, &word, &size), 0) << code;
  }
  EXPECT_EQ(Fake().devicesAlive, 1);
  EXPECT_EQ(Closes(), 0);

  RVClose(link);
  EXPECT_EQ(Fake().devicesAlive, 0);
  EXPECT_EQ(Closes(), 1);
}

TEST_F(DeviceLinkTest, WorldRefusalsComeBackAsTheOpensError) {
  struct RefusalCase {
    Quorvane::qvexceptiontype thrown;
    int error;
  };
  for (const RefusalCase& c : {RefusalCase{Quorvane::qvexceptiontype::nameInUse, 40},
                               RefusalCase{Quorvane::qvexceptiontype::badLinkName, 42},
                               RefusalCase{Quorvane::qvexceptiontype::notFound, 41},
                               RefusalCase{Quorvane::qvexceptiontype::internalError, -1}}) {
    Fake().plan = {"world.MakeDevice",
                   [&c] { throw Quorvane::QVException("refused", "test", 1, c.thrown, 0); }, 0};
    int error = 0;
    EXPECT_EQ(RVOpenString(environment_.get(), "-linkprotocol Fake -linkmode Connect -linkname n", &error), nullptr);
    EXPECT_EQ(error, c.error);
  }
  EXPECT_EQ(Fake().devicesAlive, 0);
}

// No world serves the link: an error code, never a stand-in device or an exception.
TEST(DeviceLink, EnvironmentWithoutAWorldAnswersAnOpenWith34) {
  for (bool withDevices : {false, true}) {
    SCOPED_TRACE(withDevices ? "library worlds loaded" : "made without devices");
    qvtest::EnvironmentHandle environment(withDevices ? RVBegin(nullptr) : qvtest::BeginWithoutDevices());
    ASSERT_NE(environment, nullptr);
    for (const char* command : {"-linkprotocol TCPIP -linkmode Connect -linkname 8000",
                                "-linkmode Listen -linkname some-link", "-linkprotocol Nowhere -linkmode Connect"}) {
      // The loaded worlds serve named SharedMemory and TCPIP links.
      if (withDevices && std::string(command).find("Nowhere") == std::string::npos) continue;
      int error = 0;
      EXPECT_EQ(RVOpenString(environment.get(), command, &error), nullptr) << command;
      EXPECT_EQ(error, 34) << command;
    }
  }
}

}  // namespace

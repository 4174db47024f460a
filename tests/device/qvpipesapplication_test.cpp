// The installable program launched over Pipes by a host: the definition and
// an Algorithm3 answer.
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "application/qvalgorithm3.h"
#include "application/qvapplication.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/device/qvpipestest.h"

namespace {

constexpr int kDays = 250;
constexpr long kTerminate = 1;

class PipesApplication : public ::testing::Test {
 protected:
  void SetUp() override {
    environment_ = RVInitialize(nullptr);
    ASSERT_NE(environment_, nullptr);
    const std::string command = std::string("-linkprotocol Pipes -linkmode launch -linkname ") + QV_BINARY_DIR +
                                "/application/quorvane-algorithm3";
    int error = 0;
    link_ = RVOpenString(environment_, command.c_str(), &error);
    ASSERT_NE(link_, nullptr) << error;
    ASSERT_EQ(RVConnect(link_), 1) << RVError(link_);
  }
  void TearDown() override {
    if (link_ != nullptr) RVClose(link_);
    if (environment_ != nullptr) RVDeinitialize(environment_);
    for (int pid : qvtest::ChildrenOfThisProcess()) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  void ReadDefinition() {
    int count = -1;
    ASSERT_EQ(RVTestHead(link_, "DefineExternal", &count), 1) << RVError(link_);
    EXPECT_EQ(count, 3);
    for (const char* expected : {Quorvane::kAlgorithm3Pattern, Quorvane::kAlgorithm3Arguments}) {
      const char* text = nullptr;
      ASSERT_EQ(RVGetString(link_, &text), 1) << RVError(link_);
      EXPECT_STREQ(text, expected);
      RVReleaseString(link_, text);
    }
    int index = -1;
    EXPECT_EQ(RVGetInteger(link_, &index), 1);
    EXPECT_EQ(RVTestSymbol(link_, "End"), 1) << RVError(link_);
  }

  RVEnvironment* environment_ = nullptr;
  QVLink* link_ = nullptr;
};

TEST_F(PipesApplication, DefinesAndAnswersACall) {
  ASSERT_NO_FATAL_FAILURE(ReadDefinition());
  // CallPacket[0, List[b, h, l, e, huan, time, four ratios]]
  ASSERT_EQ(RVPutFunction(link_, "CallPacket", 2), 1);
  ASSERT_EQ(RVPutInteger(link_, 0), 1);
  ASSERT_EQ(RVPutFunction(link_, "List", 10), 1);
  std::vector<double> series[5];
  for (auto& s : series) s.resize(kDays);
  for (int i = 0; i < kDays; ++i) {
    const double b = 50.0 + ((i * 37) % 23) * 0.25;
    series[0][i] = b;
    series[1][i] = b + 0.5 + (i % 4 == 0 ? 2.5 : 0.0);
    series[2][i] = b - 0.5 - (i % 3 == 0 ? 2.5 : 0.0);
    series[3][i] = b + 0.25;
    series[4][i] = 0.05 * (i % 9);
  }
  for (const auto& s : series) {
    ASSERT_EQ(RVPutFunction(link_, "List", kDays), 1);
    for (double v : s) ASSERT_EQ(RVPutReal64(link_, v), 1);
  }
  ASSERT_EQ(RVPutInteger(link_, 3), 1);
  for (double ratio : {0.4, 0.3, 0.2, 0.1}) ASSERT_EQ(RVPutReal64(link_, ratio), 1);
  ASSERT_EQ(RVEndPacket(link_), 1);
  ASSERT_EQ(RVFlush(link_), 1) << RVError(link_);
  ASSERT_EQ(RVGetType(link_), 42) << RVError(link_);
  double value = 0;
  ASSERT_EQ(RVGetReal64(link_, &value), 1);
  const std::vector<double>* s = series;
  const Quorvane::QVAlgorithm3Outcome direct =
      Quorvane::RunAlgorithm3(s[0].data(), kDays, s[1].data(), kDays, s[2].data(), kDays, s[3].data(), kDays,
                              s[4].data(), kDays, 3, 0.4, 0.3, 0.2, 0.1);
  EXPECT_EQ(value, direct.value);

  // The terminate message goes out as a signal (no message pipes).
  EXPECT_EQ(RVPutMessage(link_, kTerminate), 1) << RVError(link_);
}

}  // namespace

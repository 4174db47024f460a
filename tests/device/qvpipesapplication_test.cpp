// The installable program launched over Pipes by a host: the definition, an
// Algorithm3 answer, and the program's end with status 0 on the terminate
// message, idle or in the middle of a call.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "application/qvapplication.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/application/qvalgorithm3definition.h"
#include "tests/application/qvalgorithm3sample.h"
#include "tests/device/qvpipestest.h"

namespace {

constexpr long kTerminate = 1;

class PipesApplication : public ::testing::Test {
 protected:
  void SetUp() override {
    // The library reaps its children on SIGCHLD; held back here (threads made
    // later inherit the mask), the program's exit status is left to the test.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &previousMask_), 0);
    maskHeld_ = true;
    environment_ = RVInitialize(nullptr);
    ASSERT_NE(environment_, nullptr);
    const std::string command = std::string("-linkprotocol Pipes -linkmode launch -linkname ") + QV_BINARY_DIR +
                                "/application/quorvane-algorithm3";
    int error = 0;
    link_ = RVOpenString(environment_, command.c_str(), &error);
    ASSERT_NE(link_, nullptr) << error;
    ASSERT_EQ(RVConnect(link_), 1) << RVError(link_);
    const std::vector<int> children = qvtest::ChildrenOfThisProcess();
    ASSERT_EQ(children.size(), 1u);
    program_ = children[0];
    // The program was told how to open its end of the link; its path names
    // the library already, so no "-quorvane" is added.
    const std::vector<std::string> told = {QV_BINARY_DIR "/application/quorvane-algorithm3", "-LinkMode",
                                           "ParentConnect", "-LinkProtocol", "Pipes"};
    std::vector<std::string> words;
    EXPECT_TRUE(qvtest::WaitUntil([&] { return (words = qvtest::CommandLineOf(program_)) == told; }))
        << ::testing::PrintToString(words);
  }
  void TearDown() override {
    if (link_ != nullptr) RVClose(link_);
    if (environment_ != nullptr) RVDeinitialize(environment_);
    for (int pid : qvtest::ChildrenOfThisProcess()) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (maskHeld_) pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  }
  // CallPacket[0, List[b, h, l, e, huan, time, four ratios]], flushed.
  void PutCall() { ASSERT_TRUE(qvtest::PutAlgorithm3Call(link_, call_)) << RVError(link_); }
  // The answer is the one the algorithm gives run directly.
  void CheckAnswer() {
    ASSERT_EQ(RVGetType(link_), 42) << RVError(link_);
    double value = 0;
    ASSERT_EQ(RVGetReal64(link_, &value), 1);
    EXPECT_EQ(value, call_.sample.Direct());
  }

  RVEnvironment* environment_ = nullptr;
  QVLink* link_ = nullptr;
  int program_ = -1;
  const qvtest::Algorithm3Call call_{};
  sigset_t previousMask_{};
  bool maskHeld_ = false;
};

// The program's exit status within the deadline, or -1.
int ExitWithin(int child, std::chrono::milliseconds deadline) {
  int status = -1;
  const bool ended = qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, deadline);
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

enum class Moment { kBeforeAnyCall, kAfterAnAnswer, kDuringACall };

struct TerminateCase {
  const char* name;
  Moment moment;
};

class PipesApplicationTerminate : public PipesApplication, public ::testing::WithParamInterface<TerminateCase> {};

TEST_P(PipesApplicationTerminate, EndsWithStatusZeroWithinASecond) {
  ASSERT_NO_FATAL_FAILURE(qvtest::ReadAlgorithm3Definition(link_));
  if (GetParam().moment != Moment::kBeforeAnyCall) {
    ASSERT_NO_FATAL_FAILURE(PutCall());
  }
  // Reading the answer acknowledges its window: the program then idles with
  // nothing but framing come in.
  if (GetParam().moment == Moment::kAfterAnAnswer) {
    ASSERT_NO_FATAL_FAILURE(CheckAnswer());
    // Idle, it waits for the host rather than taking the framing for an end.
    ASSERT_EQ(ExitWithin(program_, std::chrono::milliseconds(300)), -1);
    ASSERT_NO_FATAL_FAILURE(PutCall());
    ASSERT_NO_FATAL_FAILURE(CheckAnswer());
  }

  // The terminate message goes out as a signal (no message pipes).
  ASSERT_EQ(RVPutMessage(link_, kTerminate), 1) << RVError(link_);
  EXPECT_EQ(ExitWithin(program_, std::chrono::seconds(1)), 0);
}

INSTANTIATE_TEST_SUITE_P(Moments, PipesApplicationTerminate,
                         ::testing::Values(TerminateCase{"BeforeAnyCall", Moment::kBeforeAnyCall},
                                           TerminateCase{"AfterAnAnswer", Moment::kAfterAnAnswer},
                                           TerminateCase{"DuringACall", Moment::kDuringACall}),
                         [](const ::testing::TestParamInfo<TerminateCase>& row) { return row.param.name; });

}  // namespace

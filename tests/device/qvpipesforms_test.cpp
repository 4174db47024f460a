// The Pipes device's operations outside its interface function, on devices
// talking to a launched child: the user data, the yield function that only
// sleeps, and the closed-connection notice.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "api/qvyield.h"
#include "tests/device/qvpipestest.h"

namespace {

using namespace Quorvane;
using qvtest::Call;

constexpr unsigned long kLaunch = 8;
// One process that echoes every byte: the device talks to itself through it.
constexpr const char* kEcho = "/bin/sh -c 'exec cat'";

class PipesForms : public ::testing::Test {
 protected:
  void SetUp() override {
    for (Child& child : children_) {
      long error = 0;
      child.device = world_.Make("Pipes", kLaunch, kEcho, 0, &error);
      ASSERT_EQ(error, 0);
      ASSERT_EQ(Call(child.device, QVDEVICE_SPECIFIC_30, &child.pid), 0);
      ASSERT_EQ(Call(child.device, QVDEVICE_CONNECT), 0);
    }
  }
  void TearDown() override {
    for (Child& child : children_) {
      if (child.device != nullptr) Call(child.device, QVDEVICE_CLOSE);
      if (child.pid > 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, nullptr, 0);
      }
    }
  }
  // The text through the child and back.
  static std::string RoundTrip(void* device, const std::string& text) {
    char* start = nullptr;
    long size = 0;
    if (Call(device, QVDEVICE_WRITE_WINDOW, &start, &size) != 0 || start == nullptr) return "";
    std::memcpy(start, text.data(), text.size());
    size = static_cast<long>(text.size());
    if (Call(device, QVDEVICE_WRITE, &start, &size) != 0) return "";
    return qvtest::ReadStreamText(device, text.size());
  }

  struct Child {
    void* device = nullptr;
    pid_t pid = 0;
  };
  qvtest::PipesWorld world_;
  Child children_[2];
};

TEST_F(PipesForms, UserDataStaysWithTheDeviceItWasSetOn) {
  void* first = children_[0].device;
  void* second = children_[1].device;
  EXPECT_EQ(pipe_userdata(first), nullptr);
  int mine = 0;
  pipe_setuserdata(first, &mine);
  EXPECT_EQ(pipe_userdata(first), &mine);
  EXPECT_EQ(pipe_userdata(second), nullptr);
  // The stream does not touch it.
  EXPECT_EQ(RoundTrip(first, "kept \\ across"), "kept \\ across");
  EXPECT_EQ(pipe_userdata(first), &mine);
  pipe_setuserdata(first, nullptr);
  EXPECT_EQ(pipe_userdata(first), nullptr);
  pipe_setuserdata(nullptr, &mine);
  EXPECT_EQ(pipe_userdata(nullptr), nullptr);
}

TEST_F(PipesForms, ClosedConnectionNoticeLeavesTheDeviceAsItWas) {
  void* device = children_[0].device;
  int mine = 0;
  pipe_setuserdata(device, &mine);
  pipe_notifyForClosedConnection(device);
  pipe_notifyForClosedConnection(nullptr);
  EXPECT_EQ(RoundTrip(device, "still \\ here"), "still \\ here");
  EXPECT_EQ(pipe_userdata(device), &mine);
}

TEST(PipesDefaultYielder, SleepsTheRecordsSleepAndLetsTheWaitGoOn) {
  QVYieldParams record{};
  QVNewYieldData(&record);
  QVSetSleepYP(&record, 600);
  ASSERT_EQ(RVSleepYP(&record), 600);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(pipe_defaultyielder(nullptr, &record), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::microseconds(600));
  QVFreeYieldData(&record);
  EXPECT_EQ(pipe_defaultyielder(nullptr, nullptr), 0);
}

// As a device's yield function it lets a read wait as long as the child
// keeps it waiting: stopped, the child echoes nothing until it goes on.
TEST_F(PipesForms, DefaultYielderKeepsAReadWaitingForAStoppedChild) {
  void* device = children_[0].device;
  const pid_t child = children_[0].pid;
  ASSERT_EQ(Call(device, QVDEVICE_SET_YIELD_FUNCTION, reinterpret_cast<void*>(&pipe_defaultyielder), nullptr), 0);
  ASSERT_EQ(kill(child, SIGSTOP), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
  ASSERT_TRUE(WIFSTOPPED(status));
  char* start = nullptr;
  long size = 0;
  ASSERT_EQ(Call(device, QVDEVICE_WRITE_WINDOW, &start, &size), 0);
  const std::string text = "after the stop";
  std::memcpy(start, text.data(), text.size());
  size = static_cast<long>(text.size());
  ASSERT_EQ(Call(device, QVDEVICE_WRITE, &start, &size), 0);
  auto read = std::async(std::launch::async, [&] { return qvtest::ReadStreamText(device, text.size()); });
  ASSERT_EQ(read.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  ASSERT_EQ(kill(child, SIGCONT), 0);
  ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(read.get(), text);
}

}  // namespace

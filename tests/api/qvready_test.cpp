// Readiness on real links: what RVReady answers for each link state, and
// waits over loopback and device links that data reaches from another
// thread, with time-outs and callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "api/qvqueries.h"
#include "datastructures/qvdevicestack.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"

namespace {

using qvtest::ScriptedDevice;

class ReadyTest : public qvtest::TypedLinkTest {};

TEST_F(ReadyTest, ReadyAnswersByTheLinkState) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVReady(link), 0);
  ASSERT_EQ(RVPutInteger32(link, 1), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVFlush(link), 1);
  EXPECT_EQ(RVReady(link), 1);
  EXPECT_EQ(RVError(link), 0);
  for (uint32_t code : {1u, 9u}) {
    link->error = code;
    EXPECT_EQ(RVReady(link), -1) << code;
    EXPECT_EQ(RVError(link), code);  // never replaced
  }
  Destroy(link);
  // Made but not yet connected: a loopback link is ready, a device link asks its device.
  QVLink* waiting = QVInternalMake(environment_->globals, {}, nullptr);
  ASSERT_NE(waiting, nullptr);
  QVMakeLoopback(waiting);
  EXPECT_EQ(RVReady(waiting), 1);
  Destroy(waiting);
  ScriptedDevice device;
  QVLink* unconnected = QVInternalMake(environment_->globals, device.TakeInstance(), nullptr);
  ASSERT_NE(unconnected, nullptr);
  EXPECT_GE(RVReady(unconnected), 0);
  EXPECT_EQ(RVError(unconnected), 10);
  Destroy(unconnected);
  EXPECT_EQ(RVReady(nullptr), 0);
}

// A peer that closed is "ready": the next read reports it. Bytes it sent
// before closing are read first; once they are gone the link holds 11, and a
// wait for readiness ends instead of waiting for ever.
TEST_F(ReadyTest, APeerThatClosedIsReadyOnceItsBytesAreRead) {
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  device.WriteBytes(std::string("\xE4\x05\x00\x00\x00\n", 6));  // a 32-bit 5
  device.ClosePeer();
  ASSERT_EQ(RVWaitForLinkActivity(link), 1);
  EXPECT_EQ(RVReady(link), 1);
  int value = 0;
  ASSERT_EQ(RVGetInteger32(link, &value), 1);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(RVReady(link), 1);
  EXPECT_EQ(RVError(link), 11);
  EXPECT_EQ(RVReady(link), 1);  // and stays so
  EXPECT_EQ(RVWaitForLinkActivity(link), 1);
  Destroy(link);
}

TEST_F(ReadyTest, ParallelWaitArgumentsAndLinksAlreadyHoldingData) {
  QVLink* empty = Loopback();
  QVLink* full = Loopback();
  ASSERT_NE(empty, nullptr);
  ASSERT_NE(full, nullptr);
  QVLink* links[] = {empty, full};
  EXPECT_EQ(RVReadyParallel(environment_.get(), links, 0, 0, 0), -3);
  EXPECT_EQ(RVReadyParallel(nullptr, links, 2, 0, 0), -1);
  EXPECT_EQ(RVReadyParallel(environment_.get(), links, 2, 0, 1000), -2);
  ASSERT_EQ(RVPutInteger32(full, 1), 1);
  ASSERT_EQ(RVEndPacket(full), 1);  // not flushed: the wait flushes it
  EXPECT_EQ(RVReadyParallel(environment_.get(), links, 2, -1, -1), 1);
  Destroy(empty);
  Destroy(full);
}

// Data put on one link by another thread wakes a wait with no time-out; the
// index is the link's place in the array, whatever its kind.
TEST_F(ReadyTest, ParallelWaitWakesForDataFromAnotherThread) {
  ScriptedDevice device;
  QVLink* scripted = Scripted(device);
  QVLink* loopback = Loopback();
  ASSERT_NE(scripted, nullptr);
  ASSERT_NE(loopback, nullptr);
  QVLink* links[] = {loopback, scripted};
  {
    std::thread writer([&] { device.WriteBytes(std::string("\xE4\x02\x00\x00\x00\x0A]", 7)); });
    EXPECT_EQ(RVReadyParallel(environment_.get(), links, 2, 20, 0), 1);
    writer.join();
    int value = 0;
    EXPECT_EQ(RVGetInteger32(scripted, &value), 1);
    EXPECT_EQ(value, 2);
  }
  // A loopback link's signalling descriptor, drained, then the link asked.
  RVEnableLinkLock(loopback);
  std::thread writer([&] {
    RVPutInteger32(loopback, 3);
    RVEndPacket(loopback);
    RVFlush(loopback);
  });
  EXPECT_EQ(RVReadyParallel(environment_.get(), links, 1, 20, 0), 0);
  writer.join();
  EXPECT_EQ(RVWaitForLinkActivity(loopback), 1);
  Destroy(loopback);
  Destroy(scripted);
}

// Takes every free descriptor up to `above`, so that the next ones made lie
// past it; gives them back, and the old limit, when it ends. held() is false
// when the descriptor limit cannot be raised that far.
class LowDescriptorsTaken {
 public:
  explicit LowDescriptorsTaken(int above) {
    if (getrlimit(RLIMIT_NOFILE, &old_) != 0) return;
    const auto wanted = static_cast<rlim_t>(above) + 64;
    if (old_.rlim_cur != RLIM_INFINITY && old_.rlim_cur < wanted) {
      if (old_.rlim_max != RLIM_INFINITY && old_.rlim_max < wanted) return;
      rlimit raised = old_;
      raised.rlim_cur = wanted;
      if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return;
      raised_ = true;
    }
    for (;;) {
      const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) return;
      taken_.push_back(fd);
      if (fd >= above) break;
    }
    held_ = true;
  }
  ~LowDescriptorsTaken() {
    Release();
    if (raised_) setrlimit(RLIMIT_NOFILE, &old_);
  }
  LowDescriptorsTaken(const LowDescriptorsTaken&) = delete;
  LowDescriptorsTaken& operator=(const LowDescriptorsTaken&) = delete;
  bool held() const { return held_; }
  void Release() {
    for (int fd : taken_) ::close(fd);
    taken_.clear();
  }

 private:
  rlimit old_{};
  bool raised_ = false;
  bool held_ = false;
  std::vector<int> taken_;
};

// The descriptor a wait on the link watches.
int32_t WatchedDescriptor(QVLink* link) {
  int64_t type = 0;
  long size = sizeof type;
  if (RVDeviceInformation(link, 0x80000000UL, &type, &size) == 0 || type < 1 || type > 15) return -1;
  int32_t descriptor = -1;
  size = sizeof descriptor;
  if (RVDeviceInformation(link, 0x80000000UL | (static_cast<unsigned long>(type) << 8), &descriptor, &size) == 0) {
    return -1;
  }
  return descriptor;
}

// A fixed-size descriptor set holds 1024 bits and aborts past them; the wait
// must report a link whose descriptor lies beyond, and time out on it.
TEST_F(ReadyTest, ParallelWaitReportsADescriptorAbove1024) {
  QVLink* loopback = Loopback();
  ASSERT_NE(loopback, nullptr);
  std::unique_ptr<ScriptedDevice> device;
  QVLink* scripted = nullptr;
  // A thread of the library may close a low descriptor it held while the
  // low ones are taken, and the device's then lands there: made again.
  for (int attempt = 0; attempt < 5 && (scripted == nullptr || WatchedDescriptor(scripted) <= 1024); ++attempt) {
    if (scripted != nullptr) Destroy(scripted);
    LowDescriptorsTaken low(1100);
    if (!low.held()) {
      Destroy(loopback);
      GTEST_SKIP() << "the descriptor limit cannot be raised past 1100";
    }
    device = std::make_unique<ScriptedDevice>();
    scripted = Scripted(*device);
    ASSERT_NE(scripted, nullptr);
  }
  ASSERT_GT(WatchedDescriptor(scripted), 1024);
  QVLink* links[] = {loopback, scripted};
  EXPECT_EQ(RVReadyParallel(environment_.get(), links, 2, 0, 1000), -2);
  std::thread writer([&] { device->WriteBytes(std::string("\xE4\x02\x00\x00\x00\x0A]", 7)); });
  EXPECT_EQ(RVReadyParallel(environment_.get(), links, 2, 20, 0), 1);
  writer.join();
  int value = 0;
  EXPECT_EQ(RVGetInteger32(scripted, &value), 1);
  EXPECT_EQ(value, 2);
  Destroy(scripted);
  Destroy(loopback);
}

int StopAtOnce(QVLink*, void*) { return 1; }

std::atomic<int> gCallbackCalls{0};
int CountThenStop(QVLink*, void*) { return ++gCallbackCalls >= 3 ? 1 : 0; }

TEST_F(ReadyTest, WaitWithCallbackStopsWhenTheCallbackAsks) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RVWaitForLinkActivityWithCallback(link, StopAtOnce), 4);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  gCallbackCalls = 0;
  EXPECT_EQ(RVWaitForLinkActivityWithCallback(link, CountThenStop), 4);
  EXPECT_EQ(gCallbackCalls.load(), 3);
  ASSERT_EQ(RVPutInteger32(link, 1), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  EXPECT_EQ(RVWaitForLinkActivityWithCallback(link, StopAtOnce), 1);
  EXPECT_EQ(RVWaitForLinkActivity(nullptr), 2);
  EXPECT_EQ(RVWaitForLinkActivityWithCallback(nullptr, StopAtOnce), 2);
  Destroy(link);
}

// A loopback link whose signalling descriptor is signalled again and again
// without data: each signal is drained and the link asked, and the wait
// still ends at its one deadline rather than starting its time-out anew
// after every signal.
TEST_F(ReadyTest, SignalsWithoutDataDoNotPutOffTheTimeOut) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  int32_t descriptor = -1;
  long size = sizeof descriptor;
  // Makes the link's signal, so the other thread finds it in place.
  ASSERT_EQ(RVDeviceInformation(link, 0x80000500UL, &descriptor, &size), 1);
  ASSERT_NE(link->deviceStack->has_data, nullptr);
  std::atomic<bool> done{false};
  std::atomic<int> signals{0};
  std::thread signaller([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done.load() && std::chrono::steady_clock::now() < until) {
      qvdk__signal_has_data(link->deviceStack);
      ++signals;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // pacing only
    }
  });
  QVLink* links[] = {link};
  const auto start = std::chrono::steady_clock::now();
  const int answer = RVReadyParallel(environment_.get(), links, 1, 0, 200000);
  const auto waited = std::chrono::steady_clock::now() - start;
  done = true;
  signaller.join();
  EXPECT_EQ(answer, -2);
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::seconds(3));  // the signals went on for up to ten
  EXPECT_GT(signals.load(), 10);
  Destroy(link);
}

}  // namespace

// The signal-driven dispatch: SIGIO and SIGURG installed through the
// process's signal-handler manager, as a world has them installed, reach the
// right registered device, also past select's descriptor ceiling; a device
// without a message descriptor is asked only on urgent data; the registry
// stays whole while it changes under a storm of signals; a device taken out
// is never read once its removal has returned, also by a dispatch that was
// already running on another thread; a message the dispatch missed while
// another thread read a descriptor of the same stripe still arrives; and a
// descriptor still armed after the last environment has ended does not end
// the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "api/qvenvironment.h"
#include "device/qvmessagelayer.h"
#include "device/qvmessagetest.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "utilities/qvsignalhandlermanager.h"

namespace {

using qvtest::DescriptorPair;

// A registered device as the dispatch sees it, and what its handler got.
struct TestDevice {
  int messageFd = -1;
  int dataFd = -1;
  std::atomic<int> readerCalls{0};
  std::atomic<int> handled{0};
  std::atomic<long> lastCode{-1};
  std::atomic<long> lastArgument{-1};
  std::atomic<int> outOfOrder{0};  // arguments that did not follow the one before
};

int ReadRecord(void* device, uint64_t* code, uint64_t* argument) {
  TestDevice* self = static_cast<TestDevice*>(device);
  self->readerCalls.fetch_add(1);
  return unix_readmsg(self->messageFd, code, argument);
}

// The urgent byte, as a device without a message descriptor takes it.
int ReadUrgent(void* device, uint64_t* code, uint64_t* argument) {
  TestDevice* self = static_cast<TestDevice*>(device);
  self->readerCalls.fetch_add(1);
  unsigned char byte = 0;
  if (recv(self->dataFd, &byte, 1, MSG_OOB) != 1) return 0;
  *code = byte;
  *argument = 0;
  return 1;
}

void Handle(void* cookie, int code, int argument) {
  TestDevice* self = static_cast<TestDevice*>(cookie);
  if (self->handled.load() > 0 && argument != self->lastArgument.load() + 1) self->outOfOrder.fetch_add(1);
  self->lastCode.store(static_cast<uint32_t>(code));
  self->lastArgument.store(argument);
  self->handled.fetch_add(1);
}

void OtherHandle(void* cookie, int code, int argument) { Handle(cookie, code, argument); }

class MessageDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_.setHandlerFromFunction(SIGIO, &unix_signal_handler, false);
    manager_.setHandlerFromFunction(SIGURG, &unix_signal_handler, false);
    manager_.startHandlingSignals();
  }
  void TearDown() override {
    for (TestDevice* device : registered_) unix_rmvmsghandler(device);
    manager_.stopHandlingSignals();
  }

  // Registers the device on the pair's receiving end and arms it.
  void Register(TestDevice& device, const DescriptorPair& pair, bool withMessageFd = true) {
    device.messageFd = withMessageFd ? pair.read : -1;
    device.dataFd = pair.read;
    ASSERT_EQ(unix_setmsghandler(&device, withMessageFd ? &ReadRecord : &ReadUrgent, &Handle, &device,
                                 device.messageFd, device.dataFd),
              1);
    ASSERT_EQ(unix_arrange_to_get_msgs(device.messageFd, device.dataFd), 1);
    registered_.push_back(&device);
  }

  Quorvane::QVSignalHandlerManager manager_;
  std::vector<TestDevice*> registered_;
};

TEST_F(MessageDispatch, ReachesTheRightDeviceAmongSeveral) {
  const bool farAllowed = qvtest::AllowDescriptorsUpTo(1200);
  // More devices than one poll batch holds, so the batches are crossed too.
  constexpr size_t kDevices = 70;
  std::vector<DescriptorPair> pairs;
  std::vector<std::unique_ptr<TestDevice>> devices;
  for (size_t i = 0; i < kDevices; ++i) {
    pairs.push_back(qvtest::MakePipe());
    devices.push_back(std::make_unique<TestDevice>());
  }
  if (farAllowed) {
    ASSERT_TRUE(pairs[kDevices / 2].moveReadTo(1100));
  }
  size_t highest = 0;
  for (size_t i = 0; i < kDevices; ++i) {
    Register(*devices[i], pairs[i]);
    if (pairs[i].read > pairs[highest].read) highest = i;
  }
  std::vector<size_t> targets = {highest, 0, kDevices - 1};
  if (farAllowed) targets.push_back(kDevices / 2);
  std::vector<int> expected(kDevices, 0);
  for (size_t target : targets) {
    SCOPED_TRACE("descriptor " + std::to_string(pairs[target].read));
    ++expected[target];
    ASSERT_EQ(unix_writemsg(pairs[target].write, 4294967295u, target), 1);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return devices[target]->handled.load() == expected[target]; }));
    EXPECT_EQ(devices[target]->lastCode.load(), 4294967295L) << "the code arrives unsigned";
    EXPECT_EQ(devices[target]->lastArgument.load(), static_cast<long>(target));
    for (size_t i = 0; i < kDevices; ++i) EXPECT_EQ(devices[i]->handled.load(), expected[i]) << "device " << i;
  }
  if (!farAllowed) GTEST_SKIP() << "the open-file limit stays below 1200: no descriptor above 1024 was tried";
}

TEST_F(MessageDispatch, ADeviceWithoutMessageDescriptorIsAskedOnlyOnUrgentData) {
  DescriptorPair tcp = qvtest::MakeTcpPair();
  DescriptorPair sentinelPipe = qvtest::MakePipe();
  TestDevice urgent;
  TestDevice sentinel;
  Register(urgent, tcp, false);
  Register(sentinel, sentinelPipe);
  // Ordinary data raises SIGIO on the armed socket; then a message on the
  // sentinel shows that a dispatch has looked at every entry since.
  ASSERT_EQ(send(tcp.write, "plain", 5, 0), 5);
  ASSERT_EQ(unix_writemsg(sentinelPipe.write, 1, 0), 1);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return sentinel.handled.load() == 1; }));
  EXPECT_EQ(urgent.readerCalls.load(), 0);
  EXPECT_EQ(urgent.handled.load(), 0);
  const char mark = 'U';
  ASSERT_EQ(send(tcp.write, &mark, 1, MSG_OOB), 1);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return urgent.handled.load() == 1; }));
  EXPECT_EQ(urgent.lastCode.load(), 'U');
}

TEST_F(MessageDispatch, RegisteringTwiceLeavesOneEntryWithTheSecondValues) {
  DescriptorPair first = qvtest::MakePipe();
  DescriptorPair second = qvtest::MakePipe();
  TestDevice device;
  TestDevice otherCookie;
  Register(device, first);
  ASSERT_EQ(unix_arrange_to_get_msgs(second.read, -1), 1);
  device.messageFd = second.read;
  ASSERT_EQ(unix_setmsghandler(&device, &ReadRecord, &OtherHandle, &otherCookie, second.read, second.read), 1);
  qv_message_handler handler = nullptr;
  void* cookie = nullptr;
  ASSERT_EQ(unix_getmsghandler(&device, &handler, &cookie), 1);
  EXPECT_EQ(handler, &OtherHandle);
  EXPECT_EQ(cookie, &otherCookie);
  // The first descriptor is no longer watched for this device; the second is.
  ASSERT_EQ(unix_writemsg(first.write, 1, 1), 1);
  ASSERT_EQ(unix_writemsg(second.write, 2, 2), 1);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return otherCookie.handled.load() == 1; }));
  EXPECT_EQ(otherCookie.lastCode.load(), 2);
  EXPECT_EQ(device.handled.load(), 0);
  EXPECT_EQ(unix_rmvmsghandler(&device), 1);
  EXPECT_EQ(unix_rmvmsghandler(&device), 0) << "there was one entry";
  EXPECT_EQ(unix_getmsghandler(&device, &handler, &cookie), 0);
  // An empty handler removes as well.
  Register(device, first);
  EXPECT_EQ(unix_setmsghandler(&device, &ReadRecord, nullptr, nullptr, -1, -1), 1);
  EXPECT_EQ(unix_getmsghandler(&device, &handler, &cookie), 0);
}

// Signals of one kind merge while one is pending: one signal must bring
// every record that is waiting, more than one round's worth too.
TEST_F(MessageDispatch, OneSignalBringsEveryWaitingRecord) {
  constexpr int kWaiting = 150;
  DescriptorPair pair = qvtest::MakePipe();
  for (int n = 0; n < kWaiting; ++n) ASSERT_EQ(unix_writemsg(pair.write, 9, static_cast<uint64_t>(n)), 1);
  TestDevice device;
  Register(device, pair);  // armed after the records came: no signal of its own
  ASSERT_EQ(raise(SIGIO), 0);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return device.handled.load() == kWaiting; }));
  EXPECT_EQ(device.outOfOrder.load(), 0);
}

TEST_F(MessageDispatch, SurvivesASignalStormWhileTheRegistryChanges) {
  constexpr int kStable = 4;
  constexpr int kTransient = 40;
  constexpr int kMessages = 20000;
  DescriptorPair pairs[kStable] = {qvtest::MakePipe(), qvtest::MakePipe(), qvtest::MakePipe(), qvtest::MakePipe()};
  TestDevice stable[kStable];
  for (int i = 0; i < kStable; ++i) Register(stable[i], pairs[i]);
  DescriptorPair idle = qvtest::MakePipe();
  TestDevice transient[kTransient];
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0};
  std::atomic<int> refused{0};
  std::thread churn([&] {
    while (!done.load()) {
      for (int i = 0; i < kTransient; ++i) {
        transient[i].messageFd = i % 2 == 0 ? idle.read : -1;
        if (unix_setmsghandler(&transient[i], &ReadRecord, &Handle, &transient[i], transient[i].messageFd, idle.read) != 1)
          refused.fetch_add(1);
        TestDevice& again = stable[i % kStable];
        if (unix_setmsghandler(&again, &ReadRecord, &Handle, &again, again.messageFd, again.dataFd) != 1)
          refused.fetch_add(1);
      }
      for (int i = 0; i < kTransient; ++i) {
        if (unix_rmvmsghandler(&transient[i]) != 1) refused.fetch_add(1);
      }
      rounds.fetch_add(1);
    }
  });
  for (int n = 0; n < kMessages; ++n) {
    ASSERT_EQ(unix_writemsg(pairs[n % kStable].write, static_cast<uint64_t>(n % kStable), static_cast<uint64_t>(n / kStable)), 1);
  }
  const bool allCame = qvtest::WaitUntil([&] {
    int total = 0;
    for (const TestDevice& device : stable) total += device.handled.load();
    return total == kMessages;
  });
  done.store(true);
  churn.join();
  ASSERT_TRUE(allCame);
  EXPECT_GT(rounds.load(), 0);
  EXPECT_EQ(refused.load(), 0);
  for (int i = 0; i < kStable; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(stable[i].handled.load(), kMessages / kStable);
    EXPECT_EQ(stable[i].outOfOrder.load(), 0);
    EXPECT_EQ(stable[i].lastCode.load(), i);
    qv_message_handler handler = nullptr;
    void* cookie = nullptr;
    ASSERT_EQ(unix_getmsghandler(&stable[i], &handler, &cookie), 1);
    EXPECT_EQ(handler, &Handle);
    EXPECT_EQ(cookie, &stable[i]);
  }
  for (TestDevice& device : transient) {
    EXPECT_EQ(unix_getmsghandler(&device, nullptr, nullptr), 0);
    EXPECT_EQ(device.handled.load(), 0);
  }
}

// --- a device taken out while a dispatch still holds its entry ---------------

// Blocks the message signals on this thread (and the threads it starts) for
// the life of the object, so that a dispatch never runs on a thread the test
// drives.
class MessageSignalsBlockedHere {
 public:
  MessageSignalsBlockedHere() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGIO);
    sigaddset(&set, SIGURG);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~MessageSignalsBlockedHere() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  MessageSignalsBlockedHere(const MessageSignalsBlockedHere&) = delete;
  MessageSignalsBlockedHere& operator=(const MessageSignalsBlockedHere&) = delete;

 private:
  sigset_t previous_;
};

// A thread that takes the message signals, and with them the dispatch.
class SignalTaker {
 public:
  SignalTaker() : stop_(qvtest::MakePipe()) {
    thread_ = std::thread([this] {
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, SIGIO);
      sigaddset(&set, SIGURG);
      pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
      pollfd stop{stop_.read, POLLIN, 0};
      while (poll(&stop, 1, -1) != 1) {
      }
    });
  }
  ~SignalTaker() {
    const char byte = 's';
    (void)!write(stop_.write, &byte, 1);
    thread_.join();
  }
  SignalTaker(const SignalTaker&) = delete;
  SignalTaker& operator=(const SignalTaker&) = delete;

 private:
  DescriptorPair stop_;
  std::thread thread_;
};

void IgnoreMessage(void*, int, int) {}

// Its reader holds the dispatch until the test's remover has begun and then
// gives a removal that does not wait ample time to come back.
struct HoldingDevice {
  int messageFd = -1;
  std::atomic<bool> inside{false};
  std::atomic<bool> removing{false};
  std::atomic<bool> removed{false};
  std::atomic<bool> sawRemover{false};
  std::atomic<bool> removedWhileHeld{false};
};

int ReadHolding(void* device, uint64_t* code, uint64_t* argument) {
  auto* self = static_cast<HoldingDevice*>(device);
  if (!self->inside.exchange(true)) {
    using Clock = std::chrono::steady_clock;
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (!self->removing.load() && Clock::now() < giveUp) sched_yield();
    self->sawRemover.store(self->removing.load());
    const auto held = Clock::now() + std::chrono::milliseconds(200);
    while (!self->removed.load() && Clock::now() < held) sched_yield();
    self->removedWhileHeld.store(self->removed.load());
  }
  return unix_readmsg(self->messageFd, code, argument);
}

TEST_F(MessageDispatch, RemovalReturnsOnlyAfterTheDispatchHoldingTheEntry) {
  MessageSignalsBlockedHere blocked;
  SignalTaker taker;
  DescriptorPair pair = qvtest::MakePipe();
  auto device = std::make_unique<HoldingDevice>();
  device->messageFd = pair.read;
  ASSERT_EQ(unix_setmsghandler(device.get(), &ReadHolding, &IgnoreMessage, nullptr, pair.read, pair.read), 1);
  ASSERT_EQ(unix_arrange_to_get_msgs(pair.read, -1), 1);
  ASSERT_EQ(unix_writemsg(pair.write, 5, 6), 1);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return device->inside.load(); }));
  std::thread remover([&] {
    device->removing.store(true);
    unix_rmvmsghandler(device.get());
    device->removed.store(true);
  });
  remover.join();
  EXPECT_TRUE(device->sawRemover.load()) << "the removal began only after the dispatch let go";
  EXPECT_FALSE(device->removedWhileHeld.load()) << "the removal came back while a dispatch still read the device";
  EXPECT_EQ(unix_getmsghandler(device.get(), nullptr, nullptr), 0);
}

// A handler that takes devices out from within the dispatch (on the
// dispatching thread itself) is not waited for, and the round reads neither
// its own device again nor another device it took out.
struct SelfRemoving {
  TestDevice self;
  TestDevice* other = nullptr;
};

void RemoveBoth(void* cookie, int code, int argument) {
  auto* both = static_cast<SelfRemoving*>(cookie);
  Handle(&both->self, code, argument);
  unix_rmvmsghandler(&both->self);
  unix_rmvmsghandler(both->other);
}

TEST_F(MessageDispatch, AHandlerTakingDevicesOutIsNotWaitedForAndTheyAreNotReadAgain) {
  if (qvtest::kThreadSanitizer) {
    GTEST_SKIP() << "the handler closes a device in signal context, which ThreadSanitizer reports as such";
  }
  MessageSignalsBlockedHere blocked;
  SignalTaker taker;
  DescriptorPair first = qvtest::MakePipe();
  DescriptorPair second = qvtest::MakePipe();
  SelfRemoving both;
  TestDevice other;
  both.other = &other;
  both.self.messageFd = first.read;
  other.messageFd = second.read;
  for (int n = 0; n < 2; ++n) ASSERT_EQ(unix_writemsg(first.write, 1, static_cast<uint64_t>(n)), 1);
  ASSERT_EQ(unix_writemsg(second.write, 2, 0), 1);
  // The other device first in the registry order (newest first), so the
  // round reaches it after the handler took it out.
  ASSERT_EQ(unix_setmsghandler(&other, &ReadRecord, &Handle, &other, second.read, -1), 1);
  ASSERT_EQ(unix_setmsghandler(&both.self, &ReadRecord, &RemoveBoth, &both, first.read, -1), 1);
  ASSERT_EQ(kill(getpid(), SIGIO), 0);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return both.self.handled.load() >= 1; }));
  // A later round must find nothing registered; it shows the first one ended.
  DescriptorPair sentinelPipe = qvtest::MakePipe();
  TestDevice sentinel;
  Register(sentinel, sentinelPipe);
  ASSERT_EQ(unix_writemsg(sentinelPipe.write, 3, 0), 1);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return sentinel.handled.load() == 1; }));
  EXPECT_EQ(both.self.readerCalls.load(), 1) << "read again after its handler took it out";
  EXPECT_EQ(both.self.handled.load(), 1);
  EXPECT_EQ(other.readerCalls.load(), 0);
  EXPECT_EQ(other.handled.load(), 0);
  EXPECT_EQ(unix_getmsghandler(&both.self, nullptr, nullptr), 0);
  EXPECT_EQ(unix_getmsghandler(&other, nullptr, nullptr), 0);
}

// A device as a stream device keeps it: a record with descriptors that its
// owner closes and frees right after taking it out of the registry.
struct ChurnedDevice {
  static constexpr uint64_t kAlive = 0x5ea1ed0ff1ce5ULL;
  static constexpr uint64_t kRetired = 0xdeadULL;
  std::atomic<uint64_t> state{kAlive};
  int messageFd = -1;
  int writeFd = -1;
};

std::atomic<int> gChurnedReads{0};
std::atomic<int> gReadsAfterRemoval{0};

int ReadChurned(void* device, uint64_t* code, uint64_t* argument) {
  auto* self = static_cast<ChurnedDevice*>(device);
  gChurnedReads.fetch_add(1);
  if (self->state.load() != ChurnedDevice::kAlive || fcntl(self->messageFd, F_GETFD) < 0) {
    gReadsAfterRemoval.fetch_add(1);
    return 0;
  }
  return unix_readmsg(self->messageFd, code, argument);
}

// Signals raised directly (not only by data, whose signals merge) while
// devices are registered, given a waiting record, taken out and retired.
// Retired records are kept poisoned for a while and then freed, so a stale
// read shows as a count here and, under the address sanitizer, as a use
// after free.
TEST_F(MessageDispatch, DevicesTakenOutUnderASignalStormAreNeverReadAfterwards) {
  constexpr int kSignals = 20000;
  constexpr int kDevices = 3000;
  constexpr size_t kKeptRetired = 64;
  gChurnedReads = 0;
  gReadsAfterRemoval = 0;
  MessageSignalsBlockedHere blocked;
  SignalTaker takers[2];
  std::atomic<bool> churnDone{false};
  std::thread storm([&] {
    for (int n = 0; n < kSignals || !churnDone.load(); ++n) {
      kill(getpid(), n % 2 == 0 ? SIGIO : SIGURG);
      if (n >= 50 * kSignals) break;  // bounded whatever the churn does
    }
  });
  std::deque<std::unique_ptr<ChurnedDevice>> retired;
  int refused = 0;
  // Whether a signal lands while a device is registered is up to the
  // scheduler: on a loaded machine the first devices may all pass unseen, so
  // the churn goes on (to a deadline) until dispatches have met some.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int i = 0; i < kDevices || (gChurnedReads.load() == 0 && std::chrono::steady_clock::now() < deadline);
       ++i) {
    auto device = std::make_unique<ChurnedDevice>();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    device->messageFd = fds[0];
    device->writeFd = fds[1];
    if (unix_writemsg(device->writeFd, 1, static_cast<uint64_t>(i)) != 1) ++refused;
    if (unix_setmsghandler(device.get(), &ReadChurned, &IgnoreMessage, nullptr, device->messageFd, -1) != 1) ++refused;
    if (unix_rmvmsghandler(device.get()) != 1) ++refused;
    device->state.store(ChurnedDevice::kRetired);
    close(device->messageFd);
    close(device->writeFd);
    retired.push_back(std::move(device));
    if (retired.size() > kKeptRetired) retired.pop_front();
  }
  churnDone.store(true);
  storm.join();
  EXPECT_EQ(refused, 0);
  EXPECT_GT(gChurnedReads.load(), 0) << "no dispatch ever reached a churned device";
  EXPECT_EQ(gReadsAfterRemoval.load(), 0) << "of " << gChurnedReads.load() << " reads";
}

// A dispatch that finds the partial-record table of its descriptor busy
// (another thread reading a descriptor of the same stripe) reads nothing; no
// new signal comes for bytes already there, so the holder must ask for
// another round, or the message would wait for the next one for ever.
TEST_F(MessageDispatch, AMessageMissedWhileAnotherThreadReadsIsStillDelivered) {
  constexpr int kMessages = 300;
  constexpr int kStripes = 64;  // descriptors share the table by number modulo this
  MessageSignalsBlockedHere blocked;
  SignalTaker taker;
  DescriptorPair pair = qvtest::MakePipe();
  DescriptorPair quiet = qvtest::MakePipe();
  int neighbour = -1;  // an empty descriptor of the same stripe
  for (int candidate = pair.read + kStripes; candidate < pair.read + 40 * kStripes; candidate += kStripes) {
    if (fcntl(candidate, F_GETFD) < 0 && errno == EBADF) {
      neighbour = candidate;
      break;
    }
  }
  ASSERT_GE(neighbour, 0);
  ASSERT_TRUE(quiet.moveReadTo(neighbour));
  TestDevice device;
  Register(device, pair);
  std::atomic<bool> done{false};
  std::thread contender([&] {
    uint64_t code = 0;
    uint64_t argument = 0;
    while (!done.load()) unix_readmsg(quiet.read, &code, &argument);
  });
  int delivered = 0;
  for (int n = 0; n < kMessages; ++n) {
    if (unix_writemsg(pair.write, 7, static_cast<uint64_t>(n)) != 1) break;
    if (!qvtest::WaitUntil([&] { return device.handled.load() == n + 1; }, std::chrono::seconds(5))) break;
    ++delivered;
  }
  done.store(true);
  contender.join();
  EXPECT_EQ(delivered, kMessages) << "a message stayed in its descriptor";
  EXPECT_EQ(device.outOfOrder.load(), 0);
}

TEST(MessageDispatchAfterTheLibrary, AnArmedDescriptorDoesNotEndTheProcess) {
  const int status = qvtest::RunInChild([] {
    signal(SIGIO, SIG_DFL);
    RVEnvironment* environment = RVBegin(nullptr);
    if (environment == nullptr) return 10;
    // As a world's list is installed: neither previously there nor external.
    environment->signalHandlers.setHandler(
        Quorvane::QVSignalHandler(SIGIO, &unix_signal_handler, false, false, true));
    environment->signalHandlers.startHandlingSignals();
    DescriptorPair pair = qvtest::MakePipe();
    TestDevice device;
    device.messageFd = pair.read;
    if (unix_setmsghandler(&device, &ReadRecord, &Handle, &device, pair.read, pair.read) != 1) return 11;
    if (unix_arrange_to_get_msgs(pair.read, -1) != 1) return 12;
    if (unix_writemsg(pair.write, 1, 0) != 1) return 13;
    if (!qvtest::WaitUntil([&] { return device.handled.load() == 1; })) return 14;
    RVEnd(environment);
    // Still armed and still registered, but the library is gone.
    if (unix_writemsg(pair.write, 2, 1) != 1) return 15;
    uint64_t code = 0;
    uint64_t argument = 0;
    if (unix_readmsg(pair.read, &code, &argument) != 1 || code != 2) return 16;
    unix_rmvmsghandler(&device);
    return device.handled.load() == 1 ? 0 : 17;
  });
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

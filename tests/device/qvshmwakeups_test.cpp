// The wake-ups and the counting of a shared-memory link between two real
// processes: no wake-up lost when both share one CPU (so that every message
// waits for a sleeping peer), with peers of this build and with a peer that
// behaves as an older build; sixteen links at once; a peer killed in the
// middle of a stream; and the state word each side offers in the segment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qvshmtest.h"

using namespace Quorvane;
using namespace qvshmtest;

namespace {

using Clock = std::chrono::steady_clock;

// The device's older-build behaviour, for one process, while it lives.
class AsOlderBuild {
 public:
  explicit AsOlderBuild(bool older) : older_(older) {
    if (older_) QVSharedMemoryDevice::OfferAtomicCounting(false);
  }
  ~AsOlderBuild() {
    if (older_) QVSharedMemoryDevice::OfferAtomicCounting(true);
  }
  AsOlderBuild(const AsOlderBuild&) = delete;
  AsOlderBuild& operator=(const AsOlderBuild&) = delete;

 private:
  bool older_;
};

std::string Number(uint64_t n) { return std::string(reinterpret_cast<const char*>(&n), sizeof n); }

struct Peers {
  const char* label;
  bool parentOlder;
  bool childOlder;
};

class SharedMemoryOneCpu : public ::testing::TestWithParam<Peers> {};

// 100,000 messages, each one waited for: on one CPU the peer cannot spin, so
// every message finds its reader asleep or about to sleep. A lost wake-up
// costs a whole 50 ms time-out, which shows as a slow round trip.
TEST_P(SharedMemoryOneCpu, NoWakeUpIsLostOverAHundredThousandMessages) {
  constexpr int kRoundTrips = 50000;
  const Peers peers = GetParam();
  const PinnedThread pin;
  if (!pin.pinned()) GTEST_SKIP() << "cannot pin to one CPU";
  const std::string name = UniqueName(std::string("qvwk") + peers.label);
  SharedMailbox box;
  Child child([&] {
    const AsOlderBuild older(peers.childOlder);
    // Stays until the parent has its last answer: a peer that is gone
    // fails the next window.
    return Connector(box, name, 3, [](Link& link) {
      std::string got;
      for (int i = 0; i < kRoundTrips; ++i) {
        if (ReceiveAll(link.raw(), sizeof(uint64_t), got) != 0) return 20;
        if (SendAll(link.raw(), got) != 0) return 21;
      }
      return 0;
    });
  });
  const AsOlderBuild older(peers.parentOlder);
  World world;
  Link listener;
  ASSERT_TRUE(ListenAndConnect(world, listener, box, name));
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(90);
  int slow = 0;
  std::string got;
  for (uint64_t i = 1; i <= kRoundTrips; ++i) {
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(SendAll(listener.raw(), Number(i)), 0) << "round trip " << i;
    ASSERT_EQ(ReceiveAll(listener.raw(), sizeof(uint64_t), got), 0) << "round trip " << i;
    ASSERT_EQ(got, Number(i)) << "round trip " << i;
    if (Clock::now() - start >= std::chrono::milliseconds(45)) ++slow;
    ASSERT_LT(Clock::now(), deadline) << "after " << i << " round trips, " << slow << " of them slow";
  }
  box->stage = 3;
  // A busy machine may stall a few; lost wake-ups stall many.
  EXPECT_LE(slow, kRoundTrips / 100);
  EXPECT_TRUE(ExitedWith(child.Wait(), 0));
}

INSTANTIATE_TEST_SUITE_P(Peers, SharedMemoryOneCpu,
                         ::testing::Values(Peers{"both", false, false}, Peers{"olderchild", false, true},
                                           Peers{"olderparent", true, false}),
                         [](const auto& param) { return std::string(param.param.label); });

// The reader-state word of each queue header (the last word, reserved in
// older builds) as the segment holds it.
std::array<uint32_t, 2> ReaderStates(const std::string& name) {
  std::array<uint32_t, 2> states{~0u, ~0u};
  const int fd = open(ShmPath(name).c_str(), O_RDONLY);
  if (fd < 0) return states;
  void* bytes = mmap(nullptr, shmlayout::kTotalLength, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (bytes == MAP_FAILED) return states;
  const auto* start = static_cast<const unsigned char*>(bytes);
  constexpr uint32_t queueA = shmlayout::kLayoutHeaderLength + shmlayout::kDataLength;
  constexpr uint32_t queueB = queueA + shmlayout::kQueueHeaderLength + shmlayout::kBufferLength;
  std::memcpy(&states[0], start + queueA + shmlayout::kReaderStateAt, 4);
  std::memcpy(&states[1], start + queueB + shmlayout::kReaderStateAt, 4);
  munmap(bytes, shmlayout::kTotalLength);
  return states;
}

// Each side offers atomic counting in the queue it reads (A: the connector,
// B: the listener); a side that behaves as an older build leaves its word 0,
// and the link still carries bytes both ways.
class SharedMemoryCounting : public ::testing::TestWithParam<bool> {};

TEST_P(SharedMemoryCounting, EachSideOffersInTheQueueItReadsAndAnOlderSideLeavesItsWordZero) {
  const bool childOlder = GetParam();
  const std::string name = UniqueName(childOlder ? "qvcntold" : "qvcntnew");
  SharedMailbox box;
  Child child([&] {
    const AsOlderBuild older(childOlder);
    return Connector(box, name, 3, [](Link& link) {
      std::string got;
      return ReceiveAll(link.raw(), 5, got) == 0 && SendAll(link.raw(), got) == 0 ? 0 : 20;
    });
  });
  World world;
  Link listener;
  ASSERT_TRUE(ListenAndConnect(world, listener, box, name));
  ASSERT_EQ(SendAll(listener.raw(), "hello"), 0);
  std::string got;
  ASSERT_EQ(ReceiveAll(listener.raw(), 5, got), 0);
  EXPECT_EQ(got, "hello");
  const std::array<uint32_t, 2> states = ReaderStates(name);
  EXPECT_EQ(states[0], childOlder ? 0u : shmlayout::kReaderWantsWakeUps);
  EXPECT_TRUE(shmlayout::CountsFreelyQ(states[1])) << states[1];
  box->stage = 3;
  EXPECT_TRUE(ExitedWith(child.Wait(), 0));
}

INSTANTIATE_TEST_SUITE_P(Connector, SharedMemoryCounting, ::testing::Values(false, true),
                         [](const auto& param) { return std::string(param.param ? "older" : "ofThisBuild"); });

// Bytes of link k at position i: a link that read another's bytes, or lost
// or repeated some, shows it.
std::string LinkPayload(int k, size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + static_cast<size_t>(k) * 31) % 251);
  return bytes;
}

// Sixteen links between the same two processes at once, each driven by its
// own thread on both sides, each carrying several rings' worth both ways.
TEST(SharedMemoryLinks, SixteenLinksAtOnceCarryEachItsOwnBytes) {
  if (qvtest::kThreadSanitizer) GTEST_SKIP() << "the child starts threads after a fork from a threaded process";
  constexpr int kLinks = 16;
  const size_t length = 2 * shmlayout::kBufferLength + 4321;
  const std::string name = UniqueName("qvsixteen");
  const auto linkName = [&](int k) { return name + "x" + std::to_string(k); };
  SharedMailbox box;
  Child child([&] {
    if (!Reaches(box, 1)) return 10;
    World world;
    std::array<int, kLinks> answers{};
    std::vector<std::thread> threads;
    for (int k = 0; k < kLinks; ++k) {
      threads.emplace_back([&, k] {
        Link link;
        if (world.Make(link, linkName(k), kConnect) != 0 || link.Connect() != 0) {
          answers[k] = 11;
          return;
        }
        std::string got;
        if (ReceiveAll(link.raw(), length, got) != 0 || got != LinkPayload(k, length)) {
          answers[k] = 12;
          return;
        }
        answers[k] = SendAll(link.raw(), got) == 0 && Reaches(box, 2) ? 0 : 13;
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (const int answer : answers) {
      if (answer != 0) return answer;
    }
    return 0;
  });
  World world;
  std::array<Link, kLinks> listeners;
  for (int k = 0; k < kLinks; ++k) ASSERT_EQ(world.Make(listeners[k], linkName(k), kListen), 0) << k;
  box->stage = 1;
  std::array<std::string, kLinks> failures;
  std::vector<std::thread> threads;
  for (int k = 0; k < kLinks; ++k) {
    threads.emplace_back([&, k] {
      if (listeners[k].Connect() != 0) {
        failures[k] = "connect";
        return;
      }
      const std::string payload = LinkPayload(k, length);
      std::string got;
      if (SendAll(listeners[k].raw(), payload) != 0) {
        failures[k] = "send";
      } else if (ReceiveAll(listeners[k].raw(), length, got, 65536) != 0) {
        failures[k] = "receive";
      } else if (got != payload) {
        failures[k] = "the echo differs";
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  box->stage = 2;
  for (int k = 0; k < kLinks; ++k) EXPECT_EQ(failures[k], "") << "link " << k;
  EXPECT_TRUE(ExitedWith(child.Wait(), 0));
}

struct KilledMidStream {
  const char* label;
  bool childListens;  // else the child connects
  bool childWrites;   // else the child reads what the parent writes
};

class SharedMemoryKilledMidStream : public ::testing::TestWithParam<KilledMidStream> {};

// The stream's byte at position i.
char StreamByte(uint64_t i) { return static_cast<char>((i * 131 + (i >> 9)) % 253); }

// Either side killed while the stream runs, at whatever point of a commit,
// a release, a spin or a sleep the other side then is: the survivor's
// waits end within a second as a dead peer, and every byte it received is
// the stream's, in order.
TEST_P(SharedMemoryKilledMidStream, TheSurvivorEndsAsDeadAndKeepsOnlyTheStreamsBytes) {
  if (qvtest::kThreadSanitizer) GTEST_SKIP() << "the killed peer starts threads in a child forked from a threaded process";
  const KilledMidStream kind = GetParam();
  const std::string name = UniqueName(std::string("qvkms") + kind.label);
  SharedMailbox box;
  Child child([&] {
    if (!kind.childListens && !Reaches(box, 1)) return 10;
    World world;
    Link link;
    if (world.Make(link, name, kind.childListens ? kListen : kConnect) != 0) return 11;
    box->stage = 1;
    if (link.Connect() != 0) return 12;
    box->stage = 2;
    // Until killed.
    std::string piece(4093, '\0');
    for (uint64_t at = 0;; at += piece.size()) {
      if (kind.childWrites) {
        for (size_t j = 0; j < piece.size(); ++j) piece[j] = StreamByte(at + j);
        if (SendAll(link.raw(), piece) != 0) return 20;
      } else if (ReceiveAll(link.raw(), piece.size(), piece) != 0) {
        return 21;
      }
    }
  });
  World world;
  Link link;
  if (kind.childListens) {
    ASSERT_TRUE(Reaches(box, 1));
  }
  ASSERT_EQ(world.Make(link, name, kind.childListens ? kConnect : kListen), 0);
  if (!kind.childListens) box->stage = 1;
  ASSERT_EQ(link.Connect(), 0);
  ASSERT_TRUE(Reaches(box, 2));
  constexpr uint64_t kBeforeKill = 4 << 20;
  std::atomic<Clock::time_point> killedAt{Clock::time_point::max()};
  std::atomic<bool> startKill{false};
  std::thread killer([&] {
    if (!qvtest::WaitUntil([&] { return startKill.load(); }, std::chrono::seconds(60))) return;
    killedAt = Clock::now();
    kill(child.pid(), SIGKILL);
  });
  uint64_t moved = 0;
  long answer = 0;
  bool inOrder = true;
  while (answer == 0) {
    if (moved >= kBeforeKill) startKill = true;
    char* window = nullptr;
    long size = 0;
    long count = 0;
    if (kind.childWrites) {
      if ((answer = Call(link.raw(), QVDEVICE_READ, &window, &size)) != 0) break;
      for (long j = 0; j < size && inOrder; ++j) inOrder = window[j] == StreamByte(moved + static_cast<uint64_t>(j));
      count = size;
      answer = Call(link.raw(), QVDEVICE_READ_COMPLETE, window, &count);
      count = size;
    } else {
      if ((answer = Call(link.raw(), QVDEVICE_WRITE_WINDOW, &window, &size)) != 0) break;
      count = std::min(size, 5003L);
      const long committed = count;
      answer = Call(link.raw(), QVDEVICE_WRITE, &window, &count);
      count = committed;
    }
    if (answer == 0) moved += static_cast<uint64_t>(count);
    const Clock::time_point killed = killedAt.load();
    if (killed != Clock::time_point::max() && Clock::now() - killed > std::chrono::seconds(5)) break;
  }
  const auto ended = Clock::now();
  killer.join();
  ASSERT_TRUE(startKill.load()) << "the link failed before the kill: " << answer;
  EXPECT_TRUE(inOrder);
  EXPECT_GE(moved, kBeforeKill);
  // Read and its release: a dead peer (1); WriteWindow: the device's death (11).
  EXPECT_EQ(answer, kind.childWrites ? 1 : 11);
  EXPECT_LT(ended - killedAt.load(), std::chrono::seconds(1));
  child.Wait(std::chrono::seconds(5));
}

INSTANTIATE_TEST_SUITE_P(Sides, SharedMemoryKilledMidStream,
                         ::testing::Values(KilledMidStream{"listenerwrites", true, true},
                                           KilledMidStream{"listenerreads", true, false},
                                           KilledMidStream{"connectorwrites", false, true},
                                           KilledMidStream{"connectorreads", false, false}),
                         [](const auto& param) { return std::string(param.param.label); });

}  // namespace

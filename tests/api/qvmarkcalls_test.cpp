// Marks and transfers on real links: going back to a mark, marks after the
// peer closed, marks built in place and the pool marks come from, one
// expression or everything pending copied to another link, and threads
// putting, getting and transferring on shared locked links.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "api/qvenvironment.h"
#include "api/qvlinkmark.h"
#include "api/qvmarkcalls.h"
#include "quorvane.h"
#include "utilities/qvmemorypool.h"
#include "tests/api/qvtypedtest.h"

namespace {

using qvtest::ScriptedDevice;

class MarkCallsTest : public qvtest::TypedLinkTest {
 protected:
  // Packets of one integer each, flushed so they can be read.
  static void PutIntegers(QVLink* link, const std::vector<int>& values) {
    for (int v : values) {
      ASSERT_EQ(RVPutInteger32(link, v), 1);
      ASSERT_EQ(RVEndPacket(link), 1);
    }
    ASSERT_EQ(RVFlush(link), 1);
  }
  static int NextInteger(QVLink* link) {
    int value = -1;
    EXPECT_EQ(RVGetInteger32(link, &value), 1) << RVError(link);
    EXPECT_EQ(RVNewPacket(link), 1);
    return value;
  }
};

TEST_F(MarkCallsTest, SeekingBackReadsTheSameExpressionsAgainUnderBothNames) {
  for (bool loopback : {true, false}) {
    SCOPED_TRACE(loopback ? "loopback" : "scripted device");
    ScriptedDevice device;
    QVLink* link = loopback ? Loopback() : Scripted(device);
    ASSERT_NE(link, nullptr);
    if (loopback) {
      PutIntegers(link, {1, 2, 3});
    } else {
      device.WriteBytes(std::string("\xE4\x01\x00\x00\x00\x0A]\xE4\x02\x00\x00\x00\x0A]\xE4\x03\x00\x00\x00\x0A]", 21));
    }
    QVLinkMark* mark = RVCreateMark(link);
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(NextInteger(link), 1);
    EXPECT_EQ(NextInteger(link), 2);
    EXPECT_EQ(RVSeekMark(link, mark, 0), mark);
    EXPECT_EQ(NextInteger(link), 1);
    EXPECT_EQ(RVSeekToMark(link, mark, 0), mark);
    EXPECT_EQ(NextInteger(link), 1);
    EXPECT_EQ(RVSeekToMark(link, mark, 2), mark);  // and two expressions on
    EXPECT_EQ(NextInteger(link), 3);
    RVDestroyMark(link, mark);
    EXPECT_EQ(RVSeekMark(nullptr, mark, 0), nullptr);
    EXPECT_EQ(RVSeekMark(link, nullptr, 0), nullptr);
    RVDestroyMark(nullptr, nullptr);
    Destroy(link);
  }
}

// After the peer closed, what is still buffered can be marked, tested and
// transferred; other errors refuse a mark.
TEST_F(MarkCallsTest, MarksAreAllowedWhileThePeerHasClosed) {
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  device.WriteBytes(std::string("\xE4\x07\x00\x00\x00\x0A]", 7));
  ASSERT_EQ(RVFill(link), 1);
  link->error = 11;
  QVLinkMark* mark = RVCreateMark(link);
  ASSERT_NE(mark, nullptr);
  RVDestroyMark(link, mark);
  QVLink* destination = Loopback();
  ASSERT_NE(destination, nullptr);
  EXPECT_EQ(RVTransferExpression(destination, link), 1);
  ASSERT_EQ(RVEndPacket(destination), 1);
  ASSERT_EQ(RVFlush(destination), 1);
  EXPECT_EQ(NextInteger(destination), 7);
  for (uint32_t code : {1u, 3u, 10u}) {
    link->error = code;
    EXPECT_EQ(RVCreateMark(link), nullptr) << code;
  }
  Destroy(destination);
  Destroy(link);
}

TEST_F(MarkCallsTest, TransferWithoutDestinationSkipsOneExpression) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  PutIntegers(link, {4, 5});
  EXPECT_EQ(RVTransferExpression(nullptr, link), 1);
  EXPECT_EQ(RVNewPacket(link), 1);
  EXPECT_EQ(NextInteger(link), 5);
  EXPECT_EQ(RVTransferExpression(nullptr, nullptr), 0);
  Destroy(link);
}

TEST_F(MarkCallsTest, TransferToEndOfLoopbackMovesEverythingInOrder) {
  QVLink* source = Loopback();
  QVLink* destination = Loopback();
  ASSERT_NE(source, nullptr);
  ASSERT_NE(destination, nullptr);
  PutIntegers(source, {10, 20, 30});
  ASSERT_EQ(RVTransferToEndOfLoopbackLink(destination, source), 1) << RVError(source) << " " << RVError(destination);
  ASSERT_EQ(RVFlush(destination), 1);
  EXPECT_EQ(NextInteger(destination), 10);
  EXPECT_EQ(NextInteger(destination), 20);
  EXPECT_EQ(NextInteger(destination), 30);
  EXPECT_EQ(RVReady(source), 0);  // nothing left on the source
  EXPECT_EQ(RVTransferToEndOfLoopbackLink(nullptr, source), 0);
  Destroy(source);
  Destroy(destination);
}

// A failed transfer from a link to itself leaves the read side's error: the
// peer sent half a function and closed.
TEST_F(MarkCallsTest, TransferFromALinkToItselfReportsTheReadError) {
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  device.WriteBytes(std::string("\x46\x42\xE4\x01\x00\x00\x00\x0A", 8));  // f of two arguments, one sent
  device.ClosePeer();
  EXPECT_EQ(RVTransferExpression(link, link), 0);
  EXPECT_NE(RVError(link), 0);
  EXPECT_NE(RVError(link), 5);  // not the write side's complaint
  Destroy(link);
}

// Two threads transfer A to B and B to A at once, many times: with both
// locks taken in one order neither waits on the other for ever, and no
// number is lost, doubled or torn on the way. Each thread puts a number on
// its link and then moves the first number there to the other link, so
// each link ends holding as many numbers as one thread put, and the two
// together hold every number put, some of them moved several times.
TEST_F(MarkCallsTest, OppositeTransfersOnLockedLinksDoNotDeadlock) {
  QVLink* a = Loopback();
  QVLink* b = Loopback();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  RVEnableLinkLock(a);
  RVEnableLinkLock(b);
  constexpr int kRounds = 300;
  std::atomic<int> failures{0};
  auto run = [&failures](QVLink* from, QVLink* to, int base) {
    for (int i = 0; i < kRounds; ++i) {
      // Only this thread reads from: the number just put is there to move.
      const bool ok = RVPutInteger32(from, base + i) == 1 && RVFlush(from) == 1 && RVTransferExpression(to, from) == 1;
      if (!ok) ++failures;
    }
  };
  std::thread one(run, a, b, 0);
  std::thread two(run, b, a, 100000);
  one.join();
  two.join();
  EXPECT_EQ(failures.load(), 0) << RVError(a) << " " << RVError(b);
  std::vector<int> all;
  for (QVLink* link : {a, b}) {
    ASSERT_EQ(RVFlush(link), 1);
    int held = 0;
    while (RVReady(link) == 1) {
      int value = -1;
      ASSERT_EQ(RVGetInteger32(link, &value), 1) << RVError(link);
      all.push_back(value);
      ++held;
    }
    EXPECT_EQ(held, kRounds);
    EXPECT_EQ(RVError(link), 0);
  }
  std::sort(all.begin(), all.end());
  std::vector<int> expected;
  for (int base : {0, 100000}) {
    for (int i = 0; i < kRounds; ++i) expected.push_back(base + i);
  }
  EXPECT_EQ(all, expected);
  Destroy(a);
  Destroy(b);
}

// In a thread-safe environment, at the same time: two threads put on link A,
// one moves every number from A to B, one puts on B directly, and one gets
// from B. Every number put reaches the getter exactly once, whole, and the
// numbers of each putter arrive in the order they were put.
TEST_F(MarkCallsTest, ThreadsPutGetAndTransferOnSharedLinksAtOnce) {
  RestartEnvironment([](RVEnvironmentParameters* p) { RVSetThreadSafeLinksParameter(p); });
  ASSERT_FALSE(HasFatalFailure());
  QVLink* a = Loopback();
  QVLink* b = Loopback();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(a->lockOn, 0);
  ASSERT_NE(b->lockOn, 0);
  constexpr int kEach = 400;
  constexpr int kOnA = 2 * kEach;
  constexpr int kTotal = 3 * kEach;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto in_time = [deadline] { return std::chrono::steady_clock::now() < deadline; };
  std::atomic<int> failures{0};
  auto putter = [&failures](QVLink* link, int base) {
    for (int i = 0; i < kEach; ++i) {
      if (RVPutInteger32(link, base + i) != 1 || RVFlush(link) != 1) ++failures;
    }
  };
  std::thread first(putter, a, 100000);
  std::thread second(putter, a, 200000);
  std::thread direct(putter, b, 300000);
  std::thread mover([&] {
    for (int moved = 0; moved < kOnA && in_time();) {
      if (RVReady(a) != 1) {
        std::this_thread::yield();
        continue;
      }
      if (RVTransferExpression(b, a) != 1 || RVFlush(b) != 1) {
        ++failures;
        return;
      }
      ++moved;
    }
  });
  std::vector<int> got;
  while (static_cast<int>(got.size()) < kTotal && in_time()) {
    if (RVReady(b) != 1) {
      std::this_thread::yield();
      continue;
    }
    int value = -1;
    if (RVGetInteger32(b, &value) != 1) break;
    got.push_back(value);
  }
  first.join();
  second.join();
  direct.join();
  mover.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(RVError(a), 0);
  EXPECT_EQ(RVError(b), 0);
  ASSERT_EQ(got.size(), static_cast<size_t>(kTotal));
  for (int base : {100000, 200000, 300000}) {
    std::vector<int> from;
    std::copy_if(got.begin(), got.end(), std::back_inserter(from),
                 [base](int v) { return v / 100000 == base / 100000; });
    std::vector<int> expected(kEach);
    for (int i = 0; i < kEach; ++i) expected[i] = base + i;
    EXPECT_EQ(from, expected) << "numbers of the putter " << base;
  }
  Destroy(a);
  Destroy(b);
}

// Marks built in records the caller holds: they go back like any other,
// and the link's code is judged as for any mark.
TEST_F(MarkCallsTest, MarksBuiltInPlaceGoBackToWhereTheyWereMade) {
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  device.WriteBytes(std::string("\xE4\x01\x00\x00\x00\x0A]\xE4\x02\x00\x00\x00\x0A]", 14));
  ASSERT_EQ(RVFill(link), 1);
  {
    QVLinkMark mark;
    ASSERT_EQ(QVConstructMark(link, &mark), &mark);
    EXPECT_EQ(NextInteger(link), 1);
    EXPECT_EQ(NextInteger(link), 2);
    EXPECT_EQ(RVSeekMark(link, &mark, 0), &mark);
    EXPECT_EQ(NextInteger(link), 1);
    QVDeconstructMark(link, &mark);
  }
  EXPECT_EQ(NextInteger(link), 2);  // taking the mark away moved nothing
  QVLinkMark mark;
  EXPECT_EQ(QVConstructMark(nullptr, &mark), nullptr);
  EXPECT_EQ(QVConstructMark(link, nullptr), nullptr);
  QVDeconstructMark(nullptr, &mark);
  QVDeconstructMark(link, nullptr);
  for (uint32_t code : {1u, 3u, 10u}) {
    link->error = code;
    EXPECT_EQ(QVConstructMark(link, &mark), nullptr) << code;
  }
  link->error = 11;  // what is buffered after the peer closed can be marked
  ASSERT_EQ(QVConstructMark(link, &mark), &mark);
  QVDeconstructMark(link, &mark);
  Destroy(link);
}

// The mark pool's block size is set when the environment starts, before any
// link exists, so links making their first marks on several threads never
// race to set it.
TEST_F(MarkCallsTest, TheMarkPoolIsSizedWhenTheEnvironmentStarts) {
  ASSERT_TRUE(environment_->memoryPool);
  EXPECT_EQ(environment_->memoryPool->getNumberOfBytesInPoolObject(), sizeof(QVLinkMark));
  EXPECT_EQ(environment_->memoryPool->numberOfObjectsInPoolInUse(), 0u);
  constexpr int kThreads = 4;
  std::vector<std::unique_ptr<ScriptedDevice>> devices;
  std::vector<QVLink*> links;
  for (int t = 0; t < kThreads; ++t) {
    devices.push_back(std::make_unique<ScriptedDevice>());
    links.push_back(Scripted(*devices.back()));
    ASSERT_NE(links.back(), nullptr);
    devices.back()->WriteBytes(std::string("\xE4", 1) + std::string(reinterpret_cast<const char*>(&t), 4) + "\n]");
    ASSERT_EQ(RVFill(links.back()), 1);
  }
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        QVLinkMark* mark = RVCreateMark(links[t]);
        int value = -1;
        if (mark == nullptr || RVGetInteger32(links[t], &value) != 1 || value != t ||
            RVSeekMark(links[t], mark, 0) != mark) {
          ++wrong;
        }
        RVDestroyMark(links[t], mark);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(environment_->memoryPool->getNumberOfBytesInPoolObject(), sizeof(QVLinkMark));
  EXPECT_EQ(environment_->memoryPool->numberOfObjectsInPoolInUse(), 0u);
  for (QVLink* link : links) Destroy(link);
}

}  // namespace

// Marks and transfers on real links: going back to a mark, marks after the
// peer closed, one expression or everything pending copied to another link,
// and threads transferring both ways between two locked links.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "quorvane.h"
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
// locks taken in one order neither waits on the other for ever.
TEST_F(MarkCallsTest, OppositeTransfersOnLockedLinksDoNotDeadlock) {
  QVLink* a = Loopback();
  QVLink* b = Loopback();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  RVEnableLinkLock(a);
  RVEnableLinkLock(b);
  constexpr int kRounds = 300;
  auto run = [](QVLink* from, QVLink* to, int base) {
    for (int i = 0; i < kRounds; ++i) {
      RVPutInteger32(from, base + i);
      RVEndPacket(from);
      RVFlush(from);
      RVTransferExpression(to, from);
      RVNewPacket(from);
    }
  };
  std::thread one(run, a, b, 0);
  std::thread two(run, b, a, 100000);
  one.join();
  two.join();
  SUCCEED();
  Destroy(a);
  Destroy(b);
}

}  // namespace

// A logged link with its lock on, used by several threads at once: one puts,
// flushes and transfers into it without pause while another starts, switches
// and stops its log again and again. The puts reach the log only while it
// runs, in their order, and the link's own traffic is untouched.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/qvlink.h"
#include "quorvane.h"
#include "support/qvpattern.h"
#include "support/qvtest.h"
#include "tests/utilities/qvlinklog/qvlinkpairtest.h"
#include "tests/utilities/qvlinklog/qvlogfiletest.h"

namespace {

using qvlinklogtest::Entries;
using qvlinklogtest::Entry;
using qvlinklogtest::Show;

constexpr int kRounds = 12;
constexpr auto kPatience = std::chrono::seconds(20);

// Put[i], or Moved[i] for every tenth, taken from a loopback link.
bool PutOne(QVLink* link, QVLink* loopback, int i) {
  if (i % 10 == 0) {
    if (RVPutFunction(loopback, "Moved", 1) == 0 || RVPutInteger(loopback, i) == 0 || RVEndPacket(loopback) == 0) {
      return false;
    }
    return RVTransferExpression(link, loopback) == 1 && RVFlush(link) == 1;
  }
  return RVPutFunction(link, "Put", 1) == 1 && RVPutInteger(link, i) == 1 && RVEndPacket(link) == 1 &&
         RVFlush(link) == 1;
}

// The number in Put[i] or Moved[i], or -1.
int NumberOf(const std::string& text) {
  static const qvtest::Pattern shape("(Put|Moved)\\[([0-9]+)\\]");
  qvtest::Pattern::Match match;
  return shape.Matches(text, &match) ? std::stoi(match.groups[2]) : -1;
}

class LoggedLinkAcrossThreads : public qvlinklogtest::LinkPair {};

TEST_F(LoggedLinkAcrossThreads, PutsGoOnWhileAnotherThreadStartsAndStopsTheLog) {
  RVEnableLinkLock(listener_);  // a link made for use by several threads
  int error = 0;
  QVLink* loopback = RVLoopbackOpen(environment_, &error);
  ASSERT_NE(loopback, nullptr) << error;

  std::atomic<bool> controlDone{false};
  std::atomic<int> lastPut{-1};
  std::atomic<bool> putFailed{false};
  std::thread putter([&] {
    int i = 0;
    for (; !controlDone.load(); ++i) {
      if (!PutOne(listener_, loopback, i)) {
        putFailed = true;
        break;
      }
      lastPut = i;
    }
    RVPutFunction(listener_, "Done", 1);
    RVPutInteger(listener_, i);
    RVEndPacket(listener_);
    RVFlush(listener_);
  });
  // The peer reads everything in order until Done.
  int received = 0;
  bool inOrder = true;
  std::thread peer([&] {
    while (true) {
      const char* head = nullptr;
      int count = 0;
      int value = -1;
      if (RVGetFunction(connector_, &head, &count) == 0) return;
      const std::string name = head;
      RVReleaseSymbol(connector_, head);
      if (count != 1 || RVGetInteger(connector_, &value) == 0) return;
      if (name == "Done") return;
      inOrder = inOrder && value == received && name == (value % 10 == 0 ? "Moved" : "Put");
      ++received;
    }
  });

  std::vector<std::string> files;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    files.push_back(folder_.file("round" + std::to_string(round) + ".log"));
    const std::string& file = files.back();
    ASSERT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
    const int from = lastPut.load();
    // The log sees puts made while it runs; so does a second file, and
    // switching the output off and on keeps it running.
    ASSERT_TRUE(qvtest::WaitUntil([&] { return lastPut.load() > from + 20; }, kPatience));
    EXPECT_EQ(RVDisableLoggingStream(listener_), 1);
    EXPECT_EQ(RVEnableLoggingStream(listener_), 1);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return !Entries(file).empty(); }, kPatience)) << qvlinklogtest::Slurp(file);
    // Every other round a second thread stops at the same time.
    std::thread alsoStopping;
    if (round % 2 == 1) alsoStopping = std::thread([&] { RVStopLoggingStream(listener_); });
    EXPECT_EQ(RVStopLoggingStream(listener_), 1);
    if (alsoStopping.joinable()) alsoStopping.join();
  }
  controlDone = true;
  putter.join();
  peer.join();

  EXPECT_FALSE(putFailed.load()) << RVError(listener_);
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(received, lastPut.load() + 1);
  EXPECT_EQ(listener_->lockOn, 1);  // not the log's to switch off
  EXPECT_FALSE(Log()->readyToLogQ());
  // Each file: the puts it saw, whole and in order. The first may be the
  // tail of one the log started in the middle of; the last may be the head
  // of one the stop came in the middle of, which is all that had crossed.
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    std::vector<Entry> entries;
    for (const Entry& e : Entries(file)) {
      if (e.direction == "write") entries.push_back(e);
    }
    if (!entries.empty() && (entries.back().text == "Put[" || entries.back().text == "Moved[")) entries.pop_back();
    int last = -1;
    bool first = true;
    for (const Entry& e : entries) {
      const int number = NumberOf(e.text);
      if (number < 0 && first) {
        first = false;
        continue;
      }
      first = false;
      EXPECT_GT(number, last) << Show(entries);
      last = number;
    }
    EXPECT_GE(last, 0) << Show(entries);
  }
  RVClose(loopback);
}

}  // namespace

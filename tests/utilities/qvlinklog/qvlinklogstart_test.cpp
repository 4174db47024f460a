// Start-up of a link log at its edges, over a real "IntraProcess" pair: the
// log thread meeting the end of the logged link before start-up is done, the
// thread's connect failing or never coming, and a start after the thread of
// an earlier one has ended.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "api/qvlink.h"
#include "device/qvintraprocesscore.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/utilities/qvlinklog/qvlinkpairtest.h"
#include "tests/utilities/qvlinklog/qvlogfiletest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvlinklog/qvlinklog.h"

namespace {

using Quorvane::QVLinkLog;
using qvlinklogtest::ShownThreadName;
using qvlinklogtest::Unwrapped;

constexpr auto kPatience = std::chrono::seconds(5);

long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// The "IntraProcess" pairs that still have a device in this process.
std::set<std::string> PairsInUse() {
  std::set<std::string> names;
  for (const Quorvane::QVString& name : Quorvane::QVIntraProcessTableNames()) names.insert(Quorvane::ToStdString(name));
  return names;
}

bool PairInUse(const std::string& name) { return PairsInUse().count(name) != 0; }

// Another thread takes the link's lock within the patience (this thread holds none).
bool LockIsFree(QVLink* link) {
  auto taken = std::make_shared<std::atomic<bool>>(false);
  std::thread other([link, taken] {
    QVLinkLockGuard guard(link);
    taken->store(true);
  });
  if (!qvtest::WaitUntil([&] { return taken->load(); }, kPatience)) {
    other.detach();  // held for good: nothing to wait for
    return false;
  }
  other.join();
  return true;
}

bool ThreadGone(const std::string& keptName) { return qvtest::NoThreadNamed(ShownThreadName(keptName)); }

// What the hooks saw, on the log thread or on start-up's.
struct Seen {
  std::atomic<bool> threadEnded{false};
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> linksOpenAtStop{false};
  std::atomic<bool> connectDone{false};
};
Seen seen;

class LogStart : public qvlinklogtest::LinkPair {
 protected:
  void SetUp() override {
    seen.threadEnded = false;
    seen.stopRequested = false;
    seen.linksOpenAtStop = false;
    seen.connectDone = false;
    LinkPair::SetUp();
  }
  void TearDown() override {
    QVLinkLog::testHooks = {};
    LinkPair::TearDown();
  }

  // The peer sends one expression and closes: the link holds input whose
  // other side is gone.
  void PeerSendsAndCloses() {
    RVPutFunction(connector_, "Early", 1);
    RVPutInteger(connector_, 1);
    RVEndPacket(connector_);
    ASSERT_EQ(RVFlush(connector_), 1);
    RVClose(connector_);
    connector_ = nullptr;
    ASSERT_TRUE(qvtest::WaitUntil([&] { return RVReady(listener_) == 1; }, kPatience));
  }

  std::string ClosedLine() { return " read>: The other side of " + std::string(RVName(listener_)) + " closed the link"; }
};

// The log thread may read all the link holds, meet the peer's close and end
// before start-up's own connect has returned. The log is then not ready: it
// mirrors no put, and nothing waits for a thread that is gone.
TEST_F(LogStart, AThreadThatEndsDuringStartUpLeavesTheLogNotReady) {
  ASSERT_NO_FATAL_FAILURE(PeerSendsAndCloses());
  // Held between start-up's connect and its last step until the thread is gone.
  QVLinkLog::testHooks.startConnected = [](QVLinkLog& log) {
    seen.threadEnded = ThreadGone(Quorvane::ToStdString(log.threadName()));
  };
  const std::string file = folder_.file("ended.log");
  ASSERT_EQ(RVLogStreamToFile(listener_, file.c_str()), 1);
  EXPECT_TRUE(seen.threadEnded);
  EXPECT_FALSE(Log()->readyToLogQ());
  EXPECT_FALSE(Log()->doLoggingQ());
  const std::string text = Unwrapped(file);
  EXPECT_NE(text.find(" read>: Early[1]"), std::string::npos) << text;
  EXPECT_NE(text.find(ClosedLine()), std::string::npos) << text;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RVStopLoggingStreamToFile(listener_, file.c_str()), 1);
  EXPECT_LT(MillisecondsSince(started), QVLinkLog::kArrivalWaitMilliseconds);
}

// When the log thread's connect fails, start-up fails at once (not after its
// time-out), answers 0 with the link's lock free and as it was, keeps no file
// entry, and leaves no link, file or thread of the log behind; the link works on.
TEST_F(LogStart, AFailedThreadConnectFailsStartUpAtOnceAndLeavesTheLinkAsItWas) {
  QVLinkLog::testHooks.threadConnect = [](QVLinkLog&, QVLink*) { return 0; };
  const std::set<std::string> pairs = PairsInUse();
  for (const bool locked : {true, false}) {
    SCOPED_TRACE(locked ? "lock on before" : "lock off before");
    if (locked) {
      RVEnableLinkLock(listener_);
    } else {
      RVDisableLinkLock(listener_);
    }
    const std::string file = folder_.file(locked ? "locked.log" : "unlocked.log");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(RVLogStreamToFile(listener_, file.c_str()), 0);
    EXPECT_LT(MillisecondsSince(started), QVLinkLog::kConnectTimeoutMilliseconds / 2);
    EXPECT_EQ(listener_->lockOn, locked ? 1 : 0);
    EXPECT_TRUE(LockIsFree(listener_));
    ASSERT_NE(Log(), nullptr);
    EXPECT_FALSE(Log()->readyToLogQ());
    EXPECT_FALSE(Log()->expressionLog()->willLogToFile());
    EXPECT_EQ(Log()->writeLink(), nullptr);
    EXPECT_EQ(PairsInUse(), pairs);
    EXPECT_EQ(qvlinklogtest::DescriptorsOn(file), 0);
    EXPECT_TRUE(ThreadGone(Quorvane::ToStdString(Log()->threadName())));
    EXPECT_EQ(Call(1, 2), 3);
  }
  // The reason, as start-up reports it.
  auto log = QVLinkLog::init();
  try {
    log->logWithLink(listener_->environment(), listener_);
    ADD_FAILURE() << "start-up succeeded";
  } catch (const Quorvane::QVException& e) {
    EXPECT_EQ(Quorvane::ToStdString(e.getWhat()), "Unable to connect log write links");
  }
}

// A log thread whose connect never comes: start-up gives up after its
// time-out, then stops and joins the thread while the log's links are still
// open, and closes them only after that.
TEST_F(LogStart, AStartUpThatTimesOutJoinsTheThreadBeforeClosingTheLinks) {
  constexpr long kTimeout = 100;
  QVLinkLog::testHooks.connectTimeoutMilliseconds = kTimeout;
  QVLinkLog::testHooks.threadConnect = [](QVLinkLog& log, QVLink* link) {
    seen.stopRequested = qvtest::WaitUntil([&] { return log.stopRequestedQ(); }, std::chrono::seconds(10));
    // The thread's own end of the pair, still waiting for its connection.
    seen.linksOpenAtStop = log.writeLink() != nullptr && RVError(link) == 10;
    seen.connectDone = true;
    return 0;
  };
  const std::set<std::string> pairs = PairsInUse();
  auto log = QVLinkLog::init();
  const auto started = std::chrono::steady_clock::now();
  try {
    log->logWithLink(listener_->environment(), listener_);
    ADD_FAILURE() << "start-up succeeded";
  } catch (const Quorvane::QVException& e) {
    EXPECT_EQ(Quorvane::ToStdString(e.getWhat()), "Unable to connect log write links");
  }
  EXPECT_GE(MillisecondsSince(started), kTimeout);
  EXPECT_TRUE(seen.stopRequested);
  EXPECT_TRUE(seen.linksOpenAtStop);
  EXPECT_TRUE(seen.connectDone);  // joined before start-up gave up
  EXPECT_EQ(log->writeLink(), nullptr);
  EXPECT_EQ(PairsInUse(), pairs);
  EXPECT_TRUE(ThreadGone(Quorvane::ToStdString(log->threadName())));
}

// A log whose thread ended on the peer's close still holds its links; a new
// start closes them and starts a new thread, which logs from where the link
// stands.
TEST_F(LogStart, StartingAgainAfterTheThreadEndedClosesTheOldLinksFirst) {
  const std::string first = folder_.file("first.log");
  ASSERT_EQ(RVLogStreamToFile(listener_, first.c_str()), 1);
  const std::string oldPair = RVLinkName(Log()->writeLink());
  const std::string thread = Quorvane::ToStdString(Log()->threadName());
  ASSERT_NO_FATAL_FAILURE(PeerSendsAndCloses());
  ASSERT_TRUE(qvtest::WaitUntil([&] { return !Log()->readyToLogQ(); }, kPatience));
  EXPECT_TRUE(PairInUse(oldPair));
  ASSERT_EQ(RVError(listener_), 0);  // the link has not met the close itself

  const std::string second = folder_.file("second.log");
  ASSERT_EQ(RVLogStreamToFile(listener_, second.c_str()), 1);
  EXPECT_FALSE(PairInUse(oldPair)) << oldPair;
  ASSERT_NE(Log()->writeLink(), nullptr);
  EXPECT_NE(RVLinkName(Log()->writeLink()), oldPair);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return Unwrapped(second).find(ClosedLine()) != std::string::npos; }, kPatience))
      << qvlinklogtest::Slurp(second);
  EXPECT_NE(Unwrapped(second).find(" read>: Early[1]"), std::string::npos) << qvlinklogtest::Slurp(second);
  EXPECT_TRUE(ThreadGone(thread));
}

}  // namespace

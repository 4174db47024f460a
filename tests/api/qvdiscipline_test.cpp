// The call discipline as one table: each pending code against each kind of
// call, giving the result and the code after; the token-level calls; and the
// log mirror, which makes every put first on the log's write link and then
// flushes that link.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>
#include <string>

#include "api/qvlink.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"
#include "utilities/qvlinklog/qvlinklog.h"

namespace {

class DisciplineTest : public qvtest::TypedLinkTest {
 protected:
  // A loopback link holding one packet with the number 5, then the code.
  QVLink* LinkWith(uint32_t code) {
    QVLink* link = nullptr;
    if (code == 10) {
      // Still waiting for its connection; a call that may go on connects it.
      link = QVInternalMake(environment_->globals, {}, nullptr);
      if (link != nullptr) QVMakeLoopback(link);
      return link;
    }
    link = Loopback();
    if (link == nullptr) return nullptr;
    EXPECT_EQ(RVPutInteger32(link, 5), 1);
    EXPECT_EQ(RVEndPacket(link), 1);
    EXPECT_EQ(RVFlush(link), 1);
    link->error = code;
    return link;
  }
};

TEST_F(DisciplineTest, PendingCodesAgainstEveryKindOfCall) {
  struct Call {
    const char* name;
    std::function<int(QVLink*)> call;
  };
  const Call get{"get", [](QVLink* l) { int v = 0; return RVGetInteger32(l, &v); }};
  const Call put{"put", [](QVLink* l) { return RVPutInteger32(l, 1); }};
  const Call strict{"strict put", [](QVLink* l) { return RVEndPacket(l); }};
  const Call count{"expressions to get", [](QVLink* l) { int n = -1; return RVExpressionsToGet(l, &n); }};
  // A fill goes on under 0 and 10 (connecting first) and reaches the
  // stream, where a loopback link with nothing pending can never receive
  // more: 25. Refused, it leaves the code as it was.
  const Call fill{"fill", [](QVLink* l) { return RVFill(l); }};
  // A test compares under 0 and 11 (the 5 is no function: 3, input put
  // back), connects under 10 (then finds the new link empty: 25), and is
  // refused under any other code.
  const Call test{"test", [](QVLink* l) { int n = 0; return RVTestHead(l, "List", &n); }};
  // A symbol test likewise: the 5 is no symbol.
  const Call symbol{"symbol test", [](QVLink* l) { return RVTestSymbol(l, "x"); }};
  struct Row {
    uint32_t code;
    const Call* call;
    int result;
    uint32_t after;
  };
  const Row rows[] = {
      {0, &get, 1, 0},    {0, &put, 1, 0},     {0, &strict, 1, 0}, {0, &count, 1, 0},  {0, &fill, 0, 25},
      {11, &get, 1, 11},  {11, &put, 0, 11},   {11, &strict, 0, 11}, {11, &count, 1, 11}, {11, &fill, 0, 11},
      {3, &get, 0, 3},    {3, &put, 0, 3},     {3, &strict, 0, 3}, {3, &count, 1, 3},  {3, &fill, 0, 3},
      {10, &get, 0, 25},  {10, &put, 1, 0},    {10, &strict, 0, 10}, {10, &count, 1, 10}, {10, &fill, 0, 25},
      {0, &test, 0, 3},   {11, &test, 0, 3},   {3, &test, 0, 3},   {1, &test, 0, 1},   {10, &test, 0, 25},
      {0, &symbol, 0, 3}, {11, &symbol, 0, 3}, {3, &symbol, 0, 3}, {1, &symbol, 0, 1}, {10, &symbol, 0, 25},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.code) + " then " + row.call->name);
    QVLink* link = LinkWith(row.code);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(row.call->call(link), row.result);
    EXPECT_EQ(link->error, row.after);
    EXPECT_EQ(row.call->call(nullptr), 0);
    Destroy(link);
  }
}

TEST_F(DisciplineTest, DeferredLinkConnectsOnGetButNotOnCounting) {
  QVLink* link = LinkWith(10);
  ASSERT_NE(link, nullptr);
  int n = -1;
  EXPECT_EQ(RVExpressionsToGet(link, &n), 1);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(link->error, 10u);
  EXPECT_EQ(link->writeState, nullptr);  // not connected by counting
  ASSERT_EQ(RVPutInteger32(link, 8), 1);  // connects
  EXPECT_NE(link->writeState, nullptr);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVFlush(link), 1);
  int value = 0;
  EXPECT_EQ(RVGetInteger32(link, &value), 1);
  EXPECT_EQ(value, 8);
  Destroy(link);
}

TEST_F(DisciplineTest, FailedGetReplacesElevenWithItsOwnCode) {
  QVLink* link = LinkWith(11);
  ASSERT_NE(link, nullptr);
  int v = 0;
  ASSERT_EQ(RVGetInteger32(link, &v), 1);  // buffered data still reads
  EXPECT_EQ(v, 5);
  char* nothing = nullptr;
  int n = 0;
  EXPECT_EQ(RVGetInteger32List(link, reinterpret_cast<int**>(&nothing), &n), 0);  // the packet end is no list
  EXPECT_NE(link->error, 11u);
  EXPECT_NE(link->error, 0u);
  Destroy(link);
}

TEST_F(DisciplineTest, RawSizeAndDataMakeAtomsAndBytesToGetFinishesThem) {
  qvtest::ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(RVPutType(link, 43), 1);  // an integer token written raw: a byte-encoded atom body
  const std::string body = "A~\x43" "123";
  ASSERT_EQ(RVPutRawSize(link, 6), 1);
  int room = -1;
  EXPECT_EQ(RVBytesToPut(link, &room), 1);
  EXPECT_EQ(room, 6);
  ASSERT_EQ(RVPutRawData(link, reinterpret_cast<const unsigned char*>(body.data()), 3), 1);
  ASSERT_EQ(RVPutRawData(link, reinterpret_cast<const unsigned char*>(body.data()) + 3, 3), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVPutType(link, 34), 1);  // an empty string, closed by its size alone
  ASSERT_EQ(RVPutRawSize(link, 0), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVFlush(link), 1);
  const std::string expected = "+\x46" + body + "\n]\"\x40\n]";
  device.WaitCaptured(expected.size(), std::chrono::seconds(2));
  EXPECT_EQ(Hex(device.Captured()), Hex(expected));
  // Refused before anything is written: missing bytes, negative length.
  EXPECT_EQ(RVPutRawData(link, nullptr, 2), 0);
  EXPECT_EQ(RVError(link), 47);
  Destroy(link);

  // The same bytes read back raw through another scripted link.
  qvtest::ScriptedDevice reader_device;
  QVLink* reader = Scripted(reader_device);
  ASSERT_NE(reader, nullptr);
  reader_device.WriteBytes(expected);
  EXPECT_EQ(RVFill(reader), 1);
  EXPECT_EQ(RVGetNext(reader), 43);
  int left = -1;
  EXPECT_EQ(RVRawBytesToGet(reader, &left), 1);
  EXPECT_EQ(left, 6);
  unsigned char got[8] = {};
  int count = -1;
  EXPECT_EQ(RVGetRawData(reader, got, 4, &count), 1);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(RVGetData(reader, reinterpret_cast<char*>(got) + 4, 8, &count), 1);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 6), body);
  EXPECT_EQ(RVBytesToGet(reader, &left), 1);  // at the end: 0, and the atom is finished
  EXPECT_EQ(left, 0);
  EXPECT_EQ(RVNewPacket(reader), 1);
  EXPECT_EQ(RVGetNext(reader), 34);
  EXPECT_EQ(RVError(reader), 0);
  Destroy(reader);
}

// A stand-in for the link log: running, with puts enabled, whose write link
// is a scripted link the test reads.
class StandInLog : public Quorvane::QVLinkLog {
 public:
  explicit StandInLog(QVLink* write_link) : write_link_(write_link) {}
  bool doLoggingQ() const override { return logging; }
  QVLink* writeLink() const override { return write_link_; }
  bool logging = true;

 private:
  QVLink* write_link_;
};

TEST_F(DisciplineTest, LoggedLinkMirrorsEveryPutThenFlushesTheWriteLink) {
  qvtest::ScriptedDevice log_device;
  QVLink* write_link = Scripted(log_device);
  ASSERT_NE(write_link, nullptr);
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  auto* stand_in = new StandInLog(write_link);
  Quorvane::QVSmartPointer<Quorvane::QVLinkLog> log(stand_in);
  link->log = log;

  const int ten = 10;
  const std::string after_int = "\xE4" + std::string(reinterpret_cast<const char*>(&ten), 4) + "\n";
  ASSERT_EQ(RVPutInteger32(link, 10), 1);
  // Flushed already: the bytes reach the device without a flush of our own.
  ASSERT_TRUE(log_device.WaitCaptured(after_int.size()));
  EXPECT_EQ(log_device.Captured(), after_int);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_TRUE(log_device.WaitCaptured(after_int.size() + 1));
  EXPECT_EQ(log_device.Captured(), after_int + "]");

  // Gets are never mirrored.
  ASSERT_EQ(RVFlush(link), 1);
  int v = 0;
  ASSERT_EQ(RVGetInteger32(link, &v), 1);
  EXPECT_EQ(v, 10);
  EXPECT_EQ(log_device.Captured(), after_int + "]");

  // A log no longer logging: nothing more reaches it.
  stand_in->logging = false;
  ASSERT_EQ(RVPutInteger32(link, 11), 1);
  EXPECT_EQ(log_device.Captured(), after_int + "]");
  link->log = {};
  Destroy(link);
  Destroy(write_link);
}

// In a thread-safe environment every link has its lock: threads putting on
// one shared link, then threads getting from it, neither lose nor tear a
// number.
TEST_F(DisciplineTest, ThreadsShareALockedLink) {
  RestartEnvironment([](RVEnvironmentParameters* p) { RVSetThreadSafeLinksParameter(p); });
  ASSERT_FALSE(HasFatalFailure());
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  ASSERT_NE(link->lockOn, 0);

  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([link, t] {
      for (int i = 0; i < kEach; ++i) RVPutInteger32(link, t * 100000 + i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(RVError(link), 0);
  ASSERT_EQ(RVFlush(link), 1);

  std::vector<std::vector<int>> got(kThreads);
  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([link, &got, t] {
      for (int i = 0; i < kEach; ++i) {
        int v = -1;
        if (RVGetInteger32(link, &v) == 1) got[t].push_back(v);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(RVError(link), 0);
  std::vector<int> all;
  for (const auto& part : got) all.insert(all.end(), part.begin(), part.end());
  std::sort(all.begin(), all.end());
  std::vector<int> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) expected.push_back(t * 100000 + i);
  }
  EXPECT_EQ(all, expected);
  Destroy(link);
}

}  // namespace

// A logged link whose peer, a forked process, has sent only the first part of
// a large expression: the peer is killed there, or the log is stopped there
// while the peer waits. Either way the log holds the tokens that came, and a
// dead peer's line right after them; a stop does not wait for the rest, and
// the link still gets it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/device/qvshmtest.h"
#include "tests/utilities/qvlinklog/qvlogfiletest.h"

namespace {

using qvlinklogtest::Entries;
using qvlinklogtest::Entry;
using qvlinklogtest::LogsExactly;
using qvlinklogtest::Show;

constexpr int kArguments = 100000;  // of Big[...]
constexpr int kSent = 60000;        // of them sent before the peer stops

// The stages both processes go through.
enum Stage : int {
  kListening = 1,  // the parent's link waits; its name is in the mailbox
  kLogging = 2,    // the parent logs its link
  kSentPart = 3,   // the peer has sent the first kSent arguments
  kSendRest = 4,   // the parent has stopped its log
  kLeave = 5,      // the parent has read everything
};

struct Device {
  const char* protocol;
  const char* listen;  // the listening command, before the name
  // The line a killed peer leaves, after "The other side of " and the name.
  const char* killedLine;
};

const Device kDevices[] = {
    {"SharedMemory", "-linkprotocol SharedMemory -linkmode listen -linkname ", " unexpectedly died"},
    {"TCPIP", "-linkprotocol TCPIP -linkmode listen -linkname ", " closed the link"},
};

void PrintTo(const Device& device, std::ostream* os) { *os << device.protocol; }

// Sends Big[0, 1, ...] up to kSent arguments and waits; sends the rest only
// when the parent says so.
bool SendBigInTwoParts(const qvshmtest::SharedMailbox& box, QVLink* link) {
  bool ok = RVPutFunction(link, "Big", kArguments) != 0;
  for (int i = 0; i < kSent && ok; ++i) ok = RVPutInteger(link, i) != 0;
  ok = ok && RVFlush(link) != 0;
  box->stage = kSentPart;
  ok = ok && qvshmtest::Reaches(box, kSendRest, std::chrono::seconds(60));
  for (int i = kSent; i < kArguments && ok; ++i) ok = RVPutInteger(link, i) != 0;
  return ok && RVEndPacket(link) != 0 && RVFlush(link) != 0;
}

// Sends Tick[0], Tick[1], ... without a pause until the parent says so, and
// says how many.
bool SendTicksWithoutAPause(const qvshmtest::SharedMailbox& box, QVLink* link) {
  int i = 0;
  bool ok = true;
  for (; ok && box->stage.load() < kSendRest; ++i) {
    ok = RVPutFunction(link, "Tick", 1) != 0 && RVPutInteger(link, i) != 0 && RVEndPacket(link) != 0 &&
         RVFlush(link) != 0;
    if (i == 1000) box->stage = kSentPart;
  }
  box->answer = i;
  return ok && RVPutFunction(link, "Done", 0) != 0 && RVEndPacket(link) != 0 && RVFlush(link) != 0;
}

// The peer: connects, sends, and stays until the parent has read everything.
int Peer(const qvshmtest::SharedMailbox& box, const Device& device, bool ticks) {
  if (!qvshmtest::Reaches(box, kListening)) return 10;
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 11;
  int answer = 12;
  int error = 0;
  const std::string command =
      std::string("-linkprotocol ") + device.protocol + " -linkmode connect -linkname " + box->text;
  if (QVLink* link = RVOpenString(environment, command.c_str(), &error)) {
    bool ok = RVActivate(link) != 0 && qvshmtest::Reaches(box, kLogging);
    ok = ok && (ticks ? SendTicksWithoutAPause(box, link) : SendBigInTwoParts(box, link));
    answer = ok && qvshmtest::Reaches(box, kLeave) ? 0 : 13;
    RVClose(link);
  }
  RVDeinitialize(environment);
  return answer;
}

// The log's text of the first kSent arguments, as it stands when no more come.
std::string PartOfBig() {
  std::string text = "Big[";
  for (int i = 0; i < kSent; ++i) text += std::to_string(i) + ", ";
  return text;
}

class LoggedCut : public ::testing::TestWithParam<Device> {
 protected:
  void SetUp() override {
    name_ = qvshmtest::UniqueName("qvlogcut");
    const bool ticks = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()).find("Pauses") !=
                       std::string::npos;
    child_ = std::make_unique<qvshmtest::Child>([this, ticks] { return Peer(box_, GetParam(), ticks); });
    environment_ = RVInitialize(nullptr);
    ASSERT_NE(environment_, nullptr);
    const bool tcpip = std::string(GetParam().protocol) == "TCPIP";
    const std::string command = GetParam().listen + (tcpip ? std::string("@127.0.0.1") : name_);
    int error = 0;
    link_ = RVOpenString(environment_, command.c_str(), &error);
    ASSERT_NE(link_, nullptr) << error;
    const std::string linkName = tcpip ? RVName(link_) : name_;
    ASSERT_LT(linkName.size(), sizeof box_->text);
    linkName.copy(box_->text, linkName.size());
    box_->stage = kListening;
    ASSERT_EQ(RVActivate(link_), 1) << RVError(link_);
    char* device = nullptr;
    ASSERT_EQ(RVLowLevelDeviceName(link_, &device), 1);
    device_ = device;
    RVReleaseLowLevelDeviceName(link_, device);
    ASSERT_EQ(RVLogStreamToFile(link_, file_.c_str()), 1);
    box_->stage = kLogging;
  }

  void TearDown() override {
    if (link_ != nullptr) RVClose(link_);
    if (environment_ != nullptr) RVDeinitialize(environment_);
  }

  // The program reads the head and the arguments that were sent: all of
  // them have reached this process.
  void ReadWhatWasSent() {
    const char* head = nullptr;
    int count = 0;
    ASSERT_EQ(RVGetFunction(link_, &head, &count), 1) << RVError(link_);
    EXPECT_STREQ(head, "Big");
    RVReleaseSymbol(link_, head);
    ASSERT_EQ(count, kArguments);
    ReadArguments(0, kSent);
  }

  void ReadArguments(int from, int to) {
    int wrong = 0;
    for (int i = from; i < to; ++i) {
      int value = -1;
      ASSERT_EQ(RVGetInteger(link_, &value), 1) << i << ": " << RVError(link_);
      wrong += value != i;
    }
    EXPECT_EQ(wrong, 0);
  }

  // Stops the log from another thread; false when that does not return in time.
  bool StopsInTime() {
    auto stopped = std::make_shared<std::atomic<bool>>(false);
    std::thread stopping([link = link_, stopped] {
      RVStopLoggingStream(link);
      stopped->store(true);
    });
    if (!qvtest::WaitUntil([&] { return stopped->load(); }, std::chrono::seconds(10))) {
      stopping.detach();  // hung: the link and its environment are the hung thread's now
      link_ = nullptr;
      environment_ = nullptr;
      return false;
    }
    stopping.join();
    return true;
  }

  qvshmtest::SharedMailbox box_;
  std::string name_;
  std::unique_ptr<qvshmtest::Child> child_;
  qvtest::TempDir folder_;
  std::string file_ = folder_.file("cut.log");
  RVEnvironment* environment_ = nullptr;
  QVLink* link_ = nullptr;
  std::string device_;
};

INSTANTIATE_TEST_SUITE_P(Devices, LoggedCut, ::testing::ValuesIn(kDevices),
                         [](const auto& instance) { return std::string(instance.param.protocol); });

TEST_P(LoggedCut, APeerKilledInTheMiddleLeavesTheTokensThatCameThenItsLine) {
  ASSERT_NO_FATAL_FAILURE(ReadWhatWasSent());
  ASSERT_TRUE(qvshmtest::Reaches(box_, kSentPart));
  child_->Kill();

  const std::vector<Entry> wanted = {{" read", PartOfBig()},
                                     {" read", "The other side of " + device_ + GetParam().killedLine}};
  EXPECT_TRUE(qvtest::WaitUntil([&] { return LogsExactly(Entries(file_), wanted); }, std::chrono::seconds(30)))
      << Show(Entries(file_));
  // The program's own link has lost its peer too.
  int value = 0;
  EXPECT_EQ(RVGetInteger(link_, &value), 0);
  EXPECT_NE(RVError(link_), 0);
}

TEST_P(LoggedCut, AStopWhileTheRestIsAwaitedLeavesTheTokensThatCame) {
  ASSERT_NO_FATAL_FAILURE(ReadWhatWasSent());
  ASSERT_TRUE(qvshmtest::Reaches(box_, kSentPart));
  // The peer sends nothing more until the stop is done.
  ASSERT_TRUE(StopsInTime()) << "the stop waited for the rest of the expression";
  const std::vector<Entry> wanted = {{" read", PartOfBig()}};
  EXPECT_TRUE(LogsExactly(Entries(file_), wanted)) << Show(Entries(file_));

  // The rest comes afterwards, to the link and not to the log.
  const std::string logged = qvlinklogtest::Slurp(file_);
  box_->stage = kSendRest;
  ASSERT_NO_FATAL_FAILURE(ReadArguments(kSent, kArguments));
  box_->stage = kLeave;
  const int status = child_->Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(qvlinklogtest::Slurp(file_), logged);
}

// The peer sends without a pause while the log stops: the stop logs what
// had come and returns, and what it logged is each expression once, in
// order from the first; the link still gets every one.
TEST_P(LoggedCut, AStopWhileThePeerNeverPausesReturns) {
  ASSERT_TRUE(qvshmtest::Reaches(box_, kSentPart));
  ASSERT_TRUE(StopsInTime()) << "the stop followed the peer";
  box_->stage = kSendRest;

  const std::vector<Entry> entries = Entries(file_);
  ASSERT_FALSE(entries.empty());
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string whole = "Tick[" + std::to_string(i) + "]";
    // The last may be the head of one the stop came in the middle of.
    const bool cut = i + 1 == entries.size() && whole.rfind(entries[i].text, 0) == 0;
    ASSERT_TRUE(entries[i].direction == " read" && (entries[i].text == whole || cut))
        << i << ": " << entries[i].text;
  }
  for (int i = 0;; ++i) {
    const char* head = nullptr;
    int count = 0;
    ASSERT_EQ(RVGetFunction(link_, &head, &count), 1) << i << ": " << RVError(link_);
    const std::string got = head;
    RVReleaseSymbol(link_, head);
    if (got == "Done") {
      EXPECT_EQ(i, box_->answer.load());
      break;
    }
    ASSERT_EQ(got, "Tick");
    int value = -1;
    ASSERT_EQ(RVGetInteger(link_, &value), 1);
    ASSERT_EQ(value, i);
  }
  box_->stage = kLeave;
  const int status = child_->Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace

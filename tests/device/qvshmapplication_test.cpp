// The installable program serving a host over SharedMemory, each in a process
// of its own: the host listens on a drawn name, the program connects to it,
// sends the definition and answers a call (a bad one with "$Failed"); then
// the ways the service ends, each with the program's exit status and a
// deadline, and nothing of the link left once the next environment has swept.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "application/qvapplication.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/application/qvalgorithm3definition.h"
#include "tests/application/qvalgorithm3sample.h"
#include "tests/device/qvshmtest.h"

namespace {

using namespace qvshmtest;

constexpr long kTerminate = 1;
constexpr int kEvaluatePacket = 13;
// Five series of this many reals hold more than the ring: the host's flush
// of such a call returns only once the program is reading it.
constexpr int kLongerThanTheRing = 5000;

// Stages of the mailbox.
constexpr int kNameReady = 1;   // host: the link name is in the text
constexpr int kReadyToDie = 2;  // host: served, waiting to be killed
constexpr int kEnded = 3;       // host: its ending is done
constexpr int kLooked = 4;      // test: the program's end is seen
constexpr int kHostFailed = 100;

enum class Ending {
  kTerminateWhileIdle,
  kTerminateDuringACall,
  kTerminateThenCloseAtOnce,
  kHostCloses,
  kHostKilledMidPacket,
  kHostKilledWhileIdle,
  kResumeThenEvaluatePacket,
};

struct EndingCase {
  const char* name;
  Ending ending;
  int status;  // the program's exit status
};

void PrintTo(const EndingCase& row, std::ostream* out) { *out << row.name; }

bool KilledQ(Ending ending) { return ending == Ending::kHostKilledMidPacket || ending == Ending::kHostKilledWhileIdle; }

// Every wait of the host ends by this time: its yield function gives up.
std::chrono::steady_clock::time_point gGiveUpAt;
int UntilGiveUp(void*, QVYieldParams*) { return std::chrono::steady_clock::now() >= gGiveUpAt ? 1 : 0; }

// A call answered with the bits of the algorithm run directly.
void CallAndCheck(QVLink* link, const qvtest::Algorithm3Call& call, bool terminateAfterPut = false) {
  ASSERT_TRUE(qvtest::PutAlgorithm3Call(link, call)) << RVError(link);
  if (terminateAfterPut) {
    ASSERT_EQ(RVPutMessage(link, kTerminate), 1) << RVError(link);
  }
  ASSERT_EQ(RVGetType(link), 42) << RVError(link);
  double value = 0;
  ASSERT_EQ(RVGetReal64(link, &value), 1) << RVError(link);
  EXPECT_EQ(value, call.sample.Direct());
}

// The host's side up to and including its ending; link is null once closed.
// Failures are gtest failures of the host's process, printed there.
void Serve(QVLink*& link, const SharedMailbox& box, Ending ending) {
  ASSERT_EQ(RVConnect(link), 1) << RVError(link);
  ASSERT_NO_FATAL_FAILURE(qvtest::ReadAlgorithm3Definition(link));
  if (ending == Ending::kTerminateDuringACall) {
    qvtest::Algorithm3Call call;
    call.sample = qvtest::Algorithm3Sample(kLongerThanTheRing);
    ASSERT_NO_FATAL_FAILURE(CallAndCheck(link, call, true));
    return;
  }
  // A call the program cannot serve is answered "$Failed", and serving goes on.
  qvtest::Algorithm3Call bad;
  bad.index = 1;
  ASSERT_TRUE(qvtest::PutAlgorithm3Call(link, bad)) << RVError(link);
  ASSERT_EQ(RVTestSymbol(link, "$Failed"), 1) << RVError(link);
  ASSERT_EQ(RVNewPacket(link), 1) << RVError(link);
  ASSERT_NO_FATAL_FAILURE(CallAndCheck(link, qvtest::Algorithm3Call{}));
  switch (ending) {
    case Ending::kTerminateWhileIdle:
      ASSERT_EQ(RVPutMessage(link, kTerminate), 1) << RVError(link);
      break;
    case Ending::kTerminateThenCloseAtOnce:
      ASSERT_EQ(RVPutMessage(link, kTerminate), 1) << RVError(link);
      [[fallthrough]];
    case Ending::kHostCloses:
      RVClose(link);
      link = nullptr;
      break;
    case Ending::kHostKilledMidPacket: {
      // The head of a call and its first list: the program waits for the rest.
      const qvtest::Algorithm3Sample sample;
      ASSERT_TRUE(RVPutFunction(link, "CallPacket", 2) == 1 && RVPutInteger(link, 0) == 1 &&
                  RVPutFunction(link, "List", 10) == 1 && qvtest::PutAlgorithm3Series(link, sample.series[0], false) &&
                  RVFlush(link) == 1)
          << RVError(link);
      box->stage = kReadyToDie;
      Reaches(box, kLooked);
      break;
    }
    case Ending::kHostKilledWhileIdle:
      box->stage = kReadyToDie;
      Reaches(box, kLooked);
      break;
    case Ending::kResumeThenEvaluatePacket:
      // The program refuses to be the front end, skips to the suspend packet
      // and serves again; an evaluate packet then ends it.
      ASSERT_EQ(RVNewPacket(link), 1) << RVError(link);
      ASSERT_TRUE(RVPutFunction(link, "ResumePacket", 1) == 1 && RVPutSymbol(link, "parent") == 1 &&
                  RVEndPacket(link) == 1 && RVFlush(link) == 1)
          << RVError(link);
      ASSERT_EQ(RVNextPacket(link), kEvaluatePacket) << RVError(link);
      ASSERT_EQ(RVNewPacket(link), 1) << RVError(link);
      ASSERT_TRUE(RVPutFunction(link, "SuspendPacket", 0) == 1 && RVEndPacket(link) == 1) << RVError(link);
      ASSERT_NO_FATAL_FAILURE(CallAndCheck(link, qvtest::Algorithm3Call{}));
      ASSERT_TRUE(RVPutFunction(link, "EvaluatePacket", 1) == 1 && RVPutSymbol(link, "x") == 1 &&
                  RVEndPacket(link) == 1)
          << RVError(link);
      // The program may take the packet and close before the flush is done.
      if (RVFlush(link) != 1) {
        EXPECT_EQ(RVError(link), 11);
      }
      break;
    default:
      break;
  }
}

int Host(const SharedMailbox& box, Ending ending) {
  gGiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 10;
  int error = 0;
  // No name: the listener draws one.
  QVLink* link = RVOpenString(environment, "-linkmode listen -linkprotocol SharedMemory", &error);
  if (link == nullptr) return 11;
  if (RVSetYieldFunction(link, &UntilGiveUp) != 1) return 12;
  std::snprintf(box->text, sizeof box->text, "%s", RVName(link));
  box->stage = kNameReady;
  Serve(link, box, ending);
  const bool failed = ::testing::Test::HasFailure();
  box->stage = failed ? kHostFailed : kEnded;
  if (!failed) Reaches(box, kLooked);
  if (link != nullptr) RVClose(link);
  RVDeinitialize(environment);
  return failed ? 20 : 0;
}

bool ExitedWith(int status, int code) { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

class SharedMemoryApplication : public ::testing::TestWithParam<EndingCase> {};

// Neither process here touches the library before both are forked: each
// starts its own.
TEST_P(SharedMemoryApplication, ServesTheHostAndEndsAsTheHostSays) {
  const EndingCase& row = GetParam();
  SharedMailbox box;
  Child host([&] { return Host(box, row.ending); });
  ASSERT_TRUE(Reaches(box, kNameReady));
  const std::string name = box->text;
  ASSERT_FALSE(name.empty());
  const std::string program = std::string(QV_BINARY_DIR) + "/application/quorvane-algorithm3";
  Child served([&] {
    execl(program.c_str(), program.c_str(), "-linkmode", "connect", "-linkprotocol", "SharedMemory", "-linkname",
          name.c_str(), static_cast<char*>(nullptr));
    return 127;
  });

  const int reached = KilledQ(row.ending) ? kReadyToDie : kEnded;
  ASSERT_TRUE(qvtest::WaitUntil([&] { return box->stage.load() >= reached; }, std::chrono::seconds(30)));
  ASSERT_EQ(box->stage.load(), reached) << "the host failed (its output above)";
  // Killed and left unreaped: a zombie that the process watch still counts
  // alive, so only the link itself can tell the program.
  if (KilledQ(row.ending)) {
    ASSERT_EQ(kill(host.pid(), SIGKILL), 0);
  }
  const int status = served.Wait(std::chrono::seconds(1));
  EXPECT_TRUE(ExitedWith(status, row.status)) << "wait status " << status << " (-1: still running after 1 s)";
  box->stage = kLooked;
  if (KilledQ(row.ending)) {
    host.Kill();
  } else {
    EXPECT_TRUE(ExitedWith(host.Wait(), 0));
  }
  if (status < 0) served.Kill();

  // The next environment's start-up sweep leaves nothing of the link.
  EXPECT_TRUE(ExitedWith(qvtest::RunInChild([] {
                           RVEnvironment* next = RVInitialize(nullptr);
                           if (next == nullptr) return 1;
                           RVDeinitialize(next);
                           return 0;
                         }),
                         0));
  EXPECT_EQ(EntriesWith(SyncDir(), name), std::vector<std::string>{});
  EXPECT_FALSE(Exists(ShmPath(name)));
}

INSTANTIATE_TEST_SUITE_P(
    Endings, SharedMemoryApplication,
    ::testing::Values(EndingCase{"TerminateWhileIdle", Ending::kTerminateWhileIdle, 0},
                      EndingCase{"TerminateDuringACall", Ending::kTerminateDuringACall, 0},
                      EndingCase{"TerminateThenCloseAtOnce", Ending::kTerminateThenCloseAtOnce, 0},
                      EndingCase{"HostCloses", Ending::kHostCloses, 1},
                      EndingCase{"HostKilledMidPacket", Ending::kHostKilledMidPacket, 1},
                      EndingCase{"HostKilledWhileIdle", Ending::kHostKilledWhileIdle, 1},
                      EndingCase{"ResumeThenEvaluatePacket", Ending::kResumeThenEvaluatePacket, 1}),
    [](const ::testing::TestParamInfo<EndingCase>& row) { return std::string(row.param.name); });

}  // namespace

// The link log over devices that join two processes: a SharedMemory link to a
// forked peer, and the installable program launched over Pipes. The file the
// library names for the link holds both directions as expression text, each
// entry behind its dated preamble, and the logged link still gets every
// expression unchanged.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "api/qvlink.h"
#include "application/qvapplication.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/application/qvalgorithm3definition.h"
#include "tests/application/qvalgorithm3sample.h"
#include "tests/device/qvpipestest.h"
#include "tests/device/qvshmtest.h"
#include "tests/utilities/qvlinklog/qvlogfiletest.h"

namespace {

using qvlinklogtest::Entries;
using qvlinklogtest::Entry;
using qvlinklogtest::LogsExactly;
using qvlinklogtest::LogToItsOwnFile;
using qvlinklogtest::PrivateTmpdir;
using qvlinklogtest::Show;

// A real as the log writes it.
std::string RealText(double value) {
  std::ostringstream os;
  os.setf(std::ios_base::showpoint);
  os << value;
  return os.str();
}

constexpr int kCount = 300;
const char* const kText = "say hello";

// The SharedMemory peer: once the log runs, sends Echo[text, List[0..kCount-1],
// 2.5] and checks the answer Received[kCount].
int SharedMemoryPeer(const qvshmtest::SharedMailbox& box, const std::string& name) {
  if (!qvshmtest::Reaches(box, 1)) return 10;
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 11;
  int answer = 12;
  int error = 0;
  const std::string command = "-linkmode connect -linkname " + name;
  if (QVLink* link = RVOpenString(environment, command.c_str(), &error)) {
    if (RVActivate(link) != 0 && qvshmtest::Reaches(box, 2)) {
      bool ok = RVPutFunction(link, "Echo", 3) && RVPutString(link, kText) && RVPutFunction(link, "List", kCount);
      for (int i = 0; i < kCount && ok; ++i) ok = RVPutInteger(link, i);
      ok = ok && RVPutReal64(link, 2.5) && RVEndPacket(link) && RVFlush(link);
      int count = 0;
      int received = 0;
      ok = ok && RVTestHead(link, "Received", &count) && count == 1 && RVGetInteger(link, &received) &&
           received == kCount;
      answer = ok ? 0 : 13;
      // Closed only once the other side has looked: a close ends its link.
      if (!qvshmtest::Reaches(box, 3)) answer = 14;
    }
    RVClose(link);
  }
  RVDeinitialize(environment);
  return answer;
}

TEST(LoggedLinkBetweenProcesses, SharedMemoryLogsBothDirectionsAndStillDeliversEverything) {
  const std::string name = qvshmtest::UniqueName("qvlogshm");
  qvshmtest::SharedMailbox box;
  qvshmtest::Child child([&] { return SharedMemoryPeer(box, name); });
  PrivateTmpdir tmpdir;
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  box->stage = 1;
  int error = 0;
  const std::string command = "-linkmode listen -linkname " + name;
  QVLink* link = RVOpenString(environment, command.c_str(), &error);
  ASSERT_NE(link, nullptr) << error;
  ASSERT_EQ(RVActivate(link), 1) << RVError(link);
  const std::string file = LogToItsOwnFile(link);
  ASSERT_EQ(file.rfind(tmpdir.path() + "/qv", 0), 0u) << file;
  box->stage = 2;

  int count = 0;
  EXPECT_EQ(RVTestHead(link, "Echo", &count), 1) << RVError(link);
  EXPECT_EQ(count, 3);
  const char* text = nullptr;
  ASSERT_EQ(RVGetString(link, &text), 1);
  EXPECT_STREQ(text, kText);
  RVReleaseString(link, text);
  int* values = nullptr;
  int length = 0;
  ASSERT_EQ(RVGetInteger32List(link, &values, &length), 1) << RVError(link);
  ASSERT_EQ(length, kCount);
  int wrong = 0;
  for (int i = 0; i < kCount; ++i) wrong += values[i] != i;
  RVReleaseInteger32List(link, values, length);
  EXPECT_EQ(wrong, 0);
  double real = 0;
  ASSERT_EQ(RVGetReal64(link, &real), 1);
  EXPECT_EQ(real, 2.5);
  ASSERT_EQ(RVPutFunction(link, "Received", 1), 1);
  ASSERT_EQ(RVPutInteger(link, kCount), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVFlush(link), 1);

  std::string list = "{";
  for (int i = 0; i < kCount; ++i) list += (i != 0 ? ", " : "") + std::to_string(i);
  list += "}";
  const std::vector<Entry> wanted = {
      {" read", "Echo[\"" + std::string(kText) + "\", " + list + ", " + RealText(2.5) + "]"},
      {"write", "Received[" + std::to_string(kCount) + "]"},
  };
  // The log thread writes behind the link.
  EXPECT_TRUE(qvtest::WaitUntil([&] { return LogsExactly(Entries(file), wanted); })) << Show(Entries(file));
  box->stage = 3;
  const int status = child.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  RVClose(link);
  RVDeinitialize(environment);
}

// The host of the program launched over Pipes, its link logged right after it
// connects: the program's definition, sent as soon as it is connected, may
// already wait in the link when the log starts, and is logged all the same.
TEST(LoggedLinkBetweenProcesses, PipesHostLogsTheDefinitionTheCallAndTheAnswer) {
  // The library reaps its children on SIGCHLD; held back here (threads made
  // later inherit the mask), the program is reaped by the test.
  sigset_t block;
  sigset_t previous;
  sigemptyset(&block);
  sigaddset(&block, SIGCHLD);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &previous), 0);
  PrivateTmpdir tmpdir;
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  const std::string command =
      std::string("-linkprotocol Pipes -linkmode launch -linkname ") + QV_BINARY_DIR + "/application/quorvane-algorithm3";
  int error = 0;
  QVLink* link = RVOpenString(environment, command.c_str(), &error);
  ASSERT_NE(link, nullptr) << error;
  ASSERT_EQ(RVConnect(link), 1) << RVError(link);
  const std::string file = LogToItsOwnFile(link);
  // The device is named by its command line: one file in the folder.
  EXPECT_EQ(file.rfind(tmpdir.path() + "/qv", 0), 0u) << file;
  EXPECT_EQ(file.find('/', tmpdir.path().size() + 1), std::string::npos) << file;

  [&] {
    ASSERT_FALSE(file.empty());
    int index = -1;
    ASSERT_NO_FATAL_FAILURE(qvtest::ReadAlgorithm3Definition(link, &index));

    qvtest::Algorithm3Call sent;
    sent.index = index;
    ASSERT_TRUE(qvtest::PutAlgorithm3Call(link, sent)) << RVError(link);
    // The call as the log writes it.
    std::string call = "CallPacket[" + std::to_string(index) + ", {";
    for (const auto& s : sent.sample.series) {
      call += "{";
      for (size_t i = 0; i < s.size(); ++i) call += (i != 0 ? ", " : "") + RealText(s[i]);
      call += "}, ";
    }
    call += std::to_string(sent.sample.time);
    for (double ratio : sent.sample.ratios) call += ", " + RealText(ratio);
    call += "}]";

    ASSERT_EQ(RVGetType(link), 42) << RVError(link);
    double value = 0;
    ASSERT_EQ(RVGetReal64(link, &value), 1);
    const double direct = sent.sample.Direct();
    EXPECT_EQ(value, direct);

    const std::string definition = std::string("DefineExternal[\"") + Quorvane::kAlgorithm3Pattern + "\", \"" +
                                   Quorvane::kAlgorithm3Arguments + "\", " + std::to_string(index) + "]";
    const std::vector<Entry> wanted = {
        {" read", definition}, {" read", "End"}, {"write", call}, {" read", RealText(direct)}};
    EXPECT_TRUE(qvtest::WaitUntil([&] { return LogsExactly(Entries(file), wanted); })) << Show(Entries(file));
  }();

  RVClose(link);
  RVDeinitialize(environment);
  for (int pid : qvtest::ChildrenOfThisProcess()) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

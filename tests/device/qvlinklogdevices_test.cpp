// The link log over devices that join two processes: a SharedMemory link to a
// forked peer, and the installable program launched over Pipes. The file the
// library names for the link holds both directions as expression text, each
// entry behind its dated preamble, and the logged link still gets every
// expression unchanged.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
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

namespace {

struct Entry {
  std::string direction;  // "write" or " read"
  std::string text;
};

// The log's entries in order: the 80-column breaks are taken out, and each
// entry runs from its preamble to the next one.
std::vector<Entry> Entries(const std::string& path) {
  std::ifstream in(path);
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  const std::regex preamble("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{4}<" + std::to_string(getpid()) +
                            ",(write| read)>: ");
  std::vector<Entry> entries;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), preamble); it != std::sregex_iterator(); ++it) {
    if (!entries.empty()) {
      std::string& last = entries.back().text;
      last.resize(last.size() - (text.size() - static_cast<size_t>(it->position())));
    }
    entries.push_back({(*it)[1].str(), text.substr(static_cast<size_t>(it->position() + it->length()))});
  }
  return entries;
}

// True when each direction's entries are exactly the wanted ones of that
// direction, in their order: none missing, none twice, none more. The two
// directions are logged by separate readers, so no order between them is
// asked for.
bool LogsExactly(const std::vector<Entry>& entries, const std::vector<Entry>& wanted) {
  for (const char* direction : {"write", " read"}) {
    std::vector<std::string> logged;
    std::vector<std::string> expected;
    for (const Entry& e : entries) {
      if (e.direction == direction) logged.push_back(e.text);
    }
    for (const Entry& w : wanted) {
      if (w.direction == direction) expected.push_back(w.text);
    }
    if (logged != expected) return false;
  }
  return true;
}

std::string Show(const std::vector<Entry>& entries) {
  std::string out;
  for (const Entry& e : entries) out += "<" + e.direction + "> " + e.text.substr(0, 200) + "\n";
  return out;
}

// A real as the log writes it.
std::string RealText(double value) {
  std::ostringstream os;
  os.setf(std::ios_base::showpoint);
  os << value;
  return os.str();
}

// Points TMPDIR at a private folder so the library's own log file name lands there.
class PrivateTmpdir {
 public:
  PrivateTmpdir() {
    if (const char* old = std::getenv("TMPDIR")) old_ = old, had_ = true;
    setenv("TMPDIR", folder_.path().c_str(), 1);
  }
  ~PrivateTmpdir() {
    if (had_) {
      setenv("TMPDIR", old_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }
  PrivateTmpdir(const PrivateTmpdir&) = delete;
  PrivateTmpdir& operator=(const PrivateTmpdir&) = delete;
  const std::string& path() const { return folder_.path(); }

 private:
  qvtest::TempDir folder_;
  std::string old_;
  bool had_ = false;
};

// Starts logging the link into the file the library names for it; that name, or "" on failure.
std::string LogToItsOwnFile(QVLink* link) {
  char* name = nullptr;
  if (RVLogFileNameForLink(link, &name) == 0) return "";
  const std::string path = name;
  RVReleaseLogFileNameForLink(link, name);
  return RVLogStreamToFile(link, path.c_str()) != 0 ? path : "";
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

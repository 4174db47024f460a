// Launching children over pipes: refusals that leave nothing behind, the
// command line the child gets, a stream through a real child, and the death
// of either side.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/device/qvbackslashtexts.h"
#include "tests/device/qvpipestest.h"
#include "tests/utilities/qvtestprocesses.h"

namespace {

using namespace Quorvane;
using qvtest::Call;

constexpr unsigned long kLaunch = 8;
constexpr unsigned long kNoShell = 3;
// A child that echoes every byte: the device then talks to itself, its own
// window ends and acknowledgements coming back as the peer's.
constexpr const char* kEcho = "/bin/sh -c 'cat; :'";
// The same as one process, so that its death closes the pipes.
constexpr const char* kSoleEcho = "/bin/sh -c 'exec cat'";

std::string MakeFile(const std::string& name, const std::string& text, mode_t mode) {
  const std::string path = qvtest::PrivateRoot() + "/" + name;
  std::ofstream(path) << text;
  chmod(path.c_str(), mode);
  return path;
}

int ChildOf(void* device) {
  int pid = 0;
  Call(device, QVDEVICE_SPECIFIC_30, &pid);
  return pid;
}

void EndChild(int pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST(PipesLaunch, RefusalsLeaveNoRecordPipeOrChild) {
  const std::string plain = MakeFile("plain", "data", 0600);
  const std::string garbage = MakeFile("garbage", std::string("\x7f" "ELF garbage", 12), 0700);
  struct Case {
    std::string protocol, name;
    unsigned long options;
    long expected;
  } cases[] = {
      {"Pipes", "", 0, 42},
      {"Pipes", qvtest::PrivateRoot() + "/missing -x", 0, 46},
      {"Pipes", plain, 0, 50},
      {"Pipes", "/bin/sh -c 'exit 126'", 0, 46},
      {"Pipes", "/bin/sh -c 'kill -9 $$'", 0, 19},
      {"Pipes", garbage, kNoShell, 19},  // exec itself fails
      {"Pipes:0,1,3,5000", kEcho, 0, 34},
      {"TCP", kEcho, 0, 34},
  };
  qvtest::PipesWorld world;
  for (const Case& c : cases) {
    const int descriptors = qvtest::OpenDescriptorCount();
    long error = 0;
    void* device = world.Make(c.protocol, kLaunch, c.name, c.options, &error);
    // A child that dies at once is seen only within the first moments: a
    // loaded machine may start it too slowly, so such a case may take
    // another try (the child that outlived the watch is ended first).
    for (int attempt = 0; device != nullptr && attempt < 5; ++attempt) {
      const int pid = ChildOf(device);
      Call(device, QVDEVICE_CLOSE);
      EndChild(pid);
      device = world.Make(c.protocol, kLaunch, c.name, c.options, &error);
    }
    EXPECT_EQ(device, nullptr) << c.name;
    EXPECT_EQ(error, c.expected) << c.name;
    EXPECT_EQ(qvtest::OpenDescriptorCount(), descriptors) << c.name;
    EXPECT_TRUE(qvtest::ChildrenOfThisProcess().empty()) << c.name;
  }
  long error = 0;
  EXPECT_EQ(world.Make("Pipes", 2, kEcho, 0, &error), nullptr);
  EXPECT_EQ(error, 35);
}

TEST(PipesLaunch, ChildCommandLineGetsWhatItLacks) {
  // The words given after the echo command, and those the launch appends.
  using Words = std::vector<std::string>;
  const Words all = {"-LinkMode", "ParentConnect", "-LinkProtocol", "Pipes", "-quorvane"};
  struct Case {
    Words given, appended;
  } cases[] = {
      {{}, all},
      {{"-LinkMode", "ParentConnect"}, {"-LinkProtocol", "Pipes", "-quorvane"}},
      {{"-linkmode", "parentconnect"}, {"-LinkProtocol", "Pipes", "-quorvane"}},
      {{"-linkprotocol", "Pipes"}, {"-LinkMode", "ParentConnect", "-quorvane"}},
      {{"-kovr"}, {"-LinkMode", "ParentConnect", "-LinkProtocol", "Pipes"}},
      {{"-quorvane"}, {"-LinkMode", "ParentConnect", "-LinkProtocol", "Pipes"}},
      {{"-log", "/tmp/quorvane-run"}, {"-LinkMode", "ParentConnect", "-LinkProtocol", "Pipes"}},
      {all, {}},
  };
  qvtest::PipesWorld world;
  for (const Case& c : cases) {
    std::string command = kEcho;
    Words expected = {"/bin/sh", "-c", "cat; :"};
    for (const std::string& word : c.given) {
      command += " " + word;
      expected.push_back(word);
    }
    expected.insert(expected.end(), c.appended.begin(), c.appended.end());
    long error = 0;
    void* device = world.Make("Pipes", kLaunch, command, 0, &error);
    ASSERT_NE(device, nullptr) << command;
    // The shell that runs the command line replaces itself with the command;
    // the whole line is compared, so a part added twice shows.
    Words words;
    EXPECT_TRUE(qvtest::WaitUntil([&] { return (words = qvtest::CommandLineOf(ChildOf(device))) == expected; }))
        << command << " ran as: " << ::testing::PrintToString(words);
    const int pid = ChildOf(device);
    Call(device, QVDEVICE_CLOSE);
    EndChild(pid);
  }
}

// Descriptor numbers a process has open, and what each one is.
std::map<int, std::string> DescriptorsOf(int pid) {
  std::map<int, std::string> found;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return found;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char target[256] = {};
    const ssize_t length = readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    found[std::atoi(entry->d_name)] = length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
  }
  closedir(dir);
  return found;
}

TEST(PipesLaunch, ChildKeepsItsMessagePipesOnTheGivenNumbers) {
  qvtest::PipesWorld world;
  long error = 0;
  void* device = world.Make("Pipes:0,1,3,4", kLaunch, std::string(QV_PIPES_CHILD) + " records", 0, &error);
  ASSERT_NE(device, nullptr) << error;
  qvtest::ChildKiller child(ChildOf(device));
  ASSERT_EQ(Call(device, QVDEVICE_CONNECT), 0);
  long code = 5, argument = 66;
  ASSERT_EQ(Call(device, QVDEVICE_WRITE_MESSAGE, &code, &argument), 0);
  // The child tells what came on its descriptor 3, and answers on its 4.
  EXPECT_EQ(qvtest::ReadStreamText(device, 8), "got 5 66");
  ASSERT_TRUE(qvtest::WaitUntil([&] {
    long waiting = 0, alsoWaiting = 0;
    return Call(device, QVDEVICE_HAS_MESSAGE, &alsoWaiting, &waiting) == 0 && waiting == 1;
  }));
  ASSERT_EQ(Call(device, QVDEVICE_READ_MESSAGE, &code, &argument), 0);
  EXPECT_EQ(code, 9);
  EXPECT_EQ(argument, 67);
  // Nothing else of this process reached the child.
  const std::map<int, std::string> descriptors = DescriptorsOf(ChildOf(device));
  std::vector<int> numbers;
  for (const auto& [number, target] : descriptors) numbers.push_back(number);
  EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2, 3, 4}));
  for (int number : {0, 1, 3, 4}) {
    const auto found = descriptors.find(number);
    EXPECT_TRUE(found != descriptors.end() && found->second.rfind("pipe:", 0) == 0) << number;
  }
  const int pid = ChildOf(device);
  Call(device, QVDEVICE_CLOSE);
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  child.release();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A host link launching the test's child, which opens its link from the words
// the launch appended: an expression full of backslashes goes there and back
// across many windows, each read handing out one backslash per segment.
TEST(PipesLink, ExpressionsFullOfBackslashesCrossALaunchedProgram) {
  // The library reaps its children on SIGCHLD; held back here, the child's
  // exit status is left to the test.
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, SIGCHLD);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &previous), 0);
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  std::string program = std::string(QV_PIPES_CHILD) + " link";
  const char* words[] = {"-linkprotocol", "Pipes", "-linkmode", "launch", "-linkname", program.c_str()};
  int error = 0;
  QVLink* link = RVOpenArgcArgv(environment, 6, const_cast<char**>(words), &error);
  ASSERT_NE(link, nullptr) << error;
  const std::vector<int> children = qvtest::ChildrenOfThisProcess();
  ASSERT_EQ(children.size(), 1u);
  qvtest::ChildKiller child(children[0]);
  ASSERT_NE(RVActivate(link), 0) << RVError(link);
  const std::vector<std::string> texts = qvtest::BackslashTexts();
  ASSERT_TRUE(qvtest::PutTexts(link, texts)) << RVError(link);
  EXPECT_EQ(qvtest::GetTexts(link), texts) << RVError(link);
  RVClose(link);
  int status = -1;
  EXPECT_TRUE(qvtest::WaitUntil([&] { return waitpid(children[0], &status, WNOHANG) == children[0]; }));
  child.release();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  RVDeinitialize(environment);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

class EchoChild : public ::testing::Test {
 protected:
  void SetUp() override {
    long error = 0;
    device_ = world_.Make("Pipes", kLaunch, kSoleEcho, 0, &error);
    ASSERT_EQ(error, 0);
    pid_ = ChildOf(device_);
    ASSERT_GT(pid_, 0);
    ASSERT_EQ(Call(device_, QVDEVICE_CONNECT), 0);
  }
  void TearDown() override {
    if (device_ != nullptr) Call(device_, QVDEVICE_CLOSE);
    EndChild(pid_);
  }
  void Send(const std::string& text) {
    char* start = nullptr;
    long size = 0;
    ASSERT_EQ(Call(device_, QVDEVICE_WRITE_WINDOW, &start, &size), 0);
    if (first_) {
      first_ = false;
      ASSERT_NE(start, nullptr);
    }
    std::memcpy(start, text.data(), text.size());
    size = static_cast<long>(text.size());
    ASSERT_EQ(Call(device_, QVDEVICE_WRITE, &start, &size), 0);
  }

  qvtest::PipesWorld world_;
  void* device_ = nullptr;
  int pid_ = 0;
  bool first_ = true;
};

TEST_F(EchoChild, StreamCrossesARealChild) {
  const std::string text = "through \\ the child";
  Send(text);
  std::string got;
  while (got.size() < text.size()) {
    char* start = nullptr;
    long size = 0;
    ASSERT_EQ(Call(device_, QVDEVICE_READ, &start, &size), 0);
    if (start != nullptr) got.append(start, static_cast<size_t>(size));
  }
  EXPECT_EQ(got, text);
  long code = 4, argument = 0;
  // No message pipes: only codes 1 to 3 travel, as signals.
  EXPECT_EQ(Call(device_, QVDEVICE_WRITE_MESSAGE, &code, &argument), 17);
}

TEST_F(EchoChild, KilledChildFailsABlockedReadWithError1) {
  Send("half a packet");
  auto blocked = std::async(std::launch::async, [&] {
    long answer = 0;
    for (;;) {
      char* start = nullptr;
      long size = 0;
      answer = Call(device_, QVDEVICE_READ, &start, &size);
      if (answer != 0) return answer;
    }
  });
  // Its echo is read; then the read waits until the child is gone.
  ASSERT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  ASSERT_EQ(kill(pid_, SIGKILL), 0);
  ASSERT_EQ(blocked.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_EQ(blocked.get(), 1);
}

TEST(PipesParentSide, ParentKilledEndsTheChildsRead) {
  qvtest::PipesWorld world;
  qvtest::PeerPipes pipes;
  qvtest::RawPipe& toDevice = pipes.toDevice;
  qvtest::RawPipe& fromDevice = pipes.fromDevice;
  const pid_t parent = fork();
  ASSERT_GE(parent, 0);
  if (parent == 0) {
    // Plays the launching side as far as the connect, then hangs on.
    (void)!write(toDevice.w(), "Yin ", 4);
    for (;;) pause();
  }
  close(toDevice.Release(1));
  long error = 0;
  void* device = pipes.Attach(world, &error);
  ASSERT_EQ(error, 0);
  fromDevice.CloseBoth();
  ASSERT_EQ(Call(device, QVDEVICE_CONNECT), 0);
  auto blocked = std::async(std::launch::async, [&] {
    char* start = nullptr;
    long size = 0;
    return Call(device, QVDEVICE_READ, &start, &size);
  });
  ASSERT_EQ(kill(parent, SIGKILL), 0);
  waitpid(parent, nullptr, 0);
  ASSERT_EQ(blocked.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  EXPECT_EQ(blocked.get(), 11);
  Call(device, QVDEVICE_CLOSE);
}

}  // namespace

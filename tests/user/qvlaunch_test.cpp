// Launching a program that connects back: the file checks, the child's
// command line as the program sees it, reaping, and the listening link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "api/qvqueries.h"
#include "quorvane.h"
#include "tests/api/qvenvironmenttest.h"
#include "tests/support/qvscripteddevice.h"
#include "tests/support/qvtest.h"
#include "user/qvopen.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Whether the process is gone for good: reaped, not a zombie.
bool Reaped(const std::string& pid) { return access(("/proc/" + pid).c_str(), F_OK) != 0; }

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
    ASSERT_NE(parameters, nullptr);
    // With the device module's signal handling, so an ended child is reaped at once.
    environment_.reset(RVBegin(parameters));
    RVReleaseParameters(parameters);
    ASSERT_NE(environment_, nullptr);
    record_ = qvtest::QueueScriptedWorld({"P", 0, 0});
    environment_->deviceManager->registerWorldForTesting(qvtest::ScriptedWorldFunction());
    ASSERT_EQ(mkfifo(dir_.file("release").c_str(), 0600), 0);
  }
  void TearDown() override {
    if (!pid_.empty()) Release();
  }

  // A shell script that writes its process id and arguments, one a line, to
  // out, and then stays until the test releases it: a program that ends at
  // once is taken for one that could not be run, and a loaded machine may
  // look at the child only after the script is done.
  std::string Helper(const std::string& name, bool executable = true) {
    const std::string path = dir_.file(name);
    std::ofstream(path) << "#!/bin/sh\nprintf '%s\\n' $$ \"$@\" > " << dir_.file("out") << ".tmp && mv "
                        << dir_.file("out") << ".tmp " << dir_.file("out") << "\nread line < "
                        << dir_.file("release") << "\n";
    chmod(path.c_str(), executable ? 0755 : 0644);
    return path;
  }

  // Lets the helper that wrote its arguments end: its read of the release
  // pipe sees the end once this side has opened and closed it.
  void Release() {
    int fd = -1;
    // Open without waiting: that succeeds once the helper is at its read.
    EXPECT_TRUE(qvtest::WaitUntil(
        [&] { return (fd = open(dir_.file("release").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }))
        << "the helper never came to its read";
    if (fd >= 0) close(fd);
    pid_.clear();
  }

  QVLink* Launch(const std::string& command, int* error) {
    std::vector<char*> argv = {const_cast<char*>("-linkprotocol"), const_cast<char*>("P"),
                               const_cast<char*>("-linkmode"), const_cast<char*>("launch"),
                               const_cast<char*>("-linkname"), const_cast<char*>(command.c_str()), nullptr};
    return RVOpenArgcArgv(environment_.get(), 6, argv.data(), error);
  }

  std::vector<std::string> ArgumentsSeen() {
    EXPECT_TRUE(qvtest::WaitUntil([&] { return access(dir_.file("out").c_str(), F_OK) == 0; }));
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(dir_.file("out")));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (!lines.empty()) {
      pid_ = lines.front();
      lines.erase(lines.begin());
    }
    return lines;
  }

  qvtest::TempDir dir_;
  qvtest::EnvironmentHandle environment_;
  qvtest::ScriptedWorldRecord* record_ = nullptr;
  std::string pid_;  // the helper's, once it wrote its arguments
};

TEST_F(LaunchTest, MissingOrNonExecutableProgramOpensNothing) {
  int error = 0;
  EXPECT_EQ(Launch(dir_.file("missing"), &error), nullptr);
  EXPECT_EQ(error, 46);
  EXPECT_EQ(Launch(Helper("plain", false), &error), nullptr);
  EXPECT_EQ(error, 50);
  EXPECT_EQ(record_->makeCalls, 0);
  EXPECT_TRUE(environment_->globals->links.empty());
}

TEST_F(LaunchTest, ChildGetsTheConnectOptionsAndIsReaped) {
  const std::string helper = Helper("helper");
  int error = -1;
  QVLink* link = Launch(helper, &error);
  ASSERT_NE(link, nullptr) << error;
  EXPECT_EQ(error, 0);
  EXPECT_EQ(ArgumentsSeen(), (std::vector<std::string>{"-quorvane", "-linkprotocol", "P", "-linkconnect",
                                                       "-linkname", "scripted"}));
  EXPECT_STREQ(RVLinkName(link), helper.c_str());
  ASSERT_EQ(record_->made.size(), 1u);
  ASSERT_FALSE(pid_.empty());
  const std::string pid = pid_;
  Release();
  EXPECT_TRUE(qvtest::WaitUntil([&] { return Reaped(pid); })) << pid;
  RVClose(link);
}

TEST_F(LaunchTest, CommandAlreadyMarkedGetsOnlyTheProtocol) {
  const std::string helper = Helper("helper");
  int error = -1;
  QVLink* link = Launch(helper + " -quorvane x", &error);
  ASSERT_NE(link, nullptr) << error;
  EXPECT_EQ(ArgumentsSeen(), (std::vector<std::string>{"-quorvane", "x", "-linkprotocol", "P", "-linkconnect",
                                                       "-linkname", "scripted"}));
  EXPECT_EQ(std::string(RVLinkName(link)), helper + " -quorvane x");
  RVClose(link);
}

TEST_F(LaunchTest, EscapedBlankIsPartOfTheProgramName) {
  const std::string helper = Helper("with blank");
  const std::string escaped = dir_.file("with\\ blank");
  int error = -1;
  QVLink* link = Launch(escaped, &error);
  ASSERT_NE(link, nullptr) << error;
  EXPECT_EQ(ArgumentsSeen().front(), "-quorvane");
  RVClose(link);
}

}  // namespace

// The console dialogs on a real terminal: the test drives a pseudo-terminal
// whose other end is a child's standard input, output and error.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "api/qvdialogs.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/api/qvenvironmenttest.h"
#include "tests/utilities/qvtestprocesses.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStepDeadline = std::chrono::seconds(20);
constexpr int kNoTerminal = 125;  // the child could not take the terminal as its own

// A child on a pseudo-terminal, with echo off so that only its own output
// comes back.
class TerminalChild {
 public:
  explicit TerminalChild(const std::function<int()>& body) {
    int terminal = -1;
    if (openpty(&master_, &terminal, nullptr, nullptr, nullptr) != 0) {
      refusal_ = std::string("openpty: ") + std::strerror(errno);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(master_);
      if (login_tty(terminal) != 0) _exit(kNoTerminal);
      termios modes;
      if (tcgetattr(STDIN_FILENO, &modes) == 0) {
        modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &modes);
      }
      unsetenv("SSH_CLIENT");
      std::fflush(stdout);
      _exit(body());
    }
    close(terminal);
  }
  ~TerminalChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  TerminalChild(const TerminalChild&) = delete;
  TerminalChild& operator=(const TerminalChild&) = delete;

  bool StartedQ() const { return pid_ > 0; }
  // Why there is no terminal to run on (empty where there is one).
  const std::string& refusal() const { return refusal_; }

  // Reads until the output so far holds text count times; false at the deadline.
  bool WaitFor(const std::string& text, int count = 1) {
    const auto deadline = Clock::now() + kStepDeadline;
    while (Occurrences(text) < count) {
      if (Clock::now() > deadline) return false;
      pollfd entry{master_, POLLIN, 0};
      if (poll(&entry, 1, 100) <= 0) continue;
      char chunk[512];
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) return Occurrences(text) >= count;
      output_.append(chunk, static_cast<size_t>(n));
    }
    return true;
  }

  void Type(const std::string& text) { ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size())); }

  // The child's exit code, -1 when it did not end by the deadline.
  int Finish() {
    int status = 0;
    const bool ended = qvtest::WaitUntil(
        [&] {
          // Keep draining, or a child writing much would block.
          char chunk[512];
          pollfd entry{master_, POLLIN, 0};
          if (poll(&entry, 1, 0) > 0) {
            const ssize_t n = read(master_, chunk, sizeof chunk);
            if (n > 0) output_.append(chunk, static_cast<size_t>(n));
          }
          return waitpid(pid_, &status, WNOHANG) == pid_;
        },
        kStepDeadline);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& output() const { return output_; }

 private:
  int Occurrences(const std::string& text) const {
    int n = 0;
    for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + 1)) ++n;
    return n;
  }

  int master_ = -1;
  pid_t pid_ = -1;
  std::string output_;
  std::string refusal_;
};

// A machine without pseudo-terminals (a bare chroot, a container without
// /dev/pts) cannot run these tests; that is the machine's, not a fault.
#define QV_START_ON_TERMINAL(child)                                                              \
  do {                                                                                           \
    if (!(child).refusal().empty()) GTEST_SKIP() << "no pseudo-terminal here: " << (child).refusal(); \
    ASSERT_TRUE((child).StartedQ());                                                             \
  } while (0)

}  // namespace

TEST(ConsoleDialogs, ConfirmAsksAgainUntilYesOrNo) {
  TerminalChild child([] {
    RVEnvironment* environment = qvtest::BeginWithoutDevices();
    const int answer = RVConfirm(environment, "Proceed?", 0);
    RVEnd(environment);
    return answer == 1 ? 0 : 1;
  });
  QV_START_ON_TERMINAL(child);
  const std::string prompt = "Proceed? < yes | no > ";
  ASSERT_TRUE(child.WaitFor(prompt)) << child.output();
  child.Type("maybe\n");
  ASSERT_TRUE(child.WaitFor(prompt, 2)) << "a reply beginning with m is asked again: " << child.output();
  child.Type("Yes please\n");
  EXPECT_EQ(child.Finish(), 0) << child.output();
}

TEST(ConsoleDialogs, ConfirmNoAndALongQuestion) {
  const std::string question(1500, 'q');
  TerminalChild child([&] {
    RVEnvironment* environment = qvtest::BeginWithoutDevices();
    const int answer = RVConfirm(environment, question.c_str(), 1);
    RVEnd(environment);
    return answer;
  });
  QV_START_ON_TERMINAL(child);
  const std::string shown = std::string(1009, 'q') + " < yes | no > ";
  ASSERT_TRUE(child.WaitFor(shown)) << child.output().size();
  EXPECT_EQ(child.output().find(std::string(1010, 'q')), std::string::npos) << "shortened to 1009 characters";
  child.Type("n\n");
  EXPECT_EQ(child.Finish(), 0);
}

TEST(ConsoleDialogs, RequestReadsOneLine) {
  struct Case {
    std::string typed;
    long size;
    int answer;
    std::string text;
  };
  const Case cases[] = {
      {"hello world\n", 32, 1, "hello world"},
      {"\n", 32, 0, ""},
      {"abcdefghij\n", 8, 1, "abcdef"},  // at most size - 2 characters
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    TerminalChild child([&] {
      RVEnvironment* environment = qvtest::BeginWithoutDevices();
      char buffer[64];
      const int answer = RVRequest(environment, "Name: ", buffer, c.size);
      std::printf("[%s]\n", buffer);
      std::fflush(stdout);
      RVEnd(environment);
      return answer;
    });
    QV_START_ON_TERMINAL(child);
    ASSERT_TRUE(child.WaitFor("Name: ")) << child.output();
    child.Type(c.typed);
    EXPECT_EQ(child.Finish(), c.answer);
    EXPECT_NE(child.output().find("[" + c.text + "]"), std::string::npos) << child.output();
  }
}

TEST(ConsoleDialogs, PermissionAndEndOfInput) {
  TerminalChild child([] {
    RVEnvironment* environment = qvtest::BeginWithoutDevices();
    int failed = QVPermit_unix(environment, 1) == 1 ? 0 : 1;
    char buffer[16] = "x";
    // End of input answers 0.
    if (QVRequest_unix(environment, "More: ", buffer, sizeof buffer) != 0 || buffer[0] != '\0') failed |= 2;
    if (QVRequest_unix(environment, "Tiny: ", buffer, 1) != 0) failed |= 4;
    RVEnd(environment);
    return failed;
  });
  QV_START_ON_TERMINAL(child);
  ASSERT_TRUE(child.WaitFor("More: "));
  child.Type(std::string(1, '\x04'));  // end of input at the start of a line
  EXPECT_EQ(child.Finish(), 0) << child.output();
}

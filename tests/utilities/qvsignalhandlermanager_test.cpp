#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/qvtest.h"
#include "utilities/qvexception.h"
#include "utilities/qvsignalhandlermanager.h"

using namespace Quorvane;

namespace {

// Handlers record the order they ran in with async-signal-safe operations only.
std::atomic<int> callCount{0};
std::atomic<uintptr_t> callOrder[16];

void Record(uintptr_t address) {
  const int slot = callCount.fetch_add(1);
  if (slot < 16) callOrder[slot].store(address);
}
void HandlerA(int) { Record(reinterpret_cast<uintptr_t>(&HandlerA)); }
void HandlerB(int) { Record(reinterpret_cast<uintptr_t>(&HandlerB)); }
void HandlerC(int, siginfo_t*, void*) { Record(reinterpret_cast<uintptr_t>(&HandlerC)); }
void EarlierHandler(int) { Record(reinterpret_cast<uintptr_t>(&EarlierHandler)); }

std::vector<uintptr_t> Calls() {
  std::vector<uintptr_t> calls;
  for (int i = 0; i < std::min(callCount.load(), 16); ++i) calls.push_back(callOrder[i].load());
  return calls;
}
void ResetCalls() { callCount.store(0); }

struct sigaction Current(int number) {
  struct sigaction now;
  std::memset(&now, 0, sizeof now);
  sigaction(number, nullptr, &now);
  return now;
}

uintptr_t CurrentAddress(int number) {
  struct sigaction now = Current(number);
  if ((now.sa_flags & SA_SIGINFO) != 0) return reinterpret_cast<uintptr_t>(now.sa_sigaction);
  return reinterpret_cast<uintptr_t>(now.sa_handler);
}

void Install(int number, void (*function)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = function;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(number, &action, nullptr), 0);
}

const uintptr_t kDispatcher = reinterpret_cast<uintptr_t>(&actualSignalHandler);

// Every case starts from default dispositions for the signals it uses and
// leaves the process-wide tables reset.
class SignalManager : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCalls();
    for (int number : {SIGUSR1, SIGUSR2, SIGCHLD, SIGTERM, SIGINT, SIGHUP}) Install(number, SIG_DFL);
    Install(SIGPIPE, SIG_IGN);
  }
  // The tables outlive a manager whose handling was stopped: take this case's
  // registrations out so that cases run in one process do not meet them.
  void TearDown() override {
    QVSignalHandlerManager manager;
    manager.stopHandlingSignals();
    for (int number = 1; number <= maxSignalHandlerNumber; ++number) {
      if (number == 32 || number == 33) continue;
      for (auto function : {&HandlerA, &HandlerB, &EarlierHandler}) {
        manager.clearHandlerWithFunction(number, function);
      }
      manager.clearHandlerWithFunction(number, &HandlerC);
    }
  }
};

}  // namespace

TEST_F(SignalManager, SeveralHandlersShareASignalInAddressOrder) {
  QVSignalHandlerManager manager;
  manager.setHandlerFromFunction(SIGUSR1, &HandlerB, false);
  manager.setHandlerFromFunction(SIGUSR1, &HandlerA, false);
  manager.setHandlerFromFunction(SIGUSR1, &HandlerC, false);
  manager.setHandlerFromFunction(SIGUSR1, &HandlerA, false);  // kept once
  manager.startHandlingSignals();
  EXPECT_EQ(CurrentAddress(SIGUSR1), kDispatcher);
  raise(SIGUSR1);
  std::vector<uintptr_t> expected = {reinterpret_cast<uintptr_t>(&HandlerA),
                                     reinterpret_cast<uintptr_t>(&HandlerB),
                                     reinterpret_cast<uintptr_t>(&HandlerC)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Calls(), expected);

  // A cleared registration is no longer called; the others still are.
  ResetCalls();
  manager.clearHandlerWithFunction(SIGUSR1, &HandlerB);
  raise(SIGUSR1);
  expected.erase(std::find(expected.begin(), expected.end(),
                           reinterpret_cast<uintptr_t>(&HandlerB)));
  EXPECT_EQ(Calls(), expected);
  manager.stopHandlingSignals();
}

TEST_F(SignalManager, EarlierHandlerIsKeptCalledAndPutBack) {
  Install(SIGUSR2, &EarlierHandler);
  {
    QVSignalHandlerManager manager;
    manager.setHandlerFromFunction(SIGUSR2, &HandlerA, false);
    manager.startHandlingSignals();
    manager.handleSignal(SIGUSR2);  // a second time records nothing new
    raise(SIGUSR2);
    std::vector<uintptr_t> expected = {reinterpret_cast<uintptr_t>(&HandlerA),
                                       reinterpret_cast<uintptr_t>(&EarlierHandler)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Calls(), expected);
    std::ostringstream printed;
    printed << manager;
    // Two registrations: the program's and the one found in the system; the
    // dispatcher itself is never recorded as pre-existing.
    const std::string text = printed.str();
    size_t entries = 0;
    for (size_t at = text.find("<entry>"); at != std::string::npos; at = text.find("<entry>", at + 1)) {
      ++entries;
    }
    EXPECT_EQ(entries, 2u);
    EXPECT_EQ(text.find("<first>" + std::to_string(kDispatcher) + "</first>"), std::string::npos);

    manager.stopHandlingSignal(SIGUSR2);
    EXPECT_EQ(CurrentAddress(SIGUSR2), reinterpret_cast<uintptr_t>(&EarlierHandler));
    manager.handleSignal(SIGUSR2);
    EXPECT_EQ(CurrentAddress(SIGUSR2), kDispatcher);
  }
  // The last manager puts the earlier handler back.
  EXPECT_EQ(CurrentAddress(SIGUSR2), reinterpret_cast<uintptr_t>(&EarlierHandler));
}

TEST_F(SignalManager, StoppingPutsBackTheDispositionThatStoodBefore) {
  struct Case {
    int number;
    void (*before)(int);
  };
  const Case cases[] = {{SIGCHLD, SIG_DFL}, {SIGTERM, SIG_DFL}, {SIGINT, SIG_DFL},
                        {SIGHUP, SIG_DFL},  {SIGPIPE, SIG_IGN}, {SIGUSR1, SIG_IGN}};
  for (const Case& c : cases) Install(c.number, c.before);
  {
    QVSignalHandlerManager manager;
    for (const Case& c : cases) manager.setHandlerFromFunction(c.number, &HandlerA, false);
    manager.startHandlingSignals();
    for (const Case& c : cases) EXPECT_EQ(CurrentAddress(c.number), kDispatcher) << c.number;
    manager.stopHandlingSignals();
    for (const Case& c : cases) {
      EXPECT_EQ(CurrentAddress(c.number), reinterpret_cast<uintptr_t>(c.before)) << c.number;
    }
    // Again through the destruction of the last manager.
    manager.startHandlingSignals();
  }
  for (const Case& c : cases) {
    EXPECT_EQ(CurrentAddress(c.number), reinterpret_cast<uintptr_t>(c.before)) << c.number;
  }
}

TEST_F(SignalManager, ClearingTheLastRegistrationPutsBackTheDisposition) {
  QVSignalHandlerManager manager;
  manager.setHandlerFromFunction(SIGCHLD, &HandlerA, false);
  manager.startHandlingSignals();
  EXPECT_EQ(CurrentAddress(SIGCHLD), kDispatcher);
  manager.clearHandlerWithFunction(SIGCHLD, &HandlerA);
  EXPECT_EQ(CurrentAddress(SIGCHLD), reinterpret_cast<uintptr_t>(SIG_DFL));
  // A child's exit status is still there to collect (SIG_IGN would lose it).
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(7);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
  manager.stopHandlingSignals();
}

TEST_F(SignalManager, ClearDispositionBitInstallsNothing) {
  QVSignalHandlerManager manager;
  QVSignalHandlerManager::setSignalDisposition(SIGUSR1, false);
  manager.setHandlerFromFunction(SIGUSR1, &HandlerA, false);
  manager.handleSignal(SIGUSR1);
  manager.startHandlingSignals();
  EXPECT_EQ(CurrentAddress(SIGUSR1), reinterpret_cast<uintptr_t>(SIG_DFL));
  std::ostringstream printed;
  printed << manager;
  EXPECT_EQ(printed.str().find("<table>"), std::string::npos);
  manager.stopHandlingSignal(SIGUSR1);
  manager.clearHandlerWithFunction(SIGUSR1, &HandlerA);
  EXPECT_EQ(CurrentAddress(SIGUSR1), reinterpret_cast<uintptr_t>(SIG_DFL));
  manager.stopHandlingSignals();
  QVSignalHandlerManager::setSignalDisposition(SIGUSR1, true);
}

TEST_F(SignalManager, RegistrationAfterStartIsDispatchedAtOnce) {
  QVSignalHandlerManager manager;
  manager.setHandlerFromFunction(SIGUSR1, &HandlerA, false);
  manager.startHandlingSignals();
  EXPECT_EQ(CurrentAddress(SIGUSR2), reinterpret_cast<uintptr_t>(SIG_DFL));
  manager.setHandlerFromFunction(SIGUSR2, &HandlerB, false);
  EXPECT_EQ(CurrentAddress(SIGUSR2), kDispatcher);
  raise(SIGUSR2);
  EXPECT_EQ(Calls(), std::vector<uintptr_t>{reinterpret_cast<uintptr_t>(&HandlerB)});
  manager.stopHandlingSignals();
}

TEST_F(SignalManager, RegistrationAfterStartKeepsTheHandlerItReplaces) {
  Install(SIGUSR2, &EarlierHandler);
  QVSignalHandlerManager manager;
  manager.setHandlerFromFunction(SIGUSR1, &HandlerA, false);
  manager.startHandlingSignals();
  manager.setHandlerFromFunction(SIGUSR2, &HandlerB, false);
  raise(SIGUSR2);
  std::vector<uintptr_t> expected = {reinterpret_cast<uintptr_t>(&HandlerB),
                                     reinterpret_cast<uintptr_t>(&EarlierHandler)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Calls(), expected);
  manager.stopHandlingSignals();
  EXPECT_EQ(CurrentAddress(SIGUSR2), reinterpret_cast<uintptr_t>(&EarlierHandler));
}

TEST_F(SignalManager, SignalsReservedByTheSystemAreRefused) {
  QVSignalHandlerManager manager;
  for (int number : {32, 33}) {
    try {
      manager.setHandlerFromFunction(number, &HandlerA, false);
      ADD_FAILURE() << "signal " << number << " accepted";
    } catch (const QVException& e) {
      EXPECT_EQ(e.getType(), qvexceptiontype::systemCallFailed);
      EXPECT_EQ(e.getCode(), EINVAL);
      EXPECT_EQ(ToStdString(e.getWhat()), "installHandlerInSystem caught an error from sigaction.");
    }
    EXPECT_THROW(QVSignalHandlerManager::ignoreSignal(number), QVException);
  }
  std::ostringstream printed;
  printed << manager;
  EXPECT_EQ(printed.str().find("<table>"), std::string::npos);
}

TEST_F(SignalManager, SegvWithoutEarlierHandlerRunsRegistrationsThenEndsTheProcess) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  static int writeEnd;
  writeEnd = fds[1];
  struct Writers {
    static void One(int) { (void)!write(writeEnd, "1", 1); }
    static void Two(int, siginfo_t*, void*) { (void)!write(writeEnd, "2", 1); }
  };
  const int status = qvtest::RunInChild([] {
    // No earlier handler: whatever a sanitizer installed goes.
    Install(SIGSEGV, SIG_DFL);
    QVSignalHandlerManager manager;
    manager.setHandlerFromFunction(SIGSEGV, &Writers::One, false);
    manager.setHandlerFromFunction(SIGSEGV, &Writers::Two, false);
    manager.startHandlingSignals();
    raise(SIGSEGV);
    return 0;  // not reached
  });
  close(fds[1]);
  std::string written;
  char buffer[8];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) written.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, "12");
}

TEST_F(SignalManager, SegvWithEarlierHandlerCallsOnlyThatOne) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  static int writeEnd;
  writeEnd = fds[1];
  struct Writers {
    static void Earlier(int) {
      (void)!write(writeEnd, "E", 1);
      _exit(3);
    }
    static void Ours(int) { (void)!write(writeEnd, "O", 1); }
  };
  const int status = qvtest::RunInChild([] {
    Install(SIGSEGV, &Writers::Earlier);
    QVSignalHandlerManager manager;
    manager.setHandlerFromFunction(SIGSEGV, &Writers::Ours, false);
    manager.startHandlingSignals();
    raise(SIGSEGV);
    return 0;
  });
  close(fds[1]);
  char buffer[8];
  const ssize_t n = read(fds[0], buffer, sizeof buffer);
  close(fds[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "E");
}

TEST_F(SignalManager, DispatchWhileAnotherThreadChangesRegistrations) {
  QVSignalHandlerManager manager;
  manager.setHandlerFromFunction(SIGUSR1, &HandlerA, false);
  manager.startHandlingSignals();
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    QVSignalHandlerManager own;
    while (!stop.load()) {
      own.setHandlerFromFunction(SIGUSR1, &HandlerB, false);
      own.setHandlerFromFunction(SIGUSR1, &HandlerC, false);
      own.clearHandlerWithFunction(SIGUSR1, &HandlerB);
      own.clearHandlerWithFunction(SIGUSR1, &HandlerC);
    }
  });
  for (int i = 0; i < 20000; ++i) {
    ResetCalls();
    raise(SIGUSR1);
    // HandlerA is registered throughout, so every dispatch reaches it.
    const std::vector<uintptr_t> calls = Calls();
    ASSERT_NE(std::find(calls.begin(), calls.end(), reinterpret_cast<uintptr_t>(&HandlerA)),
              calls.end());
  }
  stop.store(true);
  changer.join();
  manager.stopHandlingSignals();
}

TEST_F(SignalManager, RecordsAndDispositionSet) {
  const QVSignalHandler a(SIGUSR1, &HandlerA, false, false, true);
  const QVSignalHandler sameKey(SIGUSR1, &HandlerA, true, true, true);
  const QVSignalHandler invalid(SIGUSR1, &HandlerA, false, false, false);
  const QVSignalHandler info(SIGUSR1, &HandlerC, false, false, true);
  EXPECT_EQ(a, sameKey);  // flags other than valid are not compared
  EXPECT_NE(a, invalid);
  EXPECT_NE(a, info);
  EXPECT_TRUE(info.siginfoHandlerQ());
  EXPECT_FALSE(a.siginfoHandlerQ());
  EXPECT_EQ(QVSignalHandlerManager::ignoreHandler(SIGUSR1).getHandlerFunction(),
            reinterpret_cast<uintptr_t>(SIG_IGN));
  EXPECT_EQ(QVSignalHandlerManager::defaultHandler(SIGUSR1).getHandlerFunction(), 0u);

  QVSignalHandlerDispositionSet set;
  std::ostringstream fresh;
  fresh << set;
  EXPECT_EQ(fresh.str(), "<QVSignalHandlerDispositionSet>" + std::string(60, '1') +
                             "</QVSignalHandlerDispositionSet>");
  set.doNotHandleSignal(1);
  set.doNotHandleSignal(60);
  set.doNotHandleSignal(61);  // outside the set: nothing
  EXPECT_FALSE(set.getSignalDisposition(1));
  EXPECT_FALSE(set.getSignalDisposition(61));
  std::ostringstream narrowed;
  narrowed << set;
  EXPECT_EQ(narrowed.str(), "<QVSignalHandlerDispositionSet>0" + std::string(58, '1') +
                                "0</QVSignalHandlerDispositionSet>");
  EXPECT_NE(set, QVSignalHandlerDispositionSet());
  set.reset();
  EXPECT_EQ(set, QVSignalHandlerDispositionSet());
}

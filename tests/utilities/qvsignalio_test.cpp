// SIGIO after the library lets go of it: a descriptor may still be armed for
// signal-driven input, and the default action would end the program, so a
// SIGIO the program had left at its default stays ignored; a disposition of
// the program's own comes back as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>

#include "support/qvtest.h"
#include "utilities/qvsignalhandlermanager.h"

namespace {

using Quorvane::QVSignalHandlerManager;

void LibraryHandler(int) {}
void ProgramHandler(int) {}

struct sigaction Current() {
  struct sigaction now;
  std::memset(&now, 0, sizeof now);
  sigaction(SIGIO, nullptr, &now);
  return now;
}

void Install(void (*function)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = function;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGIO, &action, nullptr), 0);
}

struct Release {
  const char* how;
  std::function<void(QVSignalHandlerManager&)> run;  // the manager goes after it
};

TEST(SignalIO, LeftIgnoredUnlessTheProgramHadItsOwnDisposition) {
  const Release releases[] = {
      {"stop handling", [](QVSignalHandlerManager& m) { m.stopHandlingSignals(); }},
      {"last registration cleared", [](QVSignalHandlerManager& m) { m.clearHandlerWithFunction(SIGIO, &LibraryHandler); }},
      {"last manager destroyed", [](QVSignalHandlerManager&) {}},
  };
  struct Before {
    void (*disposition)(int);
    void (*after)(int);
  };
  const Before befores[] = {{SIG_DFL, SIG_IGN}, {SIG_IGN, SIG_IGN}, {&ProgramHandler, &ProgramHandler}};
  for (const Release& release : releases) {
    for (const Before& before : befores) {
      SCOPED_TRACE(release.how);
      Install(before.disposition);
      {
        QVSignalHandlerManager manager;
        manager.setHandlerFromFunction(SIGIO, &LibraryHandler, false);
        manager.startHandlingSignals();
        release.run(manager);
      }
      EXPECT_EQ(Current().sa_handler, before.after);
      // Nothing of this round stays registered for the next.
      QVSignalHandlerManager cleanup;
      cleanup.clearHandlerWithFunction(SIGIO, &LibraryHandler);
      cleanup.clearHandlerWithFunction(SIGIO, &ProgramHandler);  // kept as the one it replaced
      cleanup.stopHandlingSignals();
    }
  }
}

TEST(SignalIO, ArrivingAfterTheLibraryLetGoDoesNotEndTheProgram) {
  const int status = qvtest::RunInChild([] {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigaction(SIGIO, &action, nullptr);
    {
      QVSignalHandlerManager manager;
      manager.setHandlerFromFunction(SIGIO, &LibraryHandler, false);
      manager.startHandlingSignals();
    }
    raise(SIGIO);
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

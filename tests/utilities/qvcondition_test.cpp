#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvcondition.h"
#include "utilities/qvdescriptorconditions.h"
#include "utilities/qvexception.h"
#include "utilities/qvpthreadcondition.h"
#include "utilities/qvthreads.h"

using namespace Quorvane;
using Clock = std::chrono::steady_clock;

namespace {
std::string UniqueName(const char* stem) {
  static std::atomic<int> counter{0};
  return std::string(stem) + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

template <typename F>
void ExpectThrows(F body, qvexceptiontype type, const char* what) {
  try {
    body();
    ADD_FAILURE() << "expected: " << what;
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), type) << what;
    EXPECT_EQ(e.getWhat(), what);
  }
}

// Every kind, made fresh by the factory, for the tests that hold for all.
struct KindCase {
  _qvcondition kind;
  const char* label;
};
const KindCase kKinds[] = {{QVFifoConditionType, "fifo"},
                           {QVPipeConditionType, "pipe"},
                           {QVPthreadConditionType, "pthread"}};

std::unique_ptr<QVCondition> Make(_qvcondition kind) {
  QVThreadsFactory factory;
  return std::unique_ptr<QVCondition>(factory.CreateUnnamedCondition(kind));
}
}  // namespace

TEST(Condition, EveryKindSignalsAndWaitsOnce) {
  for (const KindCase& c : kKinds) {
    SCOPED_TRACE(c.label);
    auto condition = Make(c.kind);
    ASSERT_NE(condition, nullptr);
    EXPECT_EQ(condition->GetType(), c.kind);
    EXPECT_FALSE(condition->Wait(0));
    EXPECT_FALSE(condition->PendingQ());
    condition->Signal();
    condition->Signal();
    condition->Signal();
    EXPECT_TRUE(condition->PendingQ());
    EXPECT_TRUE(condition->PendingQ());  // nothing consumed
    EXPECT_TRUE(condition->Wait(0));     // three signals, one wait
    EXPECT_FALSE(condition->Wait(0));
    condition->Signal();
    condition->Reset();
    EXPECT_FALSE(condition->Wait(0));
  }
}

// A waiter asleep in a wait of each form (a long time-out, -1, and no time-out
// at all, both without limit) answers 1 once signalled, and the wait took the
// pending state with it.
TEST(Condition, EveryKindWakesAWaiterOfAnotherThread) {
  struct FormCase {
    const char* label;
    std::function<bool(QVCondition&)> wait;
  };
  const FormCase forms[] = {
      {"20 s", [](QVCondition& c) { return c.Wait(20'000'000); }},
      {"-1", [](QVCondition& c) { return c.Wait(-1); }},
      {"no time-out", [](QVCondition& c) { return c.Wait(); }},
  };
  for (const KindCase& c : kKinds) {
    for (const FormCase& form : forms) {
      SCOPED_TRACE(std::string(c.label) + " " + form.label);
      auto condition = Make(c.kind);
      std::atomic<pid_t> tid{0};
      std::atomic<int> result{-1};
      std::thread waiter([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        result = form.wait(*condition) ? 1 : 0;
      });
      // Signalled only once the waiter sleeps in its wait: a wait that gave
      // up at once would have answered by then.
      EXPECT_TRUE(qvtest::WaitUntil(
          [&] { return result.load() != -1 || (tid.load() != 0 && qvtest::ThreadState(tid.load()) == 'S'); }));
      EXPECT_EQ(result.load(), -1) << "the wait did not wait";
      condition->Signal();
      waiter.join();
      EXPECT_EQ(result.load(), 1);
      EXPECT_FALSE(condition->PendingQ());
      EXPECT_FALSE(condition->Wait(0));
    }
  }
}

// Timed waits last their whole time-out, measured on a monotonic clock, also
// below one second, and do not end early.
TEST(Condition, TimedWaitsLastTheirTimeOut) {
  for (const KindCase& c : kKinds) {
    for (long us : {30'000L, 250'000L}) {
      SCOPED_TRACE(std::string(c.label) + " " + std::to_string(us));
      auto condition = Make(c.kind);
      const auto start = Clock::now();
      EXPECT_FALSE(condition->Wait(us));
      const auto elapsed = Clock::now() - start;
      EXPECT_GE(elapsed, std::chrono::microseconds(us));
      EXPECT_LT(elapsed, std::chrono::microseconds(us) + std::chrono::seconds(2));
    }
  }
}

TEST(Condition, PthreadSignalBeforeTheWaitIsKept) {
  QVPthreadCondition condition;
  condition.Signal();
  EXPECT_TRUE(condition.PendingQ());
  EXPECT_TRUE(condition.PendingQ());
  EXPECT_TRUE(condition.Wait(-1));  // does not block: the signal is waiting
  EXPECT_FALSE(condition.PendingQ());
  ExpectThrows([&] { condition.GetRawObject(); }, qvexceptiontype::internalError,
               "pthread condition has no associated file descriptor.");
}

// Every waiter returns true once signalled; none is left waiting.
TEST(Condition, PthreadSignalReachesEveryWaiter) {
  QVPthreadCondition condition;
  QVPthreadCondition ready;
  std::atomic<int> woken{0};
  std::atomic<int> waiting{0};
  std::thread a([&] {
    ++waiting;
    if (condition.Wait(20'000'000)) ++woken;
  });
  std::thread b([&] {
    ++waiting;
    if (condition.Wait(20'000'000)) ++woken;
  });
  ASSERT_TRUE(qvtest::WaitUntil([&] { return waiting.load() == 2; }));
  // Keep signalling until both have returned: a signal sent before a thread
  // reached its wait stays pending, and the one after that wakes the rest.
  ASSERT_TRUE(qvtest::WaitUntil([&] {
    condition.Signal();
    return woken.load() == 2;
  }));
  a.join();
  b.join();
  EXPECT_EQ(woken.load(), 2);
}

TEST(Condition, FifoResetDiscardsAtMost256AndPipeResetDiscardsAll) {
  QVThreadsFactory factory;
  std::unique_ptr<QVCondition> fifo(factory.CreateUnnamedCondition(QVFifoConditionType));
  std::unique_ptr<QVCondition> pipe(factory.CreateUnnamedCondition(QVPipeConditionType));
  for (int i = 0; i < 300; ++i) {
    fifo->Signal();
    pipe->Signal();
  }
  fifo->Reset();
  pipe->Reset();
  char buffer[1024];
  EXPECT_EQ(read(fifo->GetRawObject(), buffer, sizeof buffer), 44);
  EXPECT_FALSE(pipe->PendingQ());
}

TEST(Condition, SignalOfAFullPipeDoesNotBlock) {
  QVPipeCondition condition;
  for (int i = 0; i < 200'000; ++i) condition.Signal();  // far beyond the pipe's room
  EXPECT_TRUE(condition.PendingQ());
  condition.Reset();
  EXPECT_FALSE(condition.PendingQ());
}

TEST(Condition, FifoNamesAndLifetimes) {
  QVThreadsFactory factory;
  const QVString name = ToQVString(UniqueName("fifo"));
  const std::string path = ToStdString(makeFIFOIPCName(name));
  ExpectThrows([&] { delete factory.OpenCondition(name, QVFifoConditionType); },
               qvexceptiontype::systemCallFailed, "Open error.");
  {
    const mode_t old = umask(077);
    std::unique_ptr<QVCondition> made(factory.CreateCondition(name, QVFifoConditionType));
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ExpectThrows([&] { delete factory.CreateCondition(name); },
                 qvexceptiontype::systemCallFailed, "Mkfifo error.");
    {
      std::unique_ptr<QVCondition> opened(factory.OpenCondition(name, QVFifoConditionType));
      opened->Signal();
      EXPECT_TRUE(made->Wait(0));
    }
    EXPECT_TRUE(Exists(path));  // the opening side leaves the FIFO
  }
  EXPECT_FALSE(Exists(path));  // the creating side removes it
}

// Who removes a FIFO, and what: its maker removes it at its end, even while
// another holds it open, so the name is free for a new one at once; the old
// holder's end leaves that new one alone. A holder whose maker was killed
// removes the FIFO at its end when no one else uses it, and a new maker takes
// over one that a dead maker left and no one holds.
TEST(Condition, FifoRemovalTakesOnlyTheFifoItWasFor) {
  QVThreadsFactory factory;
  const QVString name = ToQVString(UniqueName("removal"));
  const std::string path = ToStdString(makeFIFOIPCName(name));
  auto inode = [&] {
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  std::unique_ptr<QVCondition> made(factory.CreateCondition(name));
  std::unique_ptr<QVCondition> holder(factory.OpenCondition(name, QVFifoConditionType));
  made.reset();
  EXPECT_FALSE(Exists(path)) << "a maker leaves its FIFO to those holding it";
  std::unique_ptr<QVCondition> remade(factory.CreateCondition(name));
  const auto fresh = inode();
  holder.reset();
  EXPECT_EQ(inode(), fresh) << "an old holder's end removed the new FIFO of the name";
  remade.reset();
  EXPECT_FALSE(Exists(path));

  // A maker in a process of its own, which then waits to be killed.
  auto startMaker = [&] {
    int ready[2];
    if (pipe(ready) != 0) return pid_t{-1};
    const pid_t maker = fork();
    if (maker == 0) {
      close(ready[0]);
      QVThreadsFactory childFactory;
      std::unique_ptr<QVCondition> own(childFactory.CreateCondition(name));
      (void)!write(ready[1], "r", 1);
      for (;;) pause();  // until killed
    }
    close(ready[1]);
    char byte = 0;
    const bool started = maker > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    return started ? maker : pid_t{-1};
  };
  auto kill9 = [](pid_t pid) { return kill(pid, SIGKILL) == 0 && waitpid(pid, nullptr, 0) == pid; };
  const pid_t maker = startMaker();
  ASSERT_GT(maker, 0);
  qvtest::ChildKiller killer(maker);
  delete factory.OpenCondition(name, QVFifoConditionType);
  EXPECT_TRUE(Exists(path)) << "removed while its maker lives";
  std::unique_ptr<QVCondition> first(factory.OpenCondition(name, QVFifoConditionType));
  std::unique_ptr<QVCondition> last(factory.OpenCondition(name, QVFifoConditionType));
  ASSERT_TRUE(kill9(maker));
  killer.release();
  first.reset();
  EXPECT_TRUE(Exists(path)) << "removed while another holds it";
  last.reset();
  EXPECT_FALSE(Exists(path)) << "the last holder of a dead maker's FIFO left it behind";

  // One a dead maker left that no one holds: the next maker takes the name.
  const pid_t died = startMaker();
  ASSERT_GT(died, 0);
  ASSERT_TRUE(kill9(died));
  ASSERT_TRUE(Exists(path));
  std::unique_ptr<QVCondition> next;
  EXPECT_NO_THROW(next.reset(factory.CreateCondition(name)));
  ASSERT_TRUE(next);
  std::unique_ptr<QVCondition> byName(factory.OpenCondition(name, QVFifoConditionType));
  byName->Signal();
  EXPECT_TRUE(next->Wait(0));
}

TEST(Condition, FactoryKindErrors) {
  QVThreadsFactory factory;
  ExpectThrows([&] { delete factory.CreateCondition("x", static_cast<_qvcondition>(9)); },
               qvexceptiontype::internalError, "Unsupported condition type.");
  ExpectThrows([&] { delete factory.OpenCondition("x", QVPipeConditionType); },
               qvexceptiontype::badArgument, "Pipe mode argument cannot be QVOPEN.");
  ExpectThrows([&] { delete factory.OpenCondition("x", static_cast<_qvcondition>(9)); },
               qvexceptiontype::internalError, "Unsupported condition type");
  ExpectThrows([&] { delete factory.CreateUnnamedCondition(static_cast<_qvcondition>(9)); },
               qvexceptiontype::internalError, "Unsupported condition type.");
  std::unique_ptr<QVCondition> local(factory.OpenCondition("x", QVPthreadConditionType));
  EXPECT_EQ(local->GetType(), QVPthreadConditionType);
}

// A FIFO condition made in one process and opened by name in another carries
// signals both ways (one condition per direction).
TEST(Condition, FifoSignalsAcrossProcesses) {
  QVThreadsFactory factory;
  const QVString toChild = ToQVString(UniqueName("tochild"));
  const QVString toParent = ToQVString(UniqueName("toparent"));
  std::unique_ptr<QVCondition> down(factory.CreateCondition(toChild));
  std::unique_ptr<QVCondition> up(factory.CreateCondition(toParent));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int rc = 1;
    try {
      down.release();  // the parent's objects are not this process's to destroy
      up.release();
      QVThreadsFactory childFactory;
      std::unique_ptr<QVCondition> in(childFactory.OpenCondition(toChild, QVFifoConditionType));
      std::unique_ptr<QVCondition> out(childFactory.OpenCondition(toParent, QVFifoConditionType));
      for (int round = 0; round < 5; ++round) {
        if (!in->Wait(20'000'000)) _exit(2);
        out->Signal();
      }
      rc = 0;
    } catch (...) {
      rc = 3;
    }
    _exit(rc);
  }
  for (int round = 0; round < 5; ++round) {
    down->Signal();
    EXPECT_TRUE(up->Wait(20'000'000)) << round;
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(MultipleConditionWait, WakesOnTheSignalledFifoOrPipe) {
  QVThreadsFactory factory;
  std::unique_ptr<QVCondition> fifo(factory.CreateUnnamedCondition(QVFifoConditionType));
  std::unique_ptr<QVCondition> pipe(factory.CreateUnnamedCondition(QVPipeConditionType));
  std::list<QVCondition*> both{fifo.get(), pipe.get()};

  EXPECT_EQ(QVMultipleConditionWait(both, 0), nullptr);
  const auto start = Clock::now();
  EXPECT_EQ(QVMultipleConditionWait(both, 50'000), nullptr);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));

  pipe->Signal();
  EXPECT_EQ(QVMultipleConditionWait(both, 0), pipe.get());  // time-out 0 finds it
  EXPECT_FALSE(pipe->PendingQ());                           // consumed

  std::thread signaller([&] { fifo->Signal(); });
  EXPECT_EQ(QVMultipleConditionWait(both, -1), fifo.get());
  signaller.join();

  fifo->Signal();
  pipe->Signal();
  EXPECT_EQ(QVMultipleConditionWait(both, 0), fifo.get());  // list order
  EXPECT_TRUE(pipe->PendingQ());                            // the other keeps its signal
}

TEST(MultipleConditionWait, PthreadConditions) {
  QVPthreadCondition a;
  QVPthreadCondition b;
  std::list<QVCondition*> both{&a, &b};
  b.Signal();
  EXPECT_EQ(QVMultipleConditionWait(both, 0), nullptr);  // 0 does not look
  EXPECT_EQ(QVMultipleConditionWait(both, 100'000), &b);
  EXPECT_EQ(QVMultipleConditionWait(both, 20'000), nullptr);
}

TEST(MultipleConditionWait, KindsMustAgree) {
  QVPthreadCondition local;
  QVPipeCondition pipe;
  std::list<QVCondition*> mixed{&pipe, &local};
  ExpectThrows([&] { QVMultipleConditionWait(mixed, 0); }, qvexceptiontype::badArgument,
               "All condition objects must be of the same type.");
  std::list<QVCondition*> mixedOther{&local, &pipe};
  ExpectThrows([&] { QVMultipleConditionWait(mixedOther, 0); }, qvexceptiontype::badArgument,
               "All condition objects must be of the same type.");
}

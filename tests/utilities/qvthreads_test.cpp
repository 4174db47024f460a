#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>

#include "support/qvtest.h"
#include "utilities/qvexception.h"
#include "utilities/qvthreads.h"
#include "utilities/qvthreadsync.h"

using namespace Quorvane;

namespace {
std::string ThreadComm(long tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

void* CountUp(void* argument) {
  ++*static_cast<std::atomic<int>*>(argument);
  return nullptr;
}
}  // namespace

TEST(Thread, RunsJoinsOnceAndReportsStarted) {
  std::atomic<int> runs{0};
  QVThreadsFactory factory;
  std::unique_ptr<QVThread> thread(factory.CreateThread(&CountUp, &runs));
  EXPECT_TRUE(thread->StartedQ());
  thread->Join();
  EXPECT_FALSE(thread->StartedQ());
  EXPECT_EQ(runs.load(), 1);
  thread->Join();  // a second join does nothing
  EXPECT_FALSE(thread->StartedQ());
}

TEST(Thread, NullFunctionIsRefused) {
  try {
    QVThread thread(nullptr, nullptr);
    FAIL() << "expected an exception";
  } catch (const QVException& e) {
    EXPECT_EQ(e.getType(), qvexceptiontype::internalError);
    EXPECT_EQ(e.getWhat(), "Thread function argument cannot be a NULL pointer.");
    EXPECT_EQ(e.getFile(), "utilities/qvthreads");
  }
}

TEST(Thread, CallableThreadRunsAndDestructorJoins) {
  std::atomic<int> runs{0};
  {
    std::unique_ptr<QVThread> thread(caught([&runs] { ++runs; }));
    // Not joined: the destructor must wait rather than leave it running.
  }
  EXPECT_EQ(runs.load(), 1);
}

// Names are "QV-" + name; the system keeps the first 15 bytes.
TEST(Thread, NamesAreSeenByTheSystem) {
  struct Case {
    const char* name;
    const char* seen;
  };
  const Case cases[] = {
      {"Short", "QV-Short"},
      {"UnixThreads-RecordManagerThread", "QV-UnixThreads-"},
  };
  for (const Case& c : cases) {
    std::atomic<long> tid{0};
    std::atomic<bool> checked{false};
    std::unique_ptr<QVThread> thread(caught([&] {
      QVThreadsFactory::SetThisThreadName(c.name);
      tid = static_cast<long>(syscall(SYS_gettid));
      qvtest::WaitUntil([&] { return checked.load(); });
    }));
    ASSERT_TRUE(qvtest::WaitUntil([&] { return tid.load() != 0; }));
    EXPECT_EQ(ThreadComm(tid.load()), c.seen);
    checked = true;
    thread->Join();
  }
}

namespace {
// A worker of the usual shape: wait on the sync's condition between pieces of
// work, and end when asked to.
struct Worker : QVThreadableObject {
  explicit Worker(QVThreadSync& s) : sync(s) {}
  void* Thread1() override {
    sawShutdownAtStart = sync.ShutdownRequestedQ();
    QVThreadsFactory::SetThisThreadName("TestWorker");
    ++started;
    while (!sync.ShutdownRequestedQ()) {
      if (sync.Wait(20'000'000)) ++wakeups;
    }
    ++ended;
    return nullptr;
  }
  void* Thread2() override {
    ++secondRuns;
    return nullptr;
  }
  QVThreadSync& sync;
  std::atomic<int> started{0};
  std::atomic<int> ended{0};
  std::atomic<int> wakeups{0};
  std::atomic<int> secondRuns{0};
  std::atomic<bool> sawShutdownAtStart{true};
};
}  // namespace

TEST(ThreadSync, StopsAndStartsAgain) {
  QVThreadSync sync;
  Worker worker(sync);
  EXPECT_FALSE(sync.threadIsRunningQ());
  sync.Stop();  // nothing to stop

  sync.CreateThread(&worker);
  EXPECT_TRUE(sync.threadIsRunningQ());
  ASSERT_TRUE(qvtest::WaitUntil([&] { return worker.started.load() == 1; }));
  EXPECT_FALSE(worker.sawShutdownAtStart.load());
  sync.Stop();
  EXPECT_FALSE(sync.threadIsRunningQ());
  EXPECT_EQ(worker.ended.load(), 1);
  EXPECT_FALSE(sync.ShutdownRequestedQ());  // cleared again after the stop
  sync.Stop();                              // twice stops once
  EXPECT_EQ(worker.ended.load(), 1);

  // Started again after a stop: the new worker runs and sees no stop request.
  worker.sawShutdownAtStart = true;
  sync.CreateThread(&worker);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return worker.started.load() == 2; }));
  EXPECT_FALSE(worker.sawShutdownAtStart.load());
  // CreateThread on a running sync stops and joins that worker first.
  sync.CreateThread(&worker);
  EXPECT_EQ(worker.ended.load(), 2);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return worker.started.load() == 3; }));
  EXPECT_TRUE(sync.threadIsRunningQ());
  sync.Stop();  // before the worker object goes
  EXPECT_EQ(worker.ended.load(), 3);
}

TEST(ThreadSync, DestructorStopsTheWorker) {
  std::atomic<int> ended{0};
  struct Owner : QVThreadableObject {
    QVThreadSync* sync = nullptr;
    std::atomic<int>* ended = nullptr;
    void* Thread1() override {
      while (!sync->ShutdownRequestedQ()) sync->Wait(20'000'000);
      ++*ended;
      return nullptr;
    }
  } owner;
  {
    QVThreadSync sync;
    owner.sync = &sync;
    owner.ended = &ended;
    sync.CreateThread(&owner);
  }
  EXPECT_EQ(ended.load(), 1);
}

TEST(ThreadSync, ThreadFunctionChoosesTheOperation) {
  QVThreadSync sync;
  Worker worker(sync);
  worker.threadFunction = &QVThreadableObject::Thread2;
  sync.CreateThread(&worker);
  sync.Stop();
  EXPECT_EQ(worker.secondRuns.load(), 1);
  EXPECT_EQ(worker.started.load(), 0);
  EXPECT_EQ(RunThreadableObject(nullptr), nullptr);
}

namespace {
// A worker whose body throws: the library's own exception or a standard one.
struct Thrower : QVThreadableObject {
  void* Thread1() override {
    ++ran;
    throw QVException("worker failed", "test", __LINE__, qvexceptiontype::internalError, 0);
  }
  void* Thread2() override {
    ++ran;
    throw std::bad_alloc();
  }
  std::atomic<int> ran{0};
};
}  // namespace

TEST(ThreadSync, AWorkerThatThrowsEndsAloneAndIsJoined) {
  // In a child: an exception leaving a thread would end the whole process.
  const int status = qvtest::RunInChild([] {
    int failures = 0;
    for (auto body : {&QVThreadableObject::Thread1, &QVThreadableObject::Thread2}) {
      QVThreadSync sync;
      Thrower worker;
      worker.threadFunction = body;
      sync.CreateThread(&worker);
      if (!qvtest::WaitUntil([&] { return worker.ran.load() == 1; })) ++failures;
      sync.Stop();
      // The same sync runs the next worker as usual.
      Worker next(sync);
      sync.CreateThread(&next);
      if (!qvtest::WaitUntil([&] { return next.started.load() == 1; })) ++failures;
      sync.Stop();
      if (next.ended.load() != 1) ++failures;
    }
    return failures;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

TEST(ThreadSync, SignalWakesTheWorkerAndLockIsForwarded) {
  QVThreadSync sync;
  Worker worker(sync);
  sync.CreateThread(&worker);
  ASSERT_TRUE(qvtest::WaitUntil([&] {
    sync.Signal();
    return worker.wakeups.load() > 0;
  }));
  sync.Stop();
  EXPECT_FALSE(sync.LockedQ());
  EXPECT_TRUE(sync.Lock());
  EXPECT_TRUE(sync.LockedQ());
  EXPECT_TRUE(sync.getLockHandle()->LockedQ());
  EXPECT_TRUE(sync.Unlock());
  EXPECT_FALSE(sync.Wait(0));
}

TEST(ThreadSync, Print) {
  QVThreadSync sync;
  std::ostringstream out;
  out << sync;
  std::ostringstream expected;
  expected << "<QVThreadSync><lockHandle>" << static_cast<const void*>(sync.getLockHandle())
           << "</lockHandle><conditionHandle>";
  EXPECT_EQ(out.str().rfind(expected.str(), 0), 0u) << out.str();
  EXPECT_NE(out.str().find("<threadHandle>0</threadHandle><shutdownThread>0</shutdownThread>"
                           "<state>0</state></QVThreadSync>"),
            std::string::npos)
      << out.str();
}

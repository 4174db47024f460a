// Lock and wake-up costs of the platform locks and conditions, each next to
// its floor measured in the same run: a bare POSIX mutex, a bare flock, and a
// raw pipe round trip between two threads or two processes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "utilities/qvcondition.h"
#include "utilities/qvdescriptorconditions.h"
#include "utilities/qvplatformthreads.h"
#include "utilities/qvpthreadcondition.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvthreads.h"

using namespace Quorvane;

namespace {
// Keeps the run's lock files and FIFOs out of the machine-wide sync directory.
struct PrivateSyncDirectory {
  PrivateSyncDirectory() {
    char pattern[] = "/tmp/qvlocks-bench-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
      root = pattern;
      setenv("QUORVANE_TMPDIR", root.c_str(), 1);
    }
  }
  ~PrivateSyncDirectory() {
    if (!root.empty()) std::system(("rm -rf '" + root + "'").c_str());
  }
  std::string root;
};
const PrivateSyncDirectory privateSyncDirectory;

// ---- lock and unlock ----

void BM_RawPthreadMutex(benchmark::State& state) {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  for (auto _ : state) {
    pthread_mutex_lock(&mutex);
    pthread_mutex_unlock(&mutex);
  }
}
BENCHMARK(BM_RawPthreadMutex);

void BM_InProcessMutex(benchmark::State& state) {
  std::unique_ptr<QVMutexHandle> mutex(CreateUnnamedMutexHandle(QVInProcessMutex));
  for (auto _ : state) {
    mutex->Lock();
    mutex->Unlock();
  }
}
BENCHMARK(BM_InProcessMutex);

void BM_RawFlock(benchmark::State& state) {
  const std::string path = privateSyncDirectory.root + "/rawflock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0666);
  for (auto _ : state) {
    flock(fd, LOCK_EX);
    flock(fd, LOCK_UN);
  }
  close(fd);
  unlink(path.c_str());
}
BENCHMARK(BM_RawFlock);

void BM_NamedMutex(benchmark::State& state) {
  QVThreadsFactory factory;
  std::unique_ptr<QVMutexHandle> mutex(factory.CreateHandle("benchlock", QVNamedMutex, false));
  for (auto _ : state) {
    mutex->Lock();
    mutex->Unlock();
  }
}
BENCHMARK(BM_NamedMutex);

// ---- wake-up round trips ----

// Two one-way channels: ping goes out, the echo side answers on pong.
struct Channel {
  std::function<void()> signal;
  std::function<void()> wait;
};

// The echo side answers exactly max_iterations pings, so it ends with the run.
void EchoLoop(Channel& ping, Channel& pong, benchmark::IterationCount n) {
  for (benchmark::IterationCount i = 0; i < n; ++i) {
    ping.wait();
    pong.signal();
  }
}

void RoundTrips(benchmark::State& state, Channel& ping, Channel& pong) {
  for (auto _ : state) {
    ping.signal();
    pong.wait();
  }
}

void RunBetweenThreads(benchmark::State& state, Channel ping, Channel pong) {
  const benchmark::IterationCount n = state.max_iterations;
  std::thread echo([&] { EchoLoop(ping, pong, n); });
  RoundTrips(state, ping, pong);
  echo.join();
}

void RunBetweenProcesses(benchmark::State& state, Channel ping, Channel pong) {
  const benchmark::IterationCount n = state.max_iterations;
  const pid_t pid = fork();
  if (pid == 0) {
    EchoLoop(ping, pong, n);
    _exit(0);
  }
  RoundTrips(state, ping, pong);
  int status = 0;
  waitpid(pid, &status, 0);
}

Channel RawPipe(int ends[2]) {
  if (pipe(ends) != 0) std::abort();
  const int readEnd = ends[0];
  const int writeEnd = ends[1];
  return {[writeEnd] {
            const char byte = '1';
            if (write(writeEnd, &byte, 1) != 1) std::abort();
          },
          [readEnd] {
            char byte;
            if (read(readEnd, &byte, 1) != 1) std::abort();
          }};
}

Channel Over(QVCondition* condition) {
  return {[condition] { condition->Signal(); }, [condition] { condition->Wait(-1); }};
}

void BM_RawPipeRoundTrip_Threads(benchmark::State& state) {
  int a[2], b[2];
  Channel ping = RawPipe(a);
  Channel pong = RawPipe(b);
  RunBetweenThreads(state, ping, pong);
  for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
}
BENCHMARK(BM_RawPipeRoundTrip_Threads)->UseRealTime();

void BM_RawPipeRoundTrip_Processes(benchmark::State& state) {
  int a[2], b[2];
  Channel ping = RawPipe(a);
  Channel pong = RawPipe(b);
  RunBetweenProcesses(state, ping, pong);
  for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
}
BENCHMARK(BM_RawPipeRoundTrip_Processes)->UseRealTime();

void ConditionRoundTripThreads(benchmark::State& state, _qvcondition kind) {
  QVThreadsFactory factory;
  std::unique_ptr<QVCondition> a(factory.CreateUnnamedCondition(kind));
  std::unique_ptr<QVCondition> b(factory.CreateUnnamedCondition(kind));
  RunBetweenThreads(state, Over(a.get()), Over(b.get()));
}

void BM_PthreadConditionRoundTrip_Threads(benchmark::State& state) {
  ConditionRoundTripThreads(state, QVPthreadConditionType);
}
BENCHMARK(BM_PthreadConditionRoundTrip_Threads)->UseRealTime();

void BM_PipeConditionRoundTrip_Threads(benchmark::State& state) {
  ConditionRoundTripThreads(state, QVPipeConditionType);
}
BENCHMARK(BM_PipeConditionRoundTrip_Threads)->UseRealTime();

void BM_FifoConditionRoundTrip_Threads(benchmark::State& state) {
  ConditionRoundTripThreads(state, QVFifoConditionType);
}
BENCHMARK(BM_FifoConditionRoundTrip_Threads)->UseRealTime();

// The FIFO condition is the kind made for two processes: the echo process
// opens both by name, as a peer does.
void BM_FifoConditionRoundTrip_Processes(benchmark::State& state) {
  QVThreadsFactory factory;
  std::unique_ptr<QVCondition> a(factory.CreateCondition("benchping"));
  std::unique_ptr<QVCondition> b(factory.CreateCondition("benchpong"));
  const benchmark::IterationCount n = state.max_iterations;
  const pid_t pid = fork();
  if (pid == 0) {
    QVThreadsFactory childFactory;
    std::unique_ptr<QVCondition> in(childFactory.OpenCondition("benchping", QVFifoConditionType));
    std::unique_ptr<QVCondition> out(
        childFactory.OpenCondition("benchpong", QVFifoConditionType));
    Channel ping = Over(in.get());
    Channel pong = Over(out.get());
    EchoLoop(ping, pong, n);
    _exit(0);
  }
  Channel ping = Over(a.get());
  Channel pong = Over(b.get());
  RoundTrips(state, ping, pong);
  int status = 0;
  waitpid(pid, &status, 0);
}
BENCHMARK(BM_FifoConditionRoundTrip_Processes)->UseRealTime();

// A pipe condition made before a fork is shared by both processes.
void BM_PipeConditionRoundTrip_Processes(benchmark::State& state) {
  QVPipeCondition a;
  QVPipeCondition b;
  RunBetweenProcesses(state, Over(&a), Over(&b));
}
BENCHMARK(BM_PipeConditionRoundTrip_Processes)->UseRealTime();

}  // namespace

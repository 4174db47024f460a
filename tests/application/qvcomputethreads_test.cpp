// The compute threads: every part runs once whatever the count of threads,
// the threads are as many as the processors allowed (none with one), named,
// fresh in a forked child, shared safely by callers at once, and joined when
// the program exits, also while a computation runs.
#include <dirent.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "application/qvalgorithm3.h"
#include "application/qvalgorithm3sample.h"
#include "application/qvcomputethreads.h"
#include "support/qvtest.h"
#include "utilities/qvtestprocesses.h"

namespace {

using namespace Quorvane;

constexpr char kThreadPrefix[] = "QV-Sweep-";
constexpr auto kChildDeadline = std::chrono::seconds(60);

// The names the system shows for this process's compute threads, sorted.
std::vector<std::string> ComputeThreadNames() {
  std::vector<std::string> names;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return names;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string comm;
    std::getline(in, comm);
    if (comm.rfind(kThreadPrefix, 0) == 0) names.push_back(comm);
  }
  closedir(tasks);
  std::sort(names.begin(), names.end());
  return names;
}

// A thread names itself once it runs, which may be after the first parts.
bool ComputeThreadsNamed(size_t count) {
  return qvtest::WaitUntil([count] { return ComputeThreadNames().size() == count; });
}

int CpusAllowed() {
  cpu_set_t mask;
  return sched_getaffinity(0, sizeof mask, &mask) == 0 ? CPU_COUNT(&mask) : 1;
}

// Keeps the first count processors of the affinity mask.
bool KeepCpus(int count) {
  cpu_set_t mask;
  if (sched_getaffinity(0, sizeof mask, &mask) != 0) return false;
  cpu_set_t kept;
  CPU_ZERO(&kept);
  for (int cpu = 0; cpu < CPU_SETSIZE && count > 0; ++cpu) {
    if (CPU_ISSET(cpu, &mask)) {
      CPU_SET(cpu, &kept);
      --count;
    }
  }
  return sched_setaffinity(0, sizeof kept, &kept) == 0;
}

double Answer(int time, int threads) {
  qvtest::Algorithm3Sample sample;
  const auto& s = sample.series;
  return RunAlgorithm3(s[0].data(), 250, s[1].data(), 250, s[2].data(), 250, s[3].data(), 250, s[4].data(), 250, time,
                       0.4, 0.3, 0.2, 0.1, {nullptr, threads})
      .value;
}

// Forks; the child runs body and leaves with its result through exit (static
// destructors and exit handlers run) or _exit. The parent waits for it with a
// deadline and answers its exit status, -1 when it did not end normally.
int ExitStatusOfChild(const std::function<int()>& body, bool throughExit) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    const int result = body();
    if (throughExit) std::exit(result);
    _exit(result);
  }
  qvtest::ChildKiller killer(child);
  int status = 0;
  const bool ended = qvtest::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, kChildDeadline);
  if (!ended) return -1;
  killer.release();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ComputeThreads, RunEveryPartOnceForAnyCountOfThreads) {
  struct Case {
    int parts;
    int threads;
  } const cases[] = {{0, 0}, {1, 0}, {5, 1}, {64, 3}, {200, 0}, {7, 100}, {3, 2}};
  for (const Case& c : cases) {
    std::vector<std::atomic<int>> runs(static_cast<size_t>(c.parts));
    RunComputeParts(
        c.parts, c.threads,
        [](void* context, int part) {
          (*static_cast<std::vector<std::atomic<int>>*>(context))[static_cast<size_t>(part)].fetch_add(1);
        },
        &runs);
    for (int part = 0; part < c.parts; ++part) {
      EXPECT_EQ(runs[static_cast<size_t>(part)].load(), 1)
          << c.parts << " parts on " << c.threads << " threads: part " << part;
    }
  }
}

TEST(ComputeThreads, AsManyAsTheAllowedProcessorsLessTheCallersNamedInOrder) {
  if (qvtest::kThreadSanitizer) GTEST_SKIP() << "threads started in a child forked from a threaded process";
  for (int cpus : {1, 2, 3}) {
    if (cpus > CpusAllowed()) break;
    const int status = ExitStatusOfChild(
        [cpus] {
          if (!KeepCpus(cpus)) return 10;
          if (Answer(3, 0) != Answer(3, 1)) return 11;
          if (ComputeThreadCount() != cpus) return 12;
          if (!ComputeThreadsNamed(static_cast<size_t>(cpus - 1))) return 13;
          const std::vector<std::string> names = ComputeThreadNames();
          for (int n = 1; n < cpus; ++n) {
            if (names[static_cast<size_t>(n - 1)] != kThreadPrefix + std::to_string(n)) return 14;
          }
          return 0;
        },
        false);
    EXPECT_EQ(status, 0) << cpus << " processor(s) allowed";
  }
}

TEST(ComputeThreads, AForkedChildStartsThreadsOfItsOwn) {
  if (qvtest::kThreadSanitizer) GTEST_SKIP() << "threads started in a child forked from a threaded process";
  if (CpusAllowed() < 2) GTEST_SKIP() << "one processor: no compute threads";
  const double answer = Answer(4, 0);
  ASSERT_TRUE(ComputeThreadsNamed(static_cast<size_t>(ComputeThreadCount() - 1)));
  const int status = ExitStatusOfChild(
      [answer] {
        if (!ComputeThreadNames().empty()) return 10;  // the parent's threads are not the child's
        if (Answer(4, 0) != answer) return 11;
        return ComputeThreadsNamed(static_cast<size_t>(ComputeThreadCount() - 1)) ? 0 : 12;
      },
      false);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Answer(4, 0), answer) << "the parent's threads still serve it";
}

TEST(ComputeThreads, CallersAtOnceAllGetTheirAnswers) {
  double alone[6];
  for (int time = 1; time <= 5; ++time) alone[time] = Answer(time, 1);
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&wrong, &alone, c] {
      for (int round = 0; round < 5; ++round) {
        const int time = 1 + (c + round) % 5;
        if (Answer(time, 0) != alone[time]) wrong.fetch_add(1);
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Runs after the exit handlers registered later, the compute threads' joiner
// among them, and ends the child with its verdict: what is left to run at exit
// has nothing to do with the threads (and a leak check would count the
// memory of threads the child was forked without).
void ExpectNoComputeThreadAtExit() {
  _exit(qvtest::WaitUntil([] { return ComputeThreadNames().empty(); }, std::chrono::seconds(20)) ? 0 : 20);
}

TEST(ComputeThreads, ExitJoinsThemAlsoWhileAComputationRuns) {
  if (qvtest::kThreadSanitizer) GTEST_SKIP() << "threads started in a child forked from a threaded process";
  if (CpusAllowed() < 2) GTEST_SKIP() << "one processor: no compute threads";
  const int status = ExitStatusOfChild(
      [] {
        std::atexit(&ExpectNoComputeThreadAtExit);
        // Outlives the body: the caller below computes until the process ends.
        static std::atomic<int> computed{0};
        std::thread caller([] {
          for (;;) {
            Answer(5, 0);
            computed.fetch_add(1);
          }
        });
        caller.detach();
        if (!qvtest::WaitUntil([&] { return computed.load() >= 2; })) return 10;
        return ComputeThreadsNamed(static_cast<size_t>(ComputeThreadCount() - 1)) ? 0 : 11;
      },
      true);
  EXPECT_EQ(status, 0) << "20: a compute thread outlived the exit; -1: the exit did not end";
}

}  // namespace

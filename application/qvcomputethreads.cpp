// The pool is a handful of atomic words with no destructor, so that it stays
// usable whatever else the program's exit has already torn down; each start
// registers the exit handler that joins the threads it started (a forked
// child starts, and registers, anew). A
// thread waits on the generation word (a futex, no lock), and a caller's parts
// live on the caller's stack: the caller takes parts like any thread, then
// waits until every part has run and no thread still looks at them.
#include "application/qvcomputethreads.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "utilities/platform/qvcpus.h"
#include "utilities/platform/qvthreadname.h"
#include "utilities/qvthreadprimitives.h"

namespace Quorvane {

namespace {

constexpr int kMostThreads = 64;  // the caller's and the pool's

// One caller's parts.
struct Job {
  QVComputePart work;
  void* context;
  int parts;
  int helpers;                        // pool threads that may take parts
  std::atomic<int> next{0};           // the next part to take
  std::atomic<int> unfinished{0};     // parts not yet run
  std::atomic<int> helping{0};        // pool threads that came to take parts

  void TakeParts() noexcept {
    for (int part = next.fetch_add(1); part < parts; part = next.fetch_add(1)) {
      work(context, part);
      if (unfinished.fetch_sub(1) == 1) unfinished.notify_all();
    }
  }
};

enum PoolState : int { kNotStarted, kStarting, kRunning, kStopped };

class ComputePool {
 public:
  void Run(int parts, int threads, QVComputePart work, void* context) noexcept;
  int ThreadCount() noexcept;
  void Stop() noexcept;

 private:
  void Start() noexcept;
  void Serve() noexcept;
  static void* ThreadMain(void* number) noexcept;
  static void WaitWhileStarting() noexcept;
  static void ForgetThreadsInChild() noexcept;

  std::atomic<int> state_{kNotStarted};
  int threadCount_ = 0;  // pool threads started; set before state_ becomes kRunning
  pthread_t threads_[kMostThreads - 1] = {};
  std::atomic<bool> busy_{false};        // a caller's parts are out
  std::atomic<unsigned> generation_{0};  // moves on for each caller's parts and for the stop
  std::atomic<Job*> current_{nullptr};
  std::atomic<int> looking_{0};          // pool threads that may be reading current_
  std::atomic<bool> stopping_{false};
};

constinit ComputePool gPool;

void StopAtExit() { gPool.Stop(); }

void ComputePool::Start() noexcept {
  int expected = kNotStarted;
  if (!state_.compare_exchange_strong(expected, kStarting)) return;
  static const bool forkHandled = pthread_atfork(&WaitWhileStarting, nullptr, &ForgetThreadsInChild) == 0;
  (void)forkHandled;
  std::atexit(&StopAtExit);
  const int wanted = std::min(platform::AllowedCpuCount(), kMostThreads) - 1;
  // The threads compute and nothing else: signals stay with the others.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  const bool masked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
  int started = 0;
  while (started < wanted &&
         pthread_create(&threads_[started], nullptr, &ThreadMain,
                        reinterpret_cast<void*>(static_cast<std::intptr_t>(started + 1))) == 0) {
    ++started;
  }
  if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  threadCount_ = started;
  state_.store(kRunning, std::memory_order_release);
}

void* ComputePool::ThreadMain(void* number) noexcept {
  char name[32];
  std::snprintf(name, sizeof name, "Sweep-%d", static_cast<int>(reinterpret_cast<std::intptr_t>(number)));
  platform::SetCurrentThreadName(QVThread::threadNamePrefix, name);
  gPool.Serve();
  return nullptr;
}

void ComputePool::Serve() noexcept {
  unsigned seen = 0;
  for (;;) {
    generation_.wait(seen);
    seen = generation_.load();
    if (stopping_.load()) return;
    // Counted before current_ is read: a caller that has taken its parts
    // back waits for this count to fall to 0 before its parts go away.
    looking_.fetch_add(1);
    Job* job = current_.load();
    if (job != nullptr && job->helping.fetch_add(1) < job->helpers) job->TakeParts();
    if (looking_.fetch_sub(1) == 1) looking_.notify_all();
  }
}

void ComputePool::Run(int parts, int threads, QVComputePart work, void* context) noexcept {
  Job job{work, context, parts, threads <= 0 ? kMostThreads : threads - 1};
  job.unfinished.store(parts);
  if (parts > 1 && job.helpers > 0) Start();
  const bool pooled = parts > 1 && job.helpers > 0 && state_.load(std::memory_order_acquire) == kRunning &&
                      threadCount_ > 0 && !busy_.exchange(true);
  if (!pooled) {
    job.TakeParts();
    return;
  }
  current_.store(&job);
  generation_.fetch_add(1);
  generation_.notify_all();
  job.TakeParts();
  for (int left = job.unfinished.load(); left != 0; left = job.unfinished.load()) job.unfinished.wait(left);
  current_.store(nullptr);
  for (int left = looking_.load(); left != 0; left = looking_.load()) looking_.wait(left);
  busy_.store(false);
}

int ComputePool::ThreadCount() noexcept {
  Start();
  return state_.load(std::memory_order_acquire) == kRunning ? threadCount_ + 1 : 1;
}

void ComputePool::Stop() noexcept {
  WaitWhileStarting();
  int expected = kRunning;
  if (!state_.compare_exchange_strong(expected, kStopped)) return;
  // A thread in the middle of parts runs them out, then sees the stop; the
  // caller of those parts takes whatever is left.
  stopping_.store(true);
  generation_.fetch_add(1);
  generation_.notify_all();
  for (int n = 0; n < threadCount_; ++n) pthread_join(threads_[n], nullptr);
}

void ComputePool::WaitWhileStarting() noexcept {
  while (gPool.state_.load() == kStarting) std::this_thread::yield();
}

// A forked child has none of the pool's threads, nor any caller's parts: it
// starts a pool of its own when it needs one (and joins that one at exit).
void ComputePool::ForgetThreadsInChild() noexcept {
  gPool.threadCount_ = 0;
  gPool.busy_.store(false);
  gPool.generation_.store(0);
  gPool.current_.store(nullptr);
  gPool.looking_.store(0);
  gPool.stopping_.store(false);
  gPool.state_.store(kNotStarted);
}

}  // namespace

void RunComputeParts(int parts, int threads, QVComputePart work, void* context) noexcept {
  gPool.Run(parts, threads, work, context);
}

int ComputeThreadCount() noexcept { return gPool.ThreadCount(); }

}  // namespace Quorvane

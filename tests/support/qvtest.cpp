#include "qvtest.h"

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "utilities/qvunixthreadmodule.h"

namespace qvtest {

namespace {
std::string MakeTemp(const std::string& parent, const char* stem) {
  std::string pattern = parent + "/" + stem + "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed: " + std::string(strerror(errno)));
  }
  return pattern;
}
// mkdir -p: every missing folder of path.
void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      throw std::runtime_error("mkdir " + prefix + " failed: " + std::string(strerror(errno)));
    }
    if (slash == std::string::npos) return;
  }
}
}  // namespace

const std::string& PrivateRoot() {
  static const std::string root = [] {
    // Inside the folder the test run gave this test, where one was given.
    const char* given = getenv("QUORVANE_TMPDIR");
    const char* base = getenv("TMPDIR");
    std::string parent = given != nullptr && *given != 0 ? given : base != nullptr && *base != 0 ? base : "/tmp";
    MakeFolders(parent);
    return MakeTemp(parent, "quorvane-test-");
  }();
  return root;
}

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        RemoveTree(path + "/" + entry->d_name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void EndTestProcess(const std::string& root) {
  Quorvane::deinitThreadModule();
  RemoveTree(root);
}

TempDir::TempDir() : path_(MakeTemp(PrivateRoot(), "dir-")) {}
TempDir::~TempDir() { RemoveTree(path_); }

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  auto pause = std::chrono::microseconds(50);
  while (true) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= end) return pred();
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(10)) pause *= 2;
  }
}

void SetUpSignalStateOfThisThread() {
  if (!kThreadSanitizer) return;
  sigset_t all, previous;
  sigfillset(&all);
  if (pthread_sigmask(SIG_BLOCK, &all, &previous) != 0) return;
  const timespec none{0, 0};
  nanosleep(&none, nullptr);  // a blocking call: the set-up happens here
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

namespace {
using Arrivals = std::atomic<uint32_t>;  // a futex word: 32 bits
static_assert(Arrivals::is_always_lock_free && sizeof(Arrivals) == sizeof(uint32_t));

// Sleeps while *word holds seen, at most the given time. Not process-private:
// the parties are processes sharing the mapping.
void SleepWhileUnchanged(Arrivals* word, uint32_t seen, std::chrono::microseconds at_most) {
  const long us = static_cast<long>(at_most.count());
  const timespec limit{static_cast<time_t>(us / 1000000), (us % 1000000) * 1000};
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, seen, &limit, nullptr, 0);
}

void WakeAll(Arrivals* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}
}  // namespace

ProcessBarrier::ProcessBarrier(int parties) : parties_(parties) {
  shared_ = mmap(nullptr, sizeof(Arrivals), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared_ == MAP_FAILED) throw std::runtime_error("mmap failed: " + std::string(strerror(errno)));
  new (shared_) Arrivals(0);
}

ProcessBarrier::~ProcessBarrier() { munmap(shared_, sizeof(Arrivals)); }

bool ProcessBarrier::Arrive(long generation, std::chrono::milliseconds deadline) {
  auto* arrivals = static_cast<Arrivals*>(shared_);
  const uint32_t wanted = static_cast<uint32_t>(generation * parties_);
  if (arrivals->fetch_add(1) + 1 >= wanted) {
    WakeAll(arrivals);
    return true;
  }
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + deadline;
  // Spins a moment first, so that parties on CPUs of their own leave at the
  // same moment (what the races under test want); then sleeps until the last
  // arrival wakes it, so that on a busy machine a round costs no time slices.
  constexpr auto kSpin = std::chrono::microseconds(200);
  for (;;) {
    const uint32_t seen = arrivals->load();
    if (seen >= wanted) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now > end) return false;
    if (now - start < kSpin) {
      sched_yield();
      continue;
    }
    SleepWhileUnchanged(arrivals, seen, std::chrono::milliseconds(10));
  }
}

// The leak checker's own switch, present only in sanitizer builds.
extern "C" void __lsan_disable() __attribute__((weak));

void DisableLeakChecks() {
  if (&__lsan_disable != nullptr) __lsan_disable();
}

void StoreIntoAnInaccessiblePage() {
  const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* page = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) throw std::runtime_error("mmap failed: " + std::string(strerror(errno)));
  *static_cast<volatile int*>(page) = 1;
}

namespace {
// Forks; the child runs body and leaves with its result, through exit() when
// asked (so that its exit hooks run), else through _exit().
pid_t ForkRunning(const std::function<int()>& body, bool throughExit) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int rc = 125;
    try {
      rc = body();
    } catch (...) {
      rc = 124;
    }
    if (throughExit) std::exit(rc);
    _exit(rc);
  }
  return pid;
}
}  // namespace

int RunInChild(const std::function<int()>& body) {
  const pid_t pid = ForkRunning(body, false);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

int RunInChildThroughExit(const std::function<int()>& body, std::chrono::milliseconds deadline) {
  const pid_t pid = ForkRunning(body, true);
  int status = 0;
  if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, deadline)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return status;
}

}  // namespace qvtest

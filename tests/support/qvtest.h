// Helpers shared by the test programs: private temporary folders, waiting on a
// condition with a deadline, and running a check in a child process.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace qvtest {

// A fresh folder below the process's private temporary root, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The private root made for this test process, inside the QUORVANE_TMPDIR the
// test run gave it (else TMPDIR, else /tmp); QUORVANE_TMPDIR then points at it.
const std::string& PrivateRoot();

// Removes a folder tree; missing paths are fine.
void RemoveTree(const std::string& path);

// The end of a test process: stops the library's record threads, once they
// have written what they still had queued, then removes the private root, so
// that nothing writes into it afterwards.
void EndTestProcess(const std::string& root);

// Polls pred until it holds or the deadline passes; returns its last value.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Whether this build runs under ThreadSanitizer. A few tests do on purpose
// what it reports or does not support: a message handler that closes a device
// in signal context, threads started in a child forked from a threaded process.
#if defined(__SANITIZE_THREAD__)
#define QV_TEST_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QV_TEST_THREAD_SANITIZER 1
#endif
#endif
#ifndef QV_TEST_THREAD_SANITIZER
#define QV_TEST_THREAD_SANITIZER 0
#endif
inline constexpr bool kThreadSanitizer = QV_TEST_THREAD_SANITIZER != 0;

// ThreadSanitizer sets up a thread's signal state lazily, on the thread's
// first blocking call, and loses a signal that lands while it does so (the
// clang 14 and g++ 12 runtimes: the handler's own set-up, holding the
// signal, is overwritten by the one it interrupted). A process that hears of
// events by signals calls this on its thread before a peer may signal it:
// the set-up is done there, with every signal held back. Does nothing in
// other builds.
void SetUpSignalStateOfThisThread();

// A barrier for processes forked after it was made, in memory they share:
// each of `parties` processes arrives for generation 1, 2, ... in turn, and
// Arrive returns once all have arrived for that generation (false when they
// did not within the deadline).
class ProcessBarrier {
 public:
  explicit ProcessBarrier(int parties);
  ~ProcessBarrier();
  ProcessBarrier(const ProcessBarrier&) = delete;
  ProcessBarrier& operator=(const ProcessBarrier&) = delete;
  bool Arrive(long generation, std::chrono::milliseconds deadline = std::chrono::seconds(20));

 private:
  int parties_;
  void* shared_;
};

// Leak checks of a sanitizer build are off from here on in this process
// (for a child that leaves something allocated at exit on purpose); does
// nothing in other builds.
void DisableLeakChecks();

// Faults by a store into a page mapped without access: a real SIGSEGV, which
// neither sanitizer build stops first (a store through a null pointer is
// undefined behaviour, and the undefined-behaviour checks end the process
// there). A handler that returns runs the store again: the one the test
// installs must end the process.
void StoreIntoAnInaccessiblePage();

// Forks, runs body in the child and exits with its result (0..255); the
// parent waits and returns the raw wait status.
int RunInChild(const std::function<int()>& body);
// The same, but the child ends through exit(), so that its exit hooks run as
// a program's would; -1 (the child killed) when it has not ended in time.
int RunInChildThroughExit(const std::function<int()>& body,
                          std::chrono::milliseconds deadline = std::chrono::seconds(60));

}  // namespace qvtest

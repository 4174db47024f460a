// Child programs launched through the shell, questions about process ids, and
// the one keeper of launched children that reaps them when they end.
#pragma once

#include <atomic>
#include <chrono>
#include <ostream>
#include <set>

#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"
#include "utilities/qvthreadprimitives.h"

namespace Quorvane {

class QVProcess {
 public:
  // Runs "exec " + command through /bin/sh and returns the child's id. Type 4
  // when fork or the signal mask fails; type 19 or 70 when the child is gone
  // at once (the shell could not run the program, or a signal ended it).
  static int launch(QVString command);
  static int currentProcessId();
  // Exists and has not ended, ours or someone else's: a process that ended
  // and waits for its parent to reap it is not alive (and is not reaped
  // here). False for ids below 1.
  static bool processIsAliveQ(int id);
  // True when the child can be forgotten: it is gone, was reaped here, or is
  // no child of this process.
  static bool tryWait(int id);
};

class QVProcessManager {
 public:
  QVProcessManager();
  virtual ~QVProcessManager();
  QVProcessManager(const QVProcessManager&) = delete;
  QVProcessManager& operator=(const QVProcessManager&) = delete;

  // Tracks the child; the first one starts the watch thread.
  void trackProcess(int id);
  void launchProcessWatchThread();
  // Wakes the watch thread to reap at once. Safe to call from a signal
  // handler: it only writes one byte to a pipe.
  void signalUpdateAllTheStatus() noexcept;
  // Stops and joins the watch thread, then gives every child still tracked
  // to the last keeper of children: those that end within its bound are
  // reaped before this returns, the others by its thread when they end.
  void stopTrackingAllProcesses();
  // One reaping pass over the tracked children.
  void internalUpdateAllTheStatus();
  // The watch thread's body.
  void* Thread1();

  void print(std::ostream& os) const;

  // Seconds between reaping passes when no child signal comes.
  static constexpr int kWatchIntervalSeconds = 300;

 private:
  void StopWatchThread();
  // Empties the table into the last keeper of children, waiting at most bound.
  void HandOverTrackedProcesses(std::chrono::milliseconds bound) noexcept;

  QVSmartPointer<std::set<int>> processTable;
  QVMutexHandle* processTableLock = nullptr;
  // Self-pipe that wakes the watch thread: written from signal context,
  // where a mutex-based condition could deadlock.
  int wakeReadFd = -1;
  std::atomic<int> wakeWriteFd{-1};
  QVThread* processWatchThread = nullptr;
  std::atomic<bool> stopProcessWatchThread{false};
  std::atomic<bool> processWatchThreadRunning{false};
};

std::ostream& operator<<(std::ostream& os, const QVProcessManager& manager);

}  // namespace Quorvane

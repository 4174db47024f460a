// Long-lived workers: an object that owns a worker thread, and the lock,
// condition and thread under which such a worker runs, with its stop protocol
// (set the flag, signal, join).
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>

#include "utilities/qvcondition.h"
#include "utilities/qvthreadprimitives.h"

namespace Quorvane {

class QVThreadableObject : public QVObject {
 public:
  using ThreadFunction = void* (QVThreadableObject::*)();

  ~QVThreadableObject() override = default;
  virtual void* Thread1() { return nullptr; }
  virtual void* Thread2() { return nullptr; }

  // Chosen by the owner before each CreateThread.
  ThreadFunction threadFunction = &QVThreadableObject::Thread1;

 protected:
  QVThreadableObject() = default;
};

// Thread function that runs the member operation an object's threadFunction names.
void* RunThreadableObject(void* object);

class QVThreadSync : public QVObject {
 public:
  // Type 5 when the lock or the condition cannot be made.
  QVThreadSync();
  ~QVThreadSync() override;
  QVThreadSync(const QVThreadSync&) = delete;
  QVThreadSync& operator=(const QVThreadSync&) = delete;

  // Stops a running worker first, then starts a new one.
  void CreateThread(void* (*function)(void*), void* argument);
  void CreateThread(QVThreadableObject* object);
  bool threadIsRunningQ() const { return state == 1; }

  bool Lock();
  bool Unlock();
  bool LockedQ();
  QVMutexHandle* getLockHandle() const { return lockHandle; }

  void Signal();
  bool Wait(long microseconds);
  bool Wait();
  void Reset();
  // Asks the worker to end, wakes it and joins it; nothing without a worker.
  void Stop();

  // True once Stop (or the next CreateThread) has asked the worker to end.
  bool ShutdownRequestedQ() const { return shutdownThread.load(); }

  void print(std::ostream& os) const;

 private:
  void StopRunning();

  QVMutexHandle* lockHandle = nullptr;
  QVCondition* conditionHandle = nullptr;
  QVThread* threadHandle = nullptr;
  // Written by the owner and read by the worker without the lock.
  std::atomic<bool> shutdownThread{false};
  int32_t state = 0;
};

std::ostream& operator<<(std::ostream& os, const QVThreadSync& sync);

}  // namespace Quorvane

// In-process condition over a POSIX thread condition variable; what threads
// use to wake each other.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "utilities/qvcondition.h"

namespace Quorvane {

class QVPthreadCondition : public QVCondition {
 public:
  QVPthreadCondition();
  ~QVPthreadCondition() override;

  // Wakes every waiter; each of them returns true. With no waiter the signal
  // stays until the next wait.
  void Signal() override;
  // Waits against a monotonic deadline to the nanosecond and returns true only
  // for a real signal (a spurious wake-up waits on); a signal that comes with
  // the time-out is reported, not lost.
  bool Wait(long microseconds) override;
  bool Wait() override { return Wait(-1); }
  void Reset() override;
  // Type 1: there is no descriptor to wait on.
  int GetRawObject() override;
  _qvcondition GetType() override { return QVPthreadConditionType; }
  bool PendingQ() override;

 private:
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool signalled = false;
  // Counts signals, so a waiter can tell a signal from a spurious wake-up and
  // every waiter present at a signal sees it although the first clears the flag.
  uint64_t generation = 0;
};

}  // namespace Quorvane

// Auto-reset events: one side signals, another waits with a time-out, and a
// successful wait consumes the signal. Kinds: a named FIFO that works across
// processes, an anonymous pipe, and an in-process POSIX-thread condition.
#pragma once

#include <cstdint>
#include <list>

#include "utilities/qvobject.h"

namespace Quorvane {

enum _qvcondition : int32_t {
  QVFifoConditionType = 0,
  QVPipeConditionType = 1,
  QVPthreadConditionType = 2,
};

// How a FIFO condition reaches its FIFO.
enum _qvsyncmode : int32_t {
  QVCREATE = 0,
  QVOPEN = 1,
};

class QVCondition : public QVObject {
 public:
  QVCondition() = default;
  ~QVCondition() override = default;
  QVCondition(const QVCondition&) = delete;
  // Conditions are not copied; assignment leaves the object as it is.
  virtual QVCondition& operator=(const QVCondition&) { return *this; }

  virtual void Signal() {}
  // Microseconds; -1 waits without limit. True when signalled (the signal is consumed).
  virtual bool Wait(long microseconds) { return false; }
  virtual bool Wait() { return false; }
  virtual void Reset() {}
  // The descriptor that becomes readable when the condition is signalled.
  virtual int GetRawObject() = 0;
  virtual _qvcondition GetType() = 0;
  // A signal is waiting; nothing is consumed.
  virtual bool PendingQ() { return false; }
};

// Waits until one of the conditions is signalled and returns it (consumed), or
// NULL when the time-out passes. FIFO and pipe conditions may be mixed; POSIX-
// thread conditions only with their own kind (type 3 otherwise).
QVCondition* QVMultipleConditionWait(std::list<QVCondition*>& conditions, long microseconds);

}  // namespace Quorvane

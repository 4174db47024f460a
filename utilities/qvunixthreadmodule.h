// The thread module: its start and stop at environment start and end, and the
// record clean-up thread that removes the named sync objects of processes
// that have died.
#pragma once

#include "utilities/qvobject.h"

namespace Quorvane {

// The module's process-wide state lives in statics of this class.
class QVUnixThreadModuleGlobals {
 public:
  QVUnixThreadModuleGlobals() = default;
  virtual ~QVUnixThreadModuleGlobals() = default;

  // Starts the clean-up thread once; a failure to make it passes on, leaving
  // the module without a thread.
  static void startRecordManagerThread();
  // Wakes and joins the clean-up thread; returns when it has ended.
  static void stopRecordManagerThread();
  static bool timeToStopRecordManagerThread();
  // One timed wait (or until the stop wakes it).
  static void waitForRecordManagerCondition(unsigned long microseconds);
  // Back to the state at process start.
  static void deinitialize();

  // Seconds between sweeps.
  static constexpr long kSweepIntervalSeconds = 3600;
};

// Makes the sync directory and starts the clean-up thread; false (and nothing
// started) when the directory cannot be made.
bool initThreadModule();
// Stops the clean-up thread and the record manager's background thread.
void deinitThreadModule();

// The clean-up thread's body; the argument is not used.
void* recordManagerWatchThreadFunction(void* argument);

}  // namespace Quorvane

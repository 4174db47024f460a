// The one place where named sync objects (lock files, FIFOs) enter and leave
// this process's record, so that a later process can remove what a dead one
// left behind. Without an installed recorder, objects go to the process's record file.
#pragma once

#include <cstdint>

#include "utilities/qvobject.h"

namespace Quorvane {

// Kind codes of named objects in a record.
enum : int32_t {
  kSyncRecordFileMutex = 3,      // lock file of a named mutex ("FM")
  kSyncRecordFifoCondition = 4,  // FIFO of a named condition ("FC")
};

class QVSyncObjectRecorder {
 public:
  virtual ~QVSyncObjectRecorder() = default;
  virtual void addObjectToRecord(const QVString& name, int32_t type) = 0;
  virtual void markObjectAsRemovedFromRecord(const QVString& name, int32_t type) = 0;
};

// Installs the recorder (null: none); the caller keeps it alive while installed.
void SetSyncObjectRecorder(QVSyncObjectRecorder* recorder);

// Called by named objects when made and when destroyed. A QVException from the
// recorder is dropped: a missing or broken record never stops an object.
void RecordSyncObject(const QVString& name, int32_t type) noexcept;
void RecordSyncObjectRemoval(const QVString& name, int32_t type) noexcept;

}  // namespace Quorvane

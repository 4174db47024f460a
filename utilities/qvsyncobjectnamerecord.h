// One named sync object as a process's record file lists it.
#pragma once

#include <cstdint>
#include <list>

#include "utilities/qvobject.h"

namespace Quorvane {

// Kind of a named sync object; written in record files as a short code.
enum _qvsynctype : int32_t {
  QVSyncTypeUnknown = 0,            // no known code; never written
  QVSyncTypeSemaphoreMutex = 1,     // "SM"
  QVSyncTypeSemaphoreCondition = 2, // "SC"
  QVSyncTypeFileLockMutex = 3,      // "FM"
  QVSyncTypeFifoCondition = 4,      // "FC"
  QVSyncTypePC = 5,
  QVSyncTypePTM = 6,
  QVSyncTypePTC = 7,
  QVSyncTypeWM = 8,
  QVSyncTypeWCM = 9,
  QVSyncTypeWC = 10,
};

// The code of a kind; empty for QVSyncTypeUnknown and values out of range.
const char* SyncTypeCode(_qvsynctype type);
// The kind whose code is exactly text (case and length included), else unknown.
_qvsynctype SyncTypeFromCode(const char* text, size_t length);

class QVSyncObjectNameRecord : public QVObject {
 public:
  // recordFile empty, processID the current process.
  QVSyncObjectNameRecord(const QVString& name, _qvsynctype type);
  QVSyncObjectNameRecord(const QVString& name, _qvsynctype type, int32_t processID);
  QVSyncObjectNameRecord(const QVSyncObjectNameRecord&) = default;
  QVSyncObjectNameRecord& operator=(const QVSyncObjectNameRecord&) = default;
  ~QVSyncObjectNameRecord() override = default;

  // Name, type and process id; the record file is not compared.
  bool operator==(const QVSyncObjectNameRecord& other) const;
  bool operator!=(const QVSyncObjectNameRecord& other) const { return !(*this == other); }

  QVString recordFile;  // full path of the record file; empty until filled in
  QVString name;        // as the object's maker gave it, not the path
  _qvsynctype type = QVSyncTypeUnknown;
  int32_t processID = 0;
};

using QVSyncObjectNameRecordList =
    std::list<QVSyncObjectNameRecord, QVStdAllocator<QVSyncObjectNameRecord>>;

}  // namespace Quorvane

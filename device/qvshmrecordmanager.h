// Record files of shared-memory segments: each process that uses a segment
// notes its id in "qvshm-" + segment name + ".rec" in the sync directory, so
// that a segment whose users have all died can be found and removed. One
// manager serves a whole process.
#pragma once

#include <ostream>

#include "device/qvshmrecordfileformat.h"
#include "utilities/qvfilemanager.h"
#include "utilities/qvthreadprimitives.h"

namespace Quorvane {

class QVSHMRecordManager : public QVObject {
 public:
  // Record files in the sync directory, or in the given one.
  QVSHMRecordManager();
  explicit QVSHMRecordManager(const QVString& directory);
  ~QVSHMRecordManager() override;
  QVSHMRecordManager(const QVSHMRecordManager&) = delete;
  QVSHMRecordManager& operator=(const QVSHMRecordManager&) = delete;

  // Each change reads and updates the record under one hold of the file's
  // lock, so two processes never lose each other's ids, and replaces the
  // file whole (mode 0666), so that a reader, or a writer killed midway,
  // never finds a record empty or cut short; what such a writer leaves
  // beside it is removed by the sync directory's sweep. The last id removed
  // deletes the file. Failures are QVExceptions of type 70 (inner code: the
  // inner type), 3 for a pid below 1 or a name that is not a plain file name.
  void makeRecordOfSegmentNameUsedByProcess(const QVString& name, int pid);
  void addProcessIDToSegmentRecord(const QVString& name, int pid);
  void removeProcessIDFromSegmentRecord(const QVString& name, int pid);
  // A missing file is no failure.
  void removeSegmentRecord(const QVString& name);
  // Whether the record exists and names a living process. A record that does
  // not parse is read once more before the segment counts as stale.
  bool segmentStillActiveQ(const QVString& name);
  // Segment names of the record files, in directory order.
  QVStringList getRecordList();

  static QVString makeFileName(const QVString& name);
  static bool isValidRecordFileName(const QVString& fileName);
  static QVString segmentNameFromFileName(const QVString& fileName);

  const QVString& getRecordFileDirectory() const { return recordFileDirectory; }
  void print(std::ostream& os) const;

  // Longer files are no record (and are not read further).
  static constexpr unsigned long kMaximumRecordLength = 4096;

 private:
  QVString RecordPath(const QVString& name) const;
  void Add(const QVString& name, int pid, const char* failure);

  QVString recordFileDirectory;
  QVFileManager fileManager;
  QVMutexHandle* managerLock = nullptr;
};

std::ostream& operator<<(std::ostream& os, const QVSHMRecordManager& manager);

}  // namespace Quorvane

// Keeps this process's record file of named sync objects (lock files, FIFOs)
// in the sync directory, so that a later process can remove what this one
// leaves behind if it dies; lists the records of every process.
#pragma once

#include <atomic>
#include <map>
#include <ostream>

#include "utilities/qvfilemanager.h"
#include "utilities/qvsmartpointer.h"
#include "utilities/qvsyncobjectnamerecord.h"
#include "utilities/qvsyncobjectnamerecordfileformat.h"
#include "utilities/qvthreadprimitives.h"
#include "utilities/qvthreadsync.h"

namespace Quorvane {

class QVSyncObjectNameRecordManager : public QVObject {
 public:
  // Record files in the sync directory, or in the given directory.
  QVSyncObjectNameRecordManager();
  explicit QVSyncObjectNameRecordManager(const QVString& directory);
  ~QVSyncObjectNameRecordManager() override;
  QVSyncObjectNameRecordManager(const QVSyncObjectNameRecordManager&) = delete;
  QVSyncObjectNameRecordManager& operator=(const QVSyncObjectNameRecordManager&) = delete;

  // The process's manager, made on first use; empty when it could not be
  // made. It has a background thread unless the thread module has stopped
  // (and not started again) or this is a forked child; without one it writes
  // removals at once. A thread it starts is stopped at exit at the latest.
  static QVSmartPointer<QVSyncObjectNameRecordManager> defaultManager();
  // The thread module has started: managers may have a background thread
  // again, and the next defaultManager makes one that has.
  static void initialize();
  // Stops the default manager's background thread once it has written what
  // was queued; until initialize, no manager starts a thread, and removals
  // marked meanwhile are written at once. The next defaultManager makes a new
  // manager, which keeps the process's record file name.
  static void deinitialize();

  void addObjectToRecord(const QVSyncObjectNameRecord& record);
  void addObjectToRecord(const QVString& name, _qvsynctype type);
  // Takes the first equal entry out (one per registration); deletes the file
  // when nothing is left.
  void removeObjectFromRecord(const QVSyncObjectNameRecord& record);
  void removeObjectFromRecord(const QVString& name, _qvsynctype type);
  // Queues a removal for the background thread and writes nothing; a default
  // manager without a thread writes it at once.
  void markObjectAsRemovedFromRecord(const QVString& name, _qvsynctype type);
  // Wakes the background thread to write the queued removals; returns at once.
  void flushRemovedObjectsFromSystemRecord();

  // The records of every valid record file, each with its file's path. Files
  // found empty or unreadable are deleted; entries that are not regular files,
  // or are larger than a record file may be, are passed over.
  QVSyncObjectNameRecordList getRecordList();

  // Removes what writers that died midway left of a record's new text in the
  // record directory (never a finished record): of this kind of record, and
  // of the SharedMemory segments' records, which share the sync directory.
  void removeAbandonedWrites();

  QVString computeRecordFileName(int pid);
  static bool isValidRecordFileName(const QVString& name);
  void removeProcessRecord(int pid);
  void removeProcessRecordFile(const QVString& path);
  // Forgets the chosen file names: the next one drawn for a process is new.
  void reset();

  const QVString& getRecordFileDirectory() const { return recordFileDirectory; }

  void print(std::ostream& os) const;

  static constexpr unsigned long randomStringLength = 20;
  // A queued removal that fails this many times is given up.
  static constexpr int kMaximumRemovalAttempts = 5;
  // Larger files are not read: neither listed nor added to.
  static constexpr unsigned long kMaximumRecordFileSize = 16UL << 20;

 private:
  static void* syncObjectBackgroundThread(void* argument);
  static void StopBackgroundThreadAtExit();  // managerLock held
  // One background pass; true when some removals failed and stay queued.
  bool WriteQueuedRemovals();
  void FillInRecordFile(QVSyncObjectNameRecord& record);  // manager lock held
  void AdoptRecordFileNames(QVSyncObjectNameRecordManager& previous);
  QVString RecordFileNameLocked(int pid);                 // manager lock held
  QVSyncObjectNameRecordList ReadRecordFile(const QVString& path);
  // Replaces the file whole, mode 0666.
  void WriteRecordFile(const QVString& path, const QVSmartPointer<QVData>& contents);

  QVString recordFileDirectory;
  QVFileManager fileManager;
  QVMutexHandle* mutexHandle = nullptr;
  std::map<int32_t, QVString> recordFileSuffixes;
  QVThreadSync threadSync;
  std::atomic<bool> stopBackgroundThread{false};
  // Set for a default manager without a background thread (a forked child's,
  // one made while the thread module is stopped, one whose thread stopped).
  // Under queueLock.
  bool writeRemovalsAtOnce = false;
};

std::ostream& operator<<(std::ostream& os, const QVSyncObjectNameRecordManager& manager);

}  // namespace Quorvane

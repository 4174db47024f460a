#include "utilities/qvsyncobjectnamerecordmanager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>

#include "utilities/platform/qvfilelock_linux.h"
#include "utilities/platform/qvwholefile.h"
#include "utilities/qvexception.h"
#include "utilities/qvfilehandle.h"
#include "utilities/qvprocess.h"
#include "utilities/qvrandomstring.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "utilities/qvsyncobjectnamerecordmanager";

// The default manager. The lock is constant-initialised, so usable from
// static initialisation on. The holder is never destroyed: a manager belongs
// to the process that made it (its thread does not exist in a forked child),
// and exit must not race its background thread.
std::mutex managerLock;
QVSmartPointer<QVSyncObjectNameRecordManager>* theManager = nullptr;
bool initializedTheManager = false;
pid_t managerOwner = 0;
// Cleared when the thread module stops: from then on until it starts again
// no thread writes records; the managers made meanwhile write at once.
bool backgroundThreadAllowed = true;
// The process whose background thread the exit hook must stop (0: none).
// Read without managerLock, which a forked child may have inherited locked.
std::atomic<pid_t> backgroundThreadOwner{0};

// The removals waiting for the background thread: one queue for the process
// (it outlives any one manager), with its own lock for the same reason.
struct QueuedRemoval {
  QVSyncObjectNameRecord record;
  int failures;
};
std::mutex queueLock;
std::list<QueuedRemoval>* backgroundThreadRecords = nullptr;

std::list<QueuedRemoval>& Queue() {
  if (backgroundThreadRecords == nullptr) backgroundThreadRecords = new std::list<QueuedRemoval>;
  return *backgroundThreadRecords;
}

// Back-off after a failed pass, doubled up to the limit.
constexpr long kFirstRetryMicroseconds = 100000;
constexpr long kLongestRetryMicroseconds = 30000000;

// Holds a record file's lock for one scope. Released by the file's identity,
// not its path, so the file may be deleted or replaced while the lock is
// held. Only a file that exists is locked: a lock never makes an empty one.
class FileLockHold {
 public:
  explicit FileLockHold(const QVString& path) {
    int err = 0;
    switch (platform::LockExistingWholeFile(path, &key_, &err)) {
      case platform::FileLockResult::ok:
        held_ = true;
        return;
      case platform::FileLockResult::openFailed:
        if (err == ENOENT) return;  // gone meanwhile: nothing to hold
        throw QVException("Open failed while locking a record file.", kSourceFile, __LINE__,
                          qvexceptiontype::systemCallFailed, err);
      case platform::FileLockResult::lockFailed:
        break;
    }
    throw QVException("Unable to lock a record file.", kSourceFile, __LINE__,
                      qvexceptiontype::systemCallFailed, err);
  }
  ~FileLockHold() {
    int err = 0;
    if (held_) platform::UnlockWholeFile(key_, &err);
  }
  FileLockHold(const FileLockHold&) = delete;
  FileLockHold& operator=(const FileLockHold&) = delete;

  // False when there was no file to lock.
  bool heldQ() const { return held_; }
  // Whether path names the locked file still (not a newer one put there).
  bool stillAtQ(const QVString& path) const {
    struct stat st;
    return held_ && stat(path.c_str(), &st) == 0 && st.st_dev == key_.device && st.st_ino == key_.inode;
  }

 private:
  platform::FileLockKey key_;
  bool held_ = false;
};

// Record files lie in a directory every user may write to. Only a regular
// file is read (a FIFO planted there would block the reader for good), and no
// more of it than a record file can hold. False for anything else; the caller
// holds the file's lock, whose descriptor keeps a FIFO's open from blocking.
bool ReadRecordFileContents(const QVString& path, QVSmartPointer<QVData>* contents) {
  constexpr unsigned long kLimit = QVSyncObjectNameRecordManager::kMaximumRecordFileSize;
  QVSmartPointer<QVFileHandle> handle = QVFileHandle::fileHandleForReadingAtPath(path);
  struct stat st;
  if (fstat(handle->fileDescriptor(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<unsigned long long>(st.st_size) > kLimit) {
    return false;
  }
  *contents = handle->readDataOfLength(kLimit + 1);
  return !*contents || (*contents)->length() <= kLimit;
}

[[noreturn]] void Wrap(const char* message, const QVException& caught, unsigned int line) {
  throw QVException(message, kSourceFile, line, qvexceptiontype::wrapped, caught.getCode());
}

}  // namespace

QVSyncObjectNameRecordManager::QVSyncObjectNameRecordManager()
    : QVSyncObjectNameRecordManager(getThreadSyncDir()) {}

QVSyncObjectNameRecordManager::QVSyncObjectNameRecordManager(const QVString& directory)
    : recordFileDirectory(directory) {
  mutexHandle = QVThreadsFactory().CreateUnnamedHandle(QVInProcessMutex, false);
  if (mutexHandle == nullptr) {
    throw QVException("Cannot make the record manager lock", kSourceFile, __LINE__,
                      qvexceptiontype::outOfMemory, 0);
  }
}

QVSyncObjectNameRecordManager::~QVSyncObjectNameRecordManager() {
  stopBackgroundThread.store(true);
  threadSync.Signal();
  threadSync.Stop();
  delete mutexHandle;
}

QVSmartPointer<QVSyncObjectNameRecordManager> QVSyncObjectNameRecordManager::defaultManager() {
  std::lock_guard<std::mutex> guard(managerLock);
  const pid_t self = getpid();
  // A forked child of a process that had a manager: the parent's background
  // thread does not exist here, and a child of a threaded process must not
  // start threads of its own. Leave the parent's manager be (destroying it
  // would join a thread that is not there) and make a manager that writes
  // removals at once.
  const bool forkedChild = initializedTheManager && managerOwner != self;
  if (forkedChild) {
    theManager = nullptr;
    initializedTheManager = false;
  }
  if (!initializedTheManager) {
    try {
      auto* made = new QVSmartPointer<QVSyncObjectNameRecordManager>(
          new QVSyncObjectNameRecordManager());
      // The process keeps its record file: removals of objects entered by
      // the previous manager must find them.
      if (!forkedChild && theManager != nullptr && *theManager) (*made)->AdoptRecordFileNames(**theManager);
      if (forkedChild || !backgroundThreadAllowed) {
        (*made)->writeRemovalsAtOnce = true;
      } else {
        // The thread gets a reference of its own: a later re-initialisation
        // replaces theManager, never the manager this thread serves.
        auto* threadReference = new QVSmartPointer<QVSyncObjectNameRecordManager>(*made);
        try {
          (*made)->threadSync.CreateThread(&syncObjectBackgroundThread, threadReference);
        } catch (...) {
          delete threadReference;
          delete made;
          throw;
        }
        StopBackgroundThreadAtExit();
        backgroundThreadOwner.store(self);
      }
      if (theManager != nullptr) delete theManager;
      theManager = made;
      managerOwner = self;
      initializedTheManager = true;
    } catch (const QVException&) {
    } catch (const std::exception&) {
    }
  }
  if (theManager == nullptr) return {};
  return *theManager;
}

void QVSyncObjectNameRecordManager::initialize() {
  std::lock_guard<std::mutex> guard(managerLock);
  if (backgroundThreadAllowed) return;
  backgroundThreadAllowed = true;
  // The manager made while no thread was allowed gives way to one with a
  // thread at its next use.
  if (initializedTheManager && managerOwner == getpid()) initializedTheManager = false;
}

void QVSyncObjectNameRecordManager::deinitialize() {
  QVSmartPointer<QVSyncObjectNameRecordManager> manager;
  {
    std::lock_guard<std::mutex> guard(managerLock);
    backgroundThreadAllowed = false;
    if (theManager == nullptr || managerOwner != getpid()) {
      initializedTheManager = false;
      return;
    }
    manager = *theManager;
    initializedTheManager = false;
  }
  if (!manager) return;
  {
    // Removals marked from here on are written by whoever marks them; those
    // queued before are written by the thread's last pass.
    std::lock_guard<std::mutex> queue(queueLock);
    manager->writeRemovalsAtOnce = true;
  }
  manager->stopBackgroundThread.store(true);
  manager->threadSync.Signal();
  manager->threadSync.Stop();
  backgroundThreadOwner.store(0);
}

void QVSyncObjectNameRecordManager::StopBackgroundThreadAtExit() {
  static bool registered = false;  // under managerLock; a forked child inherits the hook
  if (registered) return;
  registered = true;
  atexit([] {
    if (backgroundThreadOwner.load() == getpid()) deinitialize();
  });
}

void* QVSyncObjectNameRecordManager::syncObjectBackgroundThread(void* argument) {
  if (argument == nullptr) return nullptr;
  auto* reference = static_cast<QVSmartPointer<QVSyncObjectNameRecordManager>*>(argument);
  QVSmartPointer<QVSyncObjectNameRecordManager> manager = *reference;
  delete reference;
  QVThreadsFactory::SetThisThreadName("SyncObject-Background-Thread");
  long retryMicroseconds = 0;
  try {
    while (!manager->stopBackgroundThread.load() && !manager->threadSync.ShutdownRequestedQ()) {
      if (manager->WriteQueuedRemovals()) {
        // A persistent failure must not spin: wait longer each time, and
        // still wake at once for a flush or a stop.
        retryMicroseconds = retryMicroseconds == 0
                                ? kFirstRetryMicroseconds
                                : std::min(retryMicroseconds * 2, kLongestRetryMicroseconds);
        manager->threadSync.Wait(retryMicroseconds);
      } else {
        retryMicroseconds = 0;
        manager->threadSync.Wait();
      }
    }
    // Stopped: what was queued before the stop is written now, once.
    manager->WriteQueuedRemovals();
  } catch (const QVException&) {
  }
  return nullptr;
}

bool QVSyncObjectNameRecordManager::WriteQueuedRemovals() {
  std::list<QueuedRemoval> pass;
  {
    std::lock_guard<std::mutex> guard(queueLock);
    pass.swap(Queue());
  }
  std::list<QueuedRemoval> failed;
  for (QueuedRemoval& removal : pass) {
    try {
      removeObjectFromRecord(removal.record);
    } catch (const QVException&) {
      if (++removal.failures < kMaximumRemovalAttempts) failed.push_back(removal);
    }
  }
  if (failed.empty()) return false;
  std::lock_guard<std::mutex> guard(queueLock);
  // Ahead of what was queued meanwhile, so the order stays as marked.
  Queue().splice(Queue().begin(), failed);
  return true;
}

void QVSyncObjectNameRecordManager::FillInRecordFile(QVSyncObjectNameRecord& record) {
  if (record.recordFile.empty()) {
    record.recordFile =
        recordFileDirectory + getPathSeparator() + RecordFileNameLocked(record.processID);
  }
}

QVString QVSyncObjectNameRecordManager::RecordFileNameLocked(int pid) {
  auto found = recordFileSuffixes.find(pid);
  if (found == recordFileSuffixes.end()) {
    QVRandomString suffix(randomStringLength);
    found = recordFileSuffixes.emplace(pid, QVString(suffix.c_str())).first;
  }
  return QVString("qv") + ToQVString(std::to_string(pid)) + "-" + found->second + ".rec";
}

void QVSyncObjectNameRecordManager::AdoptRecordFileNames(QVSyncObjectNameRecordManager& previous) {
  std::map<int32_t, QVString> names;
  {
    QVMutex guard(previous.mutexHandle);
    names = previous.recordFileSuffixes;
  }
  QVMutex guard(mutexHandle);
  recordFileSuffixes = std::move(names);
}

QVString QVSyncObjectNameRecordManager::computeRecordFileName(int pid) {
  QVMutex guard(mutexHandle);
  return RecordFileNameLocked(pid);
}

QVSyncObjectNameRecordList QVSyncObjectNameRecordManager::ReadRecordFile(const QVString& path) {
  QVSmartPointer<QVData> contents;
  {
    FileLockHold hold(path);
    if (!hold.heldQ()) return {};
    if (!ReadRecordFileContents(path, &contents)) {
      throw QVException("Not a record file.", kSourceFile, __LINE__,
                        qvexceptiontype::badRecordFile, 0);
    }
  }
  return QVSyncObjectNameRecordFileFormat().interpretFileContents(contents);
}

void QVSyncObjectNameRecordManager::WriteRecordFile(const QVString& path,
                                                    const QVSmartPointer<QVData>& contents) {
  // The new text goes into a file of its own that then takes the record's
  // name: a reader, or a process killed while it writes, never finds a
  // record empty or cut short. The old file's lock is held meanwhile, so a
  // lister deciding about the old file decides before it is replaced.
  FileLockHold hold(path);
  int err = 0;
  const void* bytes = contents ? contents->bytes() : nullptr;
  const size_t length = contents ? static_cast<size_t>(contents->length()) : 0;
  if (platform::ReplaceWholeFile(path, bytes, length, 0666, &err) != platform::WholeFileResult::created) {
    throw QVException("Unable to write a record file.", kSourceFile, __LINE__,
                      qvexceptiontype::systemCallFailed, err);
  }
}

void QVSyncObjectNameRecordManager::addObjectToRecord(const QVSyncObjectNameRecord& given) {
  QVSyncObjectNameRecord record = given;
  QVMutex guard(mutexHandle);
  FillInRecordFile(record);
  const QVString& path = record.recordFile;
  try {
    QVSyncObjectNameRecordList records;
    if (fileManager.fileExistsAtPath(path)) records = ReadRecordFile(path);
    records.push_back(record);
    WriteRecordFile(path, QVSyncObjectNameRecordFileFormat().makeFileContents(records));
  } catch (const QVException& caught) {
    Wrap("File handle or file manager exception.", caught, __LINE__);
  }
}

void QVSyncObjectNameRecordManager::addObjectToRecord(const QVString& name, _qvsynctype type) {
  addObjectToRecord(QVSyncObjectNameRecord(name, type));
}

void QVSyncObjectNameRecordManager::removeObjectFromRecord(const QVSyncObjectNameRecord& given) {
  QVSyncObjectNameRecord record = given;
  QVMutex guard(mutexHandle);
  FillInRecordFile(record);
  const QVString& path = record.recordFile;
  if (!fileManager.fileExistsAtPath(path)) return;
  try {
    QVSyncObjectNameRecordList kept = ReadRecordFile(path);
    // One entry per registration, so one per removal: another object of the
    // same name made meanwhile (a link reopened under its name while the
    // old one's removals are still queued) keeps its entry.
    const auto found = std::find(kept.begin(), kept.end(), record);
    if (found == kept.end()) return;  // nothing of this record: the file stays as it is
    kept.erase(found);
    if (kept.empty()) {
      fileManager.deleteFileAtPath(path);
    } else {
      WriteRecordFile(path, QVSyncObjectNameRecordFileFormat().makeFileContents(kept));
    }
  } catch (const QVException& caught) {
    Wrap("File handle or file manager error.", caught, __LINE__);
  }
}

void QVSyncObjectNameRecordManager::removeObjectFromRecord(const QVString& name,
                                                           _qvsynctype type) {
  removeObjectFromRecord(QVSyncObjectNameRecord(name, type));
}

void QVSyncObjectNameRecordManager::markObjectAsRemovedFromRecord(const QVString& name,
                                                                  _qvsynctype type) {
  QueuedRemoval removal{QVSyncObjectNameRecord(name, type), 0};
  {
    std::lock_guard<std::mutex> guard(queueLock);
    if (!writeRemovalsAtOnce) {
      Queue().push_back(removal);
      return;
    }
  }
  removeObjectFromRecord(removal.record);
}

void QVSyncObjectNameRecordManager::flushRemovedObjectsFromSystemRecord() { threadSync.Signal(); }

QVSyncObjectNameRecordList QVSyncObjectNameRecordManager::getRecordList() {
  QVSyncObjectNameRecordList result;
  QVMutex guard(mutexHandle);
  const QVStringList names = fileManager.entryNamesForDirectoryAtPath(recordFileDirectory);
  const QVSyncObjectNameRecordFileFormat format;
  for (const QVString& name : names) {
    if (!isValidRecordFileName(name)) continue;
    const QVString path = recordFileDirectory + getPathSeparator() + name;
    struct stat entry;
    if (lstat(path.c_str(), &entry) != 0 || !S_ISREG(entry.st_mode)) continue;
    std::unique_ptr<FileLockHold> hold;
    try {
      hold = std::make_unique<FileLockHold>(path);
    } catch (const QVException&) {
      continue;  // cannot be locked: passed over
    }
    if (!hold->heldQ()) continue;  // gone meanwhile
    try {
      // Decided and deleted under the file lock, and only while the name is
      // still the file read, so a record its owner rewrites meanwhile is
      // never deleted by mistake.
      QVSmartPointer<QVData> contents;
      if (!ReadRecordFileContents(path, &contents)) continue;  // passed over
      QVSyncObjectNameRecordList records;
      bool broken = !contents || contents->length() == 0;
      if (!broken) {
        try {
          records = format.interpretFileContents(contents);
        } catch (const QVException&) {
          broken = true;
        }
      }
      if (broken) {
        if (hold->stillAtQ(path)) fileManager.deleteFileAtPath(path);
        continue;
      }
      for (QVSyncObjectNameRecord& record : records) record.recordFile = path;
      result.splice(result.end(), records);
    } catch (const QVException& caught) {
      Wrap("File handle or file manager error.", caught, __LINE__);
    }
  }
  return result;
}

void QVSyncObjectNameRecordManager::removeAbandonedWrites() {
  QVMutex guard(mutexHandle);
  for (const QVString& name : fileManager.entryNamesForDirectoryAtPath(recordFileDirectory)) {
    pid_t writer = 0;
    if (!platform::UnfinishedWholeFileQ(name, &writer) || QVProcess::processIsAliveQ(writer)) continue;
    const QVString path = recordFileDirectory + getPathSeparator() + name;
    struct stat entry;
    if (lstat(path.c_str(), &entry) == 0 && S_ISREG(entry.st_mode)) unlink(path.c_str());
  }
}

bool QVSyncObjectNameRecordManager::isValidRecordFileName(const QVString& name) {
  if (name.size() < 2 || name[0] != 'q' || name[1] != 'v') return false;
  const size_t dash = name.find('-');
  const size_t dot = name.find('.');
  if (dash == QVString::npos || dot == QVString::npos) return false;
  if (name.compare(dot, QVString::npos, ".rec") != 0) return false;
  for (size_t at = 2; at < dash; ++at) {
    if (name[at] < '0' || name[at] > '9') return false;
  }
  return true;
}

void QVSyncObjectNameRecordManager::removeProcessRecord(int pid) {
  QVMutex guard(mutexHandle);
  const QVString path = recordFileDirectory + getPathSeparator() + RecordFileNameLocked(pid);
  if (!fileManager.fileExistsAtPath(path)) return;
  try {
    fileManager.deleteFileAtPath(path);
  } catch (const QVException& caught) {
    Wrap("File manager error.", caught, __LINE__);
  }
}

void QVSyncObjectNameRecordManager::removeProcessRecordFile(const QVString& path) {
  if (!fileManager.fileExistsAtPath(path)) return;
  QVMutex guard(mutexHandle);
  try {
    fileManager.deleteFileAtPath(path);
  } catch (const QVException& caught) {
    Wrap("File manager error.", caught, __LINE__);
  }
}

void QVSyncObjectNameRecordManager::reset() {
  QVMutex guard(mutexHandle);
  recordFileSuffixes.clear();
}

void QVSyncObjectNameRecordManager::print(std::ostream& os) const {
  os << "<QVSyncObjectNameRecordManager><recordFileDirectory>" << recordFileDirectory
     << "</recordFileDirectory><mutexHandle>" << static_cast<const void*>(mutexHandle)
     << "</mutexHandle></QVSyncObjectNameRecordManager>";
}

std::ostream& operator<<(std::ostream& os, const QVSyncObjectNameRecordManager& manager) {
  manager.print(os);
  return os;
}

}  // namespace Quorvane

#include "device/qvshmrecordmanager.h"

#include <sys/stat.h>

#include <cerrno>

#include "utilities/platform/qvfilelock_linux.h"
#include "utilities/platform/qvwholefile.h"
#include "utilities/qvexception.h"
#include "utilities/qvfilehandle.h"
#include "utilities/qvprocess.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {

constexpr char kSourceFile[] = "device/qvshmrecordmanager";
constexpr char kPrefix[] = "qvshm-";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr char kSuffix[] = ".rec";
constexpr size_t kSuffixLength = sizeof kSuffix - 1;
// A file replaced this often while we wait for its lock is given up.
constexpr int kLockAttempts = 1000;
// Every user of the machine may join a record.
constexpr mode_t kRecordMode = 0666;

[[noreturn]] void Fail(const char* message, unsigned int line, qvexceptiontype type, int code) {
  throw QVException(message, kSourceFile, line, type, code);
}

// A failure of the file layer, passed on with its type as the code.
[[noreturn]] void Wrap(const char* message, const QVException& caught, unsigned int line) {
  Fail(message, line, qvexceptiontype::wrapped, static_cast<int>(caught.getType()));
}

// Holds the lock of the file the path names now, or finds there is none: a
// lock never makes the file, since another process that locked it first
// would find it empty and call the segment stale. A file deleted or replaced
// while we waited is locked again under its new identity; anything but a
// regular file (a link or FIFO planted in the shared directory) is refused.
class RecordLock {
 public:
  explicit RecordLock(const QVString& path) {
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
      RefuseOddFile(path);
      int err = 0;
      if (platform::LockExistingWholeFile(path, &key_, &err) != platform::FileLockResult::ok) {
        if (err == ENOENT) {
          missing_ = true;
          return;
        }
        Fail("Unable to lock a record file.", __LINE__, qvexceptiontype::systemCallFailed, err);
      }
      struct stat st = {};
      if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == key_.device &&
          st.st_ino == key_.inode) {
        empty_ = st.st_size == 0;
        mode_ = st.st_mode & 07777;
        return;
      }
      platform::UnlockWholeFile(key_, &err);
    }
    Fail("Record file keeps changing.", __LINE__, qvexceptiontype::systemCallFailed, EAGAIN);
  }
  ~RecordLock() {
    if (missing_) return;
    int err = 0;
    platform::UnlockWholeFile(key_, &err);
  }
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;

  // No file at the path: nothing is locked.
  bool missingQ() const { return missing_; }
  // A record file is made whole and never left empty under the lock, so an
  // empty one holds no record: junk.
  bool emptyQ() const { return empty_; }
  // The locked file's permission bits.
  mode_t mode() const { return mode_; }

 private:
  static void RefuseOddFile(const QVString& path) {
    struct stat st = {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      Fail("Record file is not a regular file.", __LINE__, qvexceptiontype::systemCallFailed,
           EINVAL);
    }
  }

  platform::FileLockKey key_;
  bool missing_ = false;
  bool empty_ = false;
  mode_t mode_ = 0;
};

// The record of a locked file; type 15 for one too long to be a record.
QVSHMRecord ReadRecord(const QVString& path) {
  constexpr unsigned long kLimit = QVSHMRecordManager::kMaximumRecordLength;
  QVSmartPointer<QVData> contents =
      QVFileHandle::fileHandleForReadingAtPath(path)->readDataOfLength(kLimit + 1);
  if (contents && contents->length() > kLimit) {
    Fail("Record file has invalid format.", __LINE__, qvexceptiontype::badRecordFile, 0);
  }
  return QVSHMRecordFileFormat().interpretFileContents(contents);
}

// Replaces a locked file whole, with the given mode: the new record goes
// into a file of its own that then takes the name, so a reader, or a writer
// killed midway, never finds it empty or cut short. The lock is the old
// file's: whoever waits for it finds the name on another file once it has
// it, and locks that one (RecordLock), so updates still follow one another.
// Nothing is done to the name after the replacement.
void WriteRecord(const QVString& path, const QVString& name, const QVSHMRecord& record, mode_t mode) {
  QVSmartPointer<QVData> contents = QVSHMRecordFileFormat().makeFileContents(name, record);
  int err = 0;
  if (platform::ReplaceWholeFile(path, contents->bytes(), static_cast<size_t>(contents->length()), mode, &err) !=
      platform::WholeFileResult::created) {
    Fail("Unable to write a record file.", __LINE__, qvexceptiontype::systemCallFailed, err);
  }
}

// Makes the missing record file with its contents already in it (mode 0666):
// false when another process made it first.
bool CreateRecord(const QVString& path, const QVString& name, const QVSHMRecord& record) {
  QVSmartPointer<QVData> contents = QVSHMRecordFileFormat().makeFileContents(name, record);
  int err = 0;
  switch (platform::CreateWholeFile(path, contents->bytes(), static_cast<size_t>(contents->length()), kRecordMode,
                                    &err)) {
    case platform::WholeFileResult::created: return true;
    case platform::WholeFileResult::exists: return false;
    case platform::WholeFileResult::failed: break;
  }
  Fail("Unable to make a record file.", __LINE__, qvexceptiontype::systemCallFailed, err);
}

// A process joins the record: the first free slot, or the first slot taken
// over when both name other processes; both slots its own become one.
QVSHMRecord WithProcess(QVSHMRecord r, int pid) {
  auto& [a, b] = r;
  if (a == 0 && b == 0) {
    a = pid;
  } else if (a == 0) {
    if (b != pid) a = pid;
  } else if (b == 0) {
    if (a != pid) b = pid;
  } else if (a == pid && b == pid) {
    b = 0;
  } else if (a != pid && b != pid) {
    a = pid;
  }
  return r;
}

}  // namespace

QVSHMRecordManager::QVSHMRecordManager() : QVSHMRecordManager(getThreadSyncDir()) {
  initSyncObjectDir();  // records may come before the first sync object
}

QVSHMRecordManager::QVSHMRecordManager(const QVString& directory)
    : recordFileDirectory(directory) {
  managerLock = QVThreadsFactory().CreateUnnamedHandle(QVInProcessMutex, false);
  if (managerLock == nullptr) {
    Fail("Cannot make the record manager lock", __LINE__, qvexceptiontype::outOfMemory, 0);
  }
}

QVSHMRecordManager::~QVSHMRecordManager() { delete managerLock; }

QVString QVSHMRecordManager::makeFileName(const QVString& name) {
  return QVString(kPrefix) + name + kSuffix;
}

// Whatever lies between the prefix and the suffix is the segment's name, dots
// included: a record whose segment name holds a dot must still be found, or
// its segment outlives its users for good.
bool QVSHMRecordManager::isValidRecordFileName(const QVString& fileName) {
  return fileName.size() >= kPrefixLength + kSuffixLength && fileName.compare(0, kPrefixLength, kPrefix) == 0 &&
         fileName.compare(fileName.size() - kSuffixLength, kSuffixLength, kSuffix) == 0;
}

QVString QVSHMRecordManager::segmentNameFromFileName(const QVString& fileName) {
  if (fileName.size() <= kPrefixLength) return QVString();
  if (fileName.size() >= kPrefixLength + kSuffixLength &&
      fileName.compare(fileName.size() - kSuffixLength, kSuffixLength, kSuffix) == 0) {
    return fileName.substr(kPrefixLength, fileName.size() - kSuffixLength - kPrefixLength);
  }
  // Not a record file's name: read up to its first dot, as ever.
  const size_t dot = fileName.find('.', kPrefixLength);
  const size_t end = dot == QVString::npos ? fileName.size() : dot;
  return fileName.substr(kPrefixLength, end - kPrefixLength);
}

// A name that would lead out of the directory names no record.
QVString QVSHMRecordManager::RecordPath(const QVString& name) const {
  if (name.find('/') != QVString::npos || name.find('\0') != QVString::npos) {
    Fail("Segment name cannot name a record file.", __LINE__, qvexceptiontype::badArgument, 0);
  }
  return recordFileDirectory + getPathSeparator() + makeFileName(name);
}

// Every file an add writes has its mode before it takes the name.
void QVSHMRecordManager::Add(const QVString& name, int pid, const char* failure) {
  if (pid < 1) Fail("No process id to record.", __LINE__, qvexceptiontype::badArgument, 0);
  const QVString path = RecordPath(name);
  QVMutex guard(managerLock);
  bool done = false;
  try {
    for (int attempt = 0; attempt < kLockAttempts && !done; ++attempt) {
      RecordLock lock(path);
      if (lock.missingQ()) {
        done = CreateRecord(path, name, WithProcess(QVSHMRecord{0, 0}, pid));
        continue;
      }
      const QVSHMRecord before = lock.emptyQ() ? QVSHMRecord{0, 0} : ReadRecord(path);
      WriteRecord(path, name, WithProcess(before, pid), kRecordMode);
      done = true;
    }
    if (!done) Fail("Record file keeps changing.", __LINE__, qvexceptiontype::systemCallFailed, EAGAIN);
  } catch (const QVException& caught) {
    Wrap(failure, caught, __LINE__);
  }
}

void QVSHMRecordManager::makeRecordOfSegmentNameUsedByProcess(const QVString& name, int pid) {
  Add(name, pid, "Error from file handle or file manager.");
}

void QVSHMRecordManager::addProcessIDToSegmentRecord(const QVString& name, int pid) {
  Add(name, pid, "File handle or file manager exception.");
}

void QVSHMRecordManager::removeProcessIDFromSegmentRecord(const QVString& name, int pid) {
  const QVString path = RecordPath(name);
  QVMutex guard(managerLock);
  try {
    if (!fileManager.fileExistsAtPath(path)) return;
    RecordLock lock(path);
    if (lock.missingQ()) return;
    QVSHMRecord record{0, 0};
    if (!lock.emptyQ()) record = ReadRecord(path);
    if (record.first == pid) record.first = 0;
    if (record.second == pid) record.second = 0;
    if (record.first == 0 && record.second == 0) {
      fileManager.deleteFileAtPath(path);  // under the lock: no one refills it meanwhile
    } else {
      WriteRecord(path, name, record, lock.mode());  // a removal keeps the mode
    }
  } catch (const QVException& caught) {
    Wrap("File handle or file manager exception.", caught, __LINE__);
  }
}

void QVSHMRecordManager::removeSegmentRecord(const QVString& name) {
  const QVString path = RecordPath(name);
  QVMutex guard(managerLock);
  try {
    fileManager.deleteFileAtPath(path);
  } catch (const QVException& caught) {
    Wrap("File manager exception.", caught, __LINE__);
  }
}

bool QVSHMRecordManager::segmentStillActiveQ(const QVString& name) {
  const QVString path = RecordPath(name);
  QVMutex guard(managerLock);
  QVSHMRecord record{0, 0};
  try {
    if (!fileManager.fileExistsAtPath(path)) return false;
    // A record that does not parse is read once more, under a fresh hold of
    // the lock, before the segment counts as stale.
    bool parsed = false;
    for (int attempt = 0; attempt < 2 && !parsed; ++attempt) {
      RecordLock lock(path);
      if (lock.missingQ()) return false;
      if (lock.emptyQ()) {
        fileManager.deleteFileAtPath(path);
        return false;
      }
      try {
        record = ReadRecord(path);
        parsed = true;
      } catch (const QVException& caught) {
        if (caught.getType() != qvexceptiontype::badRecordFile) throw;
      }
    }
    if (!parsed) return false;
  } catch (const QVException& caught) {
    Wrap("File manager or file handle exception.", caught, __LINE__);
  }
  return QVProcess::processIsAliveQ(record.first) || QVProcess::processIsAliveQ(record.second);
}

QVStringList QVSHMRecordManager::getRecordList() {
  QVStringList names;
  QVMutex guard(managerLock);
  try {
    for (const QVString& entry : fileManager.entryNamesForDirectoryAtPath(recordFileDirectory)) {
      if (isValidRecordFileName(entry)) names.push_back(segmentNameFromFileName(entry));
    }
  } catch (const QVException& caught) {
    Wrap("File handle or file manager operation failed.", caught, __LINE__);
  }
  return names;
}

void QVSHMRecordManager::print(std::ostream& os) const {
  os << "<QVSHMRecordManager>";
  if (!recordFileDirectory.empty()) {
    os << "<recordFileDirectory>" << recordFileDirectory << "</recordFileDirectory>";
  }
  os << "</QVSHMRecordManager>";
}

std::ostream& operator<<(std::ostream& os, const QVSHMRecordManager& manager) {
  manager.print(os);
  return os;
}

}  // namespace Quorvane

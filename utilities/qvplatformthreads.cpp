#include "utilities/qvplatformthreads.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "utilities/qvexception.h"
#include "utilities/qvsyncobjectrecording.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvplatformthreads";
constexpr char kFillerBytes[] = "FillerBytes\n";
constexpr size_t kFillerLength = sizeof(kFillerBytes) - 1;

// A record lock on the first byte of a lock file marks a handle that uses it:
// shared while the handle lives, exclusive (never waited for) while the last
// one removes the file. Locks of the open file itself, so they are
// independent of other descriptors of this process and of flock.
bool UsageLock(int fd, short type, bool wait) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 1;
  while (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// True when path still names the file open on fd (it may have been removed by
// the last user between our open and our usage lock).
bool SameFile(int fd, const QVString& path) {
  struct stat mine = {};
  struct stat named = {};
  if (fstat(fd, &mine) != 0 || stat(path.c_str(), &named) != 0) return false;
  return mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

// Removes the lock file open on fd when no handle uses it. Whoever holds the
// exclusive usage lock is the only one that may unlink the name, and only
// while the name is still its file; an opener that comes meanwhile waits on
// that lock, then finds the name gone and makes the file again.
bool UnlinkIfUnused(int fd, const QVString& path) {
  return UsageLock(fd, F_WRLCK, false) && SameFile(fd, path) && unlink(path.c_str()) == 0;
}

[[noreturn]] void ThrowErrno(const char* what, int line, int error) {
  throw QVException(what, kSourceFile, line, qvexceptiontype::systemCallFailed, error);
}
}  // namespace

QVFileLockingMutexHandle::QVFileLockingMutexHandle(const QVString& lockName)
    : path(makeFileLockingIPCName(lockName)), name(lockName) {
  while (true) {
    int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor >= 0) {
      // Set the mode directly rather than clearing the process-wide umask,
      // which other threads may be relying on at this moment.
      fchmod(descriptor, 0666);
    } else if (errno == EEXIST) {
      descriptor = open(path.c_str(), O_RDWR | O_CLOEXEC);
      if (descriptor < 0 && errno == ENOENT) continue;  // removed meanwhile: make it again
    }
    if (descriptor < 0) ThrowErrno("Open error.", __LINE__, errno);
    if (!UsageLock(descriptor, F_RDLCK, true)) {
      const int error = errno;
      close(descriptor);
      ThrowErrno("Open error.", __LINE__, error);
    }
    if (SameFile(descriptor, path)) {
      fd = descriptor;
      break;
    }
    close(descriptor);  // the last user removed it before we marked ourselves
  }
  if (pwrite(fd, kFillerBytes, kFillerLength, 0) != static_cast<ssize_t>(kFillerLength)) {
    const int error = errno;
    UsageLock(fd, F_UNLCK, false);
    UnlinkIfUnused(fd, path);  // not left behind when no one else uses it
    close(fd);
    ThrowErrno("Write error.", __LINE__, error);
  }
  RecordSyncObject(name, kSyncRecordFileMutex);
}

QVFileLockingMutexHandle::~QVFileLockingMutexHandle() {
  // A forked child shares the parent's open file, and with it the parent's
  // usage lock: it lets go of the descriptor and leaves the name alone.
  if (getpid() == owner) {
    // Our own mark goes first: two last users closing at once would each
    // still see the other's and neither would remove the file. Of two that
    // try in turn, the later finds the earlier's mark gone.
    UsageLock(fd, F_UNLCK, false);
    UnlinkIfUnused(fd, path);
  }
  close(fd);
  RecordSyncObjectRemoval(name, kSyncRecordFileMutex);
}

bool RemoveLockFileIfUnused(const QVString& path, uid_t owner) {
  const int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st = {};
  bool removed = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == owner) {
    removed = UnlinkIfUnused(fd, path);
  }
  close(fd);
  return removed;
}

bool QVFileLockingMutexHandle::Lock() {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) ThrowErrno("Fcntl error during lock.", __LINE__, errno);
  }
  locked.store(true, std::memory_order_relaxed);
  return true;
}

bool QVFileLockingMutexHandle::Unlock() {
  locked.store(false, std::memory_order_relaxed);
  if (flock(fd, LOCK_UN) != 0) {
    const int error = errno;
    locked.store(true, std::memory_order_relaxed);
    ThrowErrno("Fcntl error during unlock.", __LINE__, error);
  }
  return true;
}

QVPthreadMutexHandle::QVPthreadMutexHandle(bool recursive) {
  int rc;
  if (recursive) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    rc = pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  } else {
    rc = pthread_mutex_init(&mutex_, nullptr);
  }
  if (rc != 0) {
    throw QVException("Pthread_mutex_init error.", kSourceFile, __LINE__,
                      qvexceptiontype::systemCallFailed, rc);
  }
}

QVPthreadMutexHandle::~QVPthreadMutexHandle() { pthread_mutex_destroy(&mutex_); }

bool QVPthreadMutexHandle::Lock() {
  if (pthread_mutex_lock(&mutex_) != 0) return false;
  locked.store(true, std::memory_order_relaxed);
  return true;
}

bool QVPthreadMutexHandle::Unlock() {
  // Cleared while still held, so that the next holder's Lock cannot be undone.
  locked.store(false, std::memory_order_relaxed);
  if (pthread_mutex_unlock(&mutex_) != 0) {
    locked.store(true, std::memory_order_relaxed);
    return false;
  }
  return true;
}

}  // namespace Quorvane

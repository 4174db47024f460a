#include "utilities/qvplatformthreads.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "utilities/qvexception.h"
#include "utilities/qvsharedfileusage.h"
#include "utilities/qvsyncobjectrecording.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvplatformthreads";
constexpr char kFillerBytes[] = "FillerBytes\n";
constexpr size_t kFillerLength = sizeof(kFillerBytes) - 1;

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
    if (!sharedfile::MarkInUse(descriptor)) {
      const int error = errno;
      close(descriptor);
      ThrowErrno("Open error.", __LINE__, error);
    }
    if (sharedfile::NamesFileQ(descriptor, path)) {
      fd = descriptor;
      break;
    }
    close(descriptor);  // the last user removed it before we marked ourselves
  }
  if (pwrite(fd, kFillerBytes, kFillerLength, 0) != static_cast<ssize_t>(kFillerLength)) {
    const int error = errno;
    sharedfile::UnmarkInUse(fd);
    sharedfile::UnlinkIfUnused(fd, path);  // not left behind when no one else uses it
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
    sharedfile::UnmarkInUse(fd);
    sharedfile::UnlinkIfUnused(fd, path);
  }
  close(fd);
  RecordSyncObjectRemoval(name, kSyncRecordFileMutex);
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

#include "utilities/platform/qvfilelock_linux.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <list>

#include "utilities/qvuniquefd.h"

namespace Quorvane::platform {

namespace {

struct HeldLock {
  FileLockKey key;
  int fd;
  pid_t pid;         // the process that took it; a forked child inherits the table
  pthread_t holder;  // the thread that took it
  unsigned depth;
};

using HeldLockList = std::list<HeldLock, QVStdAllocator<HeldLock>>;

// Never destroyed: locks may be let go from static destructors.
HeldLockList& Table() {
  static auto* table = new HeldLockList();
  return *table;
}

// A plain static mutex: the table must be usable before (and without) the
// sync directory that the library's own lock objects need.
pthread_mutex_t tableMutex = PTHREAD_MUTEX_INITIALIZER;

// A fork taken while another thread works on the table would leave the
// child's copy of the mutex locked for good: the fork waits for the table,
// and both sides let it go after.
void HoldTableForFork() { pthread_mutex_lock(&tableMutex); }
void ReleaseTableAfterFork() { pthread_mutex_unlock(&tableMutex); }
[[maybe_unused]] const int kForkHandlers = pthread_atfork(HoldTableForFork, ReleaseTableAfterFork, ReleaseTableAfterFork);

class TableGuard {
 public:
  TableGuard() { pthread_mutex_lock(&tableMutex); }
  ~TableGuard() { pthread_mutex_unlock(&tableMutex); }
  TableGuard(const TableGuard&) = delete;
  TableGuard& operator=(const TableGuard&) = delete;
};

bool SameKey(const FileLockKey& a, const FileLockKey& b) {
  return a.device == b.device && a.inode == b.inode;
}

bool KeyOf(int fd, FileLockKey* key) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  key->device = st.st_dev;
  key->inode = st.st_ino;
  return true;
}

// Opens read-write an existing file.
int OpenExisting(const QVString& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens read-write, creating a missing file with 0666 whatever the umask.
int OpenOrCreate(const QVString& path) {
  int fd = OpenExisting(path);
  if (fd >= 0 || errno != ENOENT) return fd;
  mode_t old = umask(0);
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  int saved = errno;
  umask(old);
  errno = saved;
  return fd;
}

int WholeFileLock(int fd, short type, int command) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  fl.l_pid = 0;  // must be 0 for description locks
  int rc;
  do {
    rc = fcntl(fd, command, &fl);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

// Entries copied into a forked child name descriptors that belong to the
// parent's locks: the child forgets them without unlocking (an unlock through
// a shared description would release the parent's lock). The descriptor is
// closed only while it still names the same file. Table lock held.
void ForgetInheritedLocks() {
  const pid_t self = getpid();
  auto& table = Table();
  for (auto it = table.begin(); it != table.end();) {
    if (it->pid == self) {
      ++it;
      continue;
    }
    FileLockKey now;
    if (KeyOf(it->fd, &now) && SameKey(now, it->key)) ::close(it->fd);
    it = table.erase(it);
  }
}

HeldLockList::iterator FindOwn(const FileLockKey& key) {
  auto& table = Table();
  for (auto it = table.begin(); it != table.end(); ++it) {
    if (SameKey(it->key, key)) return it;
  }
  return table.end();
}

// Waits for the lock of an opened file (taken over, closed on failure).
FileLockResult LockOpened(int opened, FileLockKey* key, int* err) {
  detail::QVUniqueFd fd(opened);
  if (!fd.valid() || !KeyOf(fd.get(), key)) {
    *err = errno;
    return FileLockResult::openFailed;
  }
  {
    TableGuard guard;
    ForgetInheritedLocks();
    auto it = FindOwn(*key);
    if (it != Table().end() && pthread_equal(it->holder, pthread_self())) {
      ++it->depth;
      return FileLockResult::ok;
    }
  }
  // Waits for other processes and for other threads of this one alike.
  if (WholeFileLock(fd.get(), F_WRLCK, F_OFD_SETLKW) != 0) {
    *err = errno;
    return FileLockResult::lockFailed;
  }
  TableGuard guard;
  Table().push_back(HeldLock{*key, fd.get(), getpid(), pthread_self(), 1});
  fd.release();
  return FileLockResult::ok;
}

}  // namespace

FileLockResult LockWholeFile(const QVString& path, FileLockKey* key, int* err) {
  return LockOpened(OpenOrCreate(path), key, err);
}

FileLockResult LockExistingWholeFile(const QVString& path, FileLockKey* key, int* err) {
  return LockOpened(OpenExisting(path), key, err);
}

FileLockResult UnlockWholeFile(const FileLockKey& key, int* err) {
  TableGuard guard;
  ForgetInheritedLocks();
  auto it = FindOwn(key);
  if (it == Table().end()) return FileLockResult::ok;
  if (--it->depth > 0) return FileLockResult::ok;
  int rc = WholeFileLock(it->fd, F_UNLCK, F_OFD_SETLK);
  int saved = errno;
  // Closing the last descriptor of the description releases the lock anyway.
  ::close(it->fd);
  Table().erase(it);
  if (rc != 0) {
    *err = saved;
    return FileLockResult::lockFailed;
  }
  return FileLockResult::ok;
}

FileLockResult UnlockWholeFileAtPath(const QVString& path, int* err) {
  detail::QVUniqueFd fd(OpenOrCreate(path));
  FileLockKey key;
  if (!fd.valid() || !KeyOf(fd.get(), &key)) {
    *err = errno;
    return FileLockResult::openFailed;
  }
  {
    TableGuard guard;
    ForgetInheritedLocks();
    if (FindOwn(key) == Table().end()) {
      // Not held here: the release through a fresh description is a no-op
      // kept only so that a refused call still reports.
      if (WholeFileLock(fd.get(), F_UNLCK, F_OFD_SETLK) != 0) {
        *err = errno;
        return FileLockResult::lockFailed;
      }
      return FileLockResult::ok;
    }
  }
  return UnlockWholeFile(key, err);
}

FileLockResult WholeFileLockedByAnother(const QVString& path, bool* locked, int* err) {
  *locked = false;
  detail::QVUniqueFd fd(OpenExisting(path));
  if (!fd.valid()) {
    if (errno == ENOENT) return FileLockResult::ok;
    *err = errno;
    return FileLockResult::openFailed;
  }
  FileLockKey key;
  if (!KeyOf(fd.get(), &key)) {
    *err = errno;
    return FileLockResult::openFailed;
  }
  {
    // While this process holds the write lock no other process can.
    TableGuard guard;
    ForgetInheritedLocks();
    if (FindOwn(key) != Table().end()) return FileLockResult::ok;
  }
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  fl.l_pid = 0;
  if (fcntl(fd.get(), F_OFD_GETLK, &fl) != 0) {
    *err = errno;
    return FileLockResult::lockFailed;
  }
  *locked = fl.l_type != F_UNLCK;
  return FileLockResult::ok;
}

}  // namespace Quorvane::platform

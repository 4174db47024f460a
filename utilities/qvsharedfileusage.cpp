#include "utilities/qvsharedfileusage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Quorvane::sharedfile {

namespace {

// Locks of the open file itself (not of the process), independent of other
// descriptors of this process and of flock: shared while a use lasts,
// exclusive, never waited for, while a removal decides.
bool UsageLock(int fd, short type, bool wait) noexcept {
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

}  // namespace

bool MarkInUse(int fd) noexcept { return UsageLock(fd, F_RDLCK, true); }

void UnmarkInUse(int fd) noexcept {
  const int saved = errno;
  UsageLock(fd, F_UNLCK, false);
  errno = saved;
}

bool NamesFileQ(int fd, const QVString& path) noexcept {
  struct stat mine = {};
  struct stat named = {};
  if (fstat(fd, &mine) != 0 || lstat(path.c_str(), &named) != 0) return false;
  return mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

// An opener that comes meanwhile waits on the exclusive lock, then finds the
// name gone and makes the file again (or fails to open it).
bool UnlinkIfUnused(int fd, const QVString& path) noexcept {
  const int saved = errno;
  const bool removed = UsageLock(fd, F_WRLCK, false) && NamesFileQ(fd, path) && unlink(path.c_str()) == 0;
  errno = saved;
  return removed;
}

// While the mark stands no one holds the lock exclusively, so no one else
// removes the name, and no newer file can take it before this removal.
bool UnlinkOwnFile(int fd, const QVString& path) noexcept {
  const int saved = errno;
  const bool removed = NamesFileQ(fd, path) && unlink(path.c_str()) == 0;
  errno = saved;
  return removed;
}

bool RemoveIfUnused(const QVString& path, Kind kind, uid_t owner) noexcept {
  // Read and write, so the exclusive lock can be tried; never blocks, FIFO or not.
  const int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st = {};
  bool removed = false;
  if (fstat(fd, &st) == 0 && st.st_uid == owner) {
    const bool ofKind = kind == Kind::regular ? S_ISREG(st.st_mode) : S_ISFIFO(st.st_mode);
    removed = ofKind && UnlinkIfUnused(fd, path);
  }
  close(fd);
  return removed;
}

}  // namespace Quorvane::sharedfile

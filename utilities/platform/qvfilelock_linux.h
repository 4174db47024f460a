// Whole-file write locks that last from lock to unlock. They are taken on the
// open file description (Linux OFD locks), and the locked descriptor is kept
// open until the unlock, so other descriptors of the same file opened and
// closed in between (reading or rewriting it) do not drop the lock.
#pragma once

#include <sys/types.h>

#include "utilities/qvobject.h"

namespace Quorvane::platform {

enum class FileLockResult { ok, openFailed, lockFailed };

// Identity of a locked file, independent of the path spelling.
struct FileLockKey {
  dev_t device = 0;
  ino_t inode = 0;
};

// Opens the file read-write, creating it (0666 under a umask of 0) when it is
// missing, and waits for a write lock on the whole file. A thread that already
// holds the lock takes it again (counted); other threads of this process wait
// like other processes do. err gets errno on failure.
FileLockResult LockWholeFile(const QVString& path, FileLockKey* key, int* err);

// The same for a file that exists already: a missing one is never made
// (openFailed, ENOENT in err), so no one else can find it empty.
FileLockResult LockExistingWholeFile(const QVString& path, FileLockKey* key, int* err);

// Gives up one hold of the lock taken by this process on the file; the last
// one releases it and closes the kept descriptor.
FileLockResult UnlockWholeFile(const FileLockKey& key, int* err);

// Opens (or creates) the file as the lock does and gives up this process's
// lock on it; nothing to do when the process does not hold it.
FileLockResult UnlockWholeFileAtPath(const QVString& path, int* err);

// *locked is true when another process holds a conflicting lock; a lock held
// by this process is never reported. A missing file is not locked.
FileLockResult WholeFileLockedByAnother(const QVString& path, bool* locked, int* err);

}  // namespace Quorvane::platform

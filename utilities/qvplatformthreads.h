// Lock kinds over the operating system's primitives.
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include "utilities/qvsyncobject.h"
#include "utilities/qvthreadprimitives.h"

namespace Quorvane {

// In-process mutex over a POSIX thread mutex, optionally recursive.
class QVPthreadMutexHandle : public QVMutexHandle, public QVUnixSyncObject {
 public:
  explicit QVPthreadMutexHandle(bool recursive);
  ~QVPthreadMutexHandle() override;

  bool Lock() override;
  bool Unlock() override;

 private:
  pthread_mutex_t mutex_;
};

// Named cross-process mutex: an exclusive flock on a lock file in the sync
// directory. Every handle opens the file itself, so two handles on one name
// exclude each other within one process as well as across processes.
//
// The file is removed by the last handle that uses it, and never while another
// uses it (each handle marks it in use while it lives, utilities/
// qvsharedfileusage.h), so a name keeps meaning one lock for as long as any
// handle in any process holds it. Files left by processes that died are left
// to the record clean-up, which removes those no one uses.
class QVFileLockingMutexHandle : public QVMutexHandle, public QVUnixSyncObject {
 public:
  explicit QVFileLockingMutexHandle(const QVString& name);
  ~QVFileLockingMutexHandle() override;

  // Throw type 4 when the system refuses.
  bool Lock() override;
  bool Unlock() override;

  const QVString& getName() const { return name; }
  const QVString& getPath() const { return path; }

 private:
  int fd = -1;
  pid_t owner = getpid();  // a forked child's copy never removes the file
  QVString path;
  QVString name;
};

}  // namespace Quorvane

// Lock kinds over the operating system's primitives.
#pragma once

#include <pthread.h>

#include "utilities/qvthreadprimitives.h"

namespace Quorvane {

// In-process mutex over a POSIX thread mutex, optionally recursive.
class QVPthreadMutexHandle : public QVMutexHandle {
 public:
  explicit QVPthreadMutexHandle(bool recursive);
  ~QVPthreadMutexHandle() override;

  bool Lock() override;
  bool Unlock() override;

 private:
  pthread_mutex_t mutex_;
};

}  // namespace Quorvane

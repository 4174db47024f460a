#include "utilities/qvplatformthreads.h"

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvplatformthreads";
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

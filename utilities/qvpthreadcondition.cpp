#include "utilities/qvpthreadcondition.h"

#include <cerrno>
#include <ctime>

#include "utilities/qvexception.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvplatformthreads";

[[noreturn]] void ThrowResult(const char* what, int line, int result) {
  throw QVException(what, kSourceFile, line, qvexceptiontype::systemCallFailed, result);
}
}  // namespace

QVPthreadCondition::QVPthreadCondition() {
  int rc = pthread_mutex_init(&mutex, nullptr);
  if (rc != 0) ThrowResult("Pthread_mutex_init error.", __LINE__, rc);
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  // Deadlines on the monotonic clock: a change of the wall clock cannot
  // lengthen or cut short a wait.
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  rc = pthread_cond_init(&cond, &attributes);
  pthread_condattr_destroy(&attributes);
  if (rc != 0) {
    pthread_mutex_destroy(&mutex);
    ThrowResult("Pthread_cond_init error.", __LINE__, rc);
  }
}

QVPthreadCondition::~QVPthreadCondition() {
  pthread_cond_destroy(&cond);
  pthread_mutex_destroy(&mutex);
}

void QVPthreadCondition::Signal() {
  int rc = pthread_mutex_lock(&mutex);
  if (rc != 0) ThrowResult("Pthread_mutex_lock error.", __LINE__, rc);
  signalled = true;
  ++generation;
  const int broadcast = pthread_cond_broadcast(&cond);
  rc = pthread_mutex_unlock(&mutex);
  if (broadcast != 0) ThrowResult("Pthread_cond_broadcast error.", __LINE__, broadcast);
  if (rc != 0) ThrowResult("Pthread_mutex_unlock error.", __LINE__, rc);
}

bool QVPthreadCondition::Wait(long microseconds) {
  // -1 waits without limit; any other negative time-out is taken as 0.
  const bool unlimited = microseconds == -1;
  if (microseconds < 0 && !unlimited) microseconds = 0;
  timespec deadline = {};
  if (!unlimited) {
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += microseconds / 1000000;
    deadline.tv_nsec += (microseconds % 1000000) * 1000;
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000;
    }
  }
  int rc = pthread_mutex_lock(&mutex);
  if (rc != 0) ThrowResult("Pthread_mutex_lock error.", __LINE__, rc);
  bool got = signalled;
  if (!got && microseconds != 0) {
    const uint64_t start = generation;
    while (generation == start) {
      rc = unlimited ? pthread_cond_wait(&cond, &mutex)
                     : pthread_cond_timedwait(&cond, &mutex, &deadline);
      if (rc == ETIMEDOUT) break;
      if (rc != 0) {
        pthread_mutex_unlock(&mutex);
        ThrowResult("Pthread_cond_wait(timedwait) error.", __LINE__, rc);
      }
    }
    // A signal that came together with the time-out still counts.
    got = generation != start;
  }
  if (got) signalled = false;
  rc = pthread_mutex_unlock(&mutex);
  if (rc != 0) ThrowResult("Pthread_mutex_unlock error.", __LINE__, rc);
  return got;
}

void QVPthreadCondition::Reset() {
  int rc = pthread_mutex_lock(&mutex);
  if (rc != 0) ThrowResult("pthread_mutex_lock failed in QVPthreadCondition::Reset", __LINE__, rc);
  signalled = false;
  rc = pthread_mutex_unlock(&mutex);
  if (rc != 0) {
    ThrowResult("pthread_mutex_unlock failed in QVPthreadCondition::Reset", __LINE__, rc);
  }
}

int QVPthreadCondition::GetRawObject() {
  throw QVException("pthread condition has no associated file descriptor.", kSourceFile, __LINE__,
                    qvexceptiontype::internalError, 0);
}

bool QVPthreadCondition::PendingQ() {
  // Read under the lock rather than consuming and re-signalling, which would
  // briefly show the condition as clear to other threads.
  if (pthread_mutex_lock(&mutex) != 0) return false;
  const bool pending = signalled;
  pthread_mutex_unlock(&mutex);
  return pending;
}

}  // namespace Quorvane

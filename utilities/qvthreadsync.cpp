#include "utilities/qvthreadsync.h"

#include <exception>

#include "utilities/qvexception.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvthreads";
}

void* RunThreadableObject(void* object) {
  if (object == nullptr) return nullptr;
  auto* threadable = static_cast<QVThreadableObject*>(object);
  // A worker that fails ends alone: an exception leaving a thread would end
  // the whole process. Its owner still stops and joins it as usual.
  // Read outside the try block: there g++ 12, checking undefined behaviour,
  // takes its copy of the object pointer for maybe unset.
  const QVThreadableObject::ThreadFunction body = threadable->threadFunction;
  try {
    return (threadable->*body)();
  } catch (const QVException&) {
  } catch (const std::exception&) {
  }
  return nullptr;
}

QVThreadSync::QVThreadSync() {
  QVThreadsFactory factory;
  lockHandle = factory.CreateUnnamedHandle(QVInProcessMutex, false);
  if (lockHandle == nullptr) {
    throw QVException("Cannot allocate memory for lockHandle", kSourceFile, __LINE__,
                      qvexceptiontype::outOfMemory, 0);
  }
  try {
    conditionHandle = factory.CreateUnnamedCondition(QVPthreadConditionType);
  } catch (...) {
    delete lockHandle;
    throw;
  }
  if (conditionHandle == nullptr) {
    delete lockHandle;
    throw QVException("Cannot allocate memory for conditionHandle", kSourceFile, __LINE__,
                      qvexceptiontype::outOfMemory, 0);
  }
}

QVThreadSync::~QVThreadSync() {
  try {
    if (state == 1) StopRunning();
  } catch (...) {
    // Nothing may leave a destructor; the thread object below joins anyway.
  }
  delete threadHandle;
  delete conditionHandle;
  delete lockHandle;
}

void QVThreadSync::StopRunning() {
  shutdownThread.store(true);
  Signal();
  if (threadHandle != nullptr) threadHandle->Join();
  state = 0;
  shutdownThread.store(false);
}

void QVThreadSync::CreateThread(void* (*function)(void*), void* argument) {
  if (state == 1) StopRunning();
  // The previous worker (stopped here or by Stop) has been joined: free it.
  delete threadHandle;
  threadHandle = nullptr;
  threadHandle = new QVThread(function, argument);
  state = 1;
}

void QVThreadSync::CreateThread(QVThreadableObject* object) {
  CreateThread(&RunThreadableObject, object);
}

bool QVThreadSync::Lock() { return lockHandle != nullptr && lockHandle->Lock(); }
bool QVThreadSync::Unlock() { return lockHandle != nullptr && lockHandle->Unlock(); }
bool QVThreadSync::LockedQ() { return lockHandle != nullptr && lockHandle->LockedQ(); }

void QVThreadSync::Signal() {
  if (conditionHandle != nullptr) conditionHandle->Signal();
}

bool QVThreadSync::Wait(long microseconds) {
  return conditionHandle != nullptr && conditionHandle->Wait(microseconds);
}

bool QVThreadSync::Wait() { return Wait(-1); }

void QVThreadSync::Reset() {
  if (conditionHandle != nullptr) conditionHandle->Reset();
}

void QVThreadSync::Stop() {
  if (state == 1) StopRunning();
}

void QVThreadSync::print(std::ostream& os) const {
  os << "<QVThreadSync><lockHandle>" << static_cast<const void*>(lockHandle)
     << "</lockHandle><conditionHandle>" << static_cast<const void*>(conditionHandle)
     << "</conditionHandle><threadHandle>" << static_cast<const void*>(threadHandle)
     << "</threadHandle><shutdownThread>" << (shutdownThread.load() ? 1 : 0)
     << "</shutdownThread><state>" << state << "</state></QVThreadSync>";
}

std::ostream& operator<<(std::ostream& os, const QVThreadSync& sync) {
  sync.print(os);
  return os;
}

}  // namespace Quorvane

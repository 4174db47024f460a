#include "utilities/qvthreads.h"

#include "utilities/platform/qvthreadname.h"
#include "utilities/qvdescriptorconditions.h"
#include "utilities/qvplatformthreads.h"
#include "utilities/qvpthreadcondition.h"
#include "utilities/qvrandomstring.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvthreads";
constexpr char kPlatformSourceFile[] = "utilities/qvplatformthreads";

// Draws names of growing length until make gives an object: 16 names for each
// length from 6 to 56. A refusal of the system (type 4) tries the next name;
// any other exception goes to the caller.
template <typename Make>
auto MakeUnderRandomName(Make make) -> decltype(make(QVString())) {
  for (unsigned long length = 6; length <= 56; ++length) {
    for (int tries = 0; tries < 16; ++tries) {
      const QVString name = *QVRandomString(length).string();
      try {
        if (auto* made = make(name)) return made;
      } catch (const QVException& error) {
        if (error.getType() != qvexceptiontype::systemCallFailed) throw;
      }
    }
  }
  return nullptr;
}
}  // namespace

QVMutexHandle* QVThreadsFactory::CreateUnnamedHandle(_qvmutex kind, bool recursive) {
  if (kind == QVInProcessMutex) {
    return new QVPthreadMutexHandle(recursive);
  }
  return MakeUnderRandomName([kind](const QVString& name) -> QVMutexHandle* {
    if (kind == QVNamedMutex) return new QVFileLockingMutexHandle(name);
    return nullptr;
  });
}

QVMutexHandle* QVThreadsFactory::CreateUnnamedHandle(bool flag) {
  return CreateUnnamedHandle(QVNamedMutex, flag);
}

QVMutexHandle* QVThreadsFactory::CreateHandle(const QVString& name, _qvmutex kind,
                                              bool recursive) {
  switch (kind) {
    case QVInProcessMutex:
      return new QVPthreadMutexHandle(recursive);
    case QVNamedMutex:
      return new QVFileLockingMutexHandle(name);
    default:
      return nullptr;
  }
}

QVMutexHandle* QVThreadsFactory::CreateHandle(const QVString& name, bool /*flag*/) {
  return new QVFileLockingMutexHandle(name);
}

QVCondition* QVThreadsFactory::CreateCondition(const QVString& name, _qvcondition kind) {
  switch (kind) {
    case QVFifoConditionType:
      return new QVFifoCondition(name, QVCREATE);
    case QVPipeConditionType:
      return new QVPipeCondition();
    case QVPthreadConditionType:
      return new QVPthreadCondition();
    default:
      throw QVException("Unsupported condition type.", kPlatformSourceFile, __LINE__,
                        qvexceptiontype::internalError, 0);
  }
}

QVCondition* QVThreadsFactory::CreateCondition(const char* name, _qvcondition kind) {
  return CreateCondition(QVString(name == nullptr ? "" : name), kind);
}

QVCondition* QVThreadsFactory::CreateCondition(const QVString& name) {
  return new QVFifoCondition(name, QVCREATE);
}

QVCondition* QVThreadsFactory::OpenCondition(const QVString& name, _qvcondition kind) {
  switch (kind) {
    case QVFifoConditionType:
      return new QVFifoCondition(name, QVOPEN);
    case QVPthreadConditionType:
      return new QVPthreadCondition();
    case QVPipeConditionType:
      throw QVException("Pipe mode argument cannot be QVOPEN.", kPlatformSourceFile, __LINE__,
                        qvexceptiontype::badArgument, 0);
    default:
      throw QVException("Unsupported condition type", kPlatformSourceFile, __LINE__,
                        qvexceptiontype::internalError, 0);
  }
}

QVCondition* QVThreadsFactory::CreateUnnamedCondition(_qvcondition kind) {
  return MakeUnderRandomName(
      [this, kind](const QVString& name) { return CreateCondition(name.c_str(), kind); });
}

QVCondition* QVThreadsFactory::CreateUnnamedCondition() {
  return CreateUnnamedCondition(QVFifoConditionType);
}

QVThread* QVThreadsFactory::CreateThread(void* (*function)(void*), void* argument) {
  return new QVThread(function, argument);
}

QVThread* QVThreadsFactory::CreateThread(QVThreadableObject* object) {
  return new QVThread(&RunThreadableObject, object);
}

void QVThreadsFactory::SetThisThreadName(std::string_view name) noexcept { QVThread::SetName(name); }

QVThread::QVThread(void* (*function)(void*), void* argument) {
  if (function == nullptr) {
    throw QVException("Thread function argument cannot be a NULL pointer.", kSourceFile, __LINE__,
                      qvexceptiontype::internalError, 0);
  }
  try {
    thread = std::thread(function, argument);
  } catch (const std::system_error& error) {
    throw QVException("Error spawning QVThread", kSourceFile, __LINE__,
                      qvexceptiontype::systemCallFailed, error.code().value());
  }
}

QVThread::~QVThread() {
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // a thread that frees its own object cannot wait for itself
    return;
  }
  try {
    Join();
  } catch (const QVException&) {
  }
}

void QVThread::Join() {
  if (joined.load()) return;
  try {
    if (thread.joinable()) thread.join();
  } catch (const std::system_error& error) {
    throw QVException("Error joining QVThread", kSourceFile, __LINE__,
                      qvexceptiontype::systemCallFailed, error.code().value());
  }
  joined.store(true);
}

void QVThread::SetName(std::string_view name) noexcept {
  platform::SetCurrentThreadName(threadNamePrefix, name);
}

QVSmartPointer<QVMutexHandle> QVThreadsFactory::CreateHandlePointer(const QVString& name,
                                                                    _qvmutex kind) {
  QVMutexHandle* handle = CreateHandle(name, kind, false);
  if (handle == nullptr) return {};
  return QVSmartPointer<QVMutexHandle>(handle, CreateUnnamedHandle(QVInProcessMutex, false));
}

QVSmartPointer<QVMutexHandle> QVThreadsFactory::CreateUnnamedHandlePointer(_qvmutex kind,
                                                                           bool recursive) {
  QVMutexHandle* handle = CreateUnnamedHandle(kind, recursive);
  if (handle == nullptr) return {};
  return QVSmartPointer<QVMutexHandle>(handle, CreateUnnamedHandle(QVInProcessMutex, false));
}

QVMutexHandle* CreateUnnamedMutexHandle(_qvmutex kind) {
  QVThreadsFactory factory;
  return factory.CreateUnnamedHandle(kind, false);
}

QVSmartMutex::QVSmartMutex(const QVSmartPointer<QVMutexHandle>& handle) : handle_(handle) {
  if (handle_.get() == nullptr) {
    throw QVException("Argument cannot be NULL.", kSourceFile, __LINE__,
                      qvexceptiontype::badArgument, 0);
  }
  if (UsableQ()) handle_->Lock();
}

QVSmartMutex::~QVSmartMutex() {
  if (!UsableQ()) return;
  try {
    handle_->Unlock();
  } catch (const QVException&) {
  }
}

bool QVSmartMutex::UsableQ() const {
  return handle_.get() != nullptr && handle_.useCount() > 0 && handle_.ownsObjectQ();
}

}  // namespace Quorvane

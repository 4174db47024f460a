#include "utilities/qvthreads.h"

#include "utilities/qvplatformthreads.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvthreads";
}

QVMutexHandle* QVThreadsFactory::CreateUnnamedHandle(_qvmutex kind, bool recursive) {
  switch (kind) {
    case QVInProcessMutex:
      return new QVPthreadMutexHandle(recursive);
    default:
      return nullptr;
  }
}

QVMutexHandle* QVThreadsFactory::CreateHandle(const QVString& /*name*/, _qvmutex kind,
                                              bool recursive) {
  switch (kind) {
    case QVInProcessMutex:
      return new QVPthreadMutexHandle(recursive);
    default:
      return nullptr;
  }
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
  if (UsableQ()) handle_->Unlock();
}

bool QVSmartMutex::UsableQ() const {
  return handle_.get() != nullptr && handle_.useCount() > 0 && handle_.ownsObjectQ();
}

}  // namespace Quorvane

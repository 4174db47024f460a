// The one maker of locks (and, with the thread module, of conditions and
// threads), and the scoped locks over a handle.
#pragma once

#include "utilities/qvsmartpointer.h"
#include "utilities/qvthreadprimitives.h"

namespace Quorvane {

class QVThreadsFactory : public QVObject {
 public:
  // Kind 1: a new in-process mutex, recursive when asked.
  QVMutexHandle* CreateUnnamedHandle(_qvmutex kind, bool recursive);
  // Kind 1: a new in-process mutex (the name is not used); other kinds: NULL
  // until named locks exist.
  QVMutexHandle* CreateHandle(const QVString& name, _qvmutex kind, bool recursive);

  QVSmartPointer<QVMutexHandle> CreateHandlePointer(const QVString& name, _qvmutex kind);
  QVSmartPointer<QVMutexHandle> CreateUnnamedHandlePointer(_qvmutex kind, bool recursive);
};

// Holds a plain handle for the lifetime of a block; a null handle is allowed.
class QVMutex : public QVObject {
 public:
  explicit QVMutex(QVMutexHandle* handle) : handle_(handle) {
    if (handle_ != nullptr) handle_->Lock();
  }
  ~QVMutex() override {
    if (handle_ != nullptr) handle_->Unlock();
  }
  QVMutex(const QVMutex&) = delete;
  QVMutex& operator=(const QVMutex&) = delete;

 private:
  QVMutexHandle* handle_;
};

// Holds a counted handle for the lifetime of a block, keeping its own reference.
class QVSmartMutex : public QVObject {
 public:
  explicit QVSmartMutex(const QVSmartPointer<QVMutexHandle>& handle);
  ~QVSmartMutex() override;
  QVSmartMutex(const QVSmartMutex&) = delete;
  QVSmartMutex& operator=(const QVSmartMutex&) = delete;

 private:
  bool UsableQ() const;
  QVSmartPointer<QVMutexHandle> handle_;
};

}  // namespace Quorvane

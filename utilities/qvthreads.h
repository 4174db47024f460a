// The one maker of locks (and, with the thread module, of conditions and
// threads), and the scoped locks over a handle.
#pragma once

#include "utilities/qvcondition.h"
#include "utilities/qvsmartpointer.h"
#include "utilities/qvthreadprimitives.h"
#include "utilities/qvthreadsync.h"

namespace Quorvane {

// Stateless; make one on the stack for each use. Everything it returns is
// new and owned by the caller.
class QVThreadsFactory : public QVObject {
 public:
  // Kind 1: a new in-process mutex, recursive when asked. Kind 0: a named
  // mutex under a random name (lengths 6 to 56, 16 names each); NULL when no
  // name could be used.
  QVMutexHandle* CreateUnnamedHandle(_qvmutex kind, bool recursive);
  // A named mutex under a random name.
  QVMutexHandle* CreateUnnamedHandle(bool flag);
  // Kind 1: a new in-process mutex (the name is not used); kind 0: the named
  // mutex of that name; other kinds: NULL.
  QVMutexHandle* CreateHandle(const QVString& name, _qvmutex kind, bool recursive);
  // Always the named mutex of that name.
  QVMutexHandle* CreateHandle(const QVString& name, bool flag);

  QVSmartPointer<QVMutexHandle> CreateHandlePointer(const QVString& name, _qvmutex kind);
  QVSmartPointer<QVMutexHandle> CreateUnnamedHandlePointer(_qvmutex kind, bool recursive);

  // Kind 0: a FIFO condition made on name; kind 1: a pipe condition; kind 2: a
  // POSIX-thread condition (only kind 0 uses the name); type 1 for other kinds.
  QVCondition* CreateCondition(const QVString& name, _qvcondition kind);
  QVCondition* CreateCondition(const char* name, _qvcondition kind);
  QVCondition* CreateCondition(const QVString& name);
  // Kind 0: opens the existing FIFO condition of that name; kind 2: a new
  // POSIX-thread condition; kind 1: type 3; other kinds: type 1.
  QVCondition* OpenCondition(const QVString& name, _qvcondition kind);
  // A condition of the kind under a random name; NULL when no name could be used.
  QVCondition* CreateUnnamedCondition(_qvcondition kind);
  QVCondition* CreateUnnamedCondition();

  QVThread* CreateThread(void* (*function)(void*), void* argument);
  QVThread* CreateThread(QVThreadableObject* object);
  static void SetThisThreadName(std::string_view name) noexcept;
};

// Holds a plain handle for the lifetime of a block; a null handle is allowed.
class QVMutex : public QVObject {
 public:
  explicit QVMutex(QVMutexHandle* handle) : handle_(handle) {
    if (handle_ != nullptr) handle_->Lock();
  }
  // A failed unlock has nowhere to go from a destructor; it must not end the
  // program.
  ~QVMutex() override {
    if (handle_ == nullptr) return;
    try {
      handle_->Unlock();
    } catch (const QVException&) {
    }
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

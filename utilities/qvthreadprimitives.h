// The abstract lock of the library and the kinds it comes in.
#pragma once

#include <atomic>
#include <ostream>

#include "utilities/qvobject.h"

namespace Quorvane {

// Kinds of mutex: a named cross-process lock file, or an in-process mutex.
enum _qvmutex : int32_t {
  QVNamedMutex = 0,
  QVInProcessMutex = 1,
};

class QVMutexHandle : public QVObject {
 public:
  QVMutexHandle() = default;
  ~QVMutexHandle() override = default;
  QVMutexHandle(const QVMutexHandle&) = delete;
  // Locks are not copied; assignment leaves the object as it is.
  virtual QVMutexHandle& operator=(const QVMutexHandle&) { return *this; }

  virtual bool Lock() = 0;
  virtual bool Unlock() = 0;
  // True between a successful Lock and the next successful Unlock of this handle.
  virtual bool LockedQ() { return locked.load(std::memory_order_relaxed); }

 protected:
  // Read by any thread without the lock, hence atomic.
  std::atomic<bool> locked{false};
};

// A lock prints nothing (smart-pointer and device printers rely on this).
inline std::ostream& operator<<(std::ostream& os, const QVMutexHandle&) { return os; }

// The usual way to make the lock of a smart pointer, a dictionary, a buffer...:
// a non-recursive handle of the given kind; the caller owns it.
QVMutexHandle* CreateUnnamedMutexHandle(_qvmutex kind);

}  // namespace Quorvane

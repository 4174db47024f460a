// The abstract lock of the library and the kinds it comes in.
#pragma once

#include <atomic>
#include <ostream>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "utilities/qvexception.h"
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

// One thread started by the library. It runs from construction; the owner
// joins it (the destructor joins a thread that was not joined, so none is
// ever left running unowned).
class QVThread : public QVObject {
 public:
  // Prefix of every thread name the library gives.
  static constexpr char threadNamePrefix[] = "QV-";

  // Runs function(argument); type 1 for a null function, type 4 when the
  // thread cannot be started.
  QVThread(void* (*function)(void*), void* argument);
  // Runs a callable (see caught).
  template <typename F>
  QVThread(std::in_place_t, F&& body) : thread(std::forward<F>(body)) {}
  ~QVThread() override;
  QVThread(const QVThread&) = delete;
  QVThread& operator=(const QVThread&) = delete;

  // Waits for the thread to end; a second Join does nothing. Type 4 on failure.
  void Join();
  // True until the thread has been joined.
  bool StartedQ() const { return !joined.load(); }

  // Names the calling thread threadNamePrefix + name. The system shows its
  // first bytes (nothing where it cannot name threads); the whole name is kept
  // until the thread ends (platform/qvthreadname.h reads it). Never throws.
  static void SetName(std::string_view name) noexcept;

 private:
  std::atomic<bool> joined{false};
  std::thread thread;
};

// Starts a thread running a callable (usually a closure over its owner) and
// returns it; the caller owns it.
template <typename F>
QVThread* caught(F&& body) {
  try {
    return new QVThread(std::in_place, std::forward<F>(body));
  } catch (const std::system_error& error) {
    throw QVException("Error spawning QVThread", "utilities/qvthreadprimitives", __LINE__,
                      qvexceptiontype::systemCallFailed, error.code().value());
  }
}

}  // namespace Quorvane

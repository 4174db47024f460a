// Reference-counted handle whose count, owner flag and lock are shared by all
// copies, so copies may be made and dropped on different threads.
#pragma once

#include <cstdint>
#include <new>
#include <ostream>
#include <type_traits>

#include "utilities/qvexception.h"
#include "utilities/qvthreadprimitives.h"

namespace Quorvane {

namespace detail {
struct SmartPointerShare {
  uint64_t* refCount = nullptr;
  bool* ownObject = nullptr;
  QVMutexHandle* lock = nullptr;
};
// Raw word from the allocation hook (no header); std::bad_alloc on failure.
void* AllocateShareWord(size_t size);
// Frees the shared words and the lock of a share whose count reached 0. The
// lock is held on entry and released here.
void ReleaseShare(SmartPointerShare& share) noexcept;
}  // namespace detail

template <typename T>
class QVSmartPointer : public QVObject {
 public:
  QVSmartPointer() = default;

  explicit QVSmartPointer(T* pointee) {
    if (pointee == nullptr) return;
    // Build the shared words first so a failure leaves nothing half-made.
    auto* count = static_cast<uint64_t*>(detail::AllocateShareWord(sizeof(uint64_t)));
    bool* own = nullptr;
    try {
      own = static_cast<bool*>(detail::AllocateShareWord(sizeof(bool)));
      share_.lock = CreateUnnamedMutexHandle(QVInProcessMutex);
    } catch (...) {
      QVObject::deallocate(count);
      QVObject::deallocate(own);
      throw;
    }
    *count = 1;
    *own = true;
    share_.refCount = count;
    share_.ownObject = own;
    object_ = pointee;
  }

  // Adopts a pointee with an already-made lock (the threads factory's pointer
  // forms); the handle owns the lock from here on.
  QVSmartPointer(T* pointee, QVMutexHandle* lock) {
    if (pointee == nullptr) {
      delete lock;
      return;
    }
    auto* count = static_cast<uint64_t*>(detail::AllocateShareWord(sizeof(uint64_t)));
    bool* own = static_cast<bool*>(detail::AllocateShareWord(sizeof(bool)));
    *count = 1;
    *own = true;
    share_ = {count, own, lock};
    object_ = pointee;
  }

  QVSmartPointer(const QVSmartPointer& other) { CopyFrom(other); }

  QVSmartPointer& operator=(const QVSmartPointer& other) {
    if (object_ != other.object_ && share_.refCount != other.share_.refCount) {
      decrementRefCount();
      CopyFrom(other);
    }
    return *this;
  }

  ~QVSmartPointer() override {
    if (object_ != nullptr || share_.refCount != nullptr || share_.ownObject != nullptr ||
        share_.lock != nullptr) {
      decrementRefCount();
    }
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Count of handles sharing the pointee (0 for an empty handle).
  uint64_t useCount() const {
    if (share_.refCount == nullptr) return 0;
    if (share_.lock != nullptr) share_.lock->Lock();
    uint64_t n = *share_.refCount;
    if (share_.lock != nullptr) share_.lock->Unlock();
    return n;
  }
  bool ownsObjectQ() const { return share_.ownObject != nullptr && *share_.ownObject; }
  bool hasLockQ() const { return share_.lock != nullptr; }

  virtual QVSmartPointer deepCopy() const {
    throw QVException("Unimplemented QVSmartPointer::deepCopy() method",
                      "utilities/qvsmartpointer", __LINE__, qvexceptiontype::internalError, 0);
  }

  virtual void print(std::ostream& os) const {
    if (share_.lock != nullptr) share_.lock->Lock();
    os << "<QVSmartPointer";
    if (object_ != nullptr) os << " object=\"" << static_cast<const void*>(object_) << '"';
    if (share_.refCount != nullptr) os << " refCount=\"" << *share_.refCount << '"';
    if (share_.ownObject != nullptr) os << " ownObject=\"" << (*share_.ownObject ? 1 : 0) << '"';
    if (share_.lock != nullptr) os << " lock=\"" << *share_.lock << '"';
    os << "></QVSmartPointer>";
    if (share_.lock != nullptr) share_.lock->Unlock();
  }

  virtual void deleteData() {
    if (share_.ownObject != nullptr && *share_.ownObject && object_ != nullptr) delete object_;
  }

  // Drops this handle's share; the last one deletes the pointee and the shared
  // words. Afterwards the handle is cleared or holds stale fields that the
  // caller overwrites or drops at once.
  void decrementRefCount() noexcept {
    if (share_.lock != nullptr) share_.lock->Lock();
    if (share_.refCount != nullptr && --*share_.refCount == 0) {
      deleteData();
      detail::ReleaseShare(share_);
      object_ = nullptr;
      return;
    }
    if (share_.lock != nullptr) share_.lock->Unlock();
  }

 private:
  void CopyFrom(const QVSmartPointer& other) {
    QVMutexHandle* lock = other.share_.lock;
    if (lock != nullptr) lock->Lock();
    object_ = other.object_;
    share_ = other.share_;
    if (share_.refCount != nullptr) ++*share_.refCount;
    if (lock != nullptr) lock->Unlock();
  }

  T* object_ = nullptr;
  detail::SmartPointerShare share_;
};

template <typename T>
std::ostream& operator<<(std::ostream& os, const QVSmartPointer<T>& handle) {
  handle.print(os);
  return os;
}

}  // namespace Quorvane

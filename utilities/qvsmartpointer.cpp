#include "utilities/qvsmartpointer.h"

namespace Quorvane::detail {

void* AllocateShareWord(size_t size) {
  void* word = QVObject::allocate(size);
  if (word == nullptr) throw std::bad_alloc();
  return word;
}

void ReleaseShare(SmartPointerShare& share) noexcept {
  QVObject::deallocate(share.refCount);
  QVObject::deallocate(share.ownObject);
  if (share.lock != nullptr) {
    share.lock->Unlock();
    delete share.lock;
  }
  share = {};
}

}  // namespace Quorvane::detail

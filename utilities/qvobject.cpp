#include "utilities/qvobject.h"

#include <atomic>
#include <cstdlib>

namespace Quorvane {

void* qvallocator(uint64_t size) { return malloc(size); }
void qvdeallocator(void* block) { free(block); }

namespace {
// Plain process-wide words: the environment sets them while no other thread
// allocates; relaxed atomics only keep concurrent reads well defined.
std::atomic<QVAllocationHook> gAlloc{qvallocator};
std::atomic<QVDeallocationHook> gDealloc{qvdeallocator};
}  // namespace

namespace detail {
void* AllocateWithHeader(size_t size) {
  if (size > std::numeric_limits<size_t>::max() - kHookHeader) throw std::bad_alloc();
  void* block = gAlloc.load(std::memory_order_relaxed)(size + kHookHeader);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<QVDeallocationHook*>(block) = gDealloc.load(std::memory_order_relaxed);
  return static_cast<char*>(block) + kHookHeader;
}

void FreeWithHeader(void* p) noexcept {
  if (p == nullptr) return;
  void* block = static_cast<char*>(p) - kHookHeader;
  QVDeallocationHook owner = *static_cast<QVDeallocationHook*>(block);
  if (owner != nullptr) owner(block);
}
}  // namespace detail

void QVObject::SetAllocators(QVAllocationHook alloc, QVDeallocationHook dealloc) {
  gAlloc.store(alloc, std::memory_order_relaxed);
  gDealloc.store(dealloc, std::memory_order_relaxed);
}
void QVObject::SetAllocator(QVAllocationHook alloc) { gAlloc.store(alloc, std::memory_order_relaxed); }
void QVObject::SetDeallocator(QVDeallocationHook dealloc) {
  gDealloc.store(dealloc, std::memory_order_relaxed);
}
void QVObject::InstallDefaultAllocators() { SetAllocators(qvallocator, qvdeallocator); }
QVAllocationHook QVObject::GetAllocator() { return gAlloc.load(std::memory_order_relaxed); }
QVDeallocationHook QVObject::GetDeallocator() { return gDealloc.load(std::memory_order_relaxed); }

void* QVObject::allocate(uint64_t size) { return gAlloc.load(std::memory_order_relaxed)(size); }
void QVObject::deallocate(void* p) {
  if (p != nullptr) gDealloc.load(std::memory_order_relaxed)(p);
}

}  // namespace Quorvane

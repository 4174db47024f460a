#include "api/qvmempool.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "api/qvlinkmark.h"

namespace {

// Exhaustion may be passing (another thread is freeing); one more attempt is
// the only recovery this level makes.
void* AllocateWithRetry(qvmempool_allocate_fn allocate, uint64_t size) {
  void* block = allocate(size);
  return block != nullptr ? block : allocate(size);
}

// The capacity for size and the bytes of the whole block, or false when either
// does not fit in 64 bits: such a request can only fail, and a wrapped sum
// would give a block too small for the header written into it.
bool AtomSizes(uint64_t size, uint64_t* capacity, uint64_t* block_bytes) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  if (size > kMax - 7) return false;
  const uint64_t rounded = (size + 7) & ~uint64_t{7};
  if (rounded > kMax - kAtomHeaderBytes) return false;
  *capacity = rounded;
  *block_bytes = rounded + kAtomHeaderBytes;
  return true;
}

unsigned char* BlockOf(void* atom) { return static_cast<unsigned char*>(atom) - kAtomHeaderBytes; }

}  // namespace

void init_mempool(mempool_qvt* pool, qvmempool_allocate_fn allocate, qvmempool_deallocate_fn deallocate) {
  if (pool == nullptr) return;
  pool->allocate = allocate;
  pool->deallocate = deallocate;
}

qvmempool_deallocate_fn release_mempool(mempool_qvt* pool) {
  return pool == nullptr ? nullptr : pool->deallocate;
}

qvmempool_allocate_fn GetAllocator(const mempool_qvt* pool) {
  return pool == nullptr ? nullptr : pool->allocate;
}

qvmempool_deallocate_fn GetDeallocator(const mempool_qvt* pool) {
  return pool == nullptr ? nullptr : pool->deallocate;
}

void* GeneralAlloc(mempool_qvt* pool, uint64_t size, void* /*context*/) {
  if (pool == nullptr || pool->allocate == nullptr) return nullptr;
  // A zero-byte request must still give a distinct block that can be freed.
  return AllocateWithRetry(pool->allocate, size == 0 ? 1 : size);
}

void GeneralDealloc(mempool_qvt* pool, void* block, void* /*context*/) {
  if (pool == nullptr || pool->deallocate == nullptr || block == nullptr) return;
  pool->deallocate(block);
}

void* general_push(mempool_qvt* pool, uint64_t size) { return GeneralAlloc(pool, size, pool); }

void general_pop(mempool_qvt* pool, void* block) { GeneralDealloc(pool, block, pool); }

void* AllocAtom(mempool_qvt* pool, uint64_t size, uint64_t* capacity, void* /*context*/) {
  uint64_t rounded = 0;
  uint64_t block_bytes = 0;
  const bool fits = AtomSizes(size, &rounded, &block_bytes);
  // Reported before the allocation, as callers expect even when it then fails.
  if (capacity != nullptr) *capacity = rounded;
  if (!fits || pool == nullptr || pool->allocate == nullptr) return nullptr;
  auto* block = static_cast<unsigned char*>(AllocateWithRetry(pool->allocate, block_bytes));
  if (block == nullptr) return nullptr;
  // The allocator promises no alignment, so the header is copied, not stored.
  std::memcpy(block, &rounded, sizeof rounded);
  return block + kAtomHeaderBytes;
}

void DeallocAtom(mempool_qvt* pool, void* atom, void* context) {
  if (atom == nullptr) return;
  GeneralDealloc(pool, BlockOf(atom), context);
}

uint64_t AtomCapacity(const void* atom) {
  uint64_t capacity = 0;
  std::memcpy(&capacity, static_cast<const unsigned char*>(atom) - kAtomHeaderBytes, sizeof capacity);
  return capacity;
}

void* ReallocAtom(mempool_qvt* pool, void* atom, uint64_t size, uint64_t* capacity, void* context) {
  if (atom == nullptr) return AllocAtom(pool, size, capacity, context);
  const uint64_t old_capacity = AtomCapacity(atom);
  if (old_capacity > size) {
    if (capacity != nullptr) *capacity = old_capacity;
    return atom;
  }
  void* grown = AllocAtom(pool, size, capacity, context);
  if (grown == nullptr) {
    // The caller keeps the old atom: the reported capacity must stay its own.
    if (capacity != nullptr) *capacity = old_capacity;
    return nullptr;
  }
  // The new capacity is at least size, which is at least the old capacity.
  std::memcpy(grown, atom, old_capacity);
  DeallocAtom(pool, atom, context);
  return grown;
}

void* AllocMark(mempool_qvt* pool) {
  if (pool == nullptr || pool->allocate == nullptr) return nullptr;
  return AllocateWithRetry(pool->allocate, sizeof(QVLinkMark));
}

void DeallocMark(mempool_qvt* pool, void* mark) { GeneralDealloc(pool, mark, nullptr); }

int AllocCheck() { return 0; }

void* internal_quorvane_allocator(uint64_t size) { return std::malloc(size); }

void internal_quorvane_deallocator(void* block) { std::free(block); }

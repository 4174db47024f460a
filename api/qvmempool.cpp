#include "api/qvmempool.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "api/qvlinkmark.h"
#include "utilities/platform/qvmappedblock.h"
#include "utilities/qvobject.h"

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

// Atoms whose blocks are this large, over the process heap's own pair, are
// blocks of their own from the system's virtual memory: a large text read as
// it arrives then grows without its bytes being copied or its pages faulted
// in one small page at a time. Bit 0 of the header, never set in a capacity
// (a multiple of 8), marks them.
constexpr uint64_t kMappedAtomLeast = uint64_t{1} << 20;
constexpr uint64_t kMappedMark = 1;

uint64_t HeaderOf(const void* atom) {
  uint64_t header = 0;
  std::memcpy(&header, static_cast<const unsigned char*>(atom) - kAtomHeaderBytes, sizeof header);
  return header;
}

bool MappedQ(const void* atom) { return (HeaderOf(atom) & kMappedMark) != 0; }

// The allocator promises no alignment, so the header is copied, not stored.
void* PlaceHeader(void* block, uint64_t capacity, bool mapped) {
  const uint64_t header = capacity | (mapped ? kMappedMark : 0);
  std::memcpy(block, &header, sizeof header);
  return static_cast<unsigned char*>(block) + kAtomHeaderBytes;
}

// The pairs that are the process heap itself. Their atoms grow with the
// heap's own realloc, which extends a block where it lies or moves a large
// one's pages instead of copying its bytes, and the largest are mappings.
bool ProcessHeapQ(const mempool_qvt* pool) {
  return pool != nullptr &&
         ((pool->allocate == internal_quorvane_allocator && pool->deallocate == internal_quorvane_deallocator) ||
          (pool->allocate == Quorvane::qvallocator && pool->deallocate == Quorvane::qvdeallocator));
}

// A mapped atom's capacity is its whole mapping but the header.
void* PlaceMapped(void* block, uint64_t length) { return PlaceHeader(block, length - kAtomHeaderBytes, true); }

// The atom grown to size where that needs no copy (a mapping, or a heap block
// that stays below the mapped size); null with *done false when it needs
// one, null with *done true on exhaustion (the old atom still valid).
void* GrowInPlace(void* atom, uint64_t size, uint64_t* capacity, uint64_t old_capacity, bool* done) {
  uint64_t rounded = 0;
  uint64_t block_bytes = 0;
  *done = true;
  if (!AtomSizes(size, &rounded, &block_bytes)) return nullptr;
  if (MappedQ(atom)) {
    uint64_t length = old_capacity + kAtomHeaderBytes;
    void* grown = Quorvane::platform::RemapBlock(BlockOf(atom), &length, block_bytes);
    if (grown == nullptr) return nullptr;
    if (capacity != nullptr) *capacity = length - kAtomHeaderBytes;
    return PlaceMapped(grown, length);
  }
  if (block_bytes >= kMappedAtomLeast) {
    *done = false;
    return nullptr;
  }
  void* grown = std::realloc(BlockOf(atom), block_bytes);
  if (grown == nullptr) grown = std::realloc(BlockOf(atom), block_bytes);
  if (grown == nullptr) return nullptr;
  if (capacity != nullptr) *capacity = rounded;
  return PlaceHeader(grown, rounded, false);
}

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
  if (block_bytes >= kMappedAtomLeast && ProcessHeapQ(pool)) {
    uint64_t length = 0;
    if (void* block = Quorvane::platform::MapBlock(block_bytes, &length)) {
      // The whole mapping is room.
      if (capacity != nullptr) *capacity = length - kAtomHeaderBytes;
      return PlaceMapped(block, length);
    }
  }
  void* block = AllocateWithRetry(pool->allocate, block_bytes);
  return block != nullptr ? PlaceHeader(block, rounded, false) : nullptr;
}

void DeallocAtom(mempool_qvt* pool, void* atom, void* context) {
  if (atom == nullptr) return;
  if (MappedQ(atom)) {
    Quorvane::platform::UnmapBlock(BlockOf(atom), AtomCapacity(atom) + kAtomHeaderBytes);
    return;
  }
  GeneralDealloc(pool, BlockOf(atom), context);
}

uint64_t AtomCapacity(const void* atom) { return HeaderOf(atom) & ~uint64_t{7}; }

void* ReallocAtom(mempool_qvt* pool, void* atom, uint64_t size, uint64_t* capacity, void* context) {
  if (atom == nullptr) return AllocAtom(pool, size, capacity, context);
  const uint64_t old_capacity = AtomCapacity(atom);
  if (old_capacity > size) {
    if (capacity != nullptr) *capacity = old_capacity;
    return atom;
  }
  // Over the heap's own pair, or as a mapping, the atom may grow where it lies.
  bool exhausted = false;
  if (ProcessHeapQ(pool) || MappedQ(atom)) {
    if (void* grown = GrowInPlace(atom, size, capacity, old_capacity, &exhausted)) return grown;
  }
  void* grown = exhausted ? nullptr : AllocAtom(pool, size, capacity, context);
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

// The allocator pair of the procedural link layers and the entry points through
// which they allocate: general blocks, atoms (blocks with a capacity header),
// mark storage and the read state's push/pop pair. None of them throws;
// exhaustion answers null after exactly one retry, and the caller records
// error 8 where it needs one.
#pragma once

#include <cstdint>

typedef void* (*qvmempool_allocate_fn)(uint64_t size);
typedef void (*qvmempool_deallocate_fn)(void* block);

// The pair held by an environment's link globals.
struct mempool_qvt {
  qvmempool_allocate_fn allocate;
  qvmempool_deallocate_fn deallocate;
};

// Bytes in front of every atom: its capacity as an unsigned 64-bit number.
inline constexpr uint64_t kAtomHeaderBytes = 8;

void init_mempool(mempool_qvt* pool, qvmempool_allocate_fn allocate, qvmempool_deallocate_fn deallocate);
// Nothing to free; answers the deallocation function.
qvmempool_deallocate_fn release_mempool(mempool_qvt* pool);
qvmempool_allocate_fn GetAllocator(const mempool_qvt* pool);
qvmempool_deallocate_fn GetDeallocator(const mempool_qvt* pool);

// size bytes (0 asks for 1); one retry; null when both attempts fail.
void* GeneralAlloc(mempool_qvt* pool, uint64_t size, void* context);
void GeneralDealloc(mempool_qvt* pool, void* block, void* context);
// GeneralAlloc/GeneralDealloc with the pool as context: the pair a read state holds.
void* general_push(mempool_qvt* pool, uint64_t size);
void general_pop(mempool_qvt* pool, void* block);

// An atom of capacity = size rounded up to 8, reported through capacity (may be
// null) before the allocation; null on exhaustion, and null with capacity 0 when
// the capacity or the block size (capacity + 8) would not fit in 64 bits. A
// large atom over the process heap's pair is a mapping of its own, whose
// capacity (reported once it is made) is all of it.
void* AllocAtom(mempool_qvt* pool, uint64_t size, uint64_t* capacity, void* context);
void DeallocAtom(mempool_qvt* pool, void* atom, void* context);
// Grows an atom when its capacity is not greater than size (a new atom, the old
// capacity's bytes copied, the old one freed; over the process heap's own
// pair, the heap's realloc); never shrinks it. A null atom is
// AllocAtom. On failure answers null; the old atom stays valid and capacity
// reports its capacity.
void* ReallocAtom(mempool_qvt* pool, void* atom, uint64_t size, uint64_t* capacity, void* context);
// The capacity stored in front of an atom.
uint64_t AtomCapacity(const void* atom);

// Storage for one QVLinkMark (nothing is built in it); one retry; null on exhaustion.
void* AllocMark(mempool_qvt* pool);
void DeallocMark(mempool_qvt* pool, void* mark);

int AllocCheck();

// Plain adapters over the process heap.
void* internal_quorvane_allocator(uint64_t size);
void internal_quorvane_deallocator(void* block);

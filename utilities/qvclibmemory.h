// The default allocator functions of the procedural layers, used when a caller
// gives no allocator of its own.
#pragma once

#include <cstdint>

extern "C" {

typedef void* (*qvstd_allocate_fn)(uint64_t size);
typedef void (*qvstd_deallocate_fn)(void* p);

void* qvstd_clib_allocator(uint64_t size);
void qvstd_clib_deallocator(void* p);
void* qvstd_clib_reallocator(void* p, uint64_t size);

}

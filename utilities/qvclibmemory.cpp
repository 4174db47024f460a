#include "utilities/qvclibmemory.h"

#include <cstdlib>

extern "C" {

void* qvstd_clib_allocator(uint64_t size) { return std::malloc(size); }
void qvstd_clib_deallocator(void* p) { std::free(p); }
void* qvstd_clib_reallocator(void* p, uint64_t size) { return std::realloc(p, size); }

}

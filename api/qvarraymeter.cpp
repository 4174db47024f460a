#include "api/qvarraymeter.h"

#include <cstring>

namespace {

constexpr long kInconsistent = 2;

}  // namespace

void mk__init(mem_k* stack, void* buffer, uint64_t size) {
  stack->current = static_cast<unsigned char*>(buffer);
  stack->end = stack->current + size;
}

void* mk__push(mem_k* stack, uint64_t n, uint64_t alignment) {
  if (alignment == 0) alignment = 1;
  const auto address = reinterpret_cast<uintptr_t>(stack->current);
  const uintptr_t aligned = (address + alignment - 1) / alignment * alignment;
  const auto end = reinterpret_cast<uintptr_t>(stack->end);
  if (aligned > end || end - aligned < n) return nullptr;
  stack->current = reinterpret_cast<unsigned char*>(aligned + n);
  return reinterpret_cast<void*>(aligned);
}

void mk__pop(mem_k* stack, void* pointer) { stack->current = static_cast<unsigned char*>(pointer); }
void* little_alloc(mem_k* stack, uint64_t n) { return mk__push(stack, n, 8); }
void little_dealloc(mem_k*, void*) {}

long am__construct(qvmeter* meter, qvmeter_borrow_fn borrow) {
  meter->borrow = borrow;
  int64_t leaves = 1;
  bool empty = false;
  for (int64_t level = 0; level < meter->depth; ++level) {
    if (!empty) meter->counters[level] = meter->dimensions[level];
    if (meter->dimensions[level] == 0) empty = true;
    // A product that wraps would size a block smaller than the leaves.
    if (meter->dimensions[level] < 0 || __builtin_mul_overflow(leaves, meter->dimensions[level], &leaves)) {
      return kInconsistent;
    }
  }
  meter->leaves_left = leaves;
  meter->marker = kMeterMarker;
  return 0;
}

long am__borrow(qvmeter* meter, int64_t level) {
  meter->counters[level] = meter->dimensions[level];
  if (level == 0) return 0;  // the outermost level ran out: the array is done
  if (--meter->counters[level - 1] == 0) {
    if (am__borrow(meter, level - 1) == 0) return 0;
  }
  return meter->borrow != nullptr ? meter->borrow(meter, level) : 1;
}

int64_t am__movedata(qvmeter* meter, void* position, int64_t n, qvmeter_move_fn move_one) {
  int64_t moved = 0;
  while (moved < n && meter->leaves_left > 0) {
    position = move_one(meter, position);
    if (position == nullptr) break;
    ++moved;
    --meter->leaves_left;
    const int64_t inner = meter->depth - 1;
    if (inner >= 0 && --meter->counters[inner] == 0 && meter->leaves_left > 0) {
      if (am__borrow(meter, inner) == 0) break;
    }
  }
  return n - moved;
}

void am__spindown(qvmeter* meter, int64_t n) {
  if (n <= 0 || meter->depth <= 0) {
    meter->leaves_left -= n > 0 ? n : 0;
    return;
  }
  int64_t total = 1;
  for (int64_t level = 0; level < meter->depth; ++level) total *= meter->dimensions[level];
  meter->leaves_left -= n;
  if (meter->leaves_left < 0) meter->leaves_left = 0;
  // The position as leaves consumed, spread back over the levels.
  int64_t consumed = total - meter->leaves_left;
  int64_t stride = 1;
  for (int64_t level = meter->depth - 1; level >= 0; --level) {
    const int64_t dimension = meter->dimensions[level];
    if (dimension <= 0) return;
    const int64_t index = (consumed / stride) % dimension;
    meter->counters[level] = dimension - index;
    stride *= dimension;
  }
}

void QVReleaseArrayState0_(qvmeter* meter) {
  meter->head_bytes.clear();
  meter->head_ends.clear();
}

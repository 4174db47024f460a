// Random numbers and random names for the procedural layers, drawn from the
// process's standard generator.
#pragma once

#include <cstdint>

#include "utilities/qvclibmemory.h"

extern "C" {

struct qvrandom {
  qvstd_allocate_fn allocate;
  qvstd_deallocate_fn deallocate;
  int32_t in_place;  // 1: the record is the caller's memory, not freed by destroy
};

qvrandom* qvrandom_new(qvstd_allocate_fn allocate, qvstd_deallocate_fn deallocate);
qvrandom* qvrandom_initialize(qvrandom* record, qvstd_allocate_fn allocate,
                              qvstd_deallocate_fn deallocate);
void qvrandom_destroy(qvrandom* record);
// length characters from the name alphabet and a zero byte; null for a
// negative length. Free with qvrandom_destroy_ascii_string.
char* qvrandom_ascii_string(qvrandom* record, int64_t length);
void qvrandom_destroy_ascii_string(qvrandom* record, char* string);
int qvrandom_integer(qvrandom* record);
long qvrandom_integer_range(qvrandom* record, long low, long high);

}

namespace Quorvane {

// The 32-character name alphabet: digits 2 to 9, then a to z without l and o,
// chosen by the low five bits of r.
inline char RandomNameCharacter(int r) {
  r &= 31;
  if (r < 8) return static_cast<char>(r + 50);
  if (r < 19) return static_cast<char>(r + 89);
  if (r < 21) return static_cast<char>(r + 90);
  return static_cast<char>(r + 91);
}

// low + (high - low) * rand() / RAND_MAX, truncated toward zero.
inline long RandomInRange(int r, long low, long high) {
  return static_cast<long>(static_cast<double>(high - low) * (r / 2147483647.0) +
                           static_cast<double>(low));
}

}  // namespace Quorvane

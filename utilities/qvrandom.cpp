#include "utilities/qvrandom.h"

#include <sys/time.h>

#include <cstdlib>
#include <cstring>

#include "utilities/qvtimes.h"

extern "C" {

qvrandom* qvrandom_new(qvstd_allocate_fn allocate, qvstd_deallocate_fn deallocate) {
  if (allocate == nullptr || deallocate == nullptr) return nullptr;
  auto* record = static_cast<qvrandom*>(allocate(sizeof(qvrandom)));
  if (record == nullptr) return nullptr;
  qvrandom_initialize(record, allocate, deallocate);
  record->in_place = 0;
  return record;
}

qvrandom* qvrandom_initialize(qvrandom* record, qvstd_allocate_fn allocate,
                              qvstd_deallocate_fn deallocate) {
  if (record == nullptr || allocate == nullptr || deallocate == nullptr) return nullptr;
  record->allocate = allocate;
  record->deallocate = deallocate;
  record->in_place = 1;
  struct timeval now = {0, 0};
  QVGetCurrentTime(&now);
  std::srand(static_cast<unsigned>(now.tv_usec));
  return record;
}

void qvrandom_destroy(qvrandom* record) {
  if (record != nullptr && record->in_place == 0) record->deallocate(record);
}

char* qvrandom_ascii_string(qvrandom* record, int64_t length) {
  if (record == nullptr || length < 0) return nullptr;
  auto* text = static_cast<char*>(record->allocate(static_cast<uint64_t>(length) + 1));
  if (text == nullptr) return nullptr;
  std::memset(text, 0, static_cast<size_t>(length) + 1);
  for (int64_t i = 0; i < length; ++i) text[i] = Quorvane::RandomNameCharacter(std::rand());
  return text;
}

void qvrandom_destroy_ascii_string(qvrandom* record, char* string) {
  if (record != nullptr && string != nullptr) record->deallocate(string);
}

int qvrandom_integer(qvrandom* record) { return record == nullptr ? -1 : std::rand(); }

long qvrandom_integer_range(qvrandom* record, long low, long high) {
  return record == nullptr ? -1 : Quorvane::RandomInRange(std::rand(), low, high);
}

}  // extern "C"

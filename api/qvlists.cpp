// Lists: arrays of depth 1 of machine numbers, got in one block from the
// environment's pool and given back with the release calls.
//
// The declared length comes from the peer, so the block is not sized by it
// alone: it starts within a fixed bound and grows as elements arrive, and a
// length whose byte size cannot be held is refused.
#include <algorithm>
#include <climits>
#include <cstring>

#include "api/qvarraymeter.h"
#include "api/qvcalldiscipline.h"
#include "api/qvnumericdispatch.h"
#include "quorvane.h"

namespace {

constexpr long kBadLength = 2;
constexpr long kNoMemory = 8;
constexpr long kOutOfSequence = 3;
// Bytes taken before any element has arrived.
constexpr uint64_t kUpFrontBytes = uint64_t{1} << 16;

// Bytes of one element of a binary number type; 0 when the type has none here.
int64_t ElementSize(read_state* state, unsigned type) {
  if ((type & 0x60) != 0x40) {
    if ((type & 8) != 0) return type & 16;
    return int64_t{1} << ((type >> 1) & 3);
  }
  // Types outside the fixed table: the numerics know their width.
  if (state->dispatch == nullptr) return 0;
  return state->dispatch(qvne_selector(0, type), nullptr, nullptr, nullptr);
}

// The elements still owed, read into a block that grows (never beyond the
// declared length) as they arrive. On failure *data holds what was read and
// *got counts it.
long ReadElements(QVLink* link, qvmeter* meter, unsigned type, int64_t width, int64_t length, void** data,
                  int64_t* got) {
  mempool_qvt* pool = &link->globals->pool;
  const uint64_t total = static_cast<uint64_t>(length) * static_cast<uint64_t>(width);
  uint64_t capacity = std::min(total, kUpFrontBytes);
  auto* block = static_cast<unsigned char*>(GeneralAlloc(pool, capacity, nullptr));
  if (block == nullptr) return kNoMemory;
  *data = block;
  while (*got < length) {
    if (static_cast<uint64_t>(*got * width) == capacity) {
      const uint64_t grown = std::min(total, capacity * 2);
      auto* bigger = static_cast<unsigned char*>(GeneralAlloc(pool, grown, nullptr));
      if (bigger == nullptr) return kNoMemory;
      std::memcpy(bigger, block, capacity);
      GeneralDealloc(pool, block, nullptr);
      block = bigger;
      capacity = grown;
      *data = block;
    }
    const int64_t room = static_cast<int64_t>(capacity / static_cast<uint64_t>(width)) - *got;
    int64_t count = 0;
    const long code = QVGetBinaryNumberArrayData_(&link->readState, link->deviceStack, &link->queueStack, meter,
                                                  block + *got * width, room, type, &count);
    *got += count;
    if (code != 0) return code;
    if (count == 0) return kOutOfSequence;  // nothing more will come: never spin
  }
  return 0;
}

// The list engine under the link lock. limit bounds the length the caller's
// type can report.
long GetList(QVLink* link, void** data, int64_t* length, unsigned type, int64_t limit) {
  qvmeter meter;
  meter.depth = 1;
  uint64_t leaf_type = 0;
  long code = QVGetArrayType_(nullptr, nullptr, nullptr, &link->readState, link->deviceStack, &link->queueStack,
                              &meter, &leaf_type);
  if (code != 0) return code;
  if (meter.depth != 1) {
    QVReleaseArrayState0_(&meter);
    return kOutOfSequence;
  }
  code = QVGetArrayDimensions_(&link->readState, &meter);
  if (code != 0) {
    QVReleaseArrayState0_(&meter);
    return code;
  }
  const int64_t declared = meter.dimensions[0];
  *length = declared;
  const int64_t width = ElementSize(&link->readState, type);
  if (declared < 1) {
    *data = nullptr;
    int64_t none = 0;
    code = QVGetBinaryNumberArrayData_(&link->readState, link->deviceStack, &link->queueStack, &meter, nullptr, 0,
                                       type, &none);
  } else if (width <= 0) {
    code = kOutOfSequence;
  } else if (declared > limit || static_cast<uint64_t>(declared) > UINT64_MAX / static_cast<uint64_t>(width)) {
    code = kBadLength;
  } else {
    int64_t got = 0;
    code = ReadElements(link, &meter, type, width, declared, data, &got);
    // A block handed out after a failure holds only what was read.
    if (code != 0) *length = got;
  }
  QVReleaseArrayState0_(&meter);
  return code;
}

// The engine under the read discipline, its 64-bit length narrowed to the
// caller's width (the int-length forms refuse lengths an int cannot hold).
template <class Length>
int GetListAs(QVLink* link, void** data, Length* length, unsigned type) {
  return qvcall::Get(link, [&](QVLink* k) {
    int64_t n = 0;
    const long code = GetList(k, data, &n, type, sizeof(Length) < sizeof(int64_t) ? INT_MAX : INT64_MAX);
    if (length != nullptr) *length = static_cast<Length>(n);
    return code;
  });
}

// The int-length forms share one entry.
int QVGoGetTheList_(QVLink* link, void** data, int* length, unsigned type) {
  return GetListAs(link, data, length, type);
}

template <class T, class Length>
int GetTypedList(QVLink* link, T** data, Length* length, unsigned type) {
  if (data == nullptr) return 0;
  void* block = nullptr;
  int ok = 0;
  if constexpr (sizeof(Length) < sizeof(int64_t)) {
    ok = QVGoGetTheList_(link, &block, length, type);
  } else {
    ok = GetListAs(link, &block, length, type);
  }
  if (block != nullptr || ok != 0) *data = static_cast<T*>(block);
  return ok;
}

void Release(QVLink* link, void* data) {
  if (link == nullptr || data == nullptr) return;
  QVLinkLockGuard guard(link);
  GeneralDealloc(&link->globals->pool, data, nullptr);
}

}  // namespace

int RVGetBinaryNumberList(QVLink* link, void** data, long* length, long type) noexcept {
  return GetTypedList(link, data, length, static_cast<unsigned>(type));
}
int RVGetIntegerList(QVLink* link, int** data, long* length) noexcept {
  return GetTypedList(link, data, length, 228);
}
int RVGetRealList(QVLink* link, double** data, long* length) noexcept {
  return GetTypedList(link, data, length, 246);
}
int RVGetInteger8List(QVLink* link, unsigned char** data, int* length) noexcept {
  return GetTypedList(link, data, length, 161);
}
int RVGetInteger16List(QVLink* link, short** data, int* length) noexcept { return GetTypedList(link, data, length, 226); }
int RVGetInteger32List(QVLink* link, int** data, int* length) noexcept { return GetTypedList(link, data, length, 228); }
int RVGetInteger64List(QVLink* link, long** data, int* length) noexcept { return GetTypedList(link, data, length, 230); }
int RVGetReal32List(QVLink* link, float** data, int* length) noexcept { return GetTypedList(link, data, length, 244); }
int RVGetReal64List(QVLink* link, double** data, int* length) noexcept { return GetTypedList(link, data, length, 246); }
int RVGetReal128List(QVLink* link, long double** data, int* length) noexcept {
  return GetTypedList(link, data, length, 248);
}

void RVReleaseBinaryNumberList(QVLink* link, void* data, long) noexcept { Release(link, data); }
void RVReleaseIntegerList(QVLink* link, int* data, long) noexcept { Release(link, data); }
void RVReleaseRealList(QVLink* link, double* data, long) noexcept { Release(link, data); }
void RVReleaseInteger8List(QVLink* link, unsigned char* data, int) noexcept { Release(link, data); }
void RVReleaseInteger16List(QVLink* link, short* data, int) noexcept { Release(link, data); }
void RVReleaseInteger32List(QVLink* link, int* data, int) noexcept { Release(link, data); }
void RVReleaseInteger64List(QVLink* link, long* data, int) noexcept { Release(link, data); }
void RVReleaseReal32List(QVLink* link, float* data, int) noexcept { Release(link, data); }
void RVReleaseReal64List(QVLink* link, double* data, int) noexcept { Release(link, data); }
void RVReleaseReal128List(QVLink* link, long double* data, int) noexcept { Release(link, data); }
void QVDisownBinaryNumberList(QVLink* link, void* data, long, long) noexcept { Release(link, data); }

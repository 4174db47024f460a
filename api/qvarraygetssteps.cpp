// Reading an array stepwise: the caller holds an array meter from the pool,
// takes the heads from a second link with ordinary gets, and reads the
// elements into buffers of its own as many at a time as it likes.
#include <new>

#include "api/qvarraymeter.h"
#include "api/qvcalldiscipline.h"
#include "quorvane.h"

namespace {

constexpr long kNoMemory = 8;

qvmeter* NewMeter(mempool_qvt* pool) {
  void* storage = GeneralAlloc(pool, sizeof(qvmeter), nullptr);
  return storage == nullptr ? nullptr : new (storage) qvmeter;
}

void DeleteMeter(mempool_qvt* pool, qvmeter* meter) {
  QVReleaseArrayState0_(meter);
  meter->~qvmeter();
  GeneralDealloc(pool, meter, nullptr);
}

// count elements of type into buffer; *count becomes the elements read.
int GetData(QVLink* link, qvmeter* state, void* buffer, int64_t* count, unsigned type) {
  if (state == nullptr || (buffer == nullptr && *count > 0)) return 0;
  return qvcall::Get(link, [&](QVLink* k) {
    int64_t got = 0;
    const long code =
        QVGetBinaryNumberArrayData_(&k->readState, k->deviceStack, &k->queueStack, state, buffer, *count, type, &got);
    *count = got;
    return code;
  });
}

int GetDataOf(QVLink* link, qvmeter* state, void* buffer, long count, unsigned type) {
  int64_t n = count;
  return GetData(link, state, buffer, &n, type);
}

}  // namespace

int RVGetArrayTypeWithDepthAndLeafType(QVLink* link, QVLink* headsLink, qvmeter** state, long* depth,
                                       int* leafType) noexcept {
  if (state == nullptr) return 0;
  *state = nullptr;  // also when the call is refused: nothing to release
  return qvcall::Get(link, [&](QVLink* k) -> long {
    mempool_qvt* pool = &k->globals->pool;
    qvmeter* meter = NewMeter(pool);
    *state = meter;
    if (meter == nullptr) return kNoMemory;
    meter->depth = kAnyDepth;  // the heads decide
    uint64_t leaf = 0;
    long code = headsLink != nullptr
                    ? QVGetRawArrayType_(headsLink->writeState, headsLink->deviceStack, qvcall::BaseQueue(headsLink),
                                         &k->readState, k->deviceStack, &k->queueStack, meter, &leaf)
                    : QVGetRawArrayType_(nullptr, nullptr, nullptr, &k->readState, k->deviceStack, &k->queueStack,
                                         meter, &leaf);
    if (code == 0) code = QVGetArrayDimensions0_(&k->readState, k->deviceStack, &k->queueStack, meter);
    if (code != 0) {
      // Nothing is left for the caller to release.
      DeleteMeter(pool, meter);
      *state = nullptr;
      return code;
    }
    if (depth != nullptr) *depth = static_cast<long>(meter->depth);
    if (leafType != nullptr) *leafType = static_cast<int>(leaf);
    return 0;
  });
}

int RVGetArrayType(QVLink* link, qvmeter* state) noexcept {
  if (state == nullptr) return 0;
  uint64_t leaf = 0;
  const int ok = qvcall::Get(link, [&](QVLink* k) {
    QVReleaseArrayState0_(state);
    state->depth = kAnyDepth;
    return QVGetArrayType_(nullptr, nullptr, nullptr, &k->readState, k->deviceStack, &k->queueStack, state, &leaf);
  });
  return ok != 0 ? static_cast<int>(leaf) : 0;
}

int RVGetArrayDimensions(QVLink* link, qvmeter* state) noexcept {
  if (state == nullptr) return 0;
  return qvcall::Get(link, [&](QVLink* k) { return QVGetArrayDimensions_(&k->readState, state); });
}

int RVGetBinaryNumberArrayData(QVLink* link, qvmeter* state, void* buffer, long count, long type) noexcept {
  return GetDataOf(link, state, buffer, count, static_cast<unsigned>(type));
}

int RVGetBinaryNumberArrayDataWithHeads(QVLink* link, QVLink*, qvmeter* state, void* buffer, long* count,
                                        long type) noexcept {
  if (count == nullptr) return 0;
  int64_t n = *count;
  const int ok = GetData(link, state, buffer, &n, static_cast<unsigned>(type));
  *count = static_cast<long>(n);
  return ok;
}

void RVReleaseGetArrayState(QVLink* link, QVLink*, qvmeter* state) noexcept {
  if (link == nullptr || state == nullptr) return;
  QVLinkLockGuard guard(link);
  DeleteMeter(&link->globals->pool, state);
}

int RVGetByteArrayData(QVLink* link, qvmeter* state, unsigned char* buffer, long count) noexcept {
  return GetDataOf(link, state, buffer, count, 161);
}
int RVGetShortIntegerArrayData(QVLink* link, qvmeter* state, short* buffer, long count) noexcept {
  return GetDataOf(link, state, buffer, count, 226);
}
int RVGetIntegerArrayData(QVLink* link, qvmeter* state, int* buffer, long count) noexcept {
  return GetDataOf(link, state, buffer, count, 228);
}
int RVGetLongIntegerArrayData(QVLink* link, qvmeter* state, long* buffer, long count) noexcept {
  return GetDataOf(link, state, buffer, count, 230);
}
int RVGetFloatArrayData(QVLink* link, qvmeter* state, float* buffer, long count) noexcept {
  return GetDataOf(link, state, buffer, count, 244);
}
int RVGetDoubleArrayData(QVLink* link, qvmeter* state, double* buffer, long count) noexcept {
  return GetDataOf(link, state, buffer, count, 246);
}
int RVGetLongDoubleArrayData(QVLink* link, qvmeter* state, long double* buffer, long count) noexcept {
  return GetDataOf(link, state, buffer, count, 248);
}
int RVGetInteger8ArrayData(QVLink* link, qvmeter* state, unsigned char* buffer, int count) noexcept {
  return GetDataOf(link, state, buffer, count, 161);
}
int RVGetInteger16ArrayData(QVLink* link, qvmeter* state, short* buffer, int count) noexcept {
  return GetDataOf(link, state, buffer, count, 226);
}
int RVGetInteger32ArrayData(QVLink* link, qvmeter* state, int* buffer, int count) noexcept {
  return GetDataOf(link, state, buffer, count, 228);
}
int RVGetInteger64ArrayData(QVLink* link, qvmeter* state, long* buffer, int count) noexcept {
  return GetDataOf(link, state, buffer, count, 230);
}
int RVGetReal32ArrayData(QVLink* link, qvmeter* state, float* buffer, int count) noexcept {
  return GetDataOf(link, state, buffer, count, 244);
}
int RVGetReal64ArrayData(QVLink* link, qvmeter* state, double* buffer, int count) noexcept {
  return GetDataOf(link, state, buffer, count, 246);
}
int RVGetReal128ArrayData(QVLink* link, qvmeter* state, long double* buffer, int count) noexcept {
  return GetDataOf(link, state, buffer, count, 248);
}

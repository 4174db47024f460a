// Lists: arrays of depth 1 of machine numbers, got in one block from the
// environment's pool and given back with the release calls.
//
// The declared length comes from the peer, so the block is not sized by it
// alone: it starts within a fixed bound and grows as elements arrive, and a
// length whose byte size cannot be held is refused.
#include <climits>

#include "api/qvarraymeter.h"
#include "api/qvcalldiscipline.h"
#include "api/qvnumberblock.h"
#include "quorvane.h"

namespace {

constexpr long kBadLength = 2;
constexpr long kOutOfSequence = 3;

// The list engine under the link lock. limit bounds the length the caller's
// type can report.
long QVGetBinaryNumberList_(QVLink* link, void** data, int64_t* length, unsigned type, int64_t limit) {
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
  if (declared < 1) {
    *data = nullptr;
    int64_t none = 0;
    code = QVGetBinaryNumberArrayData_(&link->readState, link->deviceStack, &link->queueStack, &meter, nullptr, 0,
                                       type, &none);
  } else if (declared > limit) {
    // Refused before a block was taken: the caller's width could not hold
    // the length, so none is reported.
    *length = 0;
    code = kBadLength;
  } else {
    int64_t got = 0;
    code = QVReadNumberBlock(link, &meter, type, declared, data, &got);
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
    const long code = QVGetBinaryNumberList_(k, data, &n, type, sizeof(Length) < sizeof(int64_t) ? INT_MAX : INT64_MAX);
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

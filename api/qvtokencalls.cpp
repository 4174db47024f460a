// The token-level public calls: the codec's own read and write operations
// handed to the caller inside the call discipline.
#include <climits>

#include "api/qvcalldiscipline.h"
#include "api/qvcodecread.h"
#include "api/qvcodecwrite.h"
#include "quorvane.h"

namespace {

// Counts handed to an int out-parameter: the codec's 64-bit value, clamped.
int ClampToInt(int64_t value) {
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// A type-answering get: the type, or 0 on failure.
template <class Codec>
int GetTypeWith(QVLink* link, Codec codec) {
  uint64_t type = 0;
  const int ok = qvcall::Get(link, [&](QVLink* k) { return codec(&k->readState, k->deviceStack, &k->queueStack, &type); });
  return ok != 0 ? static_cast<int>(type) : 0;
}

// A count-answering get into an optional int.
template <class Codec>
int GetCountWith(QVLink* link, int* count, Codec codec) {
  return qvcall::Get(link, [&](QVLink* k) {
    int64_t n = 0;
    const long code = codec(&k->readState, k->deviceStack, &k->queueStack, &n);
    if (code == 0 && count != nullptr) *count = ClampToInt(n);
    return code;
  });
}

template <class Codec>
int PutWith(QVLink* link, qvcall::Pending rule, void (*mirror)(QVLink*, int), int argument, Codec codec) {
  return qvcall::Put(
      link, rule, [&](QVLink* w) { mirror(w, argument); },
      [&](QVLink* k) { return codec(k->writeState, k->deviceStack, k->queueStack.base); });
}

int GetRawDataInto(QVLink* link, void* buffer, int size, int* count) {
  if (count != nullptr) *count = 0;
  return qvcall::Get(link, [&](QVLink* k) {
    int64_t got = 0;
    const long code = QVGetRawData_(&k->readState, k->deviceStack, &k->queueStack, buffer, size < 0 ? 0 : size, &got);
    if (code == 0 && count != nullptr) *count = ClampToInt(got);
    return code;
  });
}

}  // namespace

int RVGetNextRaw(QVLink* link) noexcept { return GetTypeWith(link, QVGetNextRawType_); }
int RVGetNext(QVLink* link) noexcept { return GetTypeWith(link, QVGetNextType_); }
int RVGetRawType(QVLink* link) noexcept { return GetTypeWith(link, QVGetRawType_); }
int RVGetType(QVLink* link) noexcept { return GetTypeWith(link, QVGetType_); }

int RVRawBytesToGet(QVLink* link, int* count) noexcept {
  if (count != nullptr) *count = 0;
  return GetCountWith(link, count, QVRawBytesToGet_);
}

int RVBytesToGet(QVLink* link, int* count) noexcept {
  return qvcall::Get(link, [&](QVLink* k) {
    int64_t n = 0;
    long code = QVBytesToGet_(&k->readState, k->deviceStack, &k->queueStack, &n);
    if (code == 0 && count != nullptr) *count = ClampToInt(n);
    // Nothing left (or nobody asked): finish the atom so the next get starts clean.
    if (code == 0 && (n < 1 || count == nullptr)) {
      int64_t none = 0;
      code = QVGetRawData_(&k->readState, k->deviceStack, &k->queueStack, nullptr, 0, &none);
    }
    return code;
  });
}

int RVGetRawArgCount(QVLink* link, int* count) noexcept { return GetCountWith(link, count, QVGetRawArgCount_); }
int RVGetArgCount(QVLink* link, int* count) noexcept { return GetCountWith(link, count, QVGetArgCount_); }

int RVGetRawData(QVLink* link, unsigned char* buffer, int size, int* count) noexcept {
  return GetRawDataInto(link, buffer, size, count);
}
int RVGetData(QVLink* link, char* buffer, int size, int* count) noexcept {
  return GetRawDataInto(link, buffer, size, count);
}

int RVNewPacket(QVLink* link) noexcept {
  return qvcall::Get(link, [](QVLink* k) { return QVNewPacket_(&k->readState, k->deviceStack, &k->queueStack); });
}

int QVNewExpression(QVLink* link) noexcept {
  return qvcall::Get(link,
                     [](QVLink* k) { return QVNewExpression_(&k->readState, k->deviceStack, &k->queueStack, 1); });
}

int RVTakeLast(QVLink* link, int n) noexcept {
  return qvcall::Get(link,
                     [&](QVLink* k) { return QVTakeLast_(&k->readState, k->deviceStack, &k->queueStack, n); });
}

int RVFill(QVLink* link) noexcept {
  return qvcall::Get(
      link, [](QVLink* k) { return QVFill_(&k->readState, k->deviceStack, &k->queueStack); }, qvcall::Pending::kFill);
}

int RVExpressionsToGet(QVLink* link, int* count) noexcept {
  if (link == nullptr) return 0;
  // A deferred link has nothing owed yet; counting must not connect it.
  QVLinkLockGuard guard(link);
  if (link->error == 10) {
    if (count != nullptr) *count = 0;
    return 1;
  }
  int64_t n = 0;
  const long code = qvcall::RunCodec(
      link, [&](QVLink* k) { return QVExpressionsToGet_(&k->readState, k->deviceStack, &k->queueStack, &n); });
  if (code == 0 && count != nullptr) *count = ClampToInt(n);
  return qvcall::StoreGet(link, code);
}

int RVPutNext(QVLink* link, int type) noexcept { return RVPutType(link, type); }

int RVPutType(QVLink* link, int type) noexcept {
  return PutWith(link, qvcall::Pending::kWrite, [](QVLink* w, int t) { RVPutType(w, t); }, type,
                 [&](write_state* s, device_kebab* d, _queue* q) { return QVPutType_(s, d, q, static_cast<unsigned>(type)); });
}

int RVPutComposite(QVLink* link, int count) noexcept {
  return PutWith(link, qvcall::Pending::kWrite, [](QVLink* w, int n) { RVPutComposite(w, n); }, count,
                 [&](write_state* s, device_kebab* d, _queue* q) { return QVPutComposite_(s, d, q, count); });
}

int RVPutRawSize(QVLink* link, int size) noexcept {
  return PutWith(link, qvcall::Pending::kStrict, [](QVLink* w, int n) { RVPutRawSize(w, n); }, size,
                 [&](write_state* s, device_kebab* d, _queue* q) {
                   long code = QVPutRawSize_(s, d, q, size);
                   // An empty atom is complete as soon as its size is declared.
                   if (code == 0 && size <= 0) code = QVPutRawData_(s, d, q, nullptr, 0);
                   return code;
                 });
}

int RVPutArgCount(QVLink* link, int count) noexcept {
  return PutWith(link, qvcall::Pending::kStrict, [](QVLink* w, int n) { RVPutArgCount(w, n); }, count,
                 [&](write_state* s, device_kebab* d, _queue* q) { return QVPutArgCount_(s, d, q, count); });
}

int RVBytesToPut(QVLink* link, int* count) noexcept {
  if (count != nullptr) *count = 0;
  return qvcall::Put(
      link, qvcall::Pending::kStrict, [](QVLink* w) { int unused = 0; RVBytesToPut(w, &unused); },
      [&](QVLink* k) {
        int64_t n = 0;
        const long code = QVBytesToPut_(k->writeState, k->deviceStack, k->queueStack.base, &n);
        if (code == 0 && count != nullptr) *count = ClampToInt(n);
        return code;
      });
}

int RVPutRawData(QVLink* link, const unsigned char* data, int length) noexcept {
  if (link != nullptr && (length < 0 || (data == nullptr && length > 0))) {
    // A negative length or missing bytes would be read from nowhere.
    if (!qvcall::MayProceed(link, qvcall::Pending::kStrict)) return 0;
    QVLinkLockGuard guard(link);
    return qvcall::StorePut(link, 47);
  }
  return qvcall::Put(
      link, qvcall::Pending::kStrict, [&](QVLink* w) { RVPutRawData(w, data, length); },
      [&](QVLink* k) { return QVPutRawData_(k->writeState, k->deviceStack, k->queueStack.base, data, length); });
}

int RVEndPacket(QVLink* link) noexcept {
  return qvcall::Put(
      link, qvcall::Pending::kStrict, [](QVLink* w) { RVEndPacket(w); },
      [](QVLink* k) { return QVEndPacket_(k->writeState, k->deviceStack, k->queueStack.base); });
}

// Gets and puts of one machine number. Gets convert whatever number token
// arrives to the asked type; puts widen the small integers to 32 bits and the
// 32-bit reals to doubles.
#include <cstring>
#include <limits>

#include "api/qvcalldiscipline.h"
#include "api/qvcodecread.h"
#include "api/qvcodecwrite.h"
#include "api/qvnumericdispatch.h"
#include "quorvane.h"

namespace {

// The number lands in a local first: a conversion that overflows (7) must not
// leave a cut-down value in the caller's variable.
int GetNumber(QVLink* link, void* destination, unsigned type) {
  return qvcall::Get(link, [&](QVLink* k) {
    alignas(16) unsigned char local[16];
    const long width = k->readState.dispatch != nullptr ? k->readState.dispatch(qvne_selector(0, type), nullptr, nullptr, nullptr) : 0;
    if (width <= 0 || width > static_cast<long>(sizeof local) || destination == nullptr) {
      return QVGetBinaryNumber_(&k->readState, k->deviceStack, &k->queueStack, destination, type);
    }
    const long code = QVGetBinaryNumber_(&k->readState, k->deviceStack, &k->queueStack, local, type);
    if (code == 0) std::memcpy(destination, local, static_cast<size_t>(width));
    return code;
  });
}

// mirror repeats the public call on the log's write link with the same value.
template <class Value, class Mirror>
int PutNumber(QVLink* link, Value value, unsigned type, Mirror mirror) {
  return qvcall::Put(
      link, qvcall::Pending::kWrite, [&](QVLink* w) { mirror(w, value); },
      [&](QVLink* k) { return QVPutBinaryNumber_(k->writeState, k->deviceStack, k->queueStack.base, &value, type); });
}

int PutInt32(QVLink* link, int value) { return PutNumber(link, value, 228, RVPutInteger32); }
int PutReal64(QVLink* link, double value) { return PutNumber(link, value, 246, RVPutReal64); }

// An x87 extended value fills 10 of the 16 bytes it travels in; the other six
// are padding that no store defines. They go out as zeros, not as whatever
// the caller's stack held.
struct Extended {
  alignas(long double) unsigned char bytes[sizeof(long double)];
};
constexpr size_t kExtendedValueBytes = std::numeric_limits<long double>::digits == 64 ? 10 : sizeof(long double);

int PutExtended(QVLink* link, long double value) {
  Extended clean{};
  std::memcpy(clean.bytes, &value, kExtendedValueBytes);
  return qvcall::Put(
      link, qvcall::Pending::kWrite, [&](QVLink* w) { RVPutReal128(w, value); },
      [&](QVLink* k) { return QVPutBinaryNumber_(k->writeState, k->deviceStack, k->queueStack.base, clean.bytes, 248); });
}

}  // namespace

int RVGetBinaryNumber(QVLink* link, void* data, long type) noexcept {
  return GetNumber(link, data, static_cast<unsigned>(type));
}
int RVGetInteger8(QVLink* link, unsigned char* value) noexcept { return GetNumber(link, value, 161); }
int RVGetShortInteger(QVLink* link, short* value) noexcept { return GetNumber(link, value, 226); }
int RVGetInteger16(QVLink* link, short* value) noexcept { return GetNumber(link, value, 226); }
int RVGetInteger(QVLink* link, int* value) noexcept { return GetNumber(link, value, 228); }
int RVGetInteger32(QVLink* link, int* value) noexcept { return GetNumber(link, value, 228); }
int RVGetLongInteger(QVLink* link, long* value) noexcept { return GetNumber(link, value, 230); }
int RVGetInteger64(QVLink* link, long* value) noexcept { return GetNumber(link, value, 230); }
int RVGetFloat(QVLink* link, float* value) noexcept { return GetNumber(link, value, 244); }
int RVGetReal32(QVLink* link, float* value) noexcept { return GetNumber(link, value, 244); }
int RVGetDouble(QVLink* link, double* value) noexcept { return GetNumber(link, value, 246); }
int RVGetReal64(QVLink* link, double* value) noexcept { return GetNumber(link, value, 246); }
int RVGetReal(QVLink* link, double* value) noexcept { return GetNumber(link, value, 246); }
int RVGetLongDouble(QVLink* link, long double* value) noexcept { return GetNumber(link, value, 248); }
int RVGetReal128(QVLink* link, long double* value) noexcept { return GetNumber(link, value, 248); }

int RVPutBinaryNumber(QVLink* link, void* data, long type) noexcept {
  if (link != nullptr && data == nullptr) {
    // No number to read: refused like any other bad argument, without touching the stream.
    if (!qvcall::MayProceed(link, qvcall::Pending::kWrite)) return 0;
    QVLinkLockGuard guard(link);
    return qvcall::StorePut(link, 47);
  }
  return qvcall::Put(
      link, qvcall::Pending::kWrite, [&](QVLink* w) { RVPutBinaryNumber(w, data, type); },
      [&](QVLink* k) {
        return QVPutBinaryNumber_(k->writeState, k->deviceStack, k->queueStack.base, data,
                                  static_cast<unsigned>(type));
      });
}

int RVPutInteger8(QVLink* link, int value) noexcept {
  const auto byte = static_cast<unsigned char>(value & 255);
  return PutNumber(link, byte, 161, [](QVLink* w, unsigned char b) { RVPutInteger8(w, b); });
}
int RVPutShortInteger(QVLink* link, int value) noexcept { return PutInt32(link, value); }
int RVPutInteger16(QVLink* link, int value) noexcept { return PutInt32(link, value); }
int RVPutInteger(QVLink* link, int value) noexcept { return PutInt32(link, value); }
int RVPutInteger32(QVLink* link, int value) noexcept { return PutInt32(link, value); }
int RVPutLongInteger(QVLink* link, long value) noexcept { return PutNumber(link, value, 230, RVPutInteger64); }
int RVPutInteger64(QVLink* link, long value) noexcept { return PutNumber(link, value, 230, RVPutInteger64); }
int RVPutFloat(QVLink* link, double value) noexcept { return PutReal64(link, value); }
int RVPutReal32(QVLink* link, double value) noexcept { return PutReal64(link, value); }
int RVPutDouble(QVLink* link, double value) noexcept { return PutReal64(link, value); }
int RVPutReal64(QVLink* link, double value) noexcept { return PutReal64(link, value); }
int RVPutReal(QVLink* link, double value) noexcept { return PutReal64(link, value); }
int RVPutLongDouble(QVLink* link, long double value) noexcept { return PutExtended(link, value); }
int RVPutReal128(QVLink* link, long double value) noexcept { return PutExtended(link, value); }

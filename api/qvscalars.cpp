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
long GetThroughCodec(QVLink* k, void* destination, unsigned type, int64_t width) {
  alignas(16) unsigned char local[16];
  if (width <= 0 || width > static_cast<int64_t>(sizeof local) || destination == nullptr) {
    return QVGetBinaryNumber_(&k->readState, k->deviceStack, &k->queueStack, destination, type);
  }
  const long code = QVGetBinaryNumber_(&k->readState, k->deviceStack, &k->queueStack, local, type);
  if (code == 0) std::memcpy(destination, local, static_cast<size_t>(width));
  return code;
}

// The typed gets: a number of the wanted type taken straight from the read
// window when its token lies there whole (each call knows its width, so that
// is one move), else got and converted by the codec.
template <unsigned Type, class Value>
int GetNumber(QVLink* link, Value* destination) {
  static_assert(sizeof(Value) == qv_binary_number_wire_size(Type), "the token's data is the value");
  return qvcall::Get(link, [&](QVLink* k) -> long {
    if (qvcodec_get_number_fast(&k->readState, &k->queueStack, destination, Type, sizeof(Value))) return 0;
    return GetThroughCodec(k, destination, Type, sizeof(Value));
  });
}

// The token straight into the write window when it has room, else through
// the codec (which converts for the peer or writes text where it must).
// mirror repeats the public call on the log's write link.
template <unsigned Type, class Mirror>
int PutNumber(QVLink* link, const void* data, Mirror&& mirror) {
  constexpr int64_t kSize = qv_binary_number_wire_size(Type);
  return qvcall::Put(link, qvcall::Pending::kWrite, mirror, [&](QVLink* k) -> long {
    if (qvcodec_put_number_fast(k->writeState, k->deviceStack, data, Type, kSize)) return 0;
    return QVPutBinaryNumber_(k->writeState, k->deviceStack, k->queueStack.base, data, Type);
  });
}

// mirror(write_link, value) repeats the public call with the same value.
template <unsigned Type, class Value, class Mirror>
int PutValue(QVLink* link, Value value, Mirror mirror) {
  static_assert(sizeof(Value) == qv_binary_number_wire_size(Type), "the value is the token's data");
  return PutNumber<Type>(link, &value, [&](QVLink* w) { mirror(w, value); });
}

int PutInt32(QVLink* link, int value) { return PutValue<BINARY_INTEGER32>(link, value, RVPutInteger32); }
int PutReal64(QVLink* link, double value) { return PutValue<BINARY_REAL64>(link, value, RVPutReal64); }

// An x87 extended value fills 10 of the 16 bytes it travels in; the other six
// are padding that no store defines. They go out as zeros, not as whatever
// the caller's stack held.
struct Extended {
  alignas(long double) unsigned char bytes[sizeof(long double)];
};
constexpr size_t kExtendedValueBytes = std::numeric_limits<long double>::digits == 64 ? 10 : sizeof(long double);
static_assert(sizeof(Extended) == qv_binary_number_wire_size(BINARY_REAL128));

int PutExtended(QVLink* link, long double value) {
  Extended clean{};
  std::memcpy(clean.bytes, &value, kExtendedValueBytes);
  return PutNumber<BINARY_REAL128>(link, clean.bytes, [&](QVLink* w) { RVPutReal128(w, value); });
}

}  // namespace

int RVGetBinaryNumber(QVLink* link, void* data, long type) noexcept {
  const auto wanted = static_cast<unsigned>(type);
  return qvcall::Get(link, [&](QVLink* k) {
    // The width as the dispatcher tells it (0 when it knows none); the codec
    // tries its own fast path.
    const qvnumeric_dispatch_fn dispatch = k->readState.dispatch;
    const long width = dispatch != nullptr ? dispatch(qvne_selector(0, wanted), nullptr, nullptr, nullptr) : 0;
    return GetThroughCodec(k, data, wanted, width);
  });
}
int RVGetInteger8(QVLink* link, unsigned char* value) noexcept { return GetNumber<BINARY_INTEGER8>(link, value); }
int RVGetShortInteger(QVLink* link, short* value) noexcept { return GetNumber<BINARY_INTEGER16>(link, value); }
int RVGetInteger16(QVLink* link, short* value) noexcept { return GetNumber<BINARY_INTEGER16>(link, value); }
int RVGetInteger(QVLink* link, int* value) noexcept { return GetNumber<BINARY_INTEGER32>(link, value); }
int RVGetInteger32(QVLink* link, int* value) noexcept { return GetNumber<BINARY_INTEGER32>(link, value); }
int RVGetLongInteger(QVLink* link, long* value) noexcept { return GetNumber<BINARY_INTEGER64>(link, value); }
int RVGetInteger64(QVLink* link, long* value) noexcept { return GetNumber<BINARY_INTEGER64>(link, value); }
int RVGetFloat(QVLink* link, float* value) noexcept { return GetNumber<BINARY_REAL32>(link, value); }
int RVGetReal32(QVLink* link, float* value) noexcept { return GetNumber<BINARY_REAL32>(link, value); }
int RVGetDouble(QVLink* link, double* value) noexcept { return GetNumber<BINARY_REAL64>(link, value); }
int RVGetReal64(QVLink* link, double* value) noexcept { return GetNumber<BINARY_REAL64>(link, value); }
int RVGetReal(QVLink* link, double* value) noexcept { return GetNumber<BINARY_REAL64>(link, value); }
int RVGetLongDouble(QVLink* link, long double* value) noexcept { return GetNumber<BINARY_REAL128>(link, value); }
int RVGetReal128(QVLink* link, long double* value) noexcept { return GetNumber<BINARY_REAL128>(link, value); }

int RVPutBinaryNumber(QVLink* link, void* data, long type) noexcept {
  if (link != nullptr && data == nullptr) {
    // No number to read: refused like any other bad argument, without touching the stream.
    QVLinkLockGuard guard;
    if (!qvcall::Enter(link, qvcall::Pending::kWrite, guard)) return 0;
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
  return PutValue<BINARY_INTEGER8>(link, byte, [](QVLink* w, unsigned char b) { RVPutInteger8(w, b); });
}
int RVPutShortInteger(QVLink* link, int value) noexcept { return PutInt32(link, value); }
int RVPutInteger16(QVLink* link, int value) noexcept { return PutInt32(link, value); }
int RVPutInteger(QVLink* link, int value) noexcept { return PutInt32(link, value); }
int RVPutInteger32(QVLink* link, int value) noexcept { return PutInt32(link, value); }
int RVPutLongInteger(QVLink* link, long value) noexcept {
  return PutValue<BINARY_INTEGER64>(link, value, RVPutInteger64);
}
int RVPutInteger64(QVLink* link, long value) noexcept {
  return PutValue<BINARY_INTEGER64>(link, value, RVPutInteger64);
}
int RVPutFloat(QVLink* link, double value) noexcept { return PutReal64(link, value); }
int RVPutReal32(QVLink* link, double value) noexcept { return PutReal64(link, value); }
int RVPutDouble(QVLink* link, double value) noexcept { return PutReal64(link, value); }
int RVPutReal64(QVLink* link, double value) noexcept { return PutReal64(link, value); }
int RVPutReal(QVLink* link, double value) noexcept { return PutReal64(link, value); }
int RVPutLongDouble(QVLink* link, long double value) noexcept { return PutExtended(link, value); }
int RVPutReal128(QVLink* link, long double value) noexcept { return PutExtended(link, value); }

#include "api/qvbinaryconvert.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "api/qvnumericdispatch.h"

namespace {

// How each own type sits in memory. Buffers come straight from the wire, so
// every access goes through memcpy (no alignment is assumed).
template <typename T>
struct Slot {
  static constexpr long kStride = sizeof(T);
  static T Load(const unsigned char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
  }
  static void Store(unsigned char* p, T value) { std::memcpy(p, &value, sizeof value); }
};

// The 80-bit extended real in the low 10 bytes of a 16-byte slot.
constexpr long kExtendedBytes = 10;
template <>
struct Slot<long double> {
  static constexpr long kStride = 16;
  static long double Load(const unsigned char* p) {
    long double value = 0;
    std::memcpy(&value, p, kExtendedBytes);
    return value;
  }
  // Conversions fill the whole slot so no stale byte reaches the wire.
  static void Store(unsigned char* p, long double value) {
    unsigned char slot[16] = {};
    std::memcpy(slot, &value, kExtendedBytes);
    std::memcpy(p, slot, sizeof slot);
  }
};

using ConvertFn = long (*)(unsigned char* dst, const unsigned char* src, long* count);

// Conversions that cannot fail: widening, exact, and integer to real rounded to nearest.
template <typename From, typename To>
long Widen(unsigned char* dst, const unsigned char* src, long* count) {
  for (long i = 0; i < *count; ++i) {
    Slot<To>::Store(dst + i * Slot<To>::kStride,
                    static_cast<To>(Slot<From>::Load(src + i * Slot<From>::kStride)));
  }
  return QVNUMERIC_OK;
}

// Stops at the first element that does not fit: the count says how many went
// through, and that element's slot holds its value cut to the target width.
template <typename From, typename To, int64_t kLow, int64_t kHigh>
long Narrow(unsigned char* dst, const unsigned char* src, long* count) {
  const long n = *count;
  for (long i = 0; i < n; ++i) {
    const int64_t value = Slot<From>::Load(src + i * Slot<From>::kStride);
    Slot<To>::Store(dst + i * Slot<To>::kStride, static_cast<To>(value));
    if (value < kLow || value > kHigh) {
      *count = i;
      return QVNUMERIC_OVERFLOW;
    }
  }
  return QVNUMERIC_OK;
}

// The double a real source stands for; false where a long double has no double.
template <typename From>
bool AsDouble(const unsigned char* p, double* out) {
  *out = static_cast<double>(Slot<From>::Load(p));
  if constexpr (sizeof(From) > sizeof(double)) return !std::isinf(*out);
  return true;
}

template <typename To>
constexpr double LowestOf() {
  return std::is_unsigned_v<To> ? 0.0 : static_cast<double>(std::numeric_limits<To>::min());
}
// One past the largest value: 2^8, 2^15, 2^31 or 2^63, all exact in a double
// (the largest int64_t is not; as a double it already rounds up to 2^63).
template <typename To>
constexpr double UpperBoundOf() {
  return sizeof(To) == 8 ? 9223372036854775808.0
                         : static_cast<double>(std::numeric_limits<To>::max()) + 1.0;
}

// Real to integer. The range is tested in floating point before any cast, so an
// out-of-range value or NaN never reaches one; the failing slot is left alone.
template <typename From, typename To>
long RealToInteger(unsigned char* dst, const unsigned char* src, long* count) {
  const long n = *count;
  for (long i = 0; i < n; ++i) {
    double x = 0;
    double rounded = 0;
    if (!AsDouble<From>(src + i * Slot<From>::kStride, &x) ||
        !qvne__round_real_to_integer(x, LowestOf<To>(), UpperBoundOf<To>(), &rounded)) {
      *count = i;
      return QVNUMERIC_OVERFLOW;
    }
    Slot<To>::Store(dst + i * Slot<To>::kStride, static_cast<To>(rounded));
  }
  return QVNUMERIC_OK;
}

// To single: a value beyond the largest single (infinities too) overflows; NaN passes.
template <typename From>
long RealToSingle(unsigned char* dst, const unsigned char* src, long* count) {
  const long n = *count;
  for (long i = 0; i < n; ++i) {
    double x = 0;
    if (!AsDouble<From>(src + i * Slot<From>::kStride, &x) || x > FLT_MAX || x < -FLT_MAX) {
      *count = i;
      return QVNUMERIC_OVERFLOW;
    }
    Slot<float>::Store(dst + i * 4, static_cast<float>(x));
  }
  return QVNUMERIC_OK;
}

long ExtendedToDouble(unsigned char* dst, const unsigned char* src, long* count) {
  const long n = *count;
  for (long i = 0; i < n; ++i) {
    double x = 0;
    if (!AsDouble<long double>(src + i * 16, &x)) {
      *count = i;
      return QVNUMERIC_OVERFLOW;
    }
    Slot<double>::Store(dst + i * 8, x);
  }
  return QVNUMERIC_OK;
}

// 64-bit integers of the environments whose long is 32-bit: 196 keeps this
// side's byte order, 197 stores the most significant byte first.
template <bool kReverse>
long Move64(unsigned char* dst, const unsigned char* src, long* count) {
  for (long i = 0; i < *count; ++i) {
    uint64_t value = Slot<uint64_t>::Load(src + i * 8);
    if (kReverse) value = __builtin_bswap64(value);
    Slot<uint64_t>::Store(dst + i * 8, value);
  }
  return QVNUMERIC_OK;
}

struct Conversion {
  uint8_t source;
  uint8_t target;
  bool can_overflow;
  ConvertFn convert;
};

constexpr int64_t kI16Lo = -32768, kI16Hi = 32767;
constexpr int64_t kI32Lo = -2147483648LL, kI32Hi = 2147483647LL;

using i8u = uint8_t;
using LD = long double;

constexpr Conversion kConversions[] = {
    {161, 226, false, Widen<i8u, int16_t>},  {161, 228, false, Widen<i8u, int32_t>},
    {161, 230, false, Widen<i8u, int64_t>},  {161, 244, false, Widen<i8u, float>},
    {161, 246, false, Widen<i8u, double>},   {161, 248, false, Widen<i8u, LD>},
    {226, 228, false, Widen<int16_t, int32_t>}, {226, 230, false, Widen<int16_t, int64_t>},
    {226, 244, false, Widen<int16_t, float>},   {226, 246, false, Widen<int16_t, double>},
    {226, 248, false, Widen<int16_t, LD>},      {226, 161, true, Narrow<int16_t, i8u, 0, 255>},
    {228, 230, false, Widen<int32_t, int64_t>}, {228, 246, false, Widen<int32_t, double>},
    {228, 248, false, Widen<int32_t, LD>},      {228, 244, false, Widen<int32_t, float>},
    {228, 226, true, Narrow<int32_t, int16_t, kI16Lo, kI16Hi>},
    {228, 161, true, Narrow<int32_t, i8u, 0, 255>},
    {230, 248, false, Widen<int64_t, LD>},      {230, 244, false, Widen<int64_t, float>},
    {230, 246, false, Widen<int64_t, double>},
    {230, 228, true, Narrow<int64_t, int32_t, kI32Lo, kI32Hi>},
    {230, 226, true, Narrow<int64_t, int16_t, kI16Lo, kI16Hi>},
    {230, 161, true, Narrow<int64_t, i8u, 0, 255>},
    {230, 196, false, Move64<false>},           {230, 197, false, Move64<true>},
    {244, 246, false, Widen<float, double>},    {244, 248, false, Widen<float, LD>},
    {244, 161, true, RealToInteger<float, i8u>},     {244, 226, true, RealToInteger<float, int16_t>},
    {244, 228, true, RealToInteger<float, int32_t>}, {244, 230, true, RealToInteger<float, int64_t>},
    {246, 248, false, Widen<double, LD>},       {246, 244, true, RealToSingle<double>},
    {246, 226, true, RealToInteger<double, int16_t>}, {246, 228, true, RealToInteger<double, int32_t>},
    {246, 230, true, RealToInteger<double, int64_t>},
    {248, 246, true, ExtendedToDouble},         {248, 244, true, RealToSingle<LD>},
    {248, 161, true, RealToInteger<LD, i8u>},   {248, 226, true, RealToInteger<LD, int16_t>},
    {248, 228, true, RealToInteger<LD, int32_t>}, {248, 230, true, RealToInteger<LD, int64_t>},
};

// Pairs that change only the byte order (or move to an odd type of the same width).
constexpr uint8_t kByteOrderPairs[][2] = {
    {226, 162}, {226, 163}, {226, 227}, {228, 164}, {228, 165}, {228, 229}, {230, 164},
    {230, 165}, {230, 166}, {230, 167}, {244, 180}, {244, 182}, {246, 182}, {248, 182},
    {248, 184},
};

bool IsByteOrderPair(unsigned source, unsigned target) {
  for (const auto& pair : kByteOrderPairs) {
    if (pair[0] == source && pair[1] == target) return true;
  }
  return false;
}

bool StoredMostSignificantFirst(unsigned type) {
  return (type >= 162 && type <= 167) || type == 180 || type == 182 || type == 184;
}

// Exactly one value, whatever the count says; the count becomes its width.
long ConvertByteOrder(unsigned target, unsigned source, unsigned char* dst, const unsigned char* src,
                      long* count) {
  const long width = ne__implied_size(source);
  if (dst == nullptr || src == nullptr || count == nullptr || width == 0 ||
      ne__implied_size(target) != width) {
    return QVNUMERIC_UNSUPPORTED;
  }
  unsigned char value[16];
  std::memcpy(value, src, static_cast<size_t>(width));
  for (long i = 0; i < width; ++i) {
    dst[i] = StoredMostSignificantFirst(target) ? value[width - 1 - i] : value[i];
  }
  *count = width;
  return QVNUMERIC_OK;
}

}  // namespace

bool qvne__round_real_to_integer(double x, double lo, double upper, double* rounded) {
  if (std::isnan(x)) return false;
  // Halves to even, independent of the floating-point rounding mode.
  const double r = std::ceil(x);
  const double gap = r - x;
  double value = r;
  if (gap > 0.5 || (gap == 0.5 && std::fmod(r, 2.0) != 0.0)) value = r - 1.0;
  if (!(value >= lo && value < upper)) return false;
  *rounded = value;
  return true;
}

long qvne__convert_binary(unsigned target, unsigned source, void* dst, const void* src, long* count) {
  auto* out = static_cast<unsigned char*>(dst);
  const auto* in = static_cast<const unsigned char*>(src);
  if (IsByteOrderPair(source, target)) return ConvertByteOrder(target, source, out, in, count);
  for (const Conversion& row : kConversions) {
    if (row.source != source || row.target != target) continue;
    if (count == nullptr) return QVNUMERIC_UNSUPPORTED;
    if (*count <= 0) {
      if (row.can_overflow) *count = 0;
      return QVNUMERIC_OK;
    }
    if (dst == nullptr || src == nullptr) return QVNUMERIC_UNSUPPORTED;
    return row.convert(out, in, count);
  }
  return QVNUMERIC_UNSUPPORTED;
}

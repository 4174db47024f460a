// The one function through which the link core converts machine numbers:
// between this side's binary types, to a peer's types, and between numbers and
// their text; it also answers type widths and this side's numeric identity.
// Stateless and reentrant.
#pragma once

#include <cstdint>

// Answers of the numeric conversions.
enum qvnumeric_answer : long {
  QVNUMERIC_OK = 0,
  QVNUMERIC_NOT_A_NUMBER = 2,
  QVNUMERIC_OVERFLOW = 7,
  QVNUMERIC_NO_MEMORY = 8,
  QVNUMERIC_UNSUPPORTED = -1,
};

// selector = target type << 8 | source type; 0 asks the identity.
typedef long (*qvnumeric_dispatch_fn)(unsigned long selector, void* dst, void* src, long* count);

constexpr unsigned long qvne_selector(unsigned target, unsigned source) {
  return (static_cast<unsigned long>(target & 0xFF) << 8) | (source & 0xFF);
}

// This side's identity and the set of binary types it reads and writes as they
// stand: bit (type & 127), bit b in byte b / 8 at weight 1 << (b % 8).
inline constexpr char kNumericIdentity[] = "greatdane";
inline constexpr long kNumericIdentityLength = 9;
inline constexpr int kNativeTypeSetBytes = 16;
inline constexpr unsigned char kNativeTypeSet[kNativeTypeSetBytes] = {
    0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x54, 0x00, 0x50, 0x01};

constexpr bool qv_native_type_set_has(const unsigned char* set, unsigned type) {
  const unsigned bit = type & 127;
  return (set[bit / 8] >> (bit % 8)) & 1;
}

// Width in bytes of a binary number type; 0 when unknown.
long ne__implied_size(unsigned type);

long qvne__dispatch(unsigned long selector, void* dst, void* src, long* count);

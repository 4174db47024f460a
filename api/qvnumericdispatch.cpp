#include "api/qvnumericdispatch.h"

#include <cstring>

#include "api/qvbinaryconvert.h"
#include "api/qvnumbertext.h"

namespace {

constexpr unsigned kExtendedType = 248;
constexpr long kExtendedSignificantBytes = 10;
constexpr long kExtendedSlotBytes = 16;

// Selector 0: the native type set into src, and the identity text into dst
// (NUL-terminated and zero-filled only when the capacity is 10 or more).
long Identity(void* dst, void* src, long* count) {
  if (src == nullptr) return QVNUMERIC_UNSUPPORTED;
  std::memcpy(src, kNativeTypeSet, sizeof kNativeTypeSet);
  const long capacity = count == nullptr ? 0 : *count;
  if (dst == nullptr || capacity <= 0) return QVNUMERIC_OK;
  auto* name = static_cast<char*>(dst);
  const long letters = capacity < kNumericIdentityLength ? capacity : kNumericIdentityLength;
  std::memcpy(name, kNumericIdentity, static_cast<size_t>(letters));
  if (capacity > kNumericIdentityLength) {
    std::memset(name + letters, 0, static_cast<size_t>(capacity - letters));
    *count = kNumericIdentityLength;
  }
  return QVNUMERIC_OK;
}

// Same type on both sides. The extended real moves its 10 significant bytes and
// leaves the rest of each target slot as it was.
long Copy(unsigned type, void* dst, const void* src, const long* count) {
  if (count == nullptr || *count <= 0) return QVNUMERIC_OK;
  if (dst == nullptr || src == nullptr) return QVNUMERIC_UNSUPPORTED;
  auto* out = static_cast<unsigned char*>(dst);
  const auto* in = static_cast<const unsigned char*>(src);
  if (type == kExtendedType) {
    for (long i = 0; i < *count; ++i) {
      std::memmove(out + i * kExtendedSlotBytes, in + i * kExtendedSlotBytes, kExtendedSignificantBytes);
    }
    return QVNUMERIC_OK;
  }
  std::memmove(out, in, static_cast<size_t>(*count * ne__implied_size(type)));
  return QVNUMERIC_OK;
}

}  // namespace

long ne__implied_size(unsigned type) {
  switch (type) {
    case 160: case 161: return 1;
    case 162: case 163: case 226: case 227: return 2;
    case 164: case 165: case 180: case 228: case 229: case 244: return 4;
    case 166: case 167: case 182: case 196: case 197: case 230: case 231: case 246: return 8;
    case 216: return 10;
    case 218: return 12;
    case 158: case 184: case 248: return 16;
    default: return 0;
  }
}

long qvne__dispatch(unsigned long selector, void* dst, void* src, long* count) {
  if (selector == 0) return Identity(dst, src, count);
  if (selector > 0xFFFF) return QVNUMERIC_UNSUPPORTED;
  const unsigned source = selector & 0xFF;
  const unsigned target = (selector >> 8) & 0xFF;
  if (source == target) return Copy(source, dst, src, count);
  if (source >= 128 && target >= 128) return qvne__convert_binary(target, source, dst, src, count);
  if (target == 0) return ne__implied_size(source);
  if (target >= 128) return qvne__text_to_number(target, source, dst, static_cast<const char*>(src), count);
  if (source >= 128) return qvne__number_to_text(source, dst, src, count);
  return QVNUMERIC_UNSUPPORTED;
}

// Whole-string conversion between UTF-8 and UCS-2, UTF-16 and UTF-32. Runs of
// ASCII are copied eight bytes at a time; everything else goes one character
// at a time and stops, without writing past the capacity, at the first
// character that does not fit or cannot be converted.
#include <cstring>

#include "text/qvunicode.h"
#include "text/qvunicodecodec.h"

using namespace Quorvane::unicode;

namespace {

enum : int { kDone = 1, kFailed = -1, kRefused = 0 };

// Writes one scalar value as UTF-8 if it fits; false when it does not.
inline bool PutUTF8(uint32_t c, unsigned char* dst, int64_t capacity, int64_t* o) {
  const int n = UTF8Length(c);
  if (capacity - *o < n) return false;
  EncodeUTF8(c, dst + *o);
  *o += n;
  return true;
}

template <bool kSwap>
int UTF16ToUTF8(const uint16_t* src, int64_t length, unsigned char* dst, int64_t capacity) {
  int64_t i = 0, o = 0;
  while (i < length) {
    uint32_t u = Unit16(src[i], kSwap);
    if (u < 0x80) {
      // A run of ASCII units.
      const int64_t room = capacity - o;
      if (room <= 0) return kFailed;
      int64_t k = 0;
      const int64_t limit = length - i < room ? length - i : room;
      while (k < limit && (u = Unit16(src[i + k], kSwap)) < 0x80) {
        dst[o + k] = static_cast<unsigned char>(u);
        ++k;
      }
      i += k;
      o += k;
      continue;
    }
    uint32_t c;
    const int n = DecodeUTF16(src + i, length - i, kSwap, &c);
    if (n <= 0 || !PutUTF8(c, dst, capacity, &o)) return kFailed;
    i += n;
  }
  return kDone;
}

template <bool kSwap>
int UTF32ToUTF8(const uint32_t* src, int64_t length, unsigned char* dst, int64_t capacity) {
  int64_t o = 0;
  for (int64_t i = 0; i < length; ++i) {
    const uint32_t c = Unit32(src[i], kSwap);
    if (!IsScalarValue(c) || !PutUTF8(c, dst, capacity, &o)) return kFailed;
  }
  return kDone;
}

// Decodes UTF-8 into dst from unit o on. ASCII runs are copied eight at a
// time while they fit; every other character goes through put(code, &o), which
// returns false when the destination has no room for it.
template <typename Unit, typename Put>
int FromUTF8(const unsigned char* src, int64_t length, Unit* dst, int64_t capacity, int64_t o, Put put) {
  int64_t i = 0;
  while (i < length) {
    if (src[i] < 0x80) {
      while (length - i >= 8 && capacity - o >= 8 && AllASCII8(src + i)) {
        for (int k = 0; k < 8; ++k) dst[o + k] = src[i + k];
        i += 8;
        o += 8;
      }
      while (i < length && src[i] < 0x80) {
        if (!put(src[i], &o)) return kFailed;
        ++i;
      }
      continue;
    }
    uint32_t c;
    const int n = DecodeUTF8(src + i, length - i, &c);
    if (n <= 0 || !put(c, &o)) return kFailed;
    i += n;
  }
  return kDone;
}

}  // namespace

int QVConvertUTF16StringToUTF8String(const unsigned short* src, int64_t length, unsigned char* dst,
                                     int64_t capacity) {
  if (src == nullptr || dst == nullptr || length <= 0 || capacity <= 0) return kRefused;
  bool swap = true;  // text without a mark is read byte-swapped
  if (src[0] == kByteOrderMark || src[0] == kSwappedByteOrderMark) {
    swap = src[0] == kSwappedByteOrderMark;
    ++src;
    --length;
  }
  return swap ? UTF16ToUTF8<true>(src, length, dst, capacity) : UTF16ToUTF8<false>(src, length, dst, capacity);
}

int QVConvertUTF32StringToUTF8String(const unsigned int* src, int64_t length, unsigned char* dst,
                                     int64_t capacity) {
  if (src == nullptr || dst == nullptr || length <= 0 || capacity <= 0) return kRefused;
  bool swap = true;
  if (QVUnsignedIntIsUTF32ByteOrderMark(src[0])) {
    swap = src[0] != kByteOrderMark;
    ++src;
    --length;
  }
  return swap ? UTF32ToUTF8<true>(src, length, dst, capacity) : UTF32ToUTF8<false>(src, length, dst, capacity);
}

int QVConvertUCS2StringToUTF8String(const unsigned short* src, int64_t length, unsigned char* dst,
                                    int64_t capacity) {
  if (src == nullptr || dst == nullptr || length <= 0 || capacity <= 0) return kRefused;
  int64_t o = 0;
  for (int64_t i = 0; i < length; ++i) {
    if (IsSurrogate(src[i]) || !PutUTF8(src[i], dst, capacity, &o)) return kFailed;
  }
  return kDone;
}

int QVConvertUTF8StringToUCS2String(const unsigned char* src, int64_t length, unsigned short* dst,
                                    int64_t capacity) {
  if (src == nullptr || dst == nullptr || length <= 0 || capacity <= 0) return kRefused;
  return FromUTF8(src, length, dst, capacity, 0, [&](uint32_t c, int64_t* o) {
    if (c > 0xFFFF || *o >= capacity) return false;
    dst[(*o)++] = static_cast<unsigned short>(c);
    return true;
  });
}

int QVConvertUTF8StringToUTF16String(const unsigned char* src, int64_t length, unsigned short* dst,
                                     int64_t capacity) {
  if (src == nullptr || dst == nullptr || length <= 0 || capacity <= 0) return kRefused;
  dst[0] = kByteOrderMark;
  return FromUTF8(src, length, dst, capacity, 1, [&](uint32_t c, int64_t* o) {
    const int64_t n = c < 0x10000 ? 1 : 2;
    if (capacity - *o < n) return false;
    if (n == 1) {
      dst[*o] = static_cast<unsigned short>(c);
    } else {
      QVMakeSurrogatePairFromUTF32(c, dst + *o);
    }
    *o += n;
    return true;
  });
}

int QVConvertUTF8StringToUTF32String(const unsigned char* src, int64_t length, unsigned int* dst,
                                     int64_t capacity) {
  if (src == nullptr || dst == nullptr || length <= 0 || capacity <= 0) return kRefused;
  dst[0] = kByteOrderMark;
  return FromUTF8(src, length, dst, capacity, 1, [&](uint32_t c, int64_t* o) {
    if (*o >= capacity) return false;
    dst[(*o)++] = c;
    return true;
  });
}

// Inline single-character coding shared by the Unicode primitives and the
// escaped-ASCII helpers. Internal to text/.
#pragma once

#include <cstdint>
#include <cstring>

namespace Quorvane::unicode {

constexpr uint32_t kMaxCodePoint = 0x10FFFF;
constexpr uint16_t kByteOrderMark = 0xFEFF;
constexpr uint16_t kSwappedByteOrderMark = 0xFFFE;

inline bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
inline bool IsLeadingSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsTrailingSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
inline bool IsScalarValue(uint32_t c) { return c <= kMaxCodePoint && !IsSurrogate(c); }

inline uint16_t Swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
inline uint32_t Swap32(uint32_t v) { return __builtin_bswap32(v); }
inline uint16_t Unit16(uint16_t v, bool swap) { return swap ? Swap16(v) : v; }
inline uint32_t Unit32(uint32_t v, bool swap) { return swap ? Swap32(v) : v; }

inline uint32_t JoinSurrogates(uint32_t high, uint32_t low) { return (high << 10) + low - 0x35FDC00u; }

// Bytes that the UTF-8 form of a scalar value takes.
inline int UTF8Length(uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// Writes the UTF-8 form of a scalar value; returns its length.
inline int EncodeUTF8(uint32_t c, unsigned char* out) {
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  return 4;
}

enum : int { kUTF8Truncated = 0, kUTF8IllFormed = -1 };

// Decodes the well-formed UTF-8 character at p, with n bytes available.
// Returns its length (1-4) and stores the code point; kUTF8Truncated when the
// available bytes are a well-formed beginning cut off by the end; kUTF8IllFormed
// otherwise. Bytes are looked at one by one, so nothing past the first byte
// that decides the answer is read.
inline int DecodeUTF8(const unsigned char* p, int64_t n, uint32_t* code) {
  if (n <= 0) return kUTF8Truncated;
  const uint32_t b0 = p[0];
  if (b0 < 0x80) {
    *code = b0;
    return 1;
  }
  int length;
  uint32_t low = 0x80, high = 0xBF;  // range of the second byte
  uint32_t c;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    c = b0 & 0x0F;
    if (b0 == 0xE0) low = 0xA0;       // overlong
    else if (b0 == 0xED) high = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    c = b0 & 0x07;
    if (b0 == 0xF0) low = 0x90;        // overlong
    else if (b0 == 0xF4) high = 0x8F;  // above 0x10FFFF
  } else {
    return kUTF8IllFormed;
  }
  if (n < 2) return kUTF8Truncated;
  const uint32_t b1 = p[1];
  if (b1 < low || b1 > high) return kUTF8IllFormed;
  c = (c << 6) | (b1 & 0x3F);
  for (int i = 2; i < length; ++i) {
    if (n <= i) return kUTF8Truncated;
    const uint32_t b = p[i];
    if ((b & 0xC0) != 0x80) return kUTF8IllFormed;
    c = (c << 6) | (b & 0x3F);
  }
  *code = c;
  return length;
}

// Decodes one UTF-16 character (units already in this machine's order).
// Returns 1 or 2 units, 0 when a leading surrogate is the last unit, -1 for a
// surrogate that is not part of a pair.
inline int DecodeUTF16(const uint16_t* p, int64_t n, bool swap, uint32_t* code) {
  const uint32_t u0 = Unit16(p[0], swap);
  if (!IsSurrogate(u0)) {
    *code = u0;
    return 1;
  }
  if (!IsLeadingSurrogate(u0)) return -1;
  if (n < 2) return 0;
  const uint32_t u1 = Unit16(p[1], swap);
  if (!IsTrailingSurrogate(u1)) return -1;
  *code = JoinSurrogates(u0, u1);
  return 2;
}

inline bool AllASCII8(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return (v & 0x8080808080808080ull) == 0;
}

// The length of the 7-bit run that starts the n bytes at p: most text is
// 7-bit, and a run is found 32 bytes at a time.
inline int64_t ASCIIRun(const unsigned char* p, int64_t n) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  int64_t i = 0;
  for (; n - i >= 32; i += 32) {
    uint64_t v[4];
    std::memcpy(v, p + i, sizeof v);
    if (((v[0] | v[1] | v[2] | v[3]) & kHigh) != 0) break;
  }
  for (; n - i >= 8 && AllASCII8(p + i); i += 8) {
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

}  // namespace Quorvane::unicode

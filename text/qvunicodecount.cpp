// Sizing strings in another form, counting their characters, and the lossless
// tests. The sizing functions refuse exactly what the converters refuse, so a
// size that was given is the size the conversion writes.
#include <algorithm>

#include "text/qvunicode.h"
#include "text/qvunicodecodec.h"

using namespace Quorvane::unicode;

namespace {

bool BadArguments(const void* s, int64_t length, const int64_t* count) {
  return s == nullptr || count == nullptr || length < 0;
}

bool BadOrder(endian e) { return e != QV_ENDIAN_NATIVE && e != QV_ENDIAN_SWAPPED; }

// Walks well-formed UTF-8; calls add(code, length) per character, or
// ascii(p, n) for a run of n 7-bit characters at p at once (by default, add
// for each). Returns 1, or 0 at an ill-formed or cut-off sequence, or what
// add or ascii returns when it is not 1.
template <typename Add, typename Ascii>
int WalkUTF8(const unsigned char* s, int64_t length, Add add, Ascii ascii) {
  int64_t i = 0;
  while (i < length) {
    if (s[i] < 0x80) {
      const int64_t run = ASCIIRun(s + i, length - i);
      const int r = ascii(s + i, run);
      if (r != 1) return r;
      i += run;
      continue;
    }
    uint32_t code;
    const int n = DecodeUTF8(s + i, length - i, &code);
    if (n <= 0) return 0;
    const int r = add(code, n);
    if (r != 1) return r;
    i += n;
  }
  return 1;
}

template <typename Add>
int WalkUTF8(const unsigned char* s, int64_t length, Add add) {
  return WalkUTF8(s, length, add, [&add](const unsigned char* p, int64_t n) {
    for (int64_t k = 0; k < n; ++k) {
      const int r = add(p[k], 1);
      if (r != 1) return r;
    }
    return 1;
  });
}

// Sizes well-formed UTF-8 in another form, size_of(code) units per character
// (one for each 7-bit one); a size below 1 is answered as the refusal.
template <typename SizeOf>
int SizeUTF8(const unsigned char* s, int64_t length, int64_t* count, SizeOf size_of) {
  if (BadArguments(s, length, count)) return 0;
  int64_t n = 0;
  const int r = WalkUTF8(
      s, length,
      [&n, &size_of](uint32_t c, int) {
        const int units = size_of(c);
        if (units < 1) return units;
        n += units;
        return 1;
      },
      [&n](const unsigned char*, int64_t run) {
        n += run;
        return 1;
      });
  if (r != 1) return r;
  *count = n;
  return 1;
}

// Sizes UTF-32 text in another form, size_of(code) units per scalar value.
template <typename SizeOf>
int SizeUTF32(const unsigned int* s, int64_t length, int64_t* count, endian e, SizeOf size_of) {
  if (BadArguments(s, length, count) || BadOrder(e)) return 0;
  const bool swap = e == QV_ENDIAN_SWAPPED;
  int64_t n = 0;
  for (int64_t i = 0; i < length; ++i) {
    const uint32_t c = Unit32(s[i], swap);
    if (!IsScalarValue(c)) return 0;
    n += size_of(c);
  }
  *count = n;
  return 1;
}

}  // namespace

// Every byte but a continuation byte (10xxxxxx) starts a character. The
// bytes go in blocks of fixed length, each lane counting its own (a loop the
// compiler makes wide), at most 255 blocks before the lanes are summed.
int QVCountUnicodePointsInUTF8String(const unsigned char* s, int64_t length, int64_t* count) {
  if (BadArguments(s, length, count)) return 0;
  constexpr int kBlock = 64;
  int64_t continuations = 0;
  int64_t i = 0;
  while (length - i >= kBlock) {
    const int64_t blocks = std::min<int64_t>((length - i) / kBlock, 255);
    unsigned char lanes[kBlock] = {};
    for (int64_t b = 0; b < blocks; ++b, i += kBlock) {
      for (int k = 0; k < kBlock; ++k) lanes[k] += (s[i + k] & 0xC0) == 0x80;
    }
    for (int k = 0; k < kBlock; ++k) continuations += lanes[k];
  }
  for (; i < length; ++i) continuations += (s[i] & 0xC0) == 0x80;
  *count = length - continuations;
  return 1;
}

int QVCountUnicodePointsInUTF16String(const unsigned short* s, int64_t length, int64_t* count, endian e) {
  if (BadArguments(s, length, count) || BadOrder(e)) return 0;
  const bool swap = e == QV_ENDIAN_SWAPPED;
  int64_t n = 0;
  for (int64_t i = 0; i < length; ++i) n += !IsTrailingSurrogate(Unit16(s[i], swap));
  *count = n;
  return 1;
}

int QVCountUTF8SizeOfUCS2String(const unsigned short* s, int64_t length, int64_t* count) {
  if (BadArguments(s, length, count)) return 0;
  int64_t n = 0;
  for (int64_t i = 0; i < length; ++i) {
    if (IsSurrogate(s[i])) return 0;
    n += UTF8Length(s[i]);
  }
  *count = n;
  return 1;
}

int QVCountUTF8SizeOfUTF16String(const unsigned short* s, int64_t length, int64_t* count, endian e) {
  if (BadArguments(s, length, count) || BadOrder(e)) return 0;
  const bool swap = e == QV_ENDIAN_SWAPPED;
  int64_t n = 0;
  for (int64_t i = 0; i < length;) {
    uint32_t code;
    const int used = DecodeUTF16(s + i, length - i, swap, &code);
    if (used <= 0) return 0;  // a surrogate outside a pair
    n += UTF8Length(code);
    i += used;
  }
  *count = n;
  return 1;
}

int QVCountUTF8SizeOfUTF32String(const unsigned int* s, int64_t length, int64_t* count, endian e) {
  return SizeUTF32(s, length, count, e, UTF8Length);
}

int QVCountUCS2SizeOfUTF8String(const unsigned char* s, int64_t length, int64_t* count) {
  // -1: beyond UCS-2.
  return SizeUTF8(s, length, count, [](uint32_t c) { return c > 0xFFFF ? -1 : 1; });
}

int QVCountUTF16SizeOfUTF8String(const unsigned char* s, int64_t length, int64_t* count) {
  return SizeUTF8(s, length, count, [](uint32_t c) { return c > 0xFFFF ? 2 : 1; });
}

int QVCountUTF32SizeOfUTF8String(const unsigned char* s, int64_t length, int64_t* count) {
  return SizeUTF8(s, length, count, [](uint32_t) { return 1; });
}

int QVCountUTF16SizeOfUTF32String(const unsigned int* s, int64_t length, int64_t* count, endian e) {
  return SizeUTF32(s, length, count, e, [](uint32_t c) { return c > 0xFFFF ? 2 : 1; });
}

int QVCountUTF8SizeOfByteString(const unsigned char* s, int64_t length, int64_t* count) {
  if (BadArguments(s, length, count)) return 0;
  int64_t n = length;
  for (int64_t i = 0; i < length; ++i) n += s[i] >> 7;
  *count = n;
  return 1;
}

// ---- Lossless tests ----

namespace {
int WillConvertLosslessly(const unsigned char* s, int64_t length, uint32_t low, uint32_t high) {
  if (length == 0) return 1;
  if (s == nullptr || length < 0) return 0;
  return WalkUTF8(s, length, [low, high](uint32_t c, int) { return c >= low && c <= high ? 1 : 0; }) == 1 ? 1 : 0;
}
}  // namespace

int QVUTF8StringWillConvertLosslesslyToASCIIEncoding(const unsigned char* s, int64_t length) {
  return WillConvertLosslessly(s, length, 1, 0x7F);
}

int QVUTF8StringWillConvertLosslesslyToByteEncoding(const unsigned char* s, int64_t length) {
  return WillConvertLosslessly(s, length, 0, 0xFF);
}

int QVUTF8StringWillConvertLosslesslyToUCS2Encoding(const unsigned char* s, int64_t length) {
  return WillConvertLosslessly(s, length, 0, 0xFFFF);
}

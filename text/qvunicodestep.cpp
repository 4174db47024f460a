// Stepping through a string one character at a time. On success the position
// moves past the character and the units left drop by its units; a refused or
// cut-off character moves nothing and writes nothing.
#include <cstring>

#include "text/qvunicode.h"
#include "text/qvunicodecodec.h"

using namespace Quorvane::unicode;

namespace {
bool KnownOrder(endian e) { return e == QV_ENDIAN_NATIVE || e == QV_ENDIAN_SWAPPED; }

void Advance(const unsigned char** text, int64_t* left, int n) {
  *text += n;
  *left -= n;
}
}  // namespace

int QVNextUTF32FromUTF8String(const unsigned char** text, int64_t* left, unsigned int* code) {
  if (text == nullptr || *text == nullptr || left == nullptr || code == nullptr) return 0;
  if (*left <= 0) return -1;
  uint32_t c;
  const int n = DecodeUTF8(*text, *left, &c);
  if (n <= 0) return 0;
  *code = c;
  Advance(text, left, n);
  return 1;
}

int QVNextUTF8FromUTF8String(const unsigned char** text, int64_t* left, unsigned char* out, int* count) {
  if (text == nullptr || *text == nullptr || left == nullptr || out == nullptr || count == nullptr ||
      *count != 4) {
    return 0;
  }
  if (*left <= 0) return -1;
  uint32_t c;
  const int n = DecodeUTF8(*text, *left, &c);
  if (n <= 0) return 0;
  std::memcpy(out, *text, n);
  *count = n;
  Advance(text, left, n);
  return 1;
}

int QVNextUCS2FromUTF8String(const unsigned char** text, int64_t* left, unsigned short* out) {
  if (text == nullptr || *text == nullptr || left == nullptr || out == nullptr || *left <= 0) return 0;
  uint32_t c;
  const int n = DecodeUTF8(*text, *left, &c);
  if (n <= 0 || c > 0xFFFF) return -1;
  *out = static_cast<unsigned short>(c);
  Advance(text, left, n);
  return 1;
}

int QVNextUTF16FromUTF8String(const unsigned char** text, int64_t* left, unsigned short* out, int* count) {
  if (text == nullptr || *text == nullptr || left == nullptr || out == nullptr || count == nullptr ||
      *count < 2 || *left <= 0) {
    return 0;
  }
  uint32_t c;
  const int n = DecodeUTF8(*text, *left, &c);
  if (n <= 0) return -1;
  QVMakeUTF16FromUTF32(c, out, count);
  Advance(text, left, n);
  return 1;
}

int QVNextUTF16FromUTF16String(const unsigned short** text, int64_t* left, unsigned short* out, int* count,
                               endian e) {
  if (text == nullptr || *text == nullptr || left == nullptr || out == nullptr || count == nullptr ||
      *count != 2 || !KnownOrder(e)) {
    return 0;
  }
  if (*left <= 0) return -1;
  const bool swap = e == QV_ENDIAN_SWAPPED;
  uint32_t c;
  const int n = DecodeUTF16(*text, *left, swap, &c);
  if (n <= 0) return 0;  // cut inside a pair, or a surrogate outside a pair
  for (int i = 0; i < n; ++i) out[i] = Unit16((*text)[i], swap);
  *count = n;
  *text += n;
  *left -= n;
  return 1;
}

int QVNextUTF8FromUTF16String(const unsigned short** text, int64_t* left, unsigned char* out, int* count,
                              endian e) {
  if (text == nullptr || *text == nullptr || left == nullptr || out == nullptr || count == nullptr ||
      *count != 4 || !KnownOrder(e) || *left <= 0) {
    return 0;
  }
  uint32_t c;
  const int n = DecodeUTF16(*text, *left, e == QV_ENDIAN_SWAPPED, &c);
  if (n <= 0) return -1;
  *count = EncodeUTF8(c, out);
  *text += n;
  *left -= n;
  return 1;
}

int QVNextUTF8FromUTF32String(const unsigned int** text, int64_t* left, unsigned char* out, int* count,
                              endian e) {
  if (text == nullptr || *text == nullptr || left == nullptr || out == nullptr || count == nullptr ||
      *count != 4 || !KnownOrder(e) || *left <= 0) {
    return 0;
  }
  const uint32_t c = Unit32(**text, e == QV_ENDIAN_SWAPPED);
  if (!IsScalarValue(c)) return -1;
  *count = EncodeUTF8(c, out);
  *text += 1;
  *left -= 1;
  return 1;
}

int QVNextUTF32FromUTF16String(const unsigned short** text, int64_t* left, unsigned int* code, endian e) {
  if (text == nullptr || *text == nullptr || left == nullptr || code == nullptr || !KnownOrder(e) ||
      *left <= 0) {
    return 0;
  }
  uint32_t c;
  const int n = DecodeUTF16(*text, *left, e == QV_ENDIAN_SWAPPED, &c);
  if (n <= 0) return -1;  // cut inside a pair, or a surrogate outside a pair
  *code = c;
  *text += n;
  *left -= n;
  return 1;
}

// A plain unit reader: the unit is handed out as it is (after the swap), and
// the callers that encode it refuse what is no scalar value.
int QVNextUTF32FromUTF32String(const unsigned int** text, int64_t* left, unsigned int* code, endian e) {
  if (text == nullptr || *text == nullptr || left == nullptr || code == nullptr || e == QV_ENDIAN_UNKNOWN ||
      *left <= 0) {
    return 0;
  }
  *code = Unit32(**text, e != QV_ENDIAN_NATIVE);
  *text += 1;
  *left -= 1;
  return 1;
}

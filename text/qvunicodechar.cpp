// Single characters: byte and unit classes, the character accumulator, byte
// order, and building one character in one form from another.
#include <cstring>
#include <utility>

#include "text/qvunicode.h"
#include "text/qvunicodecodec.h"

using namespace Quorvane::unicode;

// ---- Byte and unit tests ----

int qv_get_sizeof_utf8_char(unsigned char byte) {
  if (byte < 0x80) return 1;
  if (byte >= 0xC0 && byte <= 0xDF) return 2;
  if (byte >= 0xE0 && byte <= 0xEF) return 3;
  if (byte >= 0xF0 && byte <= 0xF7) return 4;
  return 0;
}

int qv_byte_is_utf8_header_and_get_size(unsigned char byte) { return qv_get_sizeof_utf8_char(byte); }

int qv_byte_is_utf8_header(unsigned char byte) { return qv_get_sizeof_utf8_char(byte) != 0 ? 1 : 0; }

int qv_byte_is_utf8_secondary(unsigned char byte) { return (byte & 0xC0) == 0x80 ? 1 : 0; }

int qv_utf8_character_length_from_header(unsigned char byte) {
  if (byte < 0x80) return 1;
  if (byte >= 0xC2 && byte <= 0xDF) return 2;
  if (byte >= 0xE0 && byte <= 0xEF) return 3;
  if (byte >= 0xF0 && byte <= 0xF4) return 4;
  return -1;
}

int qv_short_is_utf16_header(unsigned short unit) { return IsTrailingSurrogate(unit) ? 0 : 1; }

int qv_short_is_utf16_secondary(unsigned short unit) { return IsTrailingSurrogate(unit) ? 1 : 0; }

// ---- Accumulator tests ----

namespace {
uint16_t AccumulatedUnit16(const _qvunicode* c, int index) {
  uint16_t v;
  std::memcpy(&v, c->units + 2 * index, 2);
  return v;
}
}  // namespace

int qv_utfchar_is_done(const _qvunicode* c) {
  if (c == nullptr) return -1;
  if (c->count == 0) return 0;
  switch (c->kind) {
    case QV_UNICODE_UTF32:
      return c->count == 4 ? 1 : 0;
    case QV_UNICODE_UTF16:
      if (c->count == 2) return 1;
      return c->count == 1 && !IsSurrogate(AccumulatedUnit16(c, 0)) ? 1 : 0;
    case QV_UNICODE_UTF8: {
      const unsigned char lead = c->units[0];
      if (lead < 0x80) return c->count == 1 ? 1 : 0;
      if (lead >= 0xC2 && lead <= 0xDF) return c->count == 2 ? 1 : 0;
      if (lead >= 0xE0 && lead <= 0xEF) return c->count == 3 ? 1 : 0;
      if (lead >= 0xF0 && lead <= 0xF4) return c->count == 4 ? 1 : 0;
      return 0;
    }
    default:
      return 0;
  }
}

int qv_utf8_is_valid_next_byte(const _qvunicode* c, unsigned char byte) {
  if (c == nullptr || c->count >= 4) return 0;
  if (c->count == 0) return qv_utf8_character_length_from_header(byte) > 0 ? 1 : 0;
  const unsigned char lead = c->units[0];
  const bool continuation = (byte & 0xC0) == 0x80;
  if (c->count == 1) {
    if (!continuation) return 0;
    switch (lead) {
      case 0xE0: return byte >= 0xA0 ? 1 : 0;
      case 0xED: return byte <= 0x9F ? 1 : 0;
      case 0xF0: return byte >= 0x90 ? 1 : 0;
      case 0xF4: return byte <= 0x8F ? 1 : 0;
      default:
        return (lead >= 0xC2 && lead <= 0xDF) || (lead >= 0xE1 && lead <= 0xEF) ||
                       (lead >= 0xF1 && lead <= 0xF3)
                   ? 1
                   : 0;
    }
  }
  if (c->count == 2) return continuation && lead >= 0xE0 && lead <= 0xF4 ? 1 : 0;
  return continuation ? 1 : 0;
}

// ---- Byte order ----

void qv_switch_byte_order(void* p, int size) {
  if (p == nullptr) return;
  auto* b = static_cast<unsigned char*>(p);
  if (size == 2) {
    std::swap(b[0], b[1]);
  } else {
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
  }
}

void QVSwitchUnsignedIntByteOrder(unsigned int* p) { qv_switch_byte_order(p, 4); }

// The marks are tested by value: a unit that reads as U+FEFF is in this
// machine's order (on the little-endian target, the bytes FF FE).
endian QVGetUTF16EndianType(const unsigned short* text) {
  if (text != nullptr) {
    uint16_t v;
    std::memcpy(&v, text, 2);
    if (v == kByteOrderMark) return QV_ENDIAN_NATIVE;
  }
  return QV_ENDIAN_SWAPPED;
}

endian QVGetUTF32EndianType(const unsigned int* text) {
  if (text != nullptr) {
    uint32_t v;
    std::memcpy(&v, text, 4);
    if (v == kByteOrderMark) return QV_ENDIAN_NATIVE;
  }
  return QV_ENDIAN_SWAPPED;
}

int QVHasByteOrderMark(const unsigned short* text) {
  if (text == nullptr) return 0;
  uint16_t v;
  std::memcpy(&v, text, 2);
  return QVUnsignedShortIsUTF16ByteOrderMark(v);
}

int QVHasByteOrderMark(const unsigned int* text) {
  if (text == nullptr) return 0;
  uint32_t v;
  std::memcpy(&v, text, 4);
  return QVUnsignedIntIsUTF32ByteOrderMark(v);
}

int QVUnsignedShortIsUTF16ByteOrderMark(unsigned short v) {
  return v == kByteOrderMark || v == kSwappedByteOrderMark ? 1 : 0;
}

int QVUnsignedIntIsUTF32ByteOrderMark(unsigned int v) { return v == 0x0000FEFFu || v == 0xFFFE0000u ? 1 : 0; }

void QVMakeUTF32ByteorderMark(unsigned char* p) {
  if (p == nullptr) return;
  const uint32_t mark = kByteOrderMark;
  std::memcpy(p, &mark, 4);
}

// ---- One character from another form ----

int QVMakeUTF8FromUTF32(unsigned int code, unsigned char* out, int* size) {
  if (out == nullptr || size == nullptr || *size < 4 || !IsScalarValue(code)) return 0;
  *size = EncodeUTF8(code, out);
  return 1;
}

int QVMakeUTF8FromUCS2(unsigned short unit, unsigned char* out, int* size) {
  if (out == nullptr || size == nullptr || *size != 4 || IsSurrogate(unit)) return 0;
  *size = EncodeUTF8(unit, out);
  return 1;
}

int QVMakeUTF8FromUTF16(const unsigned short* units, int count, unsigned char* out, int* size) {
  if (units == nullptr || out == nullptr || size == nullptr || *size < 4 || count <= 0) return 0;
  uint32_t code;
  // One unit must be a whole character; two must be a surrogate pair.
  if (DecodeUTF16(units, count == 1 ? 1 : 2, false, &code) != (count == 1 ? 1 : 2)) return 0;
  *size = EncodeUTF8(code, out);
  return 1;
}

int QVMakeUCS2FromUTF8(const unsigned char* bytes, int count, unsigned short* out) {
  if (bytes == nullptr || out == nullptr) return 0;
  if (count <= 0) return 1;
  if (count > 3) return -1;  // beyond UCS-2
  uint32_t code;
  if (DecodeUTF8(bytes, count, &code) != count) return 0;
  *out = static_cast<unsigned short>(code);
  return 1;
}

int QVMakeUTF16FromUTF8(const unsigned char* bytes, int count, unsigned short* out, int* units) {
  if (bytes == nullptr || out == nullptr || units == nullptr || *units < 2 || count > 4) return 0;
  if (count <= 0) {
    *units = 1;
    return 1;
  }
  uint32_t code;
  if (DecodeUTF8(bytes, count, &code) != count) return 0;
  return QVMakeUTF16FromUTF32(code, out, units);
}

int QVMakeUTF32FromUTF8(const unsigned char* bytes, int count, unsigned int* out) {
  if (bytes == nullptr || out == nullptr || count < 1 || count > 4) return 0;
  uint32_t code;
  if (DecodeUTF8(bytes, count, &code) != count) return 0;
  *out = code;
  return 1;
}

int QVMakeUTF16FromUTF32(unsigned int code, unsigned short* out, int* units) {
  if (out == nullptr || units == nullptr || *units < 2 || !IsScalarValue(code)) return 0;
  if (code < 0x10000) {
    out[0] = static_cast<unsigned short>(code);
    *units = 1;
  } else {
    QVMakeSurrogatePairFromUTF32(code, out);
    *units = 2;
  }
  return 1;
}

int QVMakeUCS2FromUTF32(unsigned int code, unsigned short* out, int* count) {
  if (out == nullptr || count == nullptr || *count < 1 || code > 0xFFFF) return 0;
  *out = static_cast<unsigned short>(code);
  *count = 1;
  return 1;
}

int QVMakeUTF32FromUTF16(const unsigned short* units, int count, unsigned int* out) {
  if (units == nullptr || out == nullptr || (count != 1 && count != 2)) return 0;
  uint32_t code;
  if (DecodeUTF16(units, count, false, &code) != count) return 0;
  *out = code;
  return 1;
}

int QVMakeUTF32FromSurrogatePair(unsigned short high, unsigned short low, unsigned int* out) {
  *out = JoinSurrogates(high, low);
  return 1;
}

int QVMakeSurrogatePairFromUTF32(unsigned int code, unsigned short* out) {
  out[0] = static_cast<unsigned short>((code >> 10) + 0xD7C0);
  out[1] = static_cast<unsigned short>((code & 0x3FF) | 0xDC00);
  return 1;
}

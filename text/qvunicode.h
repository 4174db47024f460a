// Unicode primitives: classifying bytes and 16-bit units, building one
// character in one form from another, sizing, stepping through and converting
// whole strings between UTF-8, UCS-2, UTF-16 and UTF-32, and byte order.
//
// Plain reentrant functions without shared state. Lengths count the units of
// their encoding (bytes, 16-bit or 32-bit units) and are signed 64-bit.
//
// Byte order: UTF-16 and UTF-32 text without a leading byte-order mark is read
// byte-swapped; every UTF-16 or UTF-32 text made here for a caller begins with
// U+FEFF in this machine's order, so that it is read unswapped when it comes back.
//
// Well-formedness: every function that decodes UTF-8 to size, step or convert
// takes only the well-formed sequences of the Unicode standard (no overlong
// forms, no surrogates, nothing above 0x10FFFF, no stray or missing
// continuation bytes) and refuses anything else; the UTF-16 readers refuse a
// surrogate that is not part of a pair. The two code-point counters
// (QVCountUnicodePointsInUTF8String/UTF16String) only count and do not validate.
#pragma once

#include <cstdint>

// The byte order of UTF-16 and UTF-32 units relative to this machine.
enum endian : int {
  QV_ENDIAN_NATIVE = 0,   // units are in this machine's order
  QV_ENDIAN_SWAPPED = 1,  // every unit must be byte-swapped before use
  QV_ENDIAN_UNKNOWN = 2   // not known; refused where a byte order is needed
};

// One character being assembled from code units, in arrival order.
struct _qvunicode {
  unsigned char units[4];  // up to four UTF-8 bytes, two UTF-16 units or one UTF-32 unit
  uint16_t kind;           // 1 UTF-8, 2 UTF-16, 3 UTF-32
  uint32_t count;          // units gathered so far (bytes for UTF-32); 0 = empty
};

enum : uint16_t { QV_UNICODE_UTF8 = 1, QV_UNICODE_UTF16 = 2, QV_UNICODE_UTF32 = 3 };

// ---- Byte and unit tests ----
int qv_get_sizeof_utf8_char(unsigned char byte);
int qv_byte_is_utf8_header_and_get_size(unsigned char byte);
int qv_byte_is_utf8_header(unsigned char byte);
int qv_byte_is_utf8_secondary(unsigned char byte);
int qv_utf8_character_length_from_header(unsigned char byte);
int qv_short_is_utf16_header(unsigned short unit);
int qv_short_is_utf16_secondary(unsigned short unit);

// ---- Accumulator tests ----
int qv_utfchar_is_done(const _qvunicode* c);
int qv_utf8_is_valid_next_byte(const _qvunicode* c, unsigned char byte);

// ---- Byte order ----
void qv_switch_byte_order(void* p, int size);
void QVSwitchUnsignedIntByteOrder(unsigned int* p);
endian QVGetUTF16EndianType(const unsigned short* text);
endian QVGetUTF32EndianType(const unsigned int* text);
int QVHasByteOrderMark(const unsigned short* text);
int QVHasByteOrderMark(const unsigned int* text);
int QVUnsignedShortIsUTF16ByteOrderMark(unsigned short v);
int QVUnsignedIntIsUTF32ByteOrderMark(unsigned int v);
void QVMakeUTF32ByteorderMark(unsigned char* p);

// ---- One character from another form ----
// 1 on success, 0 on a null pointer or a refused value unless said otherwise.
int QVMakeUTF8FromUTF32(unsigned int code, unsigned char* out, int* size);
int QVMakeUTF8FromUCS2(unsigned short unit, unsigned char* out, int* size);
int QVMakeUTF8FromUTF16(const unsigned short* units, int count, unsigned char* out, int* size);
int QVMakeUCS2FromUTF8(const unsigned char* bytes, int count, unsigned short* out);
int QVMakeUTF16FromUTF8(const unsigned char* bytes, int count, unsigned short* out, int* units);
int QVMakeUTF32FromUTF8(const unsigned char* bytes, int count, unsigned int* out);
int QVMakeUTF16FromUTF32(unsigned int code, unsigned short* out, int* units);
int QVMakeUCS2FromUTF32(unsigned int code, unsigned short* out, int* count);
int QVMakeUTF32FromUTF16(const unsigned short* units, int count, unsigned int* out);
int QVMakeUTF32FromSurrogatePair(unsigned short high, unsigned short low, unsigned int* out);
int QVMakeSurrogatePairFromUTF32(unsigned int code, unsigned short* out);

// ---- Counting ----
// 1 on success, 0 on a null pointer or a refused character; an empty string counts 0.
int QVCountUnicodePointsInUTF8String(const unsigned char* s, int64_t length, int64_t* count);
int QVCountUnicodePointsInUTF16String(const unsigned short* s, int64_t length, int64_t* count, endian e);
int QVCountUTF8SizeOfUCS2String(const unsigned short* s, int64_t length, int64_t* count);
int QVCountUTF8SizeOfUTF16String(const unsigned short* s, int64_t length, int64_t* count, endian e);
int QVCountUTF8SizeOfUTF32String(const unsigned int* s, int64_t length, int64_t* count, endian e);
// -1 when a character lies beyond UCS-2.
int QVCountUCS2SizeOfUTF8String(const unsigned char* s, int64_t length, int64_t* count);
int QVCountUTF16SizeOfUTF8String(const unsigned char* s, int64_t length, int64_t* count);
// Code points of well-formed UTF-8 (0 for ill-formed or cut-off text).
int QVCountUTF32SizeOfUTF8String(const unsigned char* s, int64_t length, int64_t* count);
int QVCountUTF16SizeOfUTF32String(const unsigned int* s, int64_t length, int64_t* count, endian e);
int QVCountUTF8SizeOfByteString(const unsigned char* s, int64_t length, int64_t* count);

// ---- Stepping ----
// On success the position moves past the character, the remaining count drops
// by its units, and the result is 1. A refused character leaves the output
// unwritten and the position unmoved.
int QVNextUTF32FromUTF8String(const unsigned char** text, int64_t* left, unsigned int* code);
int QVNextUTF8FromUTF8String(const unsigned char** text, int64_t* left, unsigned char* out, int* count);
int QVNextUCS2FromUTF8String(const unsigned char** text, int64_t* left, unsigned short* out);
int QVNextUTF16FromUTF8String(const unsigned char** text, int64_t* left, unsigned short* out, int* count);
int QVNextUTF16FromUTF16String(const unsigned short** text, int64_t* left, unsigned short* out, int* count,
                               endian e);
int QVNextUTF8FromUTF16String(const unsigned short** text, int64_t* left, unsigned char* out, int* count,
                              endian e);
int QVNextUTF8FromUTF32String(const unsigned int** text, int64_t* left, unsigned char* out, int* count,
                              endian e);
int QVNextUTF32FromUTF16String(const unsigned short** text, int64_t* left, unsigned int* code, endian e);
int QVNextUTF32FromUTF32String(const unsigned int** text, int64_t* left, unsigned int* code, endian e);

// ---- Whole strings ----
// 1 when the whole source was converted; -1 when the destination is too small
// or a character cannot be converted (nothing is written past the capacity);
// 0 for a null pointer or a zero length on either side.
int QVConvertUTF16StringToUTF8String(const unsigned short* src, int64_t length, unsigned char* dst,
                                     int64_t capacity);
int QVConvertUTF32StringToUTF8String(const unsigned int* src, int64_t length, unsigned char* dst,
                                     int64_t capacity);
int QVConvertUCS2StringToUTF8String(const unsigned short* src, int64_t length, unsigned char* dst,
                                    int64_t capacity);
int QVConvertUTF8StringToUCS2String(const unsigned char* src, int64_t length, unsigned short* dst,
                                    int64_t capacity);
int QVConvertUTF8StringToUTF16String(const unsigned char* src, int64_t length, unsigned short* dst,
                                     int64_t capacity);
int QVConvertUTF8StringToUTF32String(const unsigned char* src, int64_t length, unsigned int* dst,
                                     int64_t capacity);

// ---- Lossless tests (UTF-8 in; 1 or 0; an empty string answers 1) ----
int QVUTF8StringWillConvertLosslesslyToASCIIEncoding(const unsigned char* s, int64_t length);
int QVUTF8StringWillConvertLosslesslyToByteEncoding(const unsigned char* s, int64_t length);
int QVUTF8StringWillConvertLosslesslyToUCS2Encoding(const unsigned char* s, int64_t length);

// ---- Search within one encoding (kind 1 UTF-8, 2 UTF-16 in this machine's order, 3 UTF-32) ----
int qvutf__strncmp(const void* a, int64_t a_bytes, const void* b, int64_t b_bytes, int64_t n, int kind);
const void* qvutf__strstr(const void* haystack, int64_t haystack_bytes, int64_t haystack_units,
                          const void* needle, int64_t needle_bytes, int64_t needle_chars, endian e, int kind);

/* Legacy strings: characters up to U+FFFF as bytes, with a few byte values
 * reserved as prefixes.
 *
 *   character 0                    0xFF
 *   1 to 247                       the byte itself
 *   248 to 255                     0xF8, the byte
 *   256 to 0xFFFF, low byte not 0  0xFB, high byte, low byte
 *   256 to 0xFFFF, low byte 0      0xFA, high byte
 *
 * A reader also takes 0xF9 followed by a byte as that byte. A zero byte ends a
 * zero-terminated legacy text. None of these functions throws. */
#ifndef QUORVANE_OLDSTRINGS_H
#define QUORVANE_OLDSTRINGS_H

#include <stdint.h>

#include "quorvane_export.h"

#ifdef __cplusplus
extern "C" {
#endif
QV_EXPORT_BEGIN

/* Where a walk over a zero-terminated legacy text stands. */
typedef struct RVOldStringPosition {
  const unsigned char* current; /* the value bytes of the current character */
  int kind;      /* 0 or 1 a plain byte, 2 two bytes high first, 249 a byte after 0xF9,
                    250 a high byte after 0xFA, 255 the character 0 */
  int64_t run;   /* characters left in the current code: 1, or 0 at the end */
  const unsigned char* code_start; /* the first byte of the current code */
} RVOldStringPosition;

enum {
  RV_OLDSTRING_PLAIN = 0,
  RV_OLDSTRING_PREFIXED_BYTE = 1,
  RV_OLDSTRING_DOUBLE_BYTE = 2,
  RV_OLDSTRING_ESCAPED_BYTE = 249,
  RV_OLDSTRING_HIGH_BYTE = 250,
  RV_OLDSTRING_ZERO = 255
};

/* The number of bytes (1, 2 or 3) of the code of one character, taken as a
 * 16-bit value; with a cursor also writes them and advances it. */
int RVOldPutCharToString(unsigned int code, unsigned char** cursor);

/* With a null end: stores the legacy size of the text through cursor_or_size
 * (an int64_t*) and returns 0. Otherwise cursor_or_size is an unsigned char**:
 * writes as many whole codes as fit before end, advances the cursor and
 * returns the number of units not written (0 when all are; all of them when
 * there is no cursor to write at). */
int64_t RVOldConvertByteString(const unsigned char* bytes, int64_t count, void* cursor_or_size,
                               unsigned char* end);
/* The same for 16-bit units in this machine's order. */
int64_t RVOldConvertUCS2String(const unsigned short* units, int64_t count, void* cursor_or_size,
                               unsigned char* end);

/* Positions on the first character of a zero-terminated legacy text and
 * returns the address of its value bytes. At the end (a zero byte, or a
 * prefix that the zero byte cuts off) the run is 0. */
const unsigned char* RVOldStringFirstPosFun(const unsigned char* text, RVOldStringPosition* position);
/* Steps over the current character; returns the new address. Stays put at the end. */
const unsigned char* RVOldStringNextPosFun(RVOldStringPosition* position);
/* The current character (0 at the end). */
unsigned int RVOldStringCharFun(const RVOldStringPosition* position);

/* The address of the first occurrence of byte, or buffer + length. */
const unsigned char* inline_memchr2(const unsigned char* buffer, int byte, int64_t length);

QV_EXPORT_END
#ifdef __cplusplus
}
#endif

#endif

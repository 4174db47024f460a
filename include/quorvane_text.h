/* Public string helpers: text in any encoding to escaped ASCII, and walking
 * escaped ASCII one character at a time. Plain C functions.
 *
 * Escaped ASCII writes 0x20-0x7E as the byte itself (a backslash as two),
 * below 0x20 and 0x7F-0xFF as a backslash and three octal digits, 0x100-0xFFFF
 * as "\:" and four upper-case hex digits, and 0x10000-0x10FFFF as "\|" and six.
 *
 * Conversion functions (RVConvert...String): arguments are the source, its
 * number of characters, the cursor and the end of the destination.
 *  - Size pass (end null): the third argument points to an int64_t that
 *    receives the number of bytes the write pass writes for the whole text;
 *    returns 0, or -1 (size 0) when the text holds a character that has no
 *    escaped form (ill-formed UTF-8, a UTF-32 unit above 0x10FFFF).
 *  - Write pass: writes from *cursor, never past end and never part of a
 *    character, and moves *cursor past what it wrote. Returns the number of
 *    characters not written (0 when all were: call again with the rest to go
 *    on), or -1 when it stopped at a character that has no escaped form.
 * For UTF-8 and UTF-16 the count is the number of code points, read until
 * complete; for the other forms it is the number of units. 16-bit and 32-bit
 * units are in this machine's order, except for RVConvertDoubleByteString
 * whose units are stored high byte first. The NL forms write the character
 * newline as a backslash and n.
 */
#ifndef QUORVANE_TEXT_H
#define QUORVANE_TEXT_H

#include <stdint.h>

#include "quorvane_export.h"

#ifdef __cplusplus
extern "C" {
#endif
QV_EXPORT_BEGIN

int RVConvertByteString(const unsigned char* s, int64_t count, char** cursor, char* end);
int RVConvertByteStringNL(const unsigned char* s, int64_t count, char** cursor, char* end, int newline);
int RVConvertUCS2String(const unsigned short* s, int64_t count, char** cursor, char* end);
int RVConvertUCS2StringNL(const unsigned short* s, int64_t count, char** cursor, char* end, int newline);
int RVConvertUTF8String(const unsigned char* s, int64_t count, char** cursor, char* end);
int RVConvertUTF8StringNL(const unsigned char* s, int64_t count, char** cursor, char* end, int newline);
int RVConvertUTF16String(const unsigned short* s, int64_t count, char** cursor, char* end);
int RVConvertUTF16StringNL(const unsigned short* s, int64_t count, char** cursor, char* end, int newline);
int RVConvertUTF32String(const unsigned int* s, int64_t count, char** cursor, char* end);
int RVConvertUTF32StringNL(const unsigned int* s, int64_t count, char** cursor, char* end, int newline);
int RVConvertDoubleByteString(const unsigned char* s, int64_t count, char** cursor, char* end);
int RVConvertDoubleByteStringNL(const unsigned char* s, int64_t count, char** cursor, char* end, int newline);

/* Writes a backslash and n at *cursor and advances it by 2 when cursor is
 * given; returns 2. */
int RVConvertNewLine(char** cursor);

/* Writes the escaped form of one code point at *cursor and advances it when
 * cursor is given; returns its length 1, 2, 4, 6 or 8, or 0 (nothing written)
 * for a code above 0x10FFFF. */
int RVConvertCharacter(unsigned int code, char** cursor);

/* Moves *cursor over up to n characters and returns n less the characters
 * passed (a negative n: all of them, and the ones' complement of their
 * number); stops before an escape that the text
 * cuts off; -1 at an unknown escape. end null: the text ends at its zero byte.
 * more: more text may follow end. */
int64_t RVCharacterOffset(const char** cursor, const char* end, int64_t n, int more);

/* The first character of zero-terminated escaped text, or a negative value. */
int RVStringCharacter(const char* text);

/* Reads the character at *cursor (the text ends at end, or at its zero byte
 * when end is null) and moves past it. Returns the code point; -1 at the end of
 * the text, inside a cut escape or at an unknown escape (nothing moves); -2 for
 * an escape that stands for no character (the cursor moves past it). */
int RVNextCharacter(const char** cursor, const char* end);

/* Reads the character at byte offset *offset of text (length in bytes, -1 for
 * zero-terminated text), stores the offset after it and returns its code, as
 * RVNextCharacter. */
int RVNextCharacterFromStringWithLength(const char* text, int64_t* offset, int64_t length);

/* A walk over zero-terminated text: the current position and the end. */
typedef struct RVStringPosition {
  const char* cursor;
  const char* end;
} RVStringPosition;

/* Sets position to the start of text and its terminating zero byte; returns text. */
const char* RVStringFirstPosFun(const char* text, RVStringPosition* position);

QV_EXPORT_END
#ifdef __cplusplus
}
#endif

#endif /* QUORVANE_TEXT_H */

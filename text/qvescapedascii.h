// Escaped ASCII: the library's 7-bit text form. Printable ASCII stands for
// itself; everything else is a backslash escape.
//
// Written forms: 0x20-0x7E as the byte (the backslash doubled); below 0x20 and
// 0x7F-0xFF a backslash and three octal digits; 0x100-0xFFFF "\:" and four
// upper-case hex digits; 0x10000-0x10FFFF "\|" and six.
//
// Read forms after a backslash: newline or carriage return (a line
// continuation, dropped), " ' ? \ (themselves), a b f n r t v, one to three
// octal digits, "." and two hex digits, ":" and four, "|" and six, "x" and one
// to six hex digits, "[" a long name "]".
#pragma once

#include <cstdint>

namespace Quorvane::escapedascii {

// Longest escape the reader takes, in bytes ("\[" name "]").
constexpr int kMaxLongName = 32;
constexpr int kMaxEscape = 2 + kMaxLongName + 1;
// Digits of the open-ended "x" form: enough for every code point.
constexpr int kMaxXDigits = 6;

// Bytes of the written form of code c (c <= 0x10FFFF).
inline int EscapedLength(uint32_t c) {
  if (c >= 0x20 && c <= 0x7E) return c == 0x5C ? 2 : 1;
  if (c <= 0xFF) return 4;
  if (c <= 0xFFFF) return 6;
  return 8;
}

// Writes the form of code c (c <= 0x10FFFF); returns its length.
inline int WriteEscaped(uint32_t c, char* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  if (c >= 0x20 && c <= 0x7E) {
    if (c != 0x5C) {
      out[0] = static_cast<char>(c);
      return 1;
    }
    out[0] = out[1] = '\\';
    return 2;
  }
  out[0] = '\\';
  if (c <= 0xFF) {
    out[1] = static_cast<char>('0' + (c >> 6));
    out[2] = static_cast<char>('0' + ((c >> 3) & 7));
    out[3] = static_cast<char>('0' + (c & 7));
    return 4;
  }
  const int digits = c <= 0xFFFF ? 4 : 6;
  out[1] = digits == 4 ? ':' : '|';
  for (int i = 0; i < digits; ++i) out[2 + i] = kHex[(c >> (4 * (digits - 1 - i))) & 0xF];
  return 2 + digits;
}

}  // namespace Quorvane::escapedascii

// Reads one character at *cursor, up to end (null: the text ends at its zero
// byte). more: more text may follow end. join: a "\:" high surrogate followed by
// a "\:" low surrogate is read as one code point, *joined (may be null) set to 1.
// Returns the code point; -1 when the text is empty, ends inside an escape or
// the escape letter is unknown (the cursor does not move); -2 for an escape that
// is complete but stands for no character (a long name, a broken surrogate
// pair, a value above 0x10FFFF, a hex form with a byte that is no hex digit);
// the cursor is then past it.
int QVNextChar(const char** cursor, const char* end, int more, int join, int* joined);

// Moves *cursor over up to n characters and returns n less the characters
// passed; a negative n passes all of them and returns the ones' complement of
// their number. -1 at an unknown escape letter. Stops
// before an escape that the text cuts off, leaving the cursor on its backslash.
int64_t QVCharOffset(const char** cursor, const char* end, int64_t n, int more);

// No long names are known: -2 for every name.
int QVLongNameToCharacterCode(const char* name, int64_t length);

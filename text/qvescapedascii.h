// Escaped ASCII: the library's 7-bit text form. Printable ASCII stands for
// itself; everything else is a backslash escape.
//
// Written forms: 0x20-0x7E as the byte (the backslash doubled); below 0x20 and
// 0x7F-0xFF a backslash and three octal digits; 0x100-0xFFFF "\:" and four
// upper-case hex digits; 0x10000-0x10FFFF "\|" and six.
//
// Read forms after a backslash: newline or carriage return (a line
// continuation, dropped), " ' ? \ (themselves), a b f n r t v, one to three
// octal digits, "." and two hex digits, ":" and four, "|" and six, "x" and a
// run of hex digits of any length, "[" a long name "]".
#pragma once

#include <cstdint>

namespace Quorvane::escapedascii {

// Longest escape of bounded length, in bytes ("\[" name "]"). Only the run
// of an "x" escape may be longer.
constexpr int kMaxLongName = 32;
constexpr int kMaxEscape = 2 + kMaxLongName + 1;

enum class ReadStatus {
  kChar,     // a character
  kInvalid,  // a complete escape that stands for no character (-2)
  kEnd,      // no character before the end
  kCut,      // the text ends inside an escape
  kRefused   // an unknown escape letter, or an "x" run whose value is past U+10FFFF (-1)
};

struct ReadResult {
  ReadStatus status;
  int32_t code;  // the character, -2 (kInvalid), or -1
  // kChar, kInvalid, kRefused: past the escape (for an unknown letter, past
  // the backslash and the letter). kEnd: past any line continuations before
  // the end. kCut: on the escape's backslash.
  const char* next;
};

// Reads one character at p, up to end (null: the text ends at its zero byte),
// without joining surrogates; more: more text may follow end. The reader
// under QVNextChar, for callers that also skip what is no character.
ReadResult ReadCharacter(const char* p, const char* end, bool more);

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
// Returns the code point; -1 when the text is empty, ends inside an escape, the
// escape letter is unknown or an "x" run's value lies above 0x10FFFF (the
// cursor does not move); -2 for an escape that is complete but stands for no
// character (a long name, a broken surrogate pair, a fixed-length form above
// 0x10FFFF or with a byte that is no hex digit, an "x" without digits); the
// cursor is then past it.
int QVNextChar(const char** cursor, const char* end, int more, int join, int* joined);

// Moves *cursor over up to n characters and returns n less the characters
// passed; a negative n passes all of them and returns the ones' complement of
// their number. -1 at an escape that QVNextChar refuses with -1 (an unknown
// letter, an "x" run past U+10FFFF), the cursor on its backslash. Stops
// before an escape that the text cuts off, leaving the cursor on its backslash.
int64_t QVCharOffset(const char** cursor, const char* end, int64_t n, int more);

// No long names are known: -2 for every name.
int QVLongNameToCharacterCode(const char* name, int64_t length);

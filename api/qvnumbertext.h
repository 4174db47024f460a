// Numbers as text: the digits a writer sends in a real or integer token when
// the peer has no binary type for the number, and the parse of such text (the
// plain forms, the "*^" exponent form and the "`" precision mark).
#pragma once

#include <cstdint>

// Number to text. dst[0] receives the offset at which the text starts; the text
// ends with a NUL; *count is the capacity on entry and the text length on
// return. Integers are right-aligned in min(capacity, 255) bytes and need a
// capacity of 22; reals start at offset 1. Answers 0, or -1 (unsupported source,
// or a text that does not fit: nothing is written outside the buffer).
long qvne__number_to_text(unsigned source, void* dst, const void* src, long* count);

// NUL-terminated text to a number of an own binary type. source 43 or 73 means
// integer text, any other value real text. *count is the text length on entry
// and, where the parse stopped early, the characters used on return.
// Answers 0, 2 (no number), 7 (does not fit), 8 (no memory) or -1.
long qvne__text_to_number(unsigned target, unsigned source, void* dst, const char* src, long* count);

// Integer digits with an optional sign after blanks. max == 0 skips the range
// check. *error: 0, 2 (no digit) or 7 (out of range: the value accumulated so
// far is answered).
int64_t accumulate_string(char* text, long* length, long min, long max, long* error);

// Real text to a double. Answers 0, 2, 7 (too large for a double) or 8.
long ne__s2dp(double* result, char* text, long unused, long* length);

// "1.5*^-3" to "1.5E-3", dropping a "`" precision part and anything after a
// blank. A new text from the process heap (free it with qvstd_clib_deallocator),
// or null when memory runs out.
char* ConvertTessarivaneBignumbToCForm(char* text, long length);

// Type bytes of the token stream. A byte with bit 7 set names a machine number
// format; bit 4 set means a real, clear an integer.
#pragma once

#include <cstdint>

#include "quorvane.h"

// The kinds a caller sees are the public names.
enum token_type : uint8_t {
  TOK_STRING = RV_TOK_STRING,
  TOK_SYMBOL = RV_TOK_SYMBOL,
  TOK_REAL = RV_TOK_REAL,
  TOK_INTEGER = RV_TOK_INTEGER,
  TOK_ARRAY = 65,
  TOK_DIMENSIONS = 68,
  TOK_FUNCTION = RV_TOK_FUNCTION,
  TOK_OLD_INTEGER = 73,
  TOK_OPT_SYMBOL = 79,
  TOK_PACKED = 80,
  TOK_OPT_STRING = 81,
  TOK_OLD_REAL = 82,
  TOK_OLD_STRING = 83,
  TOK_OLD_SYMBOL = 89,
  TOK_END_PACKET = 93,
};

// Bytes with a meaning between tokens.
inline constexpr unsigned char kTokenTerminator = 10;
inline constexpr unsigned char kTokenSkipped = 92;  // a backslash between tokens is ignored
inline constexpr unsigned char kHeadsBlockEnd = 46;

enum binary_number_type : uint8_t {
  BINARY_INTEGER8 = 161,
  BINARY_INTEGER16 = 226,
  BINARY_INTEGER32 = 228,
  BINARY_INTEGER64 = 230,
  BINARY_REAL32 = 244,
  BINARY_REAL64 = 246,
  BINARY_REAL128 = 248,
};

// Number text token bytes, and the older forms a reader still accepts.
enum number_text_token : uint8_t {
  NUMBER_TEXT_REAL = 42,
  NUMBER_TEXT_INTEGER = 43,
  NUMBER_TEXT_OLD_INTEGER = 73,
  NUMBER_TEXT_OLD_REAL = 82,
};

constexpr bool qv_is_binary_number_type(unsigned type) { return type >= 128 && type <= 255; }
constexpr bool qv_is_real_number_type(unsigned type) { return (type & 0x10) != 0; }

// Bytes of a binary number on the wire. Types whose bits 6 and 5 read 1 0 have
// sizes only the numeric dispatcher knows: those answer -1 here and the caller
// asks the dispatcher.
constexpr int qv_binary_number_wire_size(unsigned type) {
  if ((type & 0x60) == 0x40) return -1;
  if (type & 0x08) return static_cast<int>(type & 16);
  return 1 << ((type >> 1) & 3);
}

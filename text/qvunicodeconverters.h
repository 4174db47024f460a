// The converters of UCS-2, UTF-8, UTF-16 and UTF-32 text: the rows 'C' to 'F'
// of the converter engine's codec table, the put prologue that settles the
// byte order and drops a leading mark, and the named steps of these families.
//
// Engine contract:
// - kCodecs['C' - 'A'] .. kCodecs['F' - 'A'] are kUcs2Row, kUtf8Row, kUtf16Row,
//   kUtf32Row (constant rows, usable in the table's constant initialiser).
// - put_start calls BeginUnicodePut for every source before it chooses the
//   wire letter; a result other than 0 is returned as it stands (3: the first
//   piece is too short to tell whether it begins with a mark, nothing was
//   consumed, and the same text is to be handed again with more after it).
// - A blank in place of the count of a 'D' or 'E' atom leaves the count
//   unknown: the payload is converted by its length, and the count is derived
//   from it.
// - A character is handed to the caller whole or not at all: a surrogate pair
//   never ends one caller buffer and begins the next.
// - A reader may look one unit past the character it returns (the UCS-2 reader
//   does, after a leading surrogate, when the text goes out as 'E'), so bytes
//   can remain buffered after a character: a put takes them before it asks the
//   caller for more text (3 only when nothing is buffered either).
// - A UTF-16 put keeps no partial character: a piece that ends inside one (on
//   a leading surrogate, or inside a unit) gives 3 with the position on its
//   first byte, and the caller hands it again from there with what follows.
// - Bytes below 0x80 are whole characters in UTF-8 text and in 'D' payloads:
//   a run of them from UTF-8 text into a 'D' payload, or from a 'D' payload to
//   a UTF-8 caller, can go with one copy, as a run of plain bytes does.
//
// Readers return broken, never invalid: ill-formed or truncated text fails the
// atom with 20 instead of being replaced.
#pragma once

#include <cstdint>

#include "text/qvconverter.h"
#include "text/qvconverterinternal.h"

namespace Quorvane::textatoms::unicodecodecs {

// 'C': caller units in this machine's order; payload units high byte first.
ReadChar ReadCallerUcs2(const unsigned char* p, int64_t n, bool final, const three_state* state);
ReadChar ReadWireUcs2(const unsigned char* p, int64_t n, bool final, const three_state* state);
int WriteWireUcs2(int64_t code, unsigned char* out, const three_state* state);
int WriteCallerUcs2(int64_t code, unsigned char* out, const three_state* state);

// 'D': well-formed UTF-8 only.
ReadChar ReadUtf8(const unsigned char* p, int64_t n, bool final, const three_state* state);
int WriteUtf8(int64_t code, unsigned char* out, const three_state* state);

// 'E': caller units in the state's byte order; payload units in this machine's.
ReadChar ReadCallerUtf16(const unsigned char* p, int64_t n, bool final, const three_state* state);
ReadChar ReadWireUtf16(const unsigned char* p, int64_t n, bool final, const three_state* state);
int WriteUtf16(int64_t code, unsigned char* out, const three_state* state);

// 'F': caller units in the state's byte order; payload units in this machine's.
ReadChar ReadCallerUtf32(const unsigned char* p, int64_t n, bool final, const three_state* state);
ReadChar ReadWireUtf32(const unsigned char* p, int64_t n, bool final, const three_state* state);
int WriteUtf32(int64_t code, unsigned char* out, const three_state* state);

// caller reader, wire writer, wire reader, caller writer, caller unit, wire unit, count form, mark
inline constexpr Codec kUcs2Row{ReadCallerUcs2, WriteWireUcs2, ReadWireUcs2, WriteCallerUcs2,
                                2,              2,             CountForm::oneByte, false};
inline constexpr Codec kUtf8Row{ReadUtf8, WriteUtf8, ReadUtf8, WriteUtf8, 1, 1, CountForm::lengthForm, false};
inline constexpr Codec kUtf16Row{ReadCallerUtf16, WriteUtf16, ReadWireUtf16, WriteUtf16,
                                 2,               2,          CountForm::lengthForm, true};
inline constexpr Codec kUtf32Row{ReadCallerUtf32, WriteUtf32, ReadWireUtf32, WriteUtf32,
                                 4,               4,          CountForm::oneByte, true};

// The start of a put of UTF-8, UTF-16 or UTF-32 text. UTF-16 and UTF-32 text is
// read byte-swapped unless it begins with a mark, which sets the byte order;
// a leading mark (for UTF-8 the bytes EF BB BF) is skipped and the declared
// count drops by one. Returns 0 to go on, or 3 when the first piece ends
// before the mark can be told (nothing consumed). Other sources: 0.
int64_t BeginUnicodePut(three_state* state, unsigned char** caller, unsigned char* caller_end);

}  // namespace Quorvane::textatoms::unicodecodecs

// The named converters of these families. Every put converter into one wire
// encoding runs the same steps whatever the source, and so does every get
// converter; the names give each pair its entry.
#define QV_DECLARE_STEP(name) \
  int64_t name(three_state*, unsigned char**, unsigned char*, unsigned char**, unsigned char*);
QV_DECLARE_STEP(freeze_ucs2_into_ucs2)
QV_DECLARE_STEP(freeze_ucs2_into_utf8)
QV_DECLARE_STEP(freeze_ucs2_into_utf16)
QV_DECLARE_STEP(freeze_ucs2_into_utf32)
QV_DECLARE_STEP(freeze_all_ucs2_into_ascii)
QV_DECLARE_STEP(freeze_some_ucs2_into_ascii)
QV_DECLARE_STEP(freeze_ucs2_into_oldstring)
QV_DECLARE_STEP(freeze_all_ucs2_into_oldstring)
QV_DECLARE_STEP(freeze_utf8_into_utf8)
QV_DECLARE_STEP(freeze_utf8_into_ucs2)
QV_DECLARE_STEP(freeze_utf8_into_utf16)
QV_DECLARE_STEP(freeze_utf8_into_utf32)
QV_DECLARE_STEP(freeze_utf8_into_ascii)
QV_DECLARE_STEP(freeze_utf8_into_oldstring)
QV_DECLARE_STEP(freeze_utf8_into_bytes)
QV_DECLARE_STEP(freeze_utf16_into_utf16)
QV_DECLARE_STEP(freeze_utf16_into_utf8)
QV_DECLARE_STEP(freeze_utf16_into_utf32)
QV_DECLARE_STEP(freeze_utf16_into_ucs2)
QV_DECLARE_STEP(freeze_utf16_into_ascii)
QV_DECLARE_STEP(freeze_utf16_into_oldstring)
QV_DECLARE_STEP(freeze_utf16_into_bytes)
QV_DECLARE_STEP(freeze_utf32_into_utf32)
QV_DECLARE_STEP(freeze_utf32_into_utf8)
QV_DECLARE_STEP(freeze_utf32_into_utf16)
QV_DECLARE_STEP(freeze_utf32_into_ucs2)
QV_DECLARE_STEP(freeze_utf32_into_ascii)
QV_DECLARE_STEP(freeze_utf32_into_oldstring)
QV_DECLARE_STEP(freeze_utf32_into_bytes)
QV_DECLARE_STEP(cook_ucs2_into_ucs2)
QV_DECLARE_STEP(cook_ucs2_into_utf8)
QV_DECLARE_STEP(cook_ucs2_into_utf16)
QV_DECLARE_STEP(cook_ucs2_into_utf32)
QV_DECLARE_STEP(cook_ucs2_into_ascii)
QV_DECLARE_STEP(cook_ucs2_into_bytes)
QV_DECLARE_STEP(cook_utf8_into_utf8)
QV_DECLARE_STEP(cook_utf8_into_ucs2)
QV_DECLARE_STEP(cook_utf8_into_utf16)
QV_DECLARE_STEP(cook_utf8_into_utf32)
QV_DECLARE_STEP(cook_utf8_into_ascii)
QV_DECLARE_STEP(cook_utf8_into_bytes)
QV_DECLARE_STEP(cook_utf16_into_utf16)
QV_DECLARE_STEP(cook_utf16_into_ucs2)
QV_DECLARE_STEP(cook_utf16_into_utf8)
QV_DECLARE_STEP(cook_utf16_into_utf32)
QV_DECLARE_STEP(cook_utf16_into_ascii)
QV_DECLARE_STEP(cook_utf16_into_bytes)
QV_DECLARE_STEP(cook_utf32_into_utf32)
QV_DECLARE_STEP(cook_utf32_into_utf16)
QV_DECLARE_STEP(cook_utf32_into_utf8)
QV_DECLARE_STEP(cook_utf32_into_ascii)
QV_DECLARE_STEP(cook_utf32_into_ucs2)
QV_DECLARE_STEP(cook_utf32_into_bytes)
#undef QV_DECLARE_STEP

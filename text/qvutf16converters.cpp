// UTF-16 and UTF-32. Caller text is read in the byte order the put settled
// (swapped unless a leading mark said otherwise); 'E' and 'F' payloads are in
// this machine's order, without a mark.
//
// UCS-2 and UTF-16 share their units: a surrogate unit of UCS-2 text goes into
// an 'E' payload as it stands, and a surrogate unit of a 'C' or 'E' payload
// reaches a UTF-16 caller as it stands. Everywhere else a surrogate that is
// not part of a pair fails the atom.
#include <cstring>

#include "text/qvunicodecodec.h"
#include "text/qvunicodeconverters.h"

namespace Quorvane::textatoms::unicodecodecs {

namespace {

using Quorvane::unicode::IsLeadingSurrogate;
using Quorvane::unicode::IsScalarValue;
using Quorvane::unicode::IsSurrogate;
using Quorvane::unicode::IsTrailingSurrogate;
using Quorvane::unicode::JoinSurrogates;
using Quorvane::unicode::Swap16;
using Quorvane::unicode::Swap32;

constexpr int64_t kReplacementChar = 0xFFFD;

ReadChar Short(bool final) { return {final ? CharStatus::broken : CharStatus::more, 0, 0}; }

uint16_t Unit16(const unsigned char* p, bool swap) {
  uint16_t u;
  std::memcpy(&u, p, 2);
  return swap ? Swap16(u) : u;
}

uint32_t Unit32(const unsigned char* p, bool swap) {
  uint32_t u;
  std::memcpy(&u, p, 4);
  return swap ? Swap32(u) : u;
}

bool Swapped(const three_state* state) { return state->byte_order == 1; }

// One UTF-16 character; a stray surrogate is returned as its unit when
// keep_stray, else it breaks the text.
ReadChar ReadUtf16Char(const unsigned char* p, int64_t n, bool final, bool swap, bool keep_stray) {
  if (n < 2) return Short(final);
  const uint32_t u0 = Unit16(p, swap);
  if (!IsSurrogate(u0)) return {CharStatus::ok, u0, 2};
  if (IsLeadingSurrogate(u0)) {
    if (n < 4) {
      if (!final) return {CharStatus::more, 0, 0};
      return keep_stray ? ReadChar{CharStatus::ok, u0, 2} : ReadChar{CharStatus::broken, 0, 0};
    }
    const uint32_t u1 = Unit16(p + 2, swap);
    if (IsTrailingSurrogate(u1)) return {CharStatus::ok, JoinSurrogates(u0, u1), 4};
  }
  return keep_stray ? ReadChar{CharStatus::ok, u0, 2} : ReadChar{CharStatus::broken, 0, 0};
}

// The units a surrogate value may travel as: from UCS-2 text into an 'E'
// payload, and from a 'C' or 'E' payload to a UTF-16 caller.
bool PassesSurrogates(const three_state* state) {
  if (is_put_state(state)) return state->encoding == ENCODING_UCS2;
  return state->accepted == ENCODING_UCS2 || state->accepted == ENCODING_UTF16;
}

}  // namespace

ReadChar ReadCallerUtf16(const unsigned char* p, int64_t n, bool final, const three_state* state) {
  return ReadUtf16Char(p, n, final, Swapped(state), false);
}

ReadChar ReadWireUtf16(const unsigned char* p, int64_t n, bool final, const three_state* state) {
  return ReadUtf16Char(p, n, final, false, state->encoding == ENCODING_UTF16);
}

int WriteUtf16(int64_t code, unsigned char* out, const three_state* state) {
  if (code == kInvalidChar) code = kReplacementChar;
  if (code < 0 || code > 0x10FFFF) return -1;
  if (IsSurrogate(static_cast<uint32_t>(code)) && !PassesSurrogates(state)) return -1;
  uint16_t units[2];
  int count = 1;
  if (code < 0x10000) {
    units[0] = static_cast<uint16_t>(code);
  } else {
    units[0] = static_cast<uint16_t>((code >> 10) + 0xD7C0);
    units[1] = static_cast<uint16_t>(0xDC00 | (code & 0x3FF));
    count = 2;
  }
  std::memcpy(out, units, static_cast<size_t>(count) * 2);
  return count * 2;
}

// Units go out unchecked where the wire form holds them; the legacy form holds
// characters only, so a surrogate value is refused there.
ReadChar ReadCallerUtf32(const unsigned char* p, int64_t n, bool final, const three_state* state) {
  if (n < 4) return Short(final);
  const uint32_t unit = Unit32(p, Swapped(state));
  if (IsSurrogate(unit) && ChoosePutLetter(ENCODING_UTF32, state->accepted, state->six_digit != 0, true) == 'G') {
    return {CharStatus::broken, 0, 0};
  }
  return {CharStatus::ok, unit, 4};
}

// Units travel unchecked into UTF-32 and UCS-2 (which refuses what lies above
// U+FFFF itself); a byte caller takes only characters.
ReadChar ReadWireUtf32(const unsigned char* p, int64_t n, bool final, const three_state* state) {
  if (n < 4) return Short(final);
  const uint32_t unit = Unit32(p, false);
  if (state->encoding == ENCODING_BYTES && !IsScalarValue(unit)) return {CharStatus::broken, 0, 0};
  return {CharStatus::ok, unit, 4};
}

int WriteUtf32(int64_t code, unsigned char* out, const three_state*) {
  if (code == kInvalidChar) code = kReplacementChar;
  if (code < 0 || code > 0xFFFFFFFFll) return -1;
  const uint32_t unit = static_cast<uint32_t>(code);
  std::memcpy(out, &unit, 4);
  return 4;
}

}  // namespace Quorvane::textatoms::unicodecodecs

#define QV_STEP_ALIAS(name, body)                                                                              \
  int64_t name(three_state* s, unsigned char** c, unsigned char* ce, unsigned char** w, unsigned char* we) { \
    return body(s, c, ce, w, we);                                                                            \
  }
QV_STEP_ALIAS(freeze_utf16_into_utf16, freeze_bytes_into_utf16)
QV_STEP_ALIAS(freeze_utf16_into_utf8, freeze_bytes_into_utf8)
QV_STEP_ALIAS(freeze_utf16_into_utf32, freeze_bytes_into_utf32)
QV_STEP_ALIAS(freeze_utf16_into_ucs2, freeze_bytes_into_ucs2)
QV_STEP_ALIAS(freeze_utf16_into_ascii, freeze_some_bytes_into_ascii)
QV_STEP_ALIAS(freeze_utf16_into_oldstring, freeze_bytes_into_oldstring)
QV_STEP_ALIAS(freeze_utf32_into_utf32, freeze_bytes_into_utf32)
QV_STEP_ALIAS(freeze_utf32_into_utf8, freeze_bytes_into_utf8)
QV_STEP_ALIAS(freeze_utf32_into_utf16, freeze_bytes_into_utf16)
QV_STEP_ALIAS(freeze_utf32_into_ucs2, freeze_bytes_into_ucs2)
QV_STEP_ALIAS(freeze_utf32_into_ascii, freeze_some_bytes_into_ascii)
QV_STEP_ALIAS(freeze_utf32_into_oldstring, freeze_bytes_into_oldstring)
QV_STEP_ALIAS(freeze_utf16_into_bytes, freeze_utf8_into_bytes)
QV_STEP_ALIAS(freeze_utf32_into_bytes, freeze_utf8_into_bytes)
QV_STEP_ALIAS(cook_utf16_into_utf16, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf16_into_ucs2, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf16_into_utf8, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf16_into_utf32, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf16_into_ascii, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf16_into_bytes, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf32_into_utf32, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf32_into_utf16, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf32_into_utf8, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf32_into_ascii, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf32_into_ucs2, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf32_into_bytes, cook_bytes_into_bytes)
#undef QV_STEP_ALIAS

// UCS-2: one 16-bit unit per character, surrogate values included. Caller text
// is in this machine's order; 'C' payloads carry each unit high byte first.
#include <cstring>

#include "text/qvunicodeconverters.h"

namespace Quorvane::textatoms::unicodecodecs {

namespace {
constexpr int64_t kReplacementChar = 0xFFFD;

ReadChar Short(bool final) { return {final ? CharStatus::broken : CharStatus::more, 0, 0}; }
}  // namespace

// Surrogate units are characters of their own here. Into an 'E' payload they
// go as they stand, so two that form a pair would read back as one character
// and the atom's count would be wrong: such a pair is refused there.
ReadChar ReadCallerUcs2(const unsigned char* p, int64_t n, bool final, const three_state* state) {
  if (n < 2) return Short(final);
  uint16_t unit;
  std::memcpy(&unit, p, 2);
  // The last character declared has no partner to look for.
  if (unit >= 0xD800 && unit <= 0xDBFF && state->characters > 1 &&
      ChoosePutLetter(ENCODING_UCS2, state->accepted, state->six_digit != 0, true) == 'E') {
    if (n < 4) return final ? ReadChar{CharStatus::ok, unit, 2} : ReadChar{CharStatus::more, 0, 0};
    uint16_t next;
    std::memcpy(&next, p + 2, 2);
    if (next >= 0xDC00 && next <= 0xDFFF) return {CharStatus::broken, 0, 0};
  }
  return {CharStatus::ok, unit, 2};
}

ReadChar ReadWireUcs2(const unsigned char* p, int64_t n, bool final, const three_state*) {
  if (n < 2) return Short(final);
  return {CharStatus::ok, (int64_t{p[0]} << 8) | p[1], 2};
}

// A character above U+FFFF has no unit: refused, never cut to its low bits.
int WriteWireUcs2(int64_t code, unsigned char* out, const three_state*) {
  if (code == kInvalidChar) code = kReplacementChar;
  if (code < 0 || code > 0xFFFF) return -1;
  out[0] = static_cast<unsigned char>(code >> 8);
  out[1] = static_cast<unsigned char>(code & 0xFF);
  return 2;
}

int WriteCallerUcs2(int64_t code, unsigned char* out, const three_state*) {
  if (code == kInvalidChar) code = kReplacementChar;
  if (code < 0 || code > 0xFFFF) return -1;
  const uint16_t unit = static_cast<uint16_t>(code);
  std::memcpy(out, &unit, 2);
  return 2;
}

}  // namespace Quorvane::textatoms::unicodecodecs

#define QV_STEP_ALIAS(name, body)                                                                              \
  int64_t name(three_state* s, unsigned char** c, unsigned char* ce, unsigned char** w, unsigned char* we) { \
    return body(s, c, ce, w, we);                                                                            \
  }
// The put steps into each wire encoding and the get converting step are shared
// by every source and wire encoding; these entries name them for UCS-2.
QV_STEP_ALIAS(freeze_ucs2_into_ucs2, freeze_bytes_into_ucs2)
QV_STEP_ALIAS(freeze_ucs2_into_utf8, freeze_bytes_into_utf8)
QV_STEP_ALIAS(freeze_ucs2_into_utf16, freeze_bytes_into_utf16)
QV_STEP_ALIAS(freeze_ucs2_into_utf32, freeze_bytes_into_utf32)
QV_STEP_ALIAS(freeze_all_ucs2_into_ascii, freeze_all_bytes_into_ascii)
QV_STEP_ALIAS(freeze_some_ucs2_into_ascii, freeze_some_bytes_into_ascii)
QV_STEP_ALIAS(freeze_ucs2_into_oldstring, freeze_bytes_into_oldstring)
QV_STEP_ALIAS(freeze_all_ucs2_into_oldstring, freeze_all_bytes_into_oldstring)
QV_STEP_ALIAS(cook_ucs2_into_ucs2, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_ucs2_into_utf8, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_ucs2_into_utf16, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_ucs2_into_utf32, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_ucs2_into_ascii, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_ucs2_into_bytes, cook_bytes_into_bytes)
#undef QV_STEP_ALIAS

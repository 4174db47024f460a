// UTF-8: well-formed sequences only, in caller text and in 'D' payloads alike;
// an overlong form, a surrogate, a value above U+10FFFF, a stray continuation
// byte or a sequence cut off by the end of the text fails the atom.
#include "text/qvunicodecodec.h"
#include "text/qvunicodeconverters.h"

namespace Quorvane::textatoms::unicodecodecs {

namespace {
constexpr int64_t kReplacementChar = 0xFFFD;
}  // namespace

ReadChar ReadUtf8(const unsigned char* p, int64_t n, bool final, const three_state*) {
  uint32_t code = 0;
  const int used = Quorvane::unicode::DecodeUTF8(p, n, &code);
  if (used > 0) return {CharStatus::ok, code, used};
  if (used == Quorvane::unicode::kUTF8Truncated && !final) return {CharStatus::more, 0, 0};
  return {CharStatus::broken, 0, 0};
}

int WriteUtf8(int64_t code, unsigned char* out, const three_state*) {
  if (code == kInvalidChar) code = kReplacementChar;
  if (code < 0 || !Quorvane::unicode::IsScalarValue(static_cast<uint32_t>(code)) || code > 0x10FFFF) return -1;
  return Quorvane::unicode::EncodeUTF8(static_cast<uint32_t>(code), out);
}

}  // namespace Quorvane::textatoms::unicodecodecs

#define QV_STEP_ALIAS(name, body)                                                                              \
  int64_t name(three_state* s, unsigned char** c, unsigned char* ce, unsigned char** w, unsigned char* we) { \
    return body(s, c, ce, w, we);                                                                            \
  }
QV_STEP_ALIAS(freeze_utf8_into_utf8, freeze_bytes_into_utf8)
QV_STEP_ALIAS(freeze_utf8_into_ucs2, freeze_bytes_into_ucs2)
QV_STEP_ALIAS(freeze_utf8_into_utf16, freeze_bytes_into_utf16)
QV_STEP_ALIAS(freeze_utf8_into_utf32, freeze_bytes_into_utf32)
QV_STEP_ALIAS(freeze_utf8_into_ascii, freeze_some_bytes_into_ascii)
QV_STEP_ALIAS(freeze_utf8_into_oldstring, freeze_bytes_into_oldstring)
QV_STEP_ALIAS(cook_utf8_into_utf8, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf8_into_ucs2, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf8_into_utf16, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf8_into_utf32, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf8_into_ascii, cook_bytes_into_bytes)
QV_STEP_ALIAS(cook_utf8_into_bytes, cook_bytes_into_bytes)
#undef QV_STEP_ALIAS

// Text has no byte form as a whole: refused at once, whatever it holds.
int64_t freeze_utf8_into_bytes(three_state* state, unsigned char**, unsigned char*, unsigned char**,
                               unsigned char*) {
  cs__factory(state->environment, QV_FACTORY_DESTROY, state, nullptr, nullptr);
  return QV_STEP_UNREPRESENTABLE;
}

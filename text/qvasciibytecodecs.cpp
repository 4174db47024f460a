// The codec table: how each encoding reads and writes one character as caller
// text and as atom payload; the rows of escaped ASCII, bytes and legacy
// strings. The Unicode rows live with their converters.
#include <cstring>

#include "quorvane_oldstrings.h"
#include "quorvane_text.h"
#include "text/qvconverterinternal.h"
#include "text/qvescapedascii.h"
#include "text/qvunicodeconverters.h"

namespace Quorvane::textatoms {

namespace {

constexpr int64_t kReplacementChar = 0xFFFD;

ReadChar ReadEscaped(const unsigned char* p, int64_t n, bool final, const three_state*) {
  return ReadEscapedChar(p, n, final);
}

int WriteEscaped(int64_t code, unsigned char* out, const three_state*) { return WriteEscapedChar(code, out); }

ReadChar ReadByte(const unsigned char* p, int64_t n, bool, const three_state*) {
  if (n <= 0) return {CharStatus::more, 0, 0};
  return {CharStatus::ok, p[0], 1};
}

// A 'B' payload holds codes 0 to 255; nothing stands in for a character it cannot hold.
int WriteWireByte(int64_t code, unsigned char* out, const three_state*) {
  if (code < 0 || code > 0xFF) return -1;
  out[0] = static_cast<unsigned char>(code);
  return 1;
}

int WriteCallerByte(int64_t code, unsigned char* out, const three_state* state) {
  out[0] = code >= 0 && code <= 0xFF ? static_cast<unsigned char>(code) : state->replacement;
  return 1;
}

int WriteOld(int64_t code, unsigned char* out, const three_state*) {
  if (code == kInvalidChar) code = kReplacementChar;
  if (code < 0 || code > 0xFFFF) return -1;
  unsigned char* p = out;
  return RVOldPutCharToString(static_cast<unsigned int>(code), &p);
}

// Legacy codes, walked by length: a code cut off by the end of the payload
// makes the atom fail rather than read beyond it.
ReadChar ReadOld(const unsigned char* p, int64_t n, bool final, const three_state*) {
  if (n <= 0) return {final ? CharStatus::broken : CharStatus::more, 0, 0};
  const unsigned char b = p[0];
  if (b == 0xFF) return {CharStatus::ok, 0, 1};
  if (b < 0xF8 || b > 0xFB) return {CharStatus::ok, b, 1};  // 0xFC..0xFE are no prefixes
  const int64_t size = b == 0xFB ? 3 : 2;
  if (n < size) return {final ? CharStatus::broken : CharStatus::more, 0, 0};
  switch (b) {
    case 0xF8:
    case 0xF9: return {CharStatus::ok, p[1], 2};
    case 0xFA: return {CharStatus::ok, static_cast<int64_t>(p[1]) << 8, 2};
    default: return {CharStatus::ok, (static_cast<int64_t>(p[1]) << 8) | p[2], 3};
  }
}

}  // namespace

ReadChar ReadEscapedChar(const unsigned char* p, int64_t n, bool final) {
  using Quorvane::escapedascii::ReadStatus;
  if (n <= 0) return {final ? CharStatus::broken : CharStatus::more, 0, 0};
  if (p[0] != '\\') return {CharStatus::ok, p[0], 1};
  const char* text = reinterpret_cast<const char*>(p);
  const auto r = Quorvane::escapedascii::ReadCharacter(text, text + n, !final);
  const int64_t used = r.next - text;
  switch (r.status) {
    case ReadStatus::kChar: return {CharStatus::ok, r.code, used};
    // Whatever is no character is skipped whole: a refused "x" run with all
    // its digits, so that none of them is taken for text.
    case ReadStatus::kInvalid:
    case ReadStatus::kRefused: return {CharStatus::invalid, kInvalidChar, used > 0 ? used : 1};
    default: break;
  }
  // Cut off by the end of what is in hand (or nothing after a continuation).
  if (!final && n < kCharWindow) return {CharStatus::more, 0, 0};
  return {CharStatus::invalid, kInvalidChar, n >= 2 ? 2 : 1};
}

int WriteEscapedChar(int64_t code, unsigned char* out) {
  if (code == kInvalidChar) code = kReplacementChar;
  if (code < 0 || code > 0x10FFFF) return -1;
  char* p = reinterpret_cast<char*>(out);
  const int size = RVConvertCharacter(static_cast<unsigned int>(code), &p);
  return size > 0 ? size : -1;
}

int64_t CountEscapedChars(const unsigned char* p, int64_t n) {
  const unsigned char* end = p + n;
  int64_t count = 0;
  while (p < end) {
    const ReadChar c = ReadEscapedChar(p, end - p < kCharWindow ? end - p : kCharWindow, false);
    if (c.status != CharStatus::ok && c.status != CharStatus::invalid) break;
    p += c.used;
    ++count;
  }
  return count;
}

const Codec kCodecs[kEncodings] = {
    // caller reader, wire writer, wire reader, caller writer, caller unit, wire unit, count form, mark
    {ReadEscaped, WriteEscaped, ReadEscaped, WriteEscaped, 1, 1, CountForm::lengthForm, false},  // 'A'
    {ReadByte, WriteWireByte, ReadByte, WriteCallerByte, 1, 1, CountForm::oneByte, false},        // 'B'
    unicodecodecs::kUcs2Row,   // 'C'
    unicodecodecs::kUtf8Row,   // 'D'
    unicodecodecs::kUtf16Row,  // 'E'
    unicodecodecs::kUtf32Row,  // 'F'
    {nullptr, WriteOld, ReadOld, nullptr, 1, 1, CountForm::none, false},                          // 'G'
};

}  // namespace Quorvane::textatoms

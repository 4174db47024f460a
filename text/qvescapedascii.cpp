// The escaped-ASCII reader and character counter.
#include "text/qvescapedascii.h"

#include <cstring>

#include "text/qvunicodecodec.h"

using namespace Quorvane::escapedascii;
using Quorvane::unicode::IsLeadingSurrogate;
using Quorvane::unicode::IsTrailingSurrogate;
using Quorvane::unicode::JoinSurrogates;
using Quorvane::unicode::kMaxCodePoint;

namespace {

// How far a reader of zero-terminated text looks ahead: more than any escape.
constexpr int64_t kWindow = kMaxEscape + 1;

using Status = ReadStatus;
using Result = ReadResult;

int HexValue(unsigned char b) {
  if (b >= '0' && b <= '9') return b - '0';
  if (b >= 'A' && b <= 'F') return b - 'A' + 10;
  if (b >= 'a' && b <= 'f') return b - 'a' + 10;
  return -1;
}

bool IsOctal(unsigned char b) { return b >= '0' && b <= '7'; }

// The text [p, e) and whether more may follow e.
struct Span {
  const char* e;
  bool more;
};

Span Limit(const char* p, const char* end, bool more) {
  if (end != nullptr) return {end, more};
  const size_t n = strnlen(p, kWindow);
  // Without a zero byte in the window the text goes on past it.
  return {p + n, more || static_cast<int64_t>(n) == kWindow};
}

// Reads the fixed number of hex digits at q. Returns the value, -1 when the
// text ends first (all bytes so far are digits), -2 at a byte that is no hex
// digit; *stop is then on that byte.
int64_t FixedHex(const char* q, const char* e, int digits, const char** stop) {
  int64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    if (q + i >= e) return -1;
    const int d = HexValue(static_cast<unsigned char>(q[i]));
    if (d < 0) {
      *stop = q + i;
      return -2;
    }
    v = v * 16 + d;
  }
  *stop = q + digits;
  return v;
}

// Tries to read "\:" and a trailing surrogate at q, right after a leading one.
// Returns the low surrogate, 0 when what follows is no complete colon escape
// with hex digits, -1 when the text ends inside what may become one.
int64_t FollowingLowSurrogate(const char* q, const char* e, bool* is_colon_escape) {
  *is_colon_escape = false;
  static constexpr char kPrefix[] = "\\:";
  for (int i = 0; i < 2; ++i) {
    if (q + i >= e) return -1;
    if (q[i] != kPrefix[i]) return 0;
  }
  const char* stop;
  const int64_t v = FixedHex(q + 2, e, 4, &stop);
  if (v == -1) return -1;
  if (v < 0) return 0;
  *is_colon_escape = true;
  return v;
}

Result ReadOne(const char* p, const char* end, bool more, bool join, bool* joined) {
  for (;;) {
    const Span span = Limit(p, end, more);
    const char* e = span.e;
    if (p >= e) return {Status::kEnd, -1, p};
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c != '\\') return {Status::kChar, c, p + 1};
    if (p + 1 >= e) return {Status::kCut, -1, p};
    const unsigned char k = static_cast<unsigned char>(p[1]);
    switch (k) {
      case '\n':
      case '\r':
        p += 2;  // a line continuation
        continue;
      case '"':
      case '\'':
      case '?':
      case '\\':
        return {Status::kChar, k, p + 2};
      case 'a': return {Status::kChar, 7, p + 2};
      case 'b': return {Status::kChar, 8, p + 2};
      case 'f': return {Status::kChar, 12, p + 2};
      case 'n': return {Status::kChar, 10, p + 2};
      case 'r': return {Status::kChar, 13, p + 2};
      case 't': return {Status::kChar, 9, p + 2};
      case 'v': return {Status::kChar, 11, p + 2};
      case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
        const char* q = p + 1;
        int32_t v = 0;
        int digits = 0;
        while (digits < 3 && q < e && IsOctal(static_cast<unsigned char>(*q))) {
          v = v * 8 + (*q - '0');
          ++q;
          ++digits;
        }
        // One or two digits at the end may yet be followed by a third.
        if (digits < 3 && q >= e && span.more) return {Status::kCut, -1, p};
        return {Status::kChar, v, q};
      }
      case 'x': {
        // The whole run of hex digits, however long: leading zeros are no
        // limit, and a value past the last code point stops growing. Text
        // without an end stops at its zero byte, which is no hex digit, so the
        // run may reach past the look-ahead window.
        const char* q = p + 2;
        uint32_t v = 0;
        bool over = false;
        for (; end == nullptr || q < end; ++q) {
          const int d = HexValue(static_cast<unsigned char>(*q));
          if (d < 0) break;
          if (!over) {
            v = v * 16 + static_cast<uint32_t>(d);
            over = v > kMaxCodePoint;
          }
        }
        const bool digits = q > p + 2;
        const bool at_end = end != nullptr ? q >= end : *q == '\0';
        if (at_end && (more || !digits)) return {Status::kCut, -1, p};
        if (!digits) return {Status::kInvalid, -2, q};
        if (over) return {Status::kRefused, -1, q};
        return {Status::kChar, static_cast<int32_t>(v), q};
      }
      case '.':
      case ':':
      case '|': {
        const int digits = k == '.' ? 2 : k == ':' ? 4 : 6;
        const char* q;
        const int64_t v = FixedHex(p + 2, e, digits, &q);
        if (v == -1) return {Status::kCut, -1, p};
        if (v < 0 || v > kMaxCodePoint) return {Status::kInvalid, -2, q};
        if (k == ':' && join && end != nullptr && IsLeadingSurrogate(static_cast<uint32_t>(v))) {
          bool colon;
          const int64_t low = FollowingLowSurrogate(q, e, &colon);
          if (low == -1) {
            if (span.more) return {Status::kCut, -1, p};
          } else if (colon) {
            if (!IsTrailingSurrogate(static_cast<uint32_t>(low))) return {Status::kInvalid, -2, q};
            *joined = true;
            return {Status::kChar,
                    static_cast<int32_t>(JoinSurrogates(static_cast<uint32_t>(v), static_cast<uint32_t>(low))),
                    q + 6};
          }
          // Anything else after it: the leading surrogate alone.
        }
        return {Status::kChar, static_cast<int32_t>(v), q};
      }
      case '[': {
        const char* name = p + 2;
        for (const char* q = name; q < name + kMaxLongName + 1; ++q) {
          if (q >= e) return {Status::kCut, -1, p};
          if (*q == ']') {
            const int code = QVLongNameToCharacterCode(name, q - name);
            return {code >= 0 ? Status::kChar : Status::kInvalid, code, q + 1};
          }
        }
        return {Status::kInvalid, -2, name};  // too long for a name
      }
      default:
        return {Status::kRefused, -1, p + 2};
    }
  }
}

}  // namespace

namespace Quorvane::escapedascii {

ReadResult ReadCharacter(const char* p, const char* end, bool more) {
  bool unused = false;
  return ReadOne(p, end, more, false, &unused);
}

}  // namespace Quorvane::escapedascii

int QVLongNameToCharacterCode(const char*, int64_t) { return -2; }

int QVNextChar(const char** cursor, const char* end, int more, int join, int* joined) {
  if (joined != nullptr) *joined = 0;
  if (cursor == nullptr || *cursor == nullptr) return -1;
  bool did_join = false;
  const Result r = ReadOne(*cursor, end, more != 0, join != 0, &did_join);
  switch (r.status) {
    case Status::kChar:
    case Status::kInvalid:
      *cursor = r.next;
      if (joined != nullptr) *joined = did_join ? 1 : 0;
      return r.code;
    default:
      return -1;
  }
}

int64_t QVCharOffset(const char** cursor, const char* end, int64_t n, int more) {
  if (cursor == nullptr || *cursor == nullptr) return -1;
  // Any negative n asks for all characters; taking it as -1 keeps the result,
  // the ones' complement of their number, from overflowing.
  if (n < 0) n = -1;
  const char* p = *cursor;
  int64_t passed = 0;
  while (n < 0 || passed < n) {
    bool unused = false;
    const Result r = ReadOne(p, end, more != 0, false, &unused);
    if (r.status == Status::kChar || r.status == Status::kInvalid) {
      p = r.next;
      ++passed;
      continue;
    }
    if (r.status == Status::kEnd) p = r.next;  // line continuations before the end are no characters
    if (r.status == Status::kRefused) {
      *cursor = p;
      return -1;
    }
    break;
  }
  *cursor = p;
  return n - passed;
}

// The public string helpers: any encoding to escaped ASCII in a size pass and a
// resumable write pass, and walking escaped ASCII character by character.
#include <climits>
#include <cstring>

#include "include/quorvane_text.h"
#include "text/qvescapedascii.h"
#include "text/qvunicodecodec.h"

using namespace Quorvane::escapedascii;
using namespace Quorvane::unicode;

namespace {

enum : int { kFailure = -1 };

// Runs one conversion over count characters of source that read(code) hands
// out one by one (false: the character has no escaped form). Size pass when
// end is null.
template <typename Read>
int Convert(const void* source, int64_t count, char** cursor, char* end, bool nl, int newline, Read read) {
  if (cursor == nullptr || count < 0 || (source == nullptr && count > 0)) return kFailure;
  auto is_newline = [nl, newline](uint32_t c) { return nl && static_cast<int64_t>(c) == newline; };
  auto length_of = [&is_newline](uint32_t c) { return is_newline(c) ? 2 : EscapedLength(c); };
  if (end == nullptr) {
    int64_t size = 0;
    int result = 0;
    for (int64_t i = 0; i < count; ++i) {
      uint32_t c;
      if (!read(&c)) {
        size = 0;
        result = kFailure;
        break;
      }
      size += length_of(c);
    }
    // The size goes into the caller's 64-bit slot in place of the cursor.
    std::memcpy(static_cast<void*>(cursor), &size, sizeof(size));
    return result;
  }
  char* out = *cursor;
  if (out == nullptr) return kFailure;
  for (int64_t i = 0; i < count; ++i) {
    // A character is read only once the one before it has been written, so
    // the write pass stops at the first character that does not fit.
    uint32_t c;
    if (!read(&c)) {
      *cursor = out;
      return kFailure;
    }
    const int n = length_of(c);
    if (end - out < n) {
      *cursor = out;
      const int64_t left = count - i;
      return left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    if (is_newline(c)) {
      out[0] = '\\';
      out[1] = 'n';
    } else {
      WriteEscaped(c, out);
    }
    out += n;
  }
  *cursor = out;
  return 0;
}

// Bytes and UCS-2: each unit is one character.
template <typename Unit>
int Units(const Unit* s, int64_t count, char** cursor, char* end, bool nl, int newline) {
  return Convert(s, count, cursor, end, nl, newline, [&s](uint32_t* c) {
    *c = *s++;
    return true;
  });
}

int DoubleByte(const unsigned char* s, int64_t count, char** cursor, char* end, bool nl, int newline) {
  return Convert(s, count, cursor, end, nl, newline, [&s](uint32_t* c) {
    *c = (static_cast<uint32_t>(s[0]) << 8) | s[1];
    s += 2;
    return true;
  });
}

int UTF8(const unsigned char* s, int64_t count, char** cursor, char* end, bool nl, int newline) {
  return Convert(s, count, cursor, end, nl, newline, [&s](uint32_t* c) {
    // The text is known to hold the characters, not its length: the decoder
    // looks at one byte at a time and stops at the first that does not fit.
    const int n = DecodeUTF8(s, INT64_MAX, c);
    if (n <= 0) return false;
    s += n;
    return true;
  });
}

// A surrogate outside a pair is written as the escape of its own value.
int UTF16(const unsigned short* s, int64_t count, char** cursor, char* end, bool nl, int newline) {
  return Convert(s, count, cursor, end, nl, newline, [&s](uint32_t* c) {
    const uint32_t u = *s++;
    if (IsLeadingSurrogate(u) && IsTrailingSurrogate(*s)) {
      *c = JoinSurrogates(u, *s++);
    } else {
      *c = u;
    }
    return true;
  });
}

int UTF32(const unsigned int* s, int64_t count, char** cursor, char* end, bool nl, int newline) {
  return Convert(s, count, cursor, end, nl, newline, [&s](uint32_t* c) {
    if (*s > kMaxCodePoint) return false;
    *c = *s++;
    return true;
  });
}

}  // namespace

extern "C" {

int RVConvertByteString(const unsigned char* s, int64_t count, char** cursor, char* end) {
  return Units(s, count, cursor, end, false, 0);
}
int RVConvertByteStringNL(const unsigned char* s, int64_t count, char** cursor, char* end, int newline) {
  return Units(s, count, cursor, end, true, newline);
}
int RVConvertUCS2String(const unsigned short* s, int64_t count, char** cursor, char* end) {
  return Units(s, count, cursor, end, false, 0);
}
int RVConvertUCS2StringNL(const unsigned short* s, int64_t count, char** cursor, char* end, int newline) {
  return Units(s, count, cursor, end, true, newline);
}
int RVConvertUTF8String(const unsigned char* s, int64_t count, char** cursor, char* end) {
  return UTF8(s, count, cursor, end, false, 0);
}
int RVConvertUTF8StringNL(const unsigned char* s, int64_t count, char** cursor, char* end, int newline) {
  return UTF8(s, count, cursor, end, true, newline);
}
int RVConvertUTF16String(const unsigned short* s, int64_t count, char** cursor, char* end) {
  return UTF16(s, count, cursor, end, false, 0);
}
int RVConvertUTF16StringNL(const unsigned short* s, int64_t count, char** cursor, char* end, int newline) {
  return UTF16(s, count, cursor, end, true, newline);
}
int RVConvertUTF32String(const unsigned int* s, int64_t count, char** cursor, char* end) {
  return UTF32(s, count, cursor, end, false, 0);
}
int RVConvertUTF32StringNL(const unsigned int* s, int64_t count, char** cursor, char* end, int newline) {
  return UTF32(s, count, cursor, end, true, newline);
}
int RVConvertDoubleByteString(const unsigned char* s, int64_t count, char** cursor, char* end) {
  return DoubleByte(s, count, cursor, end, false, 0);
}
int RVConvertDoubleByteStringNL(const unsigned char* s, int64_t count, char** cursor, char* end, int newline) {
  return DoubleByte(s, count, cursor, end, true, newline);
}

int RVConvertNewLine(char** cursor) {
  if (cursor != nullptr && *cursor != nullptr) {
    (*cursor)[0] = '\\';
    (*cursor)[1] = 'n';
    *cursor += 2;
  }
  return 2;
}

int RVConvertCharacter(unsigned int code, char** cursor) {
  if (code > kMaxCodePoint) return 0;
  if (cursor == nullptr || *cursor == nullptr) return EscapedLength(code);
  const int n = WriteEscaped(code, *cursor);
  *cursor += n;
  return n;
}

int64_t RVCharacterOffset(const char** cursor, const char* end, int64_t n, int more) {
  return QVCharOffset(cursor, end, n, more);
}

int RVStringCharacter(const char* text) {
  if (text == nullptr) return -1;
  return QVNextChar(&text, nullptr, 0, 0, nullptr);
}

int RVNextCharacter(const char** cursor, const char* end) { return QVNextChar(cursor, end, 0, 0, nullptr); }

int RVNextCharacterFromStringWithLength(const char* text, int64_t* offset, int64_t length) {
  if (text == nullptr || offset == nullptr || *offset < 0 || (length >= 0 && *offset > length)) return -1;
  const char* p = text + *offset;
  const int code = QVNextChar(&p, length < 0 ? nullptr : text + length, 0, 0, nullptr);
  *offset = p - text;
  return code;
}

const char* RVStringFirstPosFun(const char* text, RVStringPosition* position) {
  if (position != nullptr) {
    position->cursor = text;
    position->end = text == nullptr ? nullptr : text + std::strlen(text);
  }
  return text;
}

}  // extern "C"

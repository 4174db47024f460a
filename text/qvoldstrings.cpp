// Legacy string codes: writing them and walking zero-terminated legacy text.
#include "quorvane_oldstrings.h"

#include <cstring>

namespace {

int OldCharSize(unsigned int code) {
  code &= 0xFFFF;
  if (code == 0) return 1;
  if (code < 248) return 1;
  if (code < 256) return 2;
  return (code & 0xFF) != 0 ? 3 : 2;
}

// Reads the code at p: sets the position and returns its value bytes. A prefix
// whose value bytes the terminating zero cuts off is the end of the text, so
// the walk never steps past the terminator.
const unsigned char* ReadCode(RVOldStringPosition* position, const unsigned char* p) {
  position->code_start = p;
  position->current = p;
  position->run = 1;
  const unsigned char b = p[0];
  if (b == 0) {
    position->kind = RV_OLDSTRING_PLAIN;
    position->run = 0;
    return p;
  }
  if (b == 0xFF) {
    position->kind = RV_OLDSTRING_ZERO;
    return p;
  }
  if (b < 0xF8 || b > 0xFB) {  // 0xFC..0xFE are no prefixes
    position->kind = RV_OLDSTRING_PLAIN;
    return p;
  }
  const unsigned char* value = p + 1;
  int needed = 1;
  switch (b) {
    case 0xF8: position->kind = RV_OLDSTRING_PREFIXED_BYTE; break;
    case 0xF9: position->kind = RV_OLDSTRING_ESCAPED_BYTE; break;
    case 0xFA: position->kind = RV_OLDSTRING_HIGH_BYTE; break;
    default:
      position->kind = RV_OLDSTRING_DOUBLE_BYTE;
      needed = 2;
      break;
  }
  position->current = value;
  for (int i = 0; i < needed; ++i) {
    if (value[i] == 0) {
      position->current = value + i;
      position->kind = RV_OLDSTRING_PLAIN;
      position->run = 0;
      return value + i;
    }
  }
  return value;
}

// The size pass (end null) and the write pass of the two converters. A write
// pass without a cursor to write at writes nothing and so reports every unit
// as not written.
template <typename Unit>
int64_t ConvertToOld(const Unit* units, int64_t count, void* cursor_or_size, unsigned char* end) {
  const int64_t all = count > 0 ? count : 0;
  if (cursor_or_size == nullptr || (units == nullptr && count > 0)) return all;
  if (end == nullptr) {
    int64_t size = 0;
    for (int64_t i = 0; i < count; ++i) size += OldCharSize(units[i]);
    *static_cast<int64_t*>(cursor_or_size) = size;
    return 0;
  }
  unsigned char** cursor = static_cast<unsigned char**>(cursor_or_size);
  if (*cursor == nullptr) return all;
  for (int64_t i = 0; i < count; ++i) {
    if (end - *cursor < OldCharSize(units[i])) return count - i;
    RVOldPutCharToString(units[i], cursor);
  }
  return 0;
}

}  // namespace

extern "C" {

int RVOldPutCharToString(unsigned int code, unsigned char** cursor) {
  code &= 0xFFFF;
  const int size = OldCharSize(code);
  if (cursor == nullptr || *cursor == nullptr) return size;
  unsigned char* p = *cursor;
  if (code == 0) {
    *p++ = 0xFF;
  } else if (code < 248) {
    *p++ = static_cast<unsigned char>(code);
  } else if (code < 256) {
    *p++ = 0xF8;
    *p++ = static_cast<unsigned char>(code);
  } else if ((code & 0xFF) != 0) {
    *p++ = 0xFB;
    *p++ = static_cast<unsigned char>(code >> 8);
    *p++ = static_cast<unsigned char>(code & 0xFF);
  } else {
    *p++ = 0xFA;
    *p++ = static_cast<unsigned char>(code >> 8);
  }
  *cursor = p;
  return size;
}

int64_t RVOldConvertByteString(const unsigned char* bytes, int64_t count, void* cursor_or_size,
                               unsigned char* end) {
  return ConvertToOld(bytes, count, cursor_or_size, end);
}

int64_t RVOldConvertUCS2String(const unsigned short* units, int64_t count, void* cursor_or_size,
                               unsigned char* end) {
  return ConvertToOld(units, count, cursor_or_size, end);
}

const unsigned char* RVOldStringFirstPosFun(const unsigned char* text, RVOldStringPosition* position) {
  if (text == nullptr || position == nullptr) return nullptr;
  return ReadCode(position, text);
}

const unsigned char* RVOldStringNextPosFun(RVOldStringPosition* position) {
  if (position == nullptr) return nullptr;
  if (position->run <= 0) return position->current;
  const int step = position->kind == RV_OLDSTRING_DOUBLE_BYTE ? 2 : 1;
  const unsigned char* p = position->current + step;
  position->current = p;
  if (--position->run == 0) return ReadCode(position, p);
  return p;
}

unsigned int RVOldStringCharFun(const RVOldStringPosition* position) {
  if (position == nullptr || position->run <= 0) return 0;
  const unsigned char* p = position->current;
  switch (position->kind) {
    case RV_OLDSTRING_DOUBLE_BYTE: return (static_cast<unsigned int>(p[0]) << 8) | p[1];
    case RV_OLDSTRING_HIGH_BYTE: return static_cast<unsigned int>(p[0]) << 8;
    case RV_OLDSTRING_ZERO: return 0;
    default: return p[0];
  }
}

const unsigned char* inline_memchr2(const unsigned char* buffer, int byte, int64_t length) {
  if (buffer == nullptr || length <= 0) return buffer;
  const void* found = std::memchr(buffer, byte, static_cast<size_t>(length));
  return found != nullptr ? static_cast<const unsigned char*>(found) : buffer + length;
}

}  // extern "C"

// What the string, symbol and character puts share: refusing a text the
// caller cannot have meant (null with a length, or a negative length) before
// anything is dereferenced, and counting UTF-16 code points in the byte order
// the text's first unit tells. A surrogate outside a pair is no character:
// counted as one (or as none) it would leave an atom unfinished or drop it.
#pragma once

#include <cstdint>

#include "api/qvlink.h"
#include "text/qvtextencoding.h"
#include "text/qvunicode.h"

namespace qvputtext {

// "KOVR encountered invalid character data in given character encoding."
inline constexpr long kInvalidCharacters = 47;

// False for a null link, or for a null text with a nonzero length or a
// negative length; the latter leaves 47 on a link that held no error (a
// pending error stays: the put would have been refused for it anyway).
inline bool Usable(QVLink* link, const void* text, int64_t length) noexcept {
  if (link == nullptr) return false;
  if (length >= 0 && (text != nullptr || length == 0)) return true;
  QVLinkLockGuard guard(link);
  if (link->error == 0) link->error = kInvalidCharacters;
  return false;
}

// A declared size: the same refusal for a negative one.
inline bool UsableSize(QVLink* link, int64_t size) noexcept {
  static const char kSomething = 0;
  return Usable(link, &kSomething, size);
}

// Bytes in one unit of a text encoding.
inline int64_t UnitBytes(unsigned encoding) noexcept {
  switch (encoding) {
    case ENCODING_UCS2:
    case ENCODING_UTF16: return 2;
    case ENCODING_UTF32: return 4;
    default: return 1;
  }
}

// Code points of a UTF-8 text; false for text that is not well-formed
// UTF-8 (the plain counter would count a cut sequence as a character).
inline bool CountUTF8(const unsigned char* text, int64_t length, int64_t* count) noexcept {
  *count = 0;
  if (length == 0) return true;
  return QVCountUTF32SizeOfUTF8String(text, length, count) != 0;
}

// How UTF-16 units read in the given order end: on whole characters, on a
// leading surrogate whose trailing half may come in a later piece, or broken
// by a surrogate outside a pair. after_leading: a leading surrogate came just
// before the first unit.
enum class UTF16Ending { kWhole, kOpen, kBroken };

inline UTF16Ending ScanUTF16(const unsigned short* text, int64_t length, bool swapped, bool after_leading) noexcept {
  bool open = after_leading;
  for (int64_t i = 0; i < length; ++i) {
    const unsigned unit = swapped ? ((text[i] >> 8) | ((text[i] & 0xFFu) << 8)) : text[i];
    const bool trailing = unit >= 0xDC00 && unit <= 0xDFFF;
    if (open != trailing) return UTF16Ending::kBroken;
    open = unit >= 0xD800 && unit <= 0xDBFF;
  }
  return open ? UTF16Ending::kOpen : UTF16Ending::kWhole;
}

inline bool SwappedUTF16(const unsigned short* text) noexcept {
  return QVGetUTF16EndianType(text) == QV_ENDIAN_SWAPPED;
}

// Code points of a UTF-16 text or piece; a text without a mark in this
// machine's order is read byte-swapped. False when they cannot be counted.
inline bool CountUTF16Units(const unsigned short* text, int64_t length, int64_t* count) noexcept {
  *count = 0;
  if (length == 0) return true;
  return QVCountUnicodePointsInUTF16String(text, length, count, QVGetUTF16EndianType(text)) != 0;
}

// The same for a whole text, which must also be well-formed.
inline bool CountUTF16(const unsigned short* text, int64_t length, int64_t* count) noexcept {
  if (!CountUTF16Units(text, length, count)) return false;
  return length == 0 || ScanUTF16(text, length, SwappedUTF16(text), false) == UTF16Ending::kWhole;
}

}  // namespace qvputtext

// Comparing and searching strings of one encoding character by character.
// Every walk is bounded by the lengths of both strings.
#include <cstring>

#include "text/qvunicode.h"
#include "text/qvunicodecodec.h"

using namespace Quorvane::unicode;

namespace {

enum : int { kMismatchError = -2 };

// Gathers the next UTF-8 character in [*i, length): a lead byte starts a
// character, continuation bytes join it, other bytes are passed over, and the
// character is decoded by its lead byte's length. 0 when the text ends first.
int GatherUTF8(const unsigned char* s, int64_t length, int64_t* i, uint32_t* code) {
  _qvunicode acc{};
  acc.kind = QV_UNICODE_UTF8;
  while (*i < length) {
    const unsigned char b = s[(*i)++];
    if (qv_byte_is_utf8_header(b)) {
      acc.count = 0;
      acc.units[acc.count++] = b;
    } else if (qv_byte_is_utf8_secondary(b) && acc.count > 0 && acc.count < 4) {
      acc.units[acc.count++] = b;
    } else {
      // A stray continuation byte, one too many, or 0xF8-0xFF: passed over.
      acc.count = 0;
      continue;
    }
    if (qv_utfchar_is_done(&acc) == 1) {
      const unsigned char lead = acc.units[0];
      uint32_t c = acc.count == 1 ? lead : acc.count == 2 ? (lead & 0x1F) : acc.count == 3 ? (lead & 0x0F) : (lead & 0x07);
      for (uint32_t k = 1; k < acc.count; ++k) c = (c << 6) | (acc.units[k] & 0x3F);
      *code = c;
      return 1;
    }
  }
  return 0;
}

// Gathers the next UTF-16 character (units in this machine's order): a unit that
// is no trailing surrogate starts a character, a trailing surrogate that follows
// a leading one joins it. A leading surrogate that is not followed by a trailing
// one is passed over; a trailing surrogate with no leading one before it stands
// for itself, so that the walk moves on.
int GatherUTF16(const uint16_t* s, int64_t length, int64_t* i, uint32_t* code) {
  while (*i < length) {
    const uint32_t u = s[(*i)++];
    if (!IsLeadingSurrogate(u)) {
      *code = u;
      return 1;
    }
    if (*i >= length) return 0;  // cut inside a pair
    const uint32_t next = s[*i];
    if (IsTrailingSurrogate(next)) {
      ++*i;
      *code = JoinSurrogates(u, next);
      return 1;
    }
  }
  return 0;
}

template <typename Gather, typename Unit>
int CompareCharacters(const Unit* a, int64_t a_units, const Unit* b, int64_t b_units, int64_t n, Gather gather) {
  int64_t i = 0, j = 0;
  for (int64_t k = 0; k < n; ++k) {
    uint32_t ca, cb;
    if (!gather(a, a_units, &i, &ca) || !gather(b, b_units, &j, &cb)) return kMismatchError;
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return 0;
}

// The stepping functions refuse a unit that starts no well-formed character;
// the search passes over it alone, so that a needle after it is still found.
template <typename Unit>
void PassOver(const Unit** s, int64_t* left) {
  ++*s;
  --*left;
}

}  // namespace

int qvutf__strncmp(const void* a, int64_t a_bytes, const void* b, int64_t b_bytes, int64_t n, int kind) {
  if (a == nullptr || b == nullptr) return kMismatchError;
  if (a_bytes < 0) a_bytes = 0;
  if (b_bytes < 0) b_bytes = 0;
  switch (kind) {
    case 1:
      if (n <= 0) return 0;
      return CompareCharacters(static_cast<const unsigned char*>(a), a_bytes, static_cast<const unsigned char*>(b),
                               b_bytes, n, GatherUTF8);
    case 2:
      if (n == 0) return 0;
      if (n < 0) return kMismatchError;
      return CompareCharacters(static_cast<const uint16_t*>(a), a_bytes / 2, static_cast<const uint16_t*>(b),
                               b_bytes / 2, n, GatherUTF16);
    case 3: {
      const auto* ua = static_cast<const uint32_t*>(a);
      const auto* ub = static_cast<const uint32_t*>(b);
      const int64_t a_units = a_bytes / 4, b_units = b_bytes / 4;
      const int64_t stop = n > 0 && n < a_units ? n : a_units;
      for (int64_t k = 0; k < stop; ++k) {
        // b ended while a still has units to compare.
        if (k >= b_units) return kMismatchError;
        if (ua[k] != ub[k]) return ua[k] < ub[k] ? -1 : 1;
      }
      return 0;
    }
    default:
      return kMismatchError;
  }
}

const void* qvutf__strstr(const void* haystack, int64_t haystack_bytes, int64_t haystack_units, const void* needle,
                          int64_t needle_bytes, int64_t needle_chars, endian e, int kind) {
  if (haystack == nullptr || needle == nullptr || haystack_bytes < 0 || haystack_units < 0 || needle_bytes < 0) {
    return nullptr;
  }
  switch (kind) {
    case 3: {
      const auto* h = static_cast<const uint32_t*>(haystack);
      const auto* nd = static_cast<const uint32_t*>(needle);
      int64_t h_units = haystack_bytes / 4 < haystack_units ? haystack_bytes / 4 : haystack_units;
      const int64_t n_units = needle_chars;
      if (n_units <= 0) return haystack;
      if (n_units > needle_bytes / 4) return nullptr;
      for (int64_t pos = 0; pos + n_units <= h_units; ++pos) {
        if (h[pos] == nd[0] && qvutf__strncmp(nd, n_units * 4, h + pos, (h_units - pos) * 4, n_units, 3) == 0) {
          return h + pos;
        }
      }
      return nullptr;
    }
    case 1: {
      const auto* s = static_cast<const unsigned char*>(haystack);
      int64_t left = haystack_bytes < haystack_units ? haystack_bytes : haystack_units;
      for (;;) {
        if (qvutf__strncmp(s, left, needle, needle_bytes, needle_chars, 1) == 0) return s;
        unsigned char bytes[4];
        int count = 4;
        const int r = QVNextUTF8FromUTF8String(&s, &left, bytes, &count);
        if (r == -1) return nullptr;
        if (r != 1) PassOver(&s, &left);
      }
    }
    case 2: {
      const auto* s = static_cast<const unsigned short*>(haystack);
      int64_t left = haystack_bytes / 2 < haystack_units ? haystack_bytes / 2 : haystack_units;
      for (;;) {
        if (qvutf__strncmp(s, left * 2, needle, needle_bytes, needle_chars, 2) == 0) return s;
        unsigned short units[2];
        int count = 2;
        const int r = QVNextUTF16FromUTF16String(&s, &left, units, &count, e);
        if (r == -1 || (e != QV_ENDIAN_NATIVE && e != QV_ENDIAN_SWAPPED)) return nullptr;
        if (r != 1) PassOver(&s, &left);
      }
    }
    default:
      return nullptr;
  }
}

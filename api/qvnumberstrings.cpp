// The two in-place rewriters of real-number text. Every unit they look at is
// ASCII, so one template serves bytes (UTF-8 included), 16-bit and 32-bit
// units; the segments change places by rotation, needing no other memory.
#include "api/qvnumberstrings.h"

#include <algorithm>

namespace {

template <class Unit>
bool Ends(Unit u) {
  return static_cast<uint32_t>(u) <= 32;
}

template <class Unit>
uint32_t Value(Unit u) {
  return static_cast<uint32_t>(u);
}

// The first position from `from` holding a unit of value 32 or below.
template <class Unit>
long EndFrom(const Unit* text, long from) {
  while (!Ends(text[from])) ++from;
  return from;
}

template <class Unit>
long ToInput(Unit* text) {
  long exponent = -1;
  long end = 0;
  for (;; ++end) {
    const uint32_t c = Value(text[end]);
    if (c <= 32) break;
    if (c == '^' || c == '`') return EndFrom(text, end);  // already input syntax
    if (c == 'E' || c == 'e') {
      exponent = end;
      end = EndFrom(text, end + 1);
      break;
    }
  }
  // A precision field counts only right after the one separator unit.
  const bool precision = Value(text[end + 1]) == '`';
  const long precision_end = precision ? EndFrom(text, end + 1) : end + 1;
  const long precision_length = precision ? precision_end - (end + 1) : 0;
  if (exponent < 0) {
    if (!precision) return end;
    std::rotate(text + end, text + end + 1, text + precision_end);  // P before the separator
    return end + precision_length;
  }
  // The one extra unit that "e" -> "*^" needs.
  long extra = precision_end;
  if (!precision) {
    extra = end + 1;
    while (!Ends(text[extra]) && Value(text[extra]) != '`') ++extra;
  }
  std::rotate(text + exponent + 1, text + extra, text + extra + 1);
  text[exponent] = static_cast<Unit>('*');
  text[exponent + 1] = static_cast<Unit>('^');
  if (precision) std::rotate(text + exponent, text + end + 2, text + precision_end + 1);
  const long exponent_digits = end - exponent - 1;
  return exponent + precision_length + 2 + exponent_digits;
}

template <class Unit>
long ToLink(Unit* text) {
  long split = -1;
  long at = 0;
  for (;; ++at) {
    const uint32_t c = Value(text[at]);
    if (c <= 32) return at;  // neither exponent nor precision: unchanged
    if (c == 'E' || c == 'e') return EndFrom(text, at + 1);  // already link form
    if (c == '^') {
      // No unit before the caret to turn into the separator: leave the text.
      if (at == 0) return EndFrom(text, at);
      split = at - 1;
      break;
    }
    if (c == '`') {
      split = at;
      break;
    }
  }
  long caret = split;
  while (!Ends(text[caret]) && Value(text[caret]) != '^') ++caret;
  if (Ends(text[caret])) {
    // Precision only: the end unit becomes the separator before it.
    std::rotate(text + split, text + caret, text + caret + 1);
    return caret + 1;
  }
  text[caret - 1] = static_cast<Unit>(0);
  text[caret] = static_cast<Unit>('e');
  const long end = EndFrom(text, caret + 1);
  std::rotate(text + split, text + caret, text + end + 1);
  // M, "e", X, end unit, then the precision field (if any) and a zero unit.
  const bool had_precision = caret - 1 > split;
  return had_precision ? end : end - 1;
}

}  // namespace

long qv_to_input_char(char* text, void*) { return ToInput(reinterpret_cast<unsigned char*>(text)); }
long qv_to_input_short(uint16_t* text, void*) { return ToInput(text); }
long qv_to_input_int(uint32_t* text, void*) { return ToInput(text); }
long input_to_qv_char(char* text, void*) { return ToLink(reinterpret_cast<unsigned char*>(text)); }
long input_to_qv_short(uint16_t* text, void*) { return ToLink(text); }
long input_to_qv_int(uint32_t* text, void*) { return ToLink(text); }

// The start of a put of Unicode text: the byte order of UTF-16 and UTF-32
// text, and a leading byte-order mark, which is not part of the text.
#include <cstring>

#include "text/qvunicodeconverters.h"

namespace Quorvane::textatoms::unicodecodecs {

int64_t BeginUnicodePut(three_state* state, unsigned char** caller, unsigned char* caller_end) {
  const uint8_t source = state->encoding;
  if (source != ENCODING_UTF8 && source != ENCODING_UTF16 && source != ENCODING_UTF32) return 0;
  // Text without a mark is read byte-swapped.
  state->byte_order = 1;
  if (state->characters < 1 || caller == nullptr || *caller == nullptr) return 0;
  const unsigned char* p = *caller;
  const int64_t n = caller_end > p ? caller_end - p : 0;
  int64_t skip = 0;
  if (source == ENCODING_UTF8) {
    if (n == 0 || p[0] != 0xEF) return 0;
    if (n < 3) return QV_STEP_CALLER;
    if (p[1] == 0xBB && p[2] == 0xBF) skip = 3;
  } else if (source == ENCODING_UTF16) {
    if (n < 2) return QV_STEP_CALLER;
    uint16_t unit;
    std::memcpy(&unit, p, 2);
    if (unit == 0xFEFF || unit == 0xFFFE) {
      state->byte_order = unit == 0xFEFF ? 0 : 1;
      skip = 2;
    }
  } else {
    if (n < 4) return QV_STEP_CALLER;
    uint32_t unit;
    std::memcpy(&unit, p, 4);
    if (unit == 0x0000FEFFu || unit == 0xFFFE0000u) {
      state->byte_order = unit == 0x0000FEFFu ? 0 : 1;
      skip = 4;
    }
  }
  if (skip > 0) {
    *caller += skip;
    --state->characters;
  }
  return 0;
}

}  // namespace Quorvane::textatoms::unicodecodecs

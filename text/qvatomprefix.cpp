// The token and length in front of an atom.
#include "text/qvconverter.h"

int64_t qvatom_read_prefix(const unsigned char* p, int64_t n, uint64_t* token, int64_t* length,
                           int64_t max_length) {
  if (p == nullptr || token == nullptr || length == nullptr) return -1;
  if (n < 2) return 0;
  *token = p[0];
  const bool new_form = (p[0] & 0xF6) == 34;
  if (new_form && (p[1] & 0x40) != 0) {
    *length = p[1] & 0x3F;
    return *length <= max_length ? 2 : -1;
  }
  int64_t value = 0;
  int64_t i = 1;
  for (; i < n && p[i] != ' '; ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    if (__builtin_mul_overflow(value, int64_t{10}, &value) || __builtin_add_overflow(value, int64_t{p[i] - '0'}, &value) ||
        value > max_length) {
      return -1;
    }
  }
  if (i == n) return 0;
  if (i == 1) return -1;  // no digits
  *length = value;
  return i + 1;
}

#include "api/qvnumbertext.h"

#include <cerrno>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>

#include "api/qvbinaryconvert.h"
#include "api/qvnumericdispatch.h"
#include "api/qvtokentypes.h"
#include "utilities/qvclibmemory.h"

namespace {

// Number text on the wire is always "C" text: the caller's locale must not turn
// the decimal point into a comma, on either side.
class CNumericLocale {
 public:
  CNumericLocale() : previous_(Locale() ? uselocale(Locale()) : nullptr) {}
  ~CNumericLocale() {
    if (previous_ != nullptr) uselocale(previous_);
  }
  CNumericLocale(const CNumericLocale&) = delete;
  CNumericLocale& operator=(const CNumericLocale&) = delete;

 private:
  static locale_t Locale() {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c_locale;
  }
  locale_t previous_;
};

// Integer text needs 20 digits, a sign and the NUL after the offset byte.
constexpr long kIntegerTextCapacity = 22;
constexpr long kIntegerTextWindow = 255;
constexpr int kSinglePrecisionDigits = 9;
constexpr int kDoublePrecisionDigits = 17;
constexpr int kExtendedPrecisionDigits = 20;

template <typename T>
T LoadAs(const void* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

long IntegerToText(int64_t value, unsigned char* dst, long* count) {
  if (*count < kIntegerTextCapacity) return QVNUMERIC_UNSUPPORTED;
  const long window = *count < kIntegerTextWindow ? *count : kIntegerTextWindow;
  long at = window - 1;
  dst[at] = '\0';
  // The magnitude as unsigned, so the most negative value has one too.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    dst[--at] = static_cast<unsigned char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) dst[--at] = '-';
  dst[0] = static_cast<unsigned char>(at);
  *count = window - 1 - at;
  return QVNUMERIC_OK;
}

// Writes text at offset 1 when it fits with its NUL; otherwise nothing.
long PlaceRealText(const char* text, long length, unsigned char* dst, long* count) {
  if (length < 0 || length + 2 > *count) {
    *count = 0;
    return QVNUMERIC_UNSUPPORTED;
  }
  std::memcpy(dst + 1, text, static_cast<size_t>(length) + 1);
  dst[0] = 1;
  *count = length;
  return QVNUMERIC_OK;
}

long RealToText(double value, int precision, unsigned char* dst, long* count) {
  if (std::isinf(value)) return PlaceRealText(value < 0 ? "-INF" : "INF", value < 0 ? 4 : 3, dst, count);
  if (std::isnan(value)) return PlaceRealText("NAN", 3, dst, count);
  char text[64];
  CNumericLocale c_locale;
  const int length = std::snprintf(text, sizeof text, "%.*g", precision, value);
  return PlaceRealText(text, length < static_cast<int>(sizeof text) ? length : -1, dst, count);
}

long ExtendedToText(long double value, unsigned char* dst, long* count) {
  char text[80];
  CNumericLocale c_locale;
  const int length = std::snprintf(text, sizeof text, "%.*Lg", kExtendedPrecisionDigits, value);
  return PlaceRealText(text, length < static_cast<int>(sizeof text) ? length : -1, dst, count);
}

struct IntegerRange {
  unsigned type;
  long min;
  long max;
  long unchecked_length;  // texts this short can never overflow
  int width;
};

constexpr IntegerRange kIntegerRanges[] = {
    {BINARY_INTEGER8, -128, 255, 2, 1},
    {BINARY_INTEGER16, -32768, 32767, 4, 2},
    {BINARY_INTEGER32, -2147483648L, 2147483647L, 4, 4},
    {BINARY_INTEGER64, std::numeric_limits<long>::min(), std::numeric_limits<long>::max(), 9, 8},
};

const IntegerRange* RangeOf(unsigned type) {
  for (const IntegerRange& range : kIntegerRanges) {
    if (range.type == type) return &range;
  }
  return nullptr;
}

// Little-endian two's complement, cut to the width.
void StoreTruncated(int64_t value, void* dst, int width) {
  const uint64_t bits = static_cast<uint64_t>(value);
  std::memcpy(dst, &bits, static_cast<size_t>(width));
}

long IntegerTextToInteger(const IntegerRange& range, void* dst, char* text, long* count) {
  long error = 0;
  const bool checked = *count > range.unchecked_length;
  const int64_t value =
      accumulate_string(text, count, checked ? range.min : 0, checked ? range.max : 0, &error);
  if (error != QVNUMERIC_NOT_A_NUMBER) StoreTruncated(value, dst, range.width);
  return error;
}

long RealTextToInteger(const IntegerRange& range, void* dst, char* text, long* count) {
  double parsed = 0;
  const long answer = ne__s2dp(&parsed, text, 0, count);
  if (answer != QVNUMERIC_OK) return answer;
  const double lowest = range.type == BINARY_INTEGER8 ? 0.0 : static_cast<double>(range.min);
  const double upper = range.type == BINARY_INTEGER8 ? 256.0 : -lowest;
  double rounded = 0;
  if (!qvne__round_real_to_integer(parsed, lowest, upper, &rounded)) return QVNUMERIC_OVERFLOW;
  StoreTruncated(static_cast<int64_t>(rounded), dst, range.width);
  return QVNUMERIC_OK;
}

// ASCII only: a caller's locale must not change which letters match.
char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool LettersMatch(const char* text, const char* upper) {
  for (int i = 0; i < 3; ++i) {
    if (AsciiUpper(text[i]) != upper[i]) return false;
  }
  return true;
}

bool LooksSpecial(const char* text, long length) {
  const auto first = static_cast<unsigned char>(text[0]);
  if (first > 'E') return true;
  return length >= 2 && !(first >= '0' && first <= '9') && static_cast<unsigned char>(text[1]) >= 'F';
}

void StoreReal(unsigned target, void* dst, double value) {
  if (target == BINARY_REAL64) {
    std::memcpy(dst, &value, sizeof value);
  } else if (target == BINARY_REAL32) {
    const float single = static_cast<float>(value);
    std::memcpy(dst, &single, sizeof single);
  } else {
    unsigned char slot[16] = {};
    const long double extended = value;
    std::memcpy(slot, &extended, 10);
    std::memcpy(dst, slot, sizeof slot);
  }
}

// "INF" or "NAN" after an optional sign, in any letter case.
long SpecialTextToReal(unsigned target, void* dst, const char* text, long* count) {
  long at = 0;
  const bool negative = text[0] == '-';
  if (text[0] == '-' || text[0] == '+') at = 1;
  if (*count - at < 3 || !(LettersMatch(text + at, "INF") || LettersMatch(text + at, "NAN"))) {
    *count = 0;
    return QVNUMERIC_NOT_A_NUMBER;
  }
  double value = std::numeric_limits<double>::infinity();
  if (AsciiUpper(text[at]) == 'N') {
    value = std::numeric_limits<double>::quiet_NaN();
    if (target == BINARY_REAL128) {
      StoreReal(target, dst, value);  // an extended NaN always stays positive
      *count = at + 3;
      return QVNUMERIC_OK;
    }
  }
  StoreReal(target, dst, negative ? -value : value);
  *count = at + 3;
  return QVNUMERIC_OK;
}

// The largest doubles that still round to a finite single.
constexpr double kSingleRoundingLimit = 0x1.ffffffp127;

long RealTextToReal(unsigned target, void* dst, char* text, long* count) {
  if (LooksSpecial(text, *count)) return SpecialTextToReal(target, dst, text, count);
  double parsed = 0;
  const long answer = ne__s2dp(&parsed, text, 0, count);
  if (answer != QVNUMERIC_OK) return answer;
  if (target == BINARY_REAL32 && std::isfinite(parsed) && std::fabs(parsed) >= kSingleRoundingLimit) {
    return QVNUMERIC_OVERFLOW;
  }
  StoreReal(target, dst, parsed);
  return QVNUMERIC_OK;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

long qvne__number_to_text(unsigned source, void* dst, const void* src, long* count) {
  if (dst == nullptr || src == nullptr || count == nullptr) return QVNUMERIC_UNSUPPORTED;
  auto* out = static_cast<unsigned char*>(dst);
  switch (source) {
    case BINARY_INTEGER8: return IntegerToText(LoadAs<uint8_t>(src), out, count);
    case BINARY_INTEGER16: return IntegerToText(LoadAs<int16_t>(src), out, count);
    case BINARY_INTEGER32: return IntegerToText(LoadAs<int32_t>(src), out, count);
    case BINARY_INTEGER64: return IntegerToText(LoadAs<int64_t>(src), out, count);
    case BINARY_REAL32: return RealToText(LoadAs<float>(src), kSinglePrecisionDigits, out, count);
    case BINARY_REAL64: return RealToText(LoadAs<double>(src), kDoublePrecisionDigits, out, count);
    case BINARY_REAL128: {
      long double value = 0;
      std::memcpy(&value, src, 10);
      return ExtendedToText(value, out, count);
    }
    default: return QVNUMERIC_UNSUPPORTED;
  }
}

long qvne__text_to_number(unsigned target, unsigned source, void* dst, const char* src, long* count) {
  if (dst == nullptr || src == nullptr || count == nullptr) return QVNUMERIC_UNSUPPORTED;
  // The stated length never reaches past the text's NUL.
  *count = *count <= 0 ? 0 : static_cast<long>(strnlen(src, static_cast<size_t>(*count)));
  char* text = const_cast<char*>(src);
  if (const IntegerRange* range = RangeOf(target)) {
    if (source == NUMBER_TEXT_INTEGER || source == NUMBER_TEXT_OLD_INTEGER) {
      return IntegerTextToInteger(*range, dst, text, count);
    }
    return RealTextToInteger(*range, dst, text, count);
  }
  if (target == BINARY_REAL32 || target == BINARY_REAL64 || target == BINARY_REAL128) {
    return RealTextToReal(target, dst, text, count);
  }
  return QVNUMERIC_UNSUPPORTED;
}

int64_t accumulate_string(char* text, long* length, long min, long max, long* error) {
  const char* const start = text;
  const char* const end = text + *length;
  const char* p = text;
  while (p < end && *p == ' ') ++p;
  const bool negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  const char* const digits = p;
  long status = QVNUMERIC_OK;
  uint64_t unchecked = 0;  // wraps like the machine word when no range is asked for
  int64_t value = 0;
  if (max == 0) {
    for (; p < end && IsDigit(*p); ++p) unchecked = unchecked * 10 + static_cast<uint64_t>(*p - '0');
    value = static_cast<int64_t>(negative ? 0 - unchecked : unchecked);
  } else if (!negative) {
    const long q = max / 10, d = max % 10;
    for (; p < end && IsDigit(*p); ++p) {
      const long c = *p - '0';
      if (!(value < q || (value == q && c <= d))) {
        status = QVNUMERIC_OVERFLOW;
        break;
      }
      value = value * 10 + c;
    }
  } else {
    const long q = min / 10, d = -(min % 10);
    for (; p < end && IsDigit(*p); ++p) {
      const long c = *p - '0';
      if (!(value > q || (value == q && c <= d))) {
        status = QVNUMERIC_OVERFLOW;
        break;
      }
      value = value * 10 - c;
    }
  }
  if (p < end) *length = p - start;
  // Blanks or a sign alone are not a number.
  if (p == digits) status = QVNUMERIC_NOT_A_NUMBER;
  *error = status;
  return value;
}

long ne__s2dp(double* result, char* text, long, long* length) {
  if (text[0] == '\0') {
    *result = 0.0;
    return QVNUMERIC_OK;
  }
  char* rewritten = nullptr;
  const char* parse = text;
  if (std::strstr(text, "*^") != nullptr) {
    rewritten = ConvertTessarivaneBignumbToCForm(text, *length);
    if (rewritten == nullptr) return QVNUMERIC_NO_MEMORY;
    parse = rewritten;
  }
  char* stop = nullptr;
  double value = 0;
  int parse_error = 0;
  {
    CNumericLocale c_locale;
    errno = 0;
    value = std::strtod(parse, &stop);
    parse_error = errno;
  }
  long answer = QVNUMERIC_OK;
  if (*stop != '\0') {
    *length = stop - parse;
    if (stop == parse) answer = QVNUMERIC_NOT_A_NUMBER;
  }
  qvstd_clib_deallocator(rewritten);
  if (answer != QVNUMERIC_OK) return answer;
  // Too large for a double; an underflow keeps the tiny or zero value.
  if (parse_error != 0 && std::isinf(value)) return QVNUMERIC_OVERFLOW;
  *result = value;
  return QVNUMERIC_OK;
}

char* ConvertTessarivaneBignumbToCForm(char* text, long) {
  // The text is NUL-terminated; its own end is the one that counts.
  const long n = static_cast<long>(std::strlen(text));
  const char* const exponent_mark = std::strstr(text, "*^");
  if (exponent_mark == nullptr) return nullptr;
  const long p = exponent_mark - text;
  // The mantissa ends at a precision mark before "*^", else at "*^".
  const void* precision = std::memchr(text, '`', static_cast<size_t>(p));
  const long mantissa = precision != nullptr ? static_cast<const char*>(precision) - text : p;
  // The exponent ends at the first blank after "*^", else at the end.
  const void* blank = std::memchr(text + p + 2, ' ', static_cast<size_t>(n - p - 2));
  const long exponent_end = blank != nullptr ? static_cast<const char*>(blank) - text : n;
  const long exponent = exponent_end - (p + 2);
  auto* out = static_cast<char*>(qvstd_clib_allocator(static_cast<uint64_t>(mantissa + exponent + 2)));
  if (out == nullptr) return nullptr;
  std::memcpy(out, text, static_cast<size_t>(mantissa));
  out[mantissa] = 'E';
  std::memcpy(out + mantissa + 1, text + p + 2, static_cast<size_t>(exponent));
  out[mantissa + 1 + exponent] = '\0';
  return out;
}

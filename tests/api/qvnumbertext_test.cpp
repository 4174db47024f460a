// Numbers as text through the dispatcher, checked against the C library's own
// printf and strtod/strtof/strtold as the oracle.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>

#include "api/qvnumbertext.h"
#include "api/qvnumericdispatch.h"
#include "support/qvtest.h"

namespace {

constexpr unsigned kRealText = 42;
constexpr unsigned kIntegerText = 43;

// Number to text into a buffer of the given capacity, guarded on both sides.
struct Printed {
  long answer;
  long count;
  std::string text;
  bool guards_intact;
};
template <typename T>
Printed Print(unsigned type, T value, long capacity = 128) {
  std::vector<unsigned char> memory(static_cast<size_t>(capacity) + 32, 0xEE);
  unsigned char* buffer = memory.data() + 16;
  unsigned char slot[16] = {};
  std::memcpy(slot, &value, sizeof value < 16 ? sizeof value : 16);
  long count = capacity;
  Printed out{qvne__dispatch(qvne_selector(type < 244 ? kIntegerText : kRealText, type), buffer, slot,
                             &count),
              count, "", true};
  if (out.answer == 0) out.text.assign(reinterpret_cast<char*>(buffer + buffer[0]), static_cast<size_t>(count));
  for (int i = 0; i < 16; ++i) {
    out.guards_intact = out.guards_intact && memory[i] == 0xEE && memory[16 + capacity + i] == 0xEE;
  }
  return out;
}

std::string PrintfText(const char* format, int precision, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, precision, value);
  return text;
}

TEST(NumberToText, IntegersAreRightAlignedInTheBuffer) {
  unsigned char buffer[128];
  std::memset(buffer, 0xEE, sizeof buffer);
  const int32_t value = -42;
  long count = 128;
  ASSERT_EQ(qvne__dispatch(qvne_selector(kIntegerText, 228), buffer, const_cast<int32_t*>(&value), &count), 0);
  EXPECT_EQ(buffer[127], 0);
  EXPECT_EQ(std::memcmp(buffer + 124, "-42", 3), 0);
  EXPECT_EQ(buffer[0], 124);
  EXPECT_EQ(count, 3);

  struct Case {
    unsigned type;
    int64_t value;
    const char* text;
  };
  const Case cases[] = {
      {161, 255, "255"},
      {161, 0, "0"},
      {226, -32768, "-32768"},
      {228, 2147483647, "2147483647"},
      {230, std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
      {230, std::numeric_limits<int64_t>::max(), "9223372036854775807"},
  };
  for (const Case& c : cases) {
    const Printed p = Print(c.type, c.value);
    EXPECT_EQ(p.answer, 0);
    EXPECT_EQ(p.text, c.text);
    EXPECT_EQ(p.count, static_cast<long>(std::strlen(c.text)));
  }
  // Windows wider than 255 bytes still end at byte 254.
  std::vector<unsigned char> wide(400, 0xEE);
  const int16_t seven = 7;
  count = 400;
  ASSERT_EQ(qvne__dispatch(qvne_selector(kIntegerText, 226), wide.data(), const_cast<int16_t*>(&seven), &count), 0);
  EXPECT_EQ(wide[254], 0);
  EXPECT_EQ(wide[0], 253);
  EXPECT_EQ(wide[255], 0xEE);
}

TEST(NumberToText, RealsUsePrintfAndSpellSpecialValues) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(Print(246, 0.1).text, "0.10000000000000001");
  EXPECT_EQ(Print(244, 0.1f).text, "0.100000001");
  EXPECT_EQ(Print(246, inf).text, "INF");
  EXPECT_EQ(Print(246, -inf).text, "-INF");
  EXPECT_EQ(Print(244, -std::numeric_limits<float>::infinity()).text, "-INF");
  EXPECT_EQ(Print(246, nan).text, "NAN");
  EXPECT_EQ(Print(246, -nan).text, "NAN");
  EXPECT_EQ(Print(246, 1e300).text, PrintfText("%.*g", 17, 1e300));
  EXPECT_EQ(Print(246, -0.0).text, "-0");
  // The extended real is whatever the system printf writes, specials included.
  for (long double value : {1.0L / 3.0L, std::numeric_limits<long double>::infinity(),
                            -std::numeric_limits<long double>::infinity(),
                            std::numeric_limits<long double>::quiet_NaN(), 1e4000L}) {
    char expected[80];
    std::snprintf(expected, sizeof expected, "%.*Lg", 20, value);
    const Printed p = Print(248, value);
    EXPECT_EQ(p.answer, 0);
    EXPECT_EQ(p.text, expected);
  }
  const Printed real = Print(246, 2.5);
  EXPECT_EQ(real.count, 3);
}

TEST(NumberToText, ASmallBufferIsRefusedAndNotOverrun) {
  const Printed too_small_integer = Print(230, int64_t{5}, 21);
  EXPECT_EQ(too_small_integer.answer, -1);
  EXPECT_TRUE(too_small_integer.guards_intact);
  EXPECT_EQ(Print(230, std::numeric_limits<int64_t>::min(), 22).text, "-9223372036854775808");

  // "0.10000000000000001" needs 19 bytes, its offset byte and its NUL: 21.
  const Printed just_fits = Print(246, 0.1, 21);
  EXPECT_EQ(just_fits.answer, 0);
  EXPECT_TRUE(just_fits.guards_intact);
  for (long capacity : {20L, 4L, 1L, 0L}) {
    const Printed p = Print(246, 0.1, capacity);
    EXPECT_EQ(p.answer, -1) << capacity;
    EXPECT_EQ(p.count, 0) << capacity;
    EXPECT_TRUE(p.guards_intact) << capacity;
  }
  EXPECT_EQ(Print(246, -std::numeric_limits<double>::infinity(), 5).answer, -1);
  EXPECT_EQ(Print(246, -std::numeric_limits<double>::infinity(), 6).text, "-INF");
}

TEST(NumberToText, UnknownSourcesAreRefused) {
  unsigned char buffer[128], value[16] = {};
  for (unsigned type : {160u, 162u, 180u, 182u, 196u, 231u}) {
    long count = 128;
    EXPECT_EQ(qvne__dispatch(qvne_selector(kRealText, type), buffer, value, &count), -1) << type;
  }
}

// ---- Text to number -------------------------------------------------------

struct Parsed {
  long answer;
  long count;
  unsigned char bytes[16];
};
Parsed Parse(unsigned target, unsigned text_type, const char* text) {
  Parsed out{};
  std::memset(out.bytes, 0xEE, sizeof out.bytes);
  out.count = static_cast<long>(std::strlen(text));
  std::string copy(text);
  out.answer = qvne__dispatch(qvne_selector(target, text_type), out.bytes, copy.data(), &out.count);
  return out;
}
template <typename T>
T As(const Parsed& parsed) {
  T value;
  std::memcpy(&value, parsed.bytes, sizeof value);
  return value;
}

TEST(TextToNumber, IntegerText) {
  struct Case {
    unsigned target;
    const char* text;
    long answer;
    int64_t value;  // as stored, sign-extended from the target width
    long count;
  };
  const Case cases[] = {
      {161, "255", 0, 255, 3},
      {161, "-128", 0, -128, 4},  // byte 0x80
      {161, "256", 7, 25, 2},     // what came before the offending digit
      {226, "  +12abc", 0, 12, 5},
      {226, "99999", 7, 9999, 4},  // five characters: the range is tested
      {226, "9999", 0, 9999, 4},   // four: no range test needed
      {226, "-32768", 0, -32768, 6},
      {226, "-32769", 7, -3276, 5},
      {228, "2147483647", 0, 2147483647, 10},
      {228, "-2147483648", 0, -2147483647 - 1, 11},
      {230, "-9223372036854775808", 0, std::numeric_limits<int64_t>::min(), 20},
      {230, "9223372036854775808", 7, 922337203685477580, 18},
      {230, "00000000000000000000042", 0, 42, 23},
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(c.target, kIntegerText, c.text);
    EXPECT_EQ(p.answer, c.answer) << c.text;
    EXPECT_EQ(p.count, c.count) << c.text;
    int64_t stored = 0;
    switch (c.target) {
      case 161: stored = static_cast<int8_t>(p.bytes[0]); break;
      case 226: stored = As<int16_t>(p); break;
      case 228: stored = As<int32_t>(p); break;
      default: stored = As<int64_t>(p); break;
    }
    EXPECT_EQ(stored, c.target == 161 && c.value > 127 ? c.value - 256 : c.value) << c.text;
  }
  // The older integer token reads the same way.
  EXPECT_EQ(As<int32_t>(Parse(228, 73, "-17")), -17);
}

TEST(TextToNumber, IntegerTextWithoutADigitIsNotANumber) {
  for (const char* text : {"", "-", "+", "   ", "  -", "abc", "- 5"}) {
    const Parsed p = Parse(228, kIntegerText, text);
    EXPECT_EQ(p.answer, 2) << '"' << text << '"';
    EXPECT_EQ(p.bytes[0], 0xEE) << '"' << text << '"';
  }
}

TEST(TextToNumber, RealTextIntoIntegers) {
  EXPECT_EQ(As<int32_t>(Parse(228, kRealText, "2.5")), 2);
  EXPECT_EQ(As<int32_t>(Parse(228, kRealText, "3.5")), 4);
  EXPECT_EQ(As<int32_t>(Parse(228, kRealText, "-2.5")), -2);
  EXPECT_EQ(As<int64_t>(Parse(230, kRealText, "1.5*^3")), 1500);
  EXPECT_EQ(Parse(161, kRealText, "255.4").bytes[0], 255);
  for (auto [target, text] : {std::pair{228u, "1e10"}, {228u, "inf"}, {228u, "nan"}, {161u, "-1"},
                              {161u, "255.5"}, {230u, "9223372036854775808"}, {226u, "32767.5"}}) {
    const Parsed p = Parse(target, kRealText, text);
    EXPECT_EQ(p.answer, 7) << text;
    EXPECT_EQ(p.bytes[0], 0xEE) << text;  // nothing stored for a value that does not fit
  }
  EXPECT_EQ(As<int64_t>(Parse(230, kRealText, "-9223372036854775808")), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(Parse(228, kRealText, "x").answer, 2);
}

TEST(TextToNumber, RealText) {
  const double inf = std::numeric_limits<double>::infinity();
  Parsed p = Parse(246, kRealText, "-inf");
  EXPECT_EQ(p.answer, 0);
  EXPECT_EQ(As<double>(p), -inf);
  EXPECT_EQ(p.count, 4);
  p = Parse(246, kRealText, "INFINITY and more");
  EXPECT_EQ(As<double>(p), inf);
  EXPECT_EQ(p.count, 3);
  p = Parse(244, kRealText, "nan");
  EXPECT_TRUE(std::isnan(As<float>(p)));
  p = Parse(244, kRealText, "-NaN");
  EXPECT_TRUE(std::isnan(As<float>(p)) && std::signbit(As<float>(p)));
  p = Parse(248, kRealText, "-nan");
  long double extended = 0;
  std::memcpy(&extended, p.bytes, 10);
  EXPECT_TRUE(std::isnan(extended) && !std::signbit(extended));
  for (const char* text : {"in", "-in", "+x", "xyz", "-nax"}) {
    p = Parse(246, kRealText, text);
    EXPECT_EQ(p.answer, 2) << text;
    EXPECT_EQ(p.count, 0) << text;
  }
  EXPECT_EQ(Parse(244, kRealText, "1e40").answer, 7);
  EXPECT_EQ(Parse(246, kRealText, "1e400").answer, 7);
  EXPECT_EQ(Parse(246, kRealText, "-1e400").answer, 7);
  p = Parse(246, kRealText, "1e-400");
  EXPECT_EQ(p.answer, 0);
  EXPECT_EQ(As<double>(p), 0.0);
  p = Parse(246, kRealText, "");
  EXPECT_EQ(p.answer, 0);
  EXPECT_EQ(As<double>(p), 0.0);
  EXPECT_EQ(As<double>(Parse(246, kRealText, "1.5`20*^2")), 150.0);
  EXPECT_EQ(As<double>(Parse(246, kRealText, "2.5`20.*^10 x")), 2.5e10);
  EXPECT_EQ(As<double>(Parse(246, kRealText, "1.5*^-3")), 1.5e-3);
  p = Parse(246, kRealText, "2.5`20");  // a precision mark without an exponent
  EXPECT_EQ(As<double>(p), 2.5);
  EXPECT_EQ(p.count, 3);
  // An extended real read from text has double precision.
  p = Parse(248, kRealText, "0.1");
  std::memcpy(&extended, p.bytes, 10);
  EXPECT_EQ(extended, static_cast<long double>(0.1));
  EXPECT_EQ(p.bytes[12], 0);
  // A double beyond the singles overflows; an infinite double stays infinite.
  EXPECT_EQ(Parse(244, kRealText, "3.4028235677973366e38").answer, 7);
  EXPECT_EQ(As<float>(Parse(244, kRealText, "3.4028235e38")), std::numeric_limits<float>::max());
}

TEST(TextToNumber, ParseAgreesWithStrtodOnHardTexts) {
  for (const char* text : {"4.9406564584124654e-324", "2.2250738585072011e-308", "2.2250738585072014e-308",
                           "1.7976931348623157e308", "0x1.fffffffffffffp1023", "0x1p-1074", "-0x10",
                           "0.1e-0", "-0.0", "9007199254740993", "123456789012345678901234567890",
                           "1e-400", ".5", "-.5e1", "5.", "1e+", "1.5e", "  7.25", "+3"}) {
    const Parsed p = Parse(246, kRealText, text);
    char* end = nullptr;
    const double expected = std::strtod(text, &end);
    EXPECT_EQ(p.answer, 0) << text;
    EXPECT_EQ(std::memcmp(p.bytes, &expected, 8), 0) << text;
    EXPECT_EQ(p.count, static_cast<long>(end - text)) << text;
  }
}

TEST(TextToNumber, UnknownTargetsAreRefused) {
  for (unsigned target : {160u, 162u, 180u, 196u, 216u}) {
    EXPECT_EQ(Parse(target, kRealText, "1").answer, -1) << target;
  }
}

// ---- Round trips against the C library ------------------------------------

TEST(NumberTextRoundTrip, DoublesComeBackBitForBit) {
  std::mt19937_64 rng(1210);
  for (int i = 0; i < 100000; ++i) {
    const uint64_t bits = rng();
    double value;
    std::memcpy(&value, &bits, 8);
    if (!std::isfinite(value)) continue;
    const Printed printed = Print(246, value);
    ASSERT_EQ(printed.answer, 0);
    const double back = std::strtod(printed.text.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&back, &value, 8), 0) << printed.text;
    const Parsed parsed = Parse(246, kRealText, printed.text.c_str());
    ASSERT_EQ(std::memcmp(parsed.bytes, &value, 8), 0) << printed.text;
  }
}

TEST(NumberTextRoundTrip, SinglesAndExtendedReals) {
  std::mt19937_64 rng(2612);
  for (int i = 0; i < 20000; ++i) {
    const auto bits = static_cast<uint32_t>(rng());
    float value;
    std::memcpy(&value, &bits, 4);
    if (!std::isfinite(value)) continue;
    const Printed printed = Print(244, value);
    const float back = std::strtof(printed.text.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&back, &value, 4), 0) << printed.text;
  }
  // Twenty digits name an extended real to within one unit in the last place,
  // and read back they print the same text.
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  for (int i = 0; i < 20000; ++i) {
    const long double value = std::ldexp(static_cast<long double>(mantissa(rng)) *
                                             (1.0L + static_cast<long double>(rng() % 4096) * 0x1p-63L),
                                         static_cast<int>(rng() % 2000) - 1000);
    const Printed printed = Print(248, value);
    const long double back = std::strtold(printed.text.c_str(), nullptr);
    EXPECT_LE(std::fabs(back - value), std::fabs(value) * 0x1p-63L) << printed.text;
    EXPECT_EQ(Print(248, back).text, printed.text);
  }
}

// Why localedef made no locale, from its exit status and what it wrote.
std::string WhyNoLocale(int status, const std::string& log) {
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return "no locale compiler (localedef) here";
  std::ifstream in(log);
  std::string first;
  std::getline(in, first);
  return "localedef made no de_DE.UTF-8 (its source data, /usr/share/i18n, comes with the package locales): " + first;
}

// Number text on the wire keeps its point under a locale whose decimal mark
// is a comma. The locale is compiled into a private folder: a fresh machine
// has none compiled but C.
TEST(NumberTextRoundTrip, TheCallersLocaleDoesNotChangeTheText) {
  qvtest::TempDir dir;
  const std::string log = dir.file("localedef.log");
  const std::string command = "localedef -i de_DE -f UTF-8 " + dir.file("de_DE.UTF-8") + " >" + log + " 2>&1";
  const int made = std::system(command.c_str());
  if (made != 0) GTEST_SKIP() << WhyNoLocale(made, log);
  setenv("LOCPATH", dir.path().c_str(), 1);
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 2.5);
  EXPECT_STREQ(probe, "2,5");  // the locale is really in force
  EXPECT_EQ(Print(246, 2.5).text, "2.5");
  EXPECT_EQ(As<double>(Parse(246, kRealText, "2.5")), 2.5);
  EXPECT_EQ(As<double>(Parse(246, kRealText, "1.5*^2")), 150.0);
  std::setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
}

TEST(ExponentForm, RewritesToThePlainExponent) {
  struct Case {
    const char* in;
    const char* out;
  };
  for (const Case& c : {Case{"1.5*^-3", "1.5E-3"}, Case{"2.5`20.*^10", "2.5E10"}, Case{"3*^2 x", "3E2"},
                        Case{"2.5`20.*^10 x", "2.5E10"}, Case{"*^", "E"}, Case{"7`*^", "7E"}}) {
    std::string text(c.in);
    char* out = ConvertTessarivaneBignumbToCForm(text.data(), static_cast<long>(text.size()));
    ASSERT_NE(out, nullptr) << c.in;
    EXPECT_STREQ(out, c.out) << c.in;
    std::free(out);
  }
}

}  // namespace

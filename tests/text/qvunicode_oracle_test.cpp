// The Unicode primitives against the C library's strict converters: every
// string of one to three bytes, a structured sample of four-byte strings,
// every code point, and random strings with astral characters, surrogates,
// U+FFFE/U+FFFF and NUL.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "text/qvunicode.h"

namespace {

using Bytes = std::vector<unsigned char>;
using U16 = std::vector<unsigned short>;
using U32 = std::vector<unsigned int>;

// One strict conversion through iconv; nullopt when it refuses the input.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open");
  }
  ~Iconv() { iconv_close(cd_); }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  std::optional<std::string> Run(const void* data, size_t size) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string out(size * 4 + 16, '\0');
    char* in = const_cast<char*>(static_cast<const char*>(data));
    size_t in_left = size;
    char* o = out.data();
    size_t o_left = out.size();
    if (iconv(cd_, &in, &in_left, &o, &o_left) == static_cast<size_t>(-1) || in_left != 0) return std::nullopt;
    out.resize(out.size() - o_left);
    return out;
  }

 private:
  iconv_t cd_;
};

template <typename T>
std::vector<T> Units(const std::string& s) {
  std::vector<T> v(s.size() / sizeof(T));
  std::memcpy(v.data(), s.data(), v.size() * sizeof(T));
  return v;
}

template <typename T>
std::vector<T> WithMark(std::vector<T> v) {
  v.insert(v.begin(), T{0xFEFF});
  return v;
}

U16 Swapped(U16 v) {
  for (auto& u : v) u = static_cast<unsigned short>((u >> 8) | (u << 8));
  return v;
}
U32 Swapped(U32 v) {
  for (auto& u : v) u = __builtin_bswap32(u);
  return v;
}

// Walks a UTF-8 string with the accumulator and its validity test.
bool AccumulatorAccepts(const unsigned char* s, size_t n) {
  _qvunicode acc{};
  acc.kind = QV_UNICODE_UTF8;
  for (size_t i = 0; i < n; ++i) {
    if (qv_utf8_is_valid_next_byte(&acc, s[i]) != 1) return false;
    acc.units[acc.count++] = s[i];
    if (qv_utfchar_is_done(&acc) == 1) acc.count = 0;
  }
  return acc.count == 0;
}

class UTF8Checker {
 public:
  // Compares everything that reads UTF-8 with iconv on one string; returns a
  // description of the first disagreement, or an empty string.
  std::string Check(const unsigned char* s, size_t n) {
    const auto as32 = to32_.Run(s, n);
    const bool valid = as32.has_value();
    const U32 cps = valid ? Units<unsigned int>(*as32) : U32{};
    const auto as16 = to16_.Run(s, n);
    if (as16.has_value() != valid) return "iconv disagrees with itself";
    const U16 units = valid ? Units<unsigned short>(*as16) : U16{};
    bool bmp = true;
    for (auto c : cps) bmp = bmp && c <= 0xFFFF;
    const int64_t len = static_cast<int64_t>(n);

    if (AccumulatorAccepts(s, n) != valid) return "accumulator";

    // Whole strings.
    U32 out32(n + 1, 0xDEADBEEF);
    const int r32 = QVConvertUTF8StringToUTF32String(s, len, out32.data(), static_cast<int64_t>(out32.size()));
    if (valid) {
      if (r32 != 1) return "to UTF-32 refused";
      out32.resize(cps.size() + 1);
      if (out32 != WithMark(cps)) return "to UTF-32 differs";
    } else if (r32 != -1) {
      return "to UTF-32 accepted";
    }
    U16 out16(2 * n + 1, 0xBEEF);
    const int r16 = QVConvertUTF8StringToUTF16String(s, len, out16.data(), static_cast<int64_t>(out16.size()));
    if (valid) {
      if (r16 != 1) return "to UTF-16 refused";
      out16.resize(units.size() + 1);
      if (out16 != WithMark(units)) return "to UTF-16 differs";
      // Exactly the room needed is enough; one unit less is not.
      U16 exact(units.size() + 1);
      if (QVConvertUTF8StringToUTF16String(s, len, exact.data(), static_cast<int64_t>(exact.size())) != 1)
        return "to UTF-16 exact room";
      if (QVConvertUTF8StringToUTF16String(s, len, exact.data(), static_cast<int64_t>(exact.size()) - 1) != -1)
        return "to UTF-16 short room";
    } else if (r16 != -1) {
      return "to UTF-16 accepted";
    }
    U16 outucs(n, 0xBEEF);
    const int rucs = QVConvertUTF8StringToUCS2String(s, len, outucs.data(), len);
    if (valid && bmp) {
      if (rucs != 1) return "to UCS-2 refused";
      outucs.resize(cps.size());
      if (outucs != units) return "to UCS-2 differs";
    } else if (rucs != -1) {
      return "to UCS-2 accepted";
    }

    // Sizes and counts.
    int64_t count = -7;
    const int c16 = QVCountUTF16SizeOfUTF8String(s, len, &count);
    if (valid ? (c16 != 1 || count != static_cast<int64_t>(units.size())) : c16 != 0) return "UTF-16 size";
    count = -7;
    const int cucs = QVCountUCS2SizeOfUTF8String(s, len, &count);
    if (valid && bmp ? (cucs != 1 || count != static_cast<int64_t>(cps.size())) : cucs != (valid ? -1 : 0))
      return "UCS-2 size";
    if (valid) {
      if (QVCountUnicodePointsInUTF8String(s, len, &count) != 1 || count != static_cast<int64_t>(cps.size()))
        return "code point count";
    }

    // Stepping.
    {
      const unsigned char* p = s;
      int64_t left = len;
      U32 got;
      unsigned int c;
      int r;
      while ((r = QVNextUTF32FromUTF8String(&p, &left, &c)) == 1) got.push_back(c);
      if (valid ? (r != -1 || got != cps) : (r != 0 || left == 0)) return "step UTF-32";
      if (p != s + (len - left)) return "step UTF-32 position";
    }
    {
      const unsigned char* p = s;
      int64_t left = len;
      U16 got;
      unsigned short u[2];
      int k = 2, r;
      while ((r = QVNextUTF16FromUTF8String(&p, &left, u, &k)) == 1) {
        got.insert(got.end(), u, u + k);
        k = 2;
      }
      if (valid ? (r != 0 || got != units) : (r != -1 || left == 0)) return "step UTF-16";
    }
    {
      const unsigned char* p = s;
      int64_t left = len;
      Bytes got;
      unsigned char b[4];
      int k = 4, r;
      size_t chars = 0;
      while ((r = QVNextUTF8FromUTF8String(&p, &left, b, &k)) == 1) {
        got.insert(got.end(), b, b + k);
        k = 4;
        ++chars;
      }
      if (valid ? (r != -1 || got != Bytes(s, s + n) || chars != cps.size()) : (r != 0 || left == 0))
        return "step UTF-8";
    }
    {
      const unsigned char* p = s;
      int64_t left = len;
      U16 got;
      unsigned short u;
      int r;
      while ((r = QVNextUCS2FromUTF8String(&p, &left, &u)) == 1) got.push_back(u);
      if (valid && bmp ? (r != 0 || got != units) : (r != -1 || left == 0)) return "step UCS-2";
    }

    // One character.
    const bool one = valid && cps.size() == 1;
    unsigned int code = 0;
    if ((QVMakeUTF32FromUTF8(s, static_cast<int>(n), &code) == 1) != one || (one && code != cps[0]))
      return "make UTF-32";
    unsigned short u2[2];
    int k = 2;
    if ((QVMakeUTF16FromUTF8(s, static_cast<int>(n), u2, &k) == 1) != one ||
        (one && U16(u2, u2 + k) != units))
      return "make UTF-16";
    if (n <= 3) {
      unsigned short u = 0;
      if ((QVMakeUCS2FromUTF8(s, static_cast<int>(n), &u) == 1) != one || (one && u != cps[0])) return "make UCS-2";
    }

    // Lossless tests.
    auto all = [&](unsigned lo, unsigned hi) {
      for (auto c : cps)
        if (c < lo || c > hi) return false;
      return valid;
    };
    if (QVUTF8StringWillConvertLosslesslyToASCIIEncoding(s, len) != all(1, 0x7F)) return "lossless ASCII";
    if (QVUTF8StringWillConvertLosslesslyToByteEncoding(s, len) != all(0, 0xFF)) return "lossless bytes";
    if (QVUTF8StringWillConvertLosslesslyToUCS2Encoding(s, len) != all(0, 0xFFFF)) return "lossless UCS-2";

    // Back to UTF-8 from what iconv made, marked and unmarked.
    if (valid) {
      Bytes back(n, 0);
      const U32 marked32 = WithMark(cps);
      if (QVConvertUTF32StringToUTF8String(marked32.data(), static_cast<int64_t>(marked32.size()), back.data(), len) != 1 ||
          back != Bytes(s, s + n))
        return "UTF-32 back";
      std::fill(back.begin(), back.end(), 0);
      const U16 marked = WithMark(units);
      if (QVConvertUTF16StringToUTF8String(marked.data(), static_cast<int64_t>(marked.size()), back.data(), len) != 1 ||
          back != Bytes(s, s + n))
        return "UTF-16 back";
      std::fill(back.begin(), back.end(), 0);
      const U16 unmarked = Swapped(units);  // no mark: read swapped
      if (!unmarked.empty() && unmarked[0] != 0xFEFF && unmarked[0] != 0xFFFE &&
          (QVConvertUTF16StringToUTF8String(unmarked.data(), static_cast<int64_t>(unmarked.size()), back.data(),
                                            len) != 1 ||
           back != Bytes(s, s + n)))
        return "UTF-16 back unmarked";
    }
    return "";
  }

 private:
  Iconv to32_{"UTF-32LE", "UTF-8"};
  Iconv to16_{"UTF-16LE", "UTF-8"};
};

std::string Hex(const unsigned char* s, size_t n) {
  std::string h;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(buf, sizeof buf, "%02X ", s[i]);
    h += buf;
  }
  return h;
}

// Third and fourth bytes of the four-byte sample: every boundary of every range.
const unsigned char kEdgeBytes[] = {0x00, 0x41, 0x7F, 0x80, 0x81, 0x8F, 0x90, 0x9F, 0xA0, 0xAF, 0xBF,
                                    0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};

class EveryShortString : public ::testing::TestWithParam<int> {};

TEST_P(EveryShortString, AgreesWithIconv) {
  UTF8Checker checker;
  const unsigned char first = static_cast<unsigned char>(GetParam());
  int failures = 0;
  auto check = [&](const unsigned char* s, size_t n) {
    const std::string what = checker.Check(s, n);
    if (!what.empty() && ++failures <= 5) ADD_FAILURE() << what << " on " << Hex(s, n);
  };
  unsigned char s[4] = {first};
  check(s, 1);
  for (int b = 0; b < 256; ++b) {
    s[1] = static_cast<unsigned char>(b);
    check(s, 2);
    for (int c = 0; c < 256; ++c) {
      s[2] = static_cast<unsigned char>(c);
      check(s, 3);
    }
    for (unsigned char c : kEdgeBytes) {
      for (unsigned char d : kEdgeBytes) {
        s[2] = c;
        s[3] = d;
        check(s, 4);
      }
    }
  }
  // Every well-formed four-byte sequence that begins with this byte.
  if (first >= 0xF0 && first <= 0xF4) {
    for (int b = 0x80; b <= 0xBF; ++b)
      for (int c = 0x80; c <= 0xBF; ++c)
        for (int d = 0x80; d <= 0xBF; ++d) {
          s[1] = static_cast<unsigned char>(b);
          s[2] = static_cast<unsigned char>(c);
          s[3] = static_cast<unsigned char>(d);
          check(s, 4);
        }
  }
  EXPECT_EQ(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(FirstByte, EveryShortString, ::testing::Range(0, 256));

TEST(EveryCodePoint, OneCharacterMakersAgreeWithIconv) {
  Iconv to8("UTF-8", "UTF-32LE");
  Iconv to16("UTF-16LE", "UTF-32LE");
  int failures = 0;
  for (unsigned int c = 0; c <= 0x110000; ++c) {
    const auto want8 = to8.Run(&c, 4);
    const auto want16 = to16.Run(&c, 4);
    unsigned char b[8];
    int size = 4;
    const int r8 = QVMakeUTF8FromUTF32(c, b, &size);
    bool ok = want8 ? (r8 == 1 && std::string(reinterpret_cast<char*>(b), size) == *want8) : r8 == 0;
    unsigned short u[2];
    int k = 2;
    const int r16 = QVMakeUTF16FromUTF32(c, u, &k);
    ok = ok && (want16 ? (r16 == 1 && std::string(reinterpret_cast<char*>(u), 2 * k) == *want16) : r16 == 0);
    if (want16) {
      const U16 units = Units<unsigned short>(*want16);
      size = 4;
      ok = ok && QVMakeUTF8FromUTF16(units.data(), static_cast<int>(units.size()), b, &size) == 1 &&
           std::string(reinterpret_cast<char*>(b), size) == *want8;
      unsigned int back = 0;
      ok = ok && QVMakeUTF32FromUTF16(units.data(), static_cast<int>(units.size()), &back) == 1 && back == c;
      if (c <= 0xFFFF) {
        size = 4;
        ok = ok && QVMakeUTF8FromUCS2(static_cast<unsigned short>(c), b, &size) == 1 &&
             std::string(reinterpret_cast<char*>(b), size) == *want8;
      }
    } else if (c <= 0xFFFF) {
      // A surrogate unit alone is no character in any of the forms.
      const unsigned short unit = static_cast<unsigned short>(c);
      size = 4;
      unsigned int back;
      ok = ok && QVMakeUTF8FromUCS2(unit, b, &size) == 0 && QVMakeUTF8FromUTF16(&unit, 1, b, &size) == 0 &&
           QVMakeUTF32FromUTF16(&unit, 1, &back) == 0;
    }
    int64_t count = -1;
    const int rc = QVCountUTF8SizeOfUTF32String(&c, 1, &count, QV_ENDIAN_NATIVE);
    ok = ok && (want8 ? (rc == 1 && count == static_cast<int64_t>(want8->size())) : rc == 0);
    if (!ok && ++failures <= 5) ADD_FAILURE() << "code point " << std::hex << c;
  }
  EXPECT_EQ(failures, 0);
}

// Random code-point strings in all three forms, both byte orders, with and
// without the mark.
TEST(RandomStrings, ConvertersAgreeWithIconv) {
  std::mt19937 rng(20261209);
  auto pick = [&]() -> unsigned int {
    switch (rng() % 10) {
      case 0: return 0;                                   // NUL
      case 1: return 0xFFFE + rng() % 2;                  // noncharacters
      case 2: return 0xD800 + rng() % 0x800;              // surrogates
      case 3: return 0x10000 + rng() % 0x100000;          // astral
      case 4: return 0x80 + rng() % 0x780;                // two bytes
      case 5: return 0x800 + rng() % 0xF800;              // three bytes (some surrogates)
      case 6: return rng() % 50 == 0 ? 0x110000 + rng() % 0x1000 : 0x10FFFF;
      default: return rng() % 0x80;                       // ASCII
    }
  };
  Iconv u32to8("UTF-8", "UTF-32LE");
  Iconv u16to8("UTF-8", "UTF-16LE");
  Iconv u8to16("UTF-16LE", "UTF-8");
  int failures = 0;
  for (int round = 0; round < 20000; ++round) {
    const size_t length = 1 + rng() % 40;
    const bool clean = rng() % 2 == 0;  // half of them without surrogates or out-of-range values
    U32 cps;
    while (cps.size() < length) {
      unsigned int c = pick();
      if (clean && (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) continue;
      cps.push_back(c);
    }
    if (cps[0] == 0xFEFF || cps[0] == 0xFFFE) cps[0] = 0x41;  // a leading mark would be taken as one
    std::string failure;

    // UTF-32 to UTF-8: marked native, and unmarked (read swapped).
    const auto want8 = u32to8.Run(cps.data(), cps.size() * 4);
    Bytes out(cps.size() * 4, 0);
    const int64_t cap = static_cast<int64_t>(out.size());
    const U32 marked32 = WithMark(cps);
    int r = QVConvertUTF32StringToUTF8String(marked32.data(), static_cast<int64_t>(marked32.size()), out.data(), cap);
    if (want8 ? r != 1 || std::string(out.begin(), out.begin() + want8->size()) != *want8 : r != -1)
      failure = "UTF-32 marked";
    const U32 swapped32 = Swapped(cps);
    r = QVConvertUTF32StringToUTF8String(swapped32.data(), static_cast<int64_t>(swapped32.size()), out.data(), cap);
    if (want8 ? r != 1 || std::string(out.begin(), out.begin() + want8->size()) != *want8 : r != -1)
      failure = "UTF-32 unmarked";
    int64_t size = -1;
    const int rs = QVCountUTF8SizeOfUTF32String(cps.data(), static_cast<int64_t>(cps.size()), &size, QV_ENDIAN_NATIVE);
    if (want8 ? rs != 1 || size != static_cast<int64_t>(want8->size()) : rs != 0) failure = "UTF-32 size";

    // UTF-16 made by hand (a surrogate code point becomes that lone unit).
    U16 units;
    for (auto c : cps) {
      if (c > 0x10FFFF) continue;
      if (c >= 0x10000) {
        units.push_back(static_cast<unsigned short>(0xD7C0 + (c >> 10)));
        units.push_back(static_cast<unsigned short>(0xDC00 | (c & 0x3FF)));
      } else {
        units.push_back(static_cast<unsigned short>(c));
      }
    }
    if (!units.empty() && units[0] != 0xFEFF && units[0] != 0xFFFE) {
      const auto w = u16to8.Run(units.data(), units.size() * 2);
      const U16 marked16 = WithMark(units);
      r = QVConvertUTF16StringToUTF8String(marked16.data(), static_cast<int64_t>(marked16.size()), out.data(), cap);
      if (w ? r != 1 || std::string(out.begin(), out.begin() + w->size()) != *w : r != -1) failure = "UTF-16 marked";
      const U16 swapped16 = Swapped(units);
      r = QVConvertUTF16StringToUTF8String(swapped16.data(), static_cast<int64_t>(swapped16.size()), out.data(), cap);
      if (w ? r != 1 || std::string(out.begin(), out.begin() + w->size()) != *w : r != -1) failure = "UTF-16 unmarked";
      const int rc = QVCountUTF8SizeOfUTF16String(units.data(), static_cast<int64_t>(units.size()), &size,
                                                  QV_ENDIAN_NATIVE);
      if (w ? rc != 1 || size != static_cast<int64_t>(w->size()) : rc != 0) failure = "UTF-16 size";
      // Stepping both ways over the same units.
      const unsigned short* p = swapped16.data();
      int64_t left = static_cast<int64_t>(swapped16.size());
      std::string stepped;
      unsigned char b[4];
      int k = 4, step;
      while ((step = QVNextUTF8FromUTF16String(&p, &left, b, &k, QV_ENDIAN_SWAPPED)) == 1) {
        stepped.append(reinterpret_cast<char*>(b), k);
        k = 4;
      }
      if (w ? step != 0 || stepped != *w : step != -1) failure = "UTF-16 stepping";
    }

    // UTF-8 (when the code points are all scalar values) to UTF-16.
    if (want8) {
      const auto w16 = u8to16.Run(want8->data(), want8->size());
      U16 o16(want8->size() + 1);
      r = QVConvertUTF8StringToUTF16String(reinterpret_cast<const unsigned char*>(want8->data()),
                                           static_cast<int64_t>(want8->size()), o16.data(),
                                           static_cast<int64_t>(o16.size()));
      o16.resize(w16->size() / 2 + 1);
      if (r != 1 || o16 != WithMark(Units<unsigned short>(*w16))) failure = "UTF-8 to UTF-16";
    }
    if (!failure.empty() && ++failures <= 5) ADD_FAILURE() << failure << " in round " << round;
  }
  EXPECT_EQ(failures, 0);
}

}  // namespace

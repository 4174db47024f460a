// Arbitrary bytes into the escaped-ASCII reader and writers, the legacy string
// walker, and the UTF-8, UTF-16 and UTF-32 decoders. Every input is copied into a heap block of exactly its size
// so that any read past it is caught; decoded text is re-encoded and compared.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "include/quorvane_oldstrings.h"
#include "include/quorvane_text.h"
#include "text/qvescapedascii.h"
#include "text/qvunicode.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

template <typename T>
std::unique_ptr<T[]> Copy(const uint8_t* data, size_t units) {
  std::unique_ptr<T[]> p(new T[units == 0 ? 1 : units]);
  std::memcpy(p.get(), data, units * sizeof(T));
  return p;
}

// The x form against strtoull: the whole run of hex digits, however long;
// refused (-1, the cursor stays) past U+10FFFF; -2 without digits; -1 when the
// run reaches the end and more may follow.
void CheckXRun(const char* at, const char* end, int more, int c, const char* after) {
  const char* q = at + 2;
  while (q < end && std::isxdigit(static_cast<unsigned char>(*q))) ++q;
  const std::string digits(at + 2, q);
  if (q == end && (more || digits.empty())) {
    Check(c == -1 && after == at);
    return;
  }
  if (digits.empty()) {
    Check(c == -2 && after == at + 2);
    return;
  }
  errno = 0;
  const unsigned long long v = std::strtoull(digits.c_str(), nullptr, 16);
  if (errno == ERANGE || v > 0x10FFFF) {
    Check(c == -1 && after == at);
    return;
  }
  Check(c == static_cast<int>(v) && after == q);
}

void EscapedASCII(const uint8_t* data, size_t size, int more, int join) {
  auto text = Copy<char>(data, size);
  const char* begin = text.get();
  const char* end = begin + size;
  const char* p = begin;
  std::vector<unsigned int> codes;
  int64_t read = 0;
  for (;;) {
    const char* before = p;
    int joined = 0;
    const int c = QVNextChar(&p, end, more, join, &joined);
    Check(p >= before && p <= end);
    if (end - before >= 2 && before[0] == '\\' && before[1] == 'x') CheckXRun(before, end, more, c, p);
    if (c == -1) {
      Check(p == before);
      break;
    }
    Check(p > before && c >= -2 && c <= 0x10FFFF);
    if (c >= 0) codes.push_back(static_cast<unsigned int>(c));
    ++read;
  }
  // The counter passes the same characters (a -2 escape counts as one) and
  // stops where the reader stopped; at an escape the reader refuses it
  // answers -1 there. Joined pairs count as two, so only without joining.
  const char* q = begin;
  const int64_t left = QVCharOffset(&q, end, 1 << 30, more);
  Check(q >= begin && q <= end);
  Check(left == -1 || left <= (1 << 30));
  if (!join) {
    Check(left == -1 ? q == p : (left == (1 << 30) - read && q >= p));
  }

  // What was read, written and read again, gives itself.
  if (!codes.empty()) {
    int64_t need = 0;
    Check(RVConvertUTF32String(codes.data(), static_cast<int64_t>(codes.size()), reinterpret_cast<char**>(&need),
                               nullptr) == 0);
    auto out = std::make_unique<char[]>(need);
    char* cursor = out.get();
    Check(RVConvertUTF32String(codes.data(), static_cast<int64_t>(codes.size()), &cursor, out.get() + need) == 0);
    Check(cursor == out.get() + need);
    const char* r = out.get();
    for (unsigned int c : codes) Check(QVNextChar(&r, out.get() + need, 0, 0, nullptr) == static_cast<int>(c));
    Check(r == out.get() + need);
  }

  // The zero-terminated readers stop at the first zero byte.
  auto zt = std::make_unique<char[]>(size + 1);
  std::memcpy(zt.get(), data, size);
  zt[size] = '\0';
  RVStringPosition pos;
  RVStringFirstPosFun(zt.get(), &pos);
  while (pos.cursor < pos.end) {
    const char* before = pos.cursor;
    if (RVNextCharacter(&pos.cursor, nullptr) == -1) break;
    Check(pos.cursor > before && pos.cursor <= pos.end);
  }
  int64_t offset = 0;
  while (offset < static_cast<int64_t>(size) && RVNextCharacterFromStringWithLength(zt.get(), &offset, -1) != -1) {
  }
  (void)RVStringCharacter(zt.get());
}

// Bytes to escaped ASCII: written in one go into the size that the size pass
// gives, and again through a small buffer in several calls with the same text.
void EscapedBytes(const uint8_t* data, size_t size) {
  auto s = Copy<unsigned char>(data, size);
  const int64_t n = static_cast<int64_t>(size);
  int64_t need = 0;
  Check(RVConvertByteString(s.get(), n, reinterpret_cast<char**>(&need), nullptr) == 0);
  auto whole = std::make_unique<char[]>(need + 1);
  char* cursor = whole.get();
  Check(RVConvertByteString(s.get(), n, &cursor, whole.get() + need) == 0 && cursor == whole.get() + need);
  const int64_t window = 4 + (size == 0 ? 0 : data[0] % 8);  // room for any one byte's escape
  std::string pieces;
  for (int64_t left = n; left > 0;) {
    auto buffer = std::make_unique<char[]>(window);
    char* c = buffer.get();
    const int r = RVConvertByteString(s.get() + (n - left), left, &c, buffer.get() + window);
    Check(r >= 0 && r < left && c > buffer.get() && c <= buffer.get() + window);
    pieces.append(buffer.get(), static_cast<size_t>(c - buffer.get()));
    left = r;
  }
  Check(pieces == std::string(whole.get(), static_cast<size_t>(need)));
  const int64_t units = n / 2;
  Check(RVConvertDoubleByteString(s.get(), units, reinterpret_cast<char**>(&need), nullptr) == 0);
  auto wide = std::make_unique<char[]>(need + 1);
  cursor = wide.get();
  Check(RVConvertDoubleByteString(s.get(), units, &cursor, wide.get() + need) == 0 && cursor == wide.get() + need);
}

// Walks zero-terminated legacy text; every step moves forward and stays inside.
std::vector<unsigned short> WalkOld(const unsigned char* text, size_t size) {
  std::vector<unsigned short> chars;
  RVOldStringPosition pos;
  RVOldStringFirstPosFun(text, &pos);
  while (pos.run > 0) {
    Check(pos.current < text + size && chars.size() < size);
    chars.push_back(static_cast<unsigned short>(RVOldStringCharFun(&pos)));
    const unsigned char* before = pos.current;
    RVOldStringNextPosFun(&pos);
    Check(pos.current > before && pos.current <= text + size);
  }
  return chars;
}

// Legacy text: walked, written back in legacy form and walked again, it gives
// the same characters.
void OldString(const uint8_t* data, size_t size) {
  auto text = std::make_unique<unsigned char[]>(size + 1);
  std::memcpy(text.get(), data, size);
  text[size] = 0;
  const std::vector<unsigned short> chars = WalkOld(text.get(), size);
  const int64_t n = static_cast<int64_t>(chars.size());
  int64_t need = 0;
  Check(RVOldConvertUCS2String(chars.data(), n, &need, nullptr) == 0);
  auto again = std::make_unique<unsigned char[]>(need + 1);
  unsigned char* cursor = again.get();
  Check(RVOldConvertUCS2String(chars.data(), n, &cursor, again.get() + need) == 0 && cursor == again.get() + need);
  *cursor = 0;
  Check(WalkOld(again.get(), static_cast<size_t>(need)) == chars);
}

void UTF8(const uint8_t* data, size_t size) {
  auto s = Copy<unsigned char>(data, size);
  const int64_t n = static_cast<int64_t>(size);
  int64_t units16 = 0, cps = 0;
  const int sized = QVCountUTF16SizeOfUTF8String(s.get(), n, &units16);
  QVCountUnicodePointsInUTF8String(s.get(), n, &cps);
  const int64_t cap16 = (sized == 1 ? units16 : n) + 1;
  auto u16 = std::make_unique<unsigned short[]>(cap16);
  const int r16 = QVConvertUTF8StringToUTF16String(s.get(), n, u16.get(), cap16);
  auto u32 = std::make_unique<unsigned int[]>(n + 1);
  const int r32 = QVConvertUTF8StringToUTF32String(s.get(), n, u32.get(), n + 1);
  if (size == 0) return;
  Check((sized == 1) == (r16 == 1) && r16 == r32);
  if (r16 == 1) {
    // Back to UTF-8: the same bytes.
    auto back = std::make_unique<unsigned char[]>(n);
    Check(QVConvertUTF16StringToUTF8String(u16.get(), cap16, back.get(), n) == 1);
    Check(std::memcmp(back.get(), s.get(), size) == 0);
    Check(QVConvertUTF32StringToUTF8String(u32.get(), cps + 1, back.get(), n) == 1);
    Check(std::memcmp(back.get(), s.get(), size) == 0);
    int64_t esc = 0;
    Check(RVConvertUTF8String(s.get(), cps, reinterpret_cast<char**>(&esc), nullptr) == 0);
    auto out = std::make_unique<char[]>(esc + 1);
    char* cursor = out.get();
    Check(RVConvertUTF8String(s.get(), cps, &cursor, out.get() + esc) == 0 && cursor == out.get() + esc);
  }
  // Stepping over the whole text ends exactly at its end, or at a refusal.
  const unsigned char* p = s.get();
  int64_t left = n;
  unsigned int code;
  int r;
  while ((r = QVNextUTF32FromUTF8String(&p, &left, &code)) == 1) Check(code <= 0x10FFFF);
  Check(r16 == 1 ? (r == -1 && left == 0) : r == 0);
  QVUTF8StringWillConvertLosslesslyToUCS2Encoding(s.get(), n);
  const int half = static_cast<int>(size / 2);
  qvutf__strncmp(s.get(), half, s.get() + half, n - half, 1 + data[0] % 8, 1);
  qvutf__strstr(s.get(), n, n, s.get() + half, n - half, 1 + data[0] % 4, QV_ENDIAN_NATIVE, 1);
}

void UTF16(const uint8_t* data, size_t size) {
  const size_t units = size / 2;
  auto s = Copy<unsigned short>(data, units);
  const int64_t n = static_cast<int64_t>(units);
  for (endian e : {QV_ENDIAN_NATIVE, QV_ENDIAN_SWAPPED}) {
    int64_t bytes = 0;
    if (QVCountUTF8SizeOfUTF16String(s.get(), n, &bytes, e) == 1) {
      // Sized in the order given, converted after a mark that says so.
      auto marked = std::make_unique<unsigned short[]>(n + 1);
      marked[0] = e == QV_ENDIAN_NATIVE ? 0xFEFF : 0xFFFE;
      std::memcpy(marked.get() + 1, s.get(), units * 2);
      auto out = std::make_unique<unsigned char[]>(bytes + 1);
      const int r = QVConvertUTF16StringToUTF8String(marked.get(), n + 1, out.get(), bytes + 1);
      Check(r == 1 || n == 0 || bytes == 0);
    }
    const unsigned short* p = s.get();
    int64_t left = n;
    unsigned int code;
    while (QVNextUTF32FromUTF16String(&p, &left, &code, e) == 1) Check(code <= 0x10FFFF);
    Check(p == s.get() + (n - left));
  }
  auto out = std::make_unique<unsigned char[]>(3 * units + 1);
  QVConvertUTF16StringToUTF8String(s.get(), n, out.get(), static_cast<int64_t>(3 * units + 1));
  const int64_t half = n / 2;
  qvutf__strncmp(s.get(), half * 2, s.get() + half, (n - half) * 2, 1 + n % 5, 2);
  qvutf__strstr(s.get(), n * 2, n, s.get() + half, (n - half) * 2, 1 + n % 3, QV_ENDIAN_NATIVE, 2);
}

void UTF32(const uint8_t* data, size_t size) {
  const size_t units = size / 4;
  auto s = Copy<unsigned int>(data, units);
  const int64_t n = static_cast<int64_t>(units);
  int64_t bytes = 0;
  auto out = std::make_unique<unsigned char[]>(4 * units + 1);
  const int sized = QVCountUTF8SizeOfUTF32String(s.get(), n, &bytes, QV_ENDIAN_SWAPPED);
  const int r = QVConvertUTF32StringToUTF8String(s.get(), n, out.get(), static_cast<int64_t>(4 * units + 1));
  if (n > 0 && !QVUnsignedIntIsUTF32ByteOrderMark(s[0])) Check((sized == 1) == (r == 1));
  const int64_t half = n / 2;
  qvutf__strncmp(s.get(), half * 4, s.get() + half, (n - half) * 4, n % 4, 3);
  qvutf__strstr(s.get(), n * 4, n, s.get() + half, (n - half) * 4, 1 + n % 3, QV_ENDIAN_NATIVE, 3);
  int64_t esc = 0;
  RVConvertUTF32String(s.get(), n, reinterpret_cast<char**>(&esc), nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  ++data;
  --size;
  EscapedASCII(data, size, flags & 1, (flags >> 1) & 1);
  EscapedBytes(data, size);
  OldString(data, size);
  UTF8(data, size);
  UTF16(data, size);
  UTF32(data, size);
  return 0;
}

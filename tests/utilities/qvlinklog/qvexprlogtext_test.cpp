// Expression text of the log: token sequences and the exact text they leave
// in a real log file, reals against printf's "%#g", and the text-encoding
// answers the character operations rely on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "quorvane_text.h"
#include "tests/utilities/qvlinklog/qvexprlogtest.h"
#include "text/qvunicode.h"

using namespace Quorvane;
using qvlinklogtest::FixedPreambleLog;
using qvlinklogtest::LogFile;

namespace {

constexpr qvlogdirection W = QVLogWriteDirection;
constexpr qvlogdirection R = QVLogReadDirection;

void Sym(QVExprLog& log, const char* name, qvlogdirection d = W) {
  log.logUTF8Symbol(d, reinterpret_cast<const unsigned char*>(name),
                    static_cast<long>(std::string(name).size()));
}
void Str(QVExprLog& log, const std::string& text, qvlogdirection d = W) {
  log.logUTF8String(d, reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<long>(text.size()));
}
void Fn(QVExprLog& log, const char* head, unsigned long n, qvlogdirection d = W) {
  log.logFunction(d, head, std::string(head).size(), n);
}

struct TextCase {
  const char* name;
  std::function<void(QVExprLog&)> tokens;
  std::string expected;  // the file past its first line break; "W..: " and "R..: " preambles
};

const char* const kNoHeads[] = {nullptr};

const TextCase kCases[] = {
    {"function", [](QVExprLog& l) { Fn(l, "f", 2), Sym(l, "x"), Sym(l, "y"); }, "W..: f[x, y]"},
    {"list", [](QVExprLog& l) { Fn(l, "List", 2), l.logInt(W, 1), l.logInt(W, 2); }, "W..: {1, 2}"},
    {"empty list", [](QVExprLog& l) { Fn(l, "List", 0); }, "W..: {}"},
    {"heads that are not List",
     [](QVExprLog& l) { Fn(l, "Lists", 1), Sym(l, "a"), Fn(l, "list", 1), Sym(l, "b"); },
     "W..: Lists[a]\nW..: list[b]"},
    {"no arguments", [](QVExprLog& l) { Fn(l, "g", 0); }, "W..: g[]"},
    {"no arguments inside a parent",
     [](QVExprLog& l) { Fn(l, "h", 2), Fn(l, "g", 0), l.logInt(W, 1); }, "W..: h[g[], 1]"},
    {"atom head",
     [](QVExprLog& l) {
       l.logFunctionWithAlternateHead(W, 2), l.logInt(W, 7), Sym(l, "a"), Sym(l, "b");
     },
     "W..: 7[a, b]"},
    {"string head",
     [](QVExprLog& l) {
       l.logFunctionWithAlternateHead(W, 2), Str(l, "s"), Sym(l, "a"), Sym(l, "b");
     },
     "W..: \"s\"[a, b]"},
    {"function head",
     [](QVExprLog& l) {
       l.logFunctionWithAlternateHead(W, 1), Fn(l, "f", 1), Sym(l, "x"), Sym(l, "y");
     },
     "W..: f[x][y]"},
    {"function head, no arguments",
     [](QVExprLog& l) { l.logFunctionWithAlternateHead(W, 0), Fn(l, "f", 1), Sym(l, "x"); },
     "W..: f[x][]"},
    {"function head, two arguments",
     [](QVExprLog& l) {
       l.logFunctionWithAlternateHead(W, 2), Fn(l, "f", 1), Sym(l, "x"), Sym(l, "a"), Sym(l, "b");
     },
     "W..: f[x][a, b]"},
    {"function head nested",
     [](QVExprLog& l) {
       Fn(l, "g", 1), l.logFunctionWithAlternateHead(W, 1), Fn(l, "f", 1), Sym(l, "x"), Sym(l, "y");
     },
     "W..: g[f[x][y]]"},
    {"inner quote bare", [](QVExprLog& l) { Str(l, "a\"b"); }, "W..: \"a\"b\""},
    {"escapes and a raw newline",
     [](QVExprLog& l) { Str(l, "\xC3\xA9|\xE2\x82\xAC|\xF0\x9F\x98\x80|\t|\n|\\"); },
     "W..: \"\\351|\\:20AC|\\|01F600|\\011|\n|\\\""},
    {"symbol", [](QVExprLog& l) { Sym(l, "Plus"); }, "W..: Plus"},
    {"reals",
     [](QVExprLog& l) {
       Fn(l, "List", 4), l.logReal(W, 3.0), l.logReal(W, -0.25), l.logReal(W, 1e-10),
           l.logReal128(W, 123456789.0L);
     },
     "W..: {3.00000, -0.250000, 1.00000e-10, 1.23457e+08}"},
    {"empty list argument",
     [](QVExprLog& l) {
       const int none[1] = {0};
       Fn(l, "f", 1), l.logInt32List(W, none, 0);
     },
     "W..: f[]"},
    {"lists",
     [](QVExprLog& l) {
       const double reals[] = {1.5, 2};
       const char bytes[] = {static_cast<char>(200), 5};
       const long longs[] = {-9000000000L};
       const float floats[] = {0.5f};
       Fn(l, "f", 4), l.logReal64List(W, reals, 2), l.logInt8List(W, bytes, 2),
           l.logInt64List(W, longs, 1), l.logReal32List(W, floats, 1);
     },
     "W..: f[{1.50000, 2.00000}, {-56, 5}, {-9000000000}, {0.500000}]"},
    {"8-bit array element",
     [](QVExprLog& l) {
       const char data[] = {static_cast<char>(200)};
       const int dims[] = {1};
       l.logInt8Array(W, data, dims, nullptr, 1);
     },
     "W..: {-56}"},
    {"2 x 3 array without and with heads",
     [](QVExprLog& l) {
       const int data[] = {1, 2, 3, 4, 5, 6};
       const int dims[] = {2, 3};
       const long ldims[] = {2, 3};
       const char* const heads[] = {"f", "g"};
       l.logInt32Array(W, data, dims, nullptr, 2);
       l.logInt32Array(W, data, ldims, heads, 2L);
     },
     "W..: {{1, 2, 3}, {4, 5, 6}}\nW..: f[g[1, 2, 3], g[4, 5, 6]]"},
    {"empty array",
     [](QVExprLog& l) {
       const long dims[] = {2, 0};
       l.logEmptyArray(W, dims, nullptr, 2);
     },
     "W..: {{}, {}}"},
    {"top-level atoms are entries of their own", [](QVExprLog& l) { Sym(l, "x"), l.logInt(W, -3); },
     "W..: x\nW..: -3"},
    {"error between expressions",
     [](QVExprLog& l) { Fn(l, "f", 1), Sym(l, "x"), l.logError(W, "boom"), Fn(l, "g", 0); },
     "W..: f[x]\nW..: boom\nW..: g[]"},
    {"read entry while a write expression is open",
     [](QVExprLog& l) {
       Fn(l, "f", 2), l.logInt(W, 1), Fn(l, "g", 1, R), l.logInt(R, 5), l.logInt(W, 2);
     },
     "W..: f[1, \nR..: g[5]2]"},
    {"cut off mid-expression: later tokens are its arguments",
     [](QVExprLog& l) {
       Fn(l, "f", 2), Sym(l, "x"), l.logError(W, QVString("cut")), Fn(l, "g", 0), Sym(l, "y");
     },
     "W..: f[x, \nW..: cutg[]]\nW..: y"},
    {"number texts",
     [](QVExprLog& l) {
       const unsigned char digits[] = "1234567890123456789012";
       Fn(l, "f", 3), l.logNumberWithString(W, QVString("2.5`10")),
           l.logNumberWithString(W, digits, 22), l.logNumberWithString(W, digits, 0);
     },
     "W..: f[2.5`10, 1234567890123456789012, ]"},
    // "W..: {" and fourteen "1xx, " end at column 76; the cut falls inside
    // the next argument and the rest goes on without a preamble.
    {"a long expression is cut at 80 columns",
     [](QVExprLog& l) {
       Fn(l, "List", 30);
       for (int i = 0; i < 30; ++i) l.logInt(W, 100 + i);
     },
     [] {
       std::string first = "W..: {";
       std::string second = " ";
       for (int i = 100; i < 114; ++i) first += std::to_string(i) + ", ";
       for (int i = 115; i < 129; ++i) second += std::to_string(i) + ", ";
       return first + "114,\n" + second + "129}";
     }()},
};

TEST(QVExprLogText, TokenSequencesAndTheirText) {
  for (const TextCase& c : kCases) {
    SCOPED_TRACE(c.name);
    LogFile file;
    c.tokens(file.log);
    EXPECT_EQ(file.text(), "\n" + c.expected);
    EXPECT_TRUE(file.log.functionStackForDirection(W).empty());
    EXPECT_TRUE(file.log.functionStackForDirection(R).empty());
  }
}

// Unmarked UTF-16 and UTF-32 text is in this machine's order; a mark of
// either order is skipped and only a swapped one swaps.
TEST(QVExprLogText, CharacterRunsInEveryEncoding) {
  const unsigned short utf16[][4] = {{'A', 'b', 0, 0},
                                     {0xFEFF, 'A', 'b', 0},
                                     {0xFFFE, 0x4100, 0x6200, 0},
                                     {0xD83D, 0xDE00, 'x', 0}};
  const unsigned int utf32[][3] = {
      {'A', 0x1F600, 0}, {0xFEFF, 'A', 0}, {0xFFFE0000u, 0x41000000u, 0}};
  const unsigned int beyond[] = {'a', 0x110000, 'b'};
  const unsigned short ucs2[] = {0x20AC, 9, 'q'};
  const unsigned short lone[] = {'a', 0xDC00, 'b'};
  LogFile file;
  QVExprLog& l = file.log;
  l.logUTF16String(W, utf16[0], 2);
  l.logUTF16String(W, utf16[1], 3);
  l.logUTF16Symbol(W, utf16[2], 3);
  l.logUTF16String(W, utf16[3], 3);
  l.logUTF16String(W, utf16[3], 1);  // the units run out inside a pair
  l.logUTF16String(W, lone, 3);      // a lone surrogate ends the text
  l.logUTF16String(W, nullptr, 0);
  l.logUTF32String(W, utf32[0], 2);
  l.logUTF32Symbol(W, utf32[1], 2);
  l.logUTF32String(W, utf32[2], 2);
  l.logUTF32String(W, beyond, 3);  // no escaped form: the code in decimal
  l.logUCS2String(W, ucs2, 3);
  l.log7BitString(W, "a\\\"b", 4);
  l.log8BitSymbol(W, reinterpret_cast<const unsigned char*>("\xE9t\xE9"), 3);
  Str(l, std::string("a\xFF") + "b");  // decoding stops at the first refused sequence
  EXPECT_EQ(file.text(),
            "\nW..: \"Ab\"\nW..: \"Ab\"\nW..: Ab\nW..: \"\\|01F600x\"\nW..: \"\"\nW..: \"a\""
            "\nW..: \"\"\nW..: \"A\\|01F600\"\nW..: A\nW..: \"A\"\nW..: \"a1114112b\""
            "\nW..: \"\\:20AC\\011q\"\nW..: \"a\\\"b\"\nW..: \xE9t\xE9\nW..: \"a\"");
}

// Arrays whose description is incomplete are never read past.
TEST(QVExprLogText, IncompleteArraysStayInsideTheirLists) {
  const int data[] = {1, 2, 3, 4};
  const int dims[] = {2, 2};
  const int negative[] = {-3};
  const char* const shortHeads[] = {"f", nullptr};
  LogFile file;
  QVExprLog& l = file.log;
  Fn(l, "h", 6);
  l.logInt32Array(W, data, dims, nullptr, 0);      // depth 0
  l.logInt32Array(W, data, nullptr, nullptr, 2);   // no dimensions
  l.logInt32Array(W, data, dims, shortHeads, 2);   // heads end before the depth
  l.logInt32Array(W, data, dims, kNoHeads, 2);     // heads end at once
  l.logInt32Array(W, nullptr, dims, nullptr, 2);   // no data
  l.logInt32Array(W, data, negative, nullptr, 1);  // a negative dimension
  EXPECT_EQ(file.text(), "\nW..: h[{}, {}, f[{1, 2}, {3, 4}], {{1, 2}, {3, 4}}, {{}, {}}, {}]");
}

TEST(QVExprLogText, CodeConversionFillsTheRoom) {
  char room[12];
  ASSERT_EQ(QVExprLog::convertCodeToASCIIRepresentation(0x1F600, room, room + sizeof room), room);
  EXPECT_EQ(std::string(room), "\\|01F600");
  EXPECT_EQ(room[sizeof room - 1], '\0');
  EXPECT_EQ(QVExprLog::convertCodeToASCIIRepresentation(0x110000, room, room + sizeof room),
            nullptr);
  EXPECT_EQ(QVExprLog::convertCodeToASCIIRepresentation(0x20AC, room, room + 4), nullptr);
}

// Reals of every magnitude as the standard "%#g" conversion writes them.
TEST(QVExprLogText, RealsMatchPrintf) {
  std::mt19937_64 rng(97);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> exponent(-320, 308);
  std::vector<std::string> expected;
  LogFile file;
  for (int i = 0; i < 3000; ++i) {
    const double value = mantissa(rng) * std::pow(10.0, exponent(rng));
    char text[64];
    if (i % 2 == 0) {
      file.log.logReal(W, value);
      std::snprintf(text, sizeof text, "%#g", value);
    } else {
      const long double wide = static_cast<long double>(value) * 1.000000001L;
      file.log.logReal128(W, wide);
      std::snprintf(text, sizeof text, "%#Lg", wide);
    }
    expected.push_back(text);
  }
  std::istringstream lines(file.text());
  std::string line;
  std::getline(lines, line);  // the break before the first text
  for (const std::string& want : expected) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "W..: " + want);
  }
}

// What the character operations rely on from the text encodings.
TEST(QVExprLogText, TextEncodingAnswers) {
  auto escaped = [](unsigned int code) {
    char room[9] = {};
    char* cursor = room;
    const int left = RVConvertUTF32String(&code, 1, &cursor, room + 8);
    return left == 0 ? std::string(room, cursor) : "!" + std::to_string(cursor - room);
  };
  EXPECT_EQ(escaped('A'), "A");
  EXPECT_EQ(escaped('\\'), "\\\\");
  EXPECT_EQ(escaped(9), "\\011");
  EXPECT_EQ(escaped(127), "\\177");
  EXPECT_EQ(escaped(0xE9), "\\351");
  EXPECT_EQ(escaped(0x20AC), "\\:20AC");
  EXPECT_EQ(escaped(0x10FFFF), "\\|10FFFF");
  EXPECT_EQ(escaped(0x110000), "!0");  // refused, cursor unmoved

  const unsigned char euro[] = {0xE2, 0x82, 0xAC};
  const unsigned char* p = euro;
  int64_t left = 3;
  unsigned int code = 0;
  EXPECT_EQ(QVNextUTF32FromUTF8String(&p, &left, &code), 1);
  EXPECT_EQ(code, 0x20ACu);
  EXPECT_EQ(left, 0);
  EXPECT_EQ(QVNextUTF32FromUTF8String(&p, &left, &code), -1);
  p = euro;
  left = 2;
  EXPECT_EQ(QVNextUTF32FromUTF8String(&p, &left, &code), 0);  // longer than what is left

  const unsigned short pair[] = {0xD83D, 0xDE00};
  const unsigned short* q = pair;
  left = 1;
  EXPECT_EQ(QVNextUTF32FromUTF16String(&q, &left, &code, QV_ENDIAN_NATIVE), -1);
  left = 2;
  EXPECT_EQ(QVNextUTF32FromUTF16String(&q, &left, &code, QV_ENDIAN_UNKNOWN), 0);
  EXPECT_EQ(QVNextUTF32FromUTF16String(&q, &left, &code, QV_ENDIAN_NATIVE), 1);
  EXPECT_EQ(code, 0x1F600u);
  EXPECT_EQ(QVNextUTF32FromUTF16String(&q, &left, &code, QV_ENDIAN_NATIVE), 0);

  const unsigned int swapped = 0x41000000u;
  const unsigned int* r = &swapped;
  left = 1;
  EXPECT_EQ(QVNextUTF32FromUTF32String(&r, &left, &code, QV_ENDIAN_UNKNOWN), 0);
  EXPECT_EQ(QVNextUTF32FromUTF32String(&r, &left, &code, QV_ENDIAN_SWAPPED), 1);
  EXPECT_EQ(code, 0x41u);
  EXPECT_EQ(QVNextUTF32FromUTF32String(&r, &left, &code, QV_ENDIAN_NATIVE), 0);

  const unsigned short nativeMark = 0xFEFF;
  const unsigned int nativeMark32 = 0xFEFF;
  EXPECT_EQ(QVGetUTF16EndianType(&nativeMark), QV_ENDIAN_NATIVE);
  EXPECT_EQ(QVGetUTF32EndianType(&nativeMark32), QV_ENDIAN_NATIVE);
  for (unsigned short unit : {0xFEFF, 0xFFFE})
    EXPECT_TRUE(QVUnsignedShortIsUTF16ByteOrderMark(unit));
  EXPECT_FALSE(QVUnsignedShortIsUTF16ByteOrderMark('A'));
  for (unsigned int unit : {0x0000FEFFu, 0xFFFE0000u})
    EXPECT_TRUE(QVUnsignedIntIsUTF32ByteOrderMark(unit));
  EXPECT_FALSE(QVUnsignedIntIsUTF32ByteOrderMark(0xFFFEu));
}

}  // namespace

// String gets: every string put read back by every string get, with the
// expected bytes built by iconv; symbols and numbers read as text; the atom
// readers' blocks (first capacities, growth, a hostile declared count, the
// whole-atom fallback); numbers as strings; dictionary-coded strings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/qvatomreaders.h"
#include "api/qvcodecread.h"
#include "api/qvsymbolreplacement.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"
#include "tests/text/qviconvoracle.h"
#include "text/qvstringdictionary.h"

namespace {

using qvtest::ScriptedDevice;

// ---- Oracles ----

bool LittleEndian() {
  const uint16_t probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

// text converted by iconv; false when iconv cannot represent a character.
bool Iconv(const std::u32string& text, const char* to, std::string* out) {
  out->clear();
  if (text.empty()) return true;
  const std::vector<uint32_t> points(text.begin(), text.end());
  return qvtexttest::Iconv(points, to, out);
}

const char* UTF16Native() { return LittleEndian() ? "UTF-16LE" : "UTF-16BE"; }
const char* UTF32Native() { return LittleEndian() ? "UTF-32LE" : "UTF-32BE"; }
const char* UCS2Native() { return LittleEndian() ? "UCS-2LE" : "UCS-2BE"; }

// The written escaped-ASCII form: printable ASCII as itself (backslash
// doubled), other codes to 255 as three octal digits, then \:XXXX, \|XXXXXX.
std::string Escaped(const std::u32string& text) {
  std::string out;
  char b[16];
  for (char32_t c : text) {
    if (c >= 0x20 && c <= 0x7E) {
      out += static_cast<char>(c);
      if (c == U'\\') out += '\\';
    } else if (c <= 0xFF) {
      std::snprintf(b, sizeof b, "\\%03o", static_cast<unsigned>(c));
      out += b;
    } else if (c <= 0xFFFF) {
      std::snprintf(b, sizeof b, "\\:%04X", static_cast<unsigned>(c));
      out += b;
    } else {
      std::snprintf(b, sizeof b, "\\|%06X", static_cast<unsigned>(c));
      out += b;
    }
  }
  return out;
}

// Latin-1 by iconv, each character on its own so that one above 255 becomes
// the missing-character code.
std::string Latin1(const std::u32string& text, char missing) {
  std::string out;
  for (char32_t c : text) {
    std::string one;
    out += Iconv(std::u32string(1, c), "ISO-8859-1", &one) ? one : std::string(1, missing);
  }
  return out;
}

std::string WithMark(const std::string& body, int unit) {
  const std::u32string mark(1, U'\uFEFF');
  std::string m;
  Iconv(mark, unit == 2 ? UTF16Native() : UTF32Native(), &m);
  return m + body;
}

// ---- The table ----

struct Sample {
  const char* name;
  std::u32string text;
};

const std::vector<Sample>& Samples() {
  static const std::vector<Sample> samples = {
      {"empty", U""},
      {"ascii", U"Hi, there \\ ~"},
      {"latin1", U"caf\u00E9 \u00F1\u00FF"},
      {"bmp", U"\u03A9\u03C0 \u20AC\uFFFD"},
      {"astral", U"a\U0001F600b\U0010FFFF"},
      {"nul", std::u32string(U"a\0b", 3)},
  };
  return samples;
}

// A put of the sample; false when the put's encoding cannot carry it.
struct PutForm {
  const char* name;
  std::function<bool(QVLink*, const std::u32string&, int*)> put;
};

std::vector<PutForm> Puts() {
  return {
      {"RVPutString",
       [](QVLink* l, const std::u32string& t, int* ok) {
         *ok = RVPutString(l, Escaped(t).c_str());
         return true;
       }},
      {"RVPutByteString",
       [](QVLink* l, const std::u32string& t, int* ok) {
         std::string b;
         if (!Iconv(t, "ISO-8859-1", &b)) return false;
         *ok = RVPutByteString(l, reinterpret_cast<const unsigned char*>(b.data()), static_cast<long>(b.size()));
         return true;
       }},
      {"RVPutUCS2String",
       [](QVLink* l, const std::u32string& t, int* ok) {
         std::string b;
         if (!Iconv(t, UCS2Native(), &b)) return false;
         *ok = RVPutUCS2String(l, reinterpret_cast<const unsigned short*>(b.data()), static_cast<int>(b.size() / 2));
         return true;
       }},
      {"RVPutUTF8String",
       [](QVLink* l, const std::u32string& t, int* ok) {
         std::string b;
         if (!Iconv(t, "UTF-8", &b)) return false;
         *ok = RVPutUTF8String(l, reinterpret_cast<const unsigned char*>(b.data()), static_cast<int>(b.size()));
         return true;
       }},
      {"RVPutUTF16String",
       [](QVLink* l, const std::u32string& t, int* ok) {
         std::string b;
         if (!Iconv(t, UTF16Native(), &b)) return false;
         b = WithMark(b, 2);
         *ok = RVPutUTF16String(l, reinterpret_cast<const unsigned short*>(b.data()), static_cast<int>(b.size() / 2));
         return true;
       }},
      {"RVPutUTF32String",
       [](QVLink* l, const std::u32string& t, int* ok) {
         std::string b;
         if (!Iconv(t, UTF32Native(), &b)) return false;
         b = WithMark(b, 4);
         *ok = RVPutUTF32String(l, reinterpret_cast<const unsigned int*>(b.data()), static_cast<int>(b.size() / 4));
         return true;
       }},
  };
}

// What a get delivered: the text's bytes (without the zero units), its
// counts, and whether two zero units follow.
struct Got {
  int ok = 0;
  long error = 0;
  bool null_text = true;
  std::string bytes;
  long count1 = -1;
  long count2 = -1;
  bool terminated = false;
};

template <class Unit>
void Capture(const Unit* text, size_t units, Got* got) {
  got->null_text = text == nullptr;
  if (text == nullptr) return;
  got->bytes.assign(reinterpret_cast<const char*>(text), units * sizeof(Unit));
  got->terminated = text[units] == 0 && text[units + 1] == 0;
}

struct GetForm {
  const char* name;
  std::function<Got(QVLink*)> get;
  // The expected text and counts, or false when the get must fail with 49.
  std::function<bool(const std::u32string&, Got*)> expect;
};

std::vector<GetForm> Gets() {
  return {
      {"RVGetString",
       [](QVLink* l) {
         Got g;
         const char* t = nullptr;
         g.ok = RVGetString(l, &t);
         Capture(t, t == nullptr ? 0 : std::strlen(t), &g);
         RVReleaseString(l, t);
         return g;
       },
       [](const std::u32string& t, Got* g) {
         g->bytes = Escaped(t);
         return true;
       }},
      {"RVGetByteString",
       [](QVLink* l) {
         Got g;
         const unsigned char* t = nullptr;
         int length = -1;
         g.ok = RVGetByteString(l, &t, &length, '#');
         g.count1 = length;
         Capture(t, static_cast<size_t>(length < 0 ? 0 : length), &g);
         RVReleaseByteString(l, t);
         return g;
       },
       [](const std::u32string& t, Got* g) {
         g->bytes = Latin1(t, '#');
         g->count1 = static_cast<long>(t.size());
         return true;
       }},
      {"RVGetUCS2String",
       [](QVLink* l) {
         Got g;
         const unsigned short* t = nullptr;
         int length = -1;
         g.ok = RVGetUCS2String(l, &t, &length);
         g.count1 = length;
         Capture(t, static_cast<size_t>(length < 0 ? 0 : length), &g);
         RVReleaseUCS2String(l, t);
         return g;
       },
       [](const std::u32string& t, Got* g) {
         if (!Iconv(t, UCS2Native(), &g->bytes)) return false;
         g->count1 = static_cast<long>(t.size());
         return true;
       }},
      {"RVGetUTF8String",
       [](QVLink* l) {
         Got g;
         const unsigned char* t = nullptr;
         int bytes = -1;
         int characters = -1;
         g.ok = RVGetUTF8String(l, &t, &bytes, &characters);
         g.count1 = bytes;
         g.count2 = characters;
         Capture(t, static_cast<size_t>(bytes < 0 ? 0 : bytes), &g);
         RVReleaseUTF8String(l, t);
         return g;
       },
       [](const std::u32string& t, Got* g) {
         Iconv(t, "UTF-8", &g->bytes);
         g->count1 = static_cast<long>(g->bytes.size());
         g->count2 = static_cast<long>(t.size());
         return true;
       }},
      {"RVGetUTF16String",
       [](QVLink* l) {
         Got g;
         const unsigned short* t = nullptr;
         int units = -1;
         int characters = -1;
         g.ok = RVGetUTF16String(l, &t, &units, &characters);
         g.count1 = units;
         g.count2 = characters;
         Capture(t, static_cast<size_t>(units < 0 ? 0 : units), &g);
         RVReleaseUTF16String(l, t);
         return g;
       },
       [](const std::u32string& t, Got* g) {
         std::string body;
         Iconv(t, UTF16Native(), &body);
         g->bytes = WithMark(body, 2);
         g->count1 = static_cast<long>(g->bytes.size() / 2);
         g->count2 = static_cast<long>(t.size());
         return true;
       }},
      {"RVGetUTF32String",
       [](QVLink* l) {
         Got g;
         const unsigned int* t = nullptr;
         int units = -1;
         g.ok = RVGetUTF32String(l, &t, &units);
         g.count1 = units;
         Capture(t, static_cast<size_t>(units < 0 ? 0 : units), &g);
         RVReleaseUTF32String(l, t);
         return g;
       },
       [](const std::u32string& t, Got* g) {
         std::string body;
         Iconv(t, UTF32Native(), &body);
         g->bytes = WithMark(body, 4);
         g->count1 = static_cast<long>(g->bytes.size() / 4);
         return true;
       }},
  };
}

using StringGetsTest = qvtest::TypedLinkTest;

// An environment allocator whose blocks come filled with junk.
struct JunkFilled {
  static void* Allocate(uint64_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) std::memset(block, 0xA5, size);
    return block;
  }
  static void Free(void* block) { std::free(block); }
};

// Every put, read back by every get: the text as iconv writes it in the
// get's encoding, the counts, two zero units behind; 49 with a null text
// when the get's encoding cannot hold a character.
TEST_F(StringGetsTest, EveryPutReadBackByEveryGet) {
  const std::vector<GetForm> gets = Gets();
  for (const PutForm& put : Puts()) {
    for (const Sample& sample : Samples()) {
      QVLink* link = Loopback();
      ASSERT_NE(link, nullptr);
      // One packet for each get.
      bool carried = true;
      for (size_t i = 0; i < gets.size() && carried; ++i) {
        int ok = 0;
        carried = put.put(link, sample.text, &ok);
        if (carried) {
          ASSERT_EQ(ok, 1) << put.name << " " << sample.name << " error " << RVError(link);
          ASSERT_EQ(RVEndPacket(link), 1);
        }
      }
      if (!carried) {
        Destroy(link);
        continue;
      }
      ASSERT_EQ(RVFlush(link), 1);
      for (const GetForm& get : gets) {
        SCOPED_TRACE(std::string(put.name) + " / " + get.name + " / " + sample.name);
        Got want;
        const bool representable = get.expect(sample.text, &want);
        Got got = get.get(link);
        if (!representable) {
          EXPECT_EQ(got.ok, 0);
          EXPECT_EQ(RVError(link), 49);
          EXPECT_TRUE(got.null_text);
          ASSERT_EQ(RVClearError(link), 1);
          ASSERT_EQ(RVNewPacket(link), 1) << RVError(link);
          continue;
        }
        ASSERT_EQ(got.ok, 1) << "error " << RVError(link);
        ASSERT_EQ(RVNewPacket(link), 1) << RVError(link);
        EXPECT_EQ(qvtest::TypedLinkTest::Hex(got.bytes), qvtest::TypedLinkTest::Hex(want.bytes));
        EXPECT_TRUE(got.terminated);
        if (want.count1 >= 0) {
          EXPECT_EQ(got.count1, want.count1);
        }
        if (want.count2 >= 0) {
          EXPECT_EQ(got.count2, want.count2);
        }
      }
      Destroy(link);
    }
  }
}

// Symbols and numbers read as strings give their text; a function is
// refused with 3 and the pointer is null.
TEST_F(StringGetsTest, SymbolsAndNumbersReadAsTheirText) {
  QVLink* link = LoopbackHolding([](QVLink* l) {
    RVPutSymbol(l, "Global`x");
    RVPutInteger32(l, -42);
    RVPutSymbol(l, "y");
    RVPutReal64(l, 0.5);
    RVPutFunction(l, "f", 0);
  });
  ASSERT_NE(link, nullptr);
  const char* text = nullptr;
  ASSERT_EQ(RVGetString(link, &text), 1) << RVError(link);
  EXPECT_STREQ(text, "Global`x");
  RVReleaseString(link, text);
  const unsigned short* wide = nullptr;
  int units = 0;
  int characters = 0;
  ASSERT_EQ(RVGetUTF16String(link, &wide, &units, &characters), 1) << RVError(link);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide), static_cast<size_t>(units)), u"\uFEFF-42");
  EXPECT_EQ(characters, 3);
  RVReleaseUTF16String(link, wide);
  const unsigned char* utf8 = nullptr;
  int bytes = 0;
  ASSERT_EQ(RVGetUTF8String(link, &utf8, &bytes, &characters), 1) << RVError(link);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(utf8), static_cast<size_t>(bytes)), "y");
  RVReleaseUTF8String(link, utf8);
  ASSERT_EQ(RVGetString(link, &text), 1) << RVError(link);
  EXPECT_EQ(std::strtod(text, nullptr), 0.5) << text;
  RVReleaseString(link, text);
  text = "untouched";
  EXPECT_EQ(RVGetString(link, &text), 0);
  EXPECT_EQ(RVError(link), 3);
  EXPECT_STREQ(text, "untouched") << "a failure leaves the caller's pointer";
  Destroy(link);
}

// A symbol read as a string is read as a symbol: replaced for reading, and
// a dictionary code it lacks answers the symbol readers' codes.
TEST_F(StringGetsTest, SymbolsReadAsStringsAreReplacedAndLookedUp) {
  QVLink* link = LoopbackHolding([](QVLink* l) {
    RVPutSymbol(l, "B`x");
    RVPutSymbol(l, "B`x");
  });
  ASSERT_NE(link, nullptr);
  ASSERT_GE(QVSymbolVariantAddReplacement(link->symbolReplacements, "Longer", 6, "B", 1), 0);
  const char* text = nullptr;
  ASSERT_EQ(RVGetString(link, &text), 1) << RVError(link);
  EXPECT_STREQ(text, "Longer`x");
  RVReleaseString(link, text);
  const unsigned int* wide = nullptr;
  int units = 0;
  ASSERT_EQ(RVGetUTF32String(link, &wide, &units), 1) << RVError(link);
  EXPECT_EQ(std::u32string(reinterpret_cast<const char32_t*>(wide), static_cast<size_t>(units)), U"\uFEFFLonger`x");
  RVReleaseUTF32String(link, wide);
  Destroy(link);

  const std::string coded99 = std::string("\x4F\x41\xE2\x63\x00\x0A", 6);
  for (const auto& [seven, error] : std::vector<std::pair<bool, long>>{{true, 2}, {false, 53}}) {
    ScriptedDevice device;
    QVLink* coded = Scripted(device);
    ASSERT_NE(coded, nullptr);
    device.WriteBytes(coded99 + "]");
    const int ok = seven ? RVGetString(coded, &text) : RVGetUTF32String(coded, &wide, &units);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(RVError(coded), error);
    Destroy(coded);
  }
}

TEST_F(StringGetsTest, UTF16AbcGivesFourUnitsAndThreeCharacters) {
  QVLink* link = LoopbackHolding([](QVLink* l) { RVPutString(l, "abc"); });
  ASSERT_NE(link, nullptr);
  const unsigned short* text = nullptr;
  int units = 0;
  int characters = 0;
  ASSERT_EQ(RVGetUTF16String(link, &text, &units, &characters), 1);
  EXPECT_EQ(units, 4);
  EXPECT_EQ(characters, 3);
  EXPECT_EQ(text[0], 0xFEFF);
  RVReleaseUTF16String(link, text);
  Destroy(link);
}

// ---- Numbers as strings ----

// A real token whose link text is 1.5e10, a separator (a zero or a blank, as
// the real-number put leaves it from the caller's terminator) and the
// precision field `20: plainly it ends at the separator, which becomes a
// zero; in input syntax the precision field moves before the exponent.
TEST_F(StringGetsTest, RealTextPlainlyAndInInputSyntax) {
  for (const char* input : {"1.5`20*^10", "1.5`20*^10 "}) {
    SCOPED_TRACE(input);
    QVLink* link = LoopbackHolding([&](QVLink* l) {
      for (int i = 0; i < 2; ++i) {
        std::string text = input;
        ASSERT_EQ(RVPutRealNumberAsString(l, text.data()), 1);
      }
    });
    ASSERT_NE(link, nullptr);
    const unsigned char* text = nullptr;
    int length = 0;
    ASSERT_EQ(RVGetByteString(link, &text, &length, 0), 1) << RVError(link);
    EXPECT_EQ(length, 10);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text), 10), std::string("1.5e10\0`20", 10));
    RVReleaseByteString(link, text);
    long wide_length = 0;
    ASSERT_EQ(RVGetNumberAsByteString(link, &text, &wide_length, 0), 1) << RVError(link);
    EXPECT_EQ(wide_length, 10);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text)), "1.5`20*^10");
    RVReleaseByteString(link, text);
    Destroy(link);
  }
}

// The rewritten text grows a unit ("e" becomes "*^"): every count reports
// the rewritten length, so a copy by the byte count loses nothing.
TEST_F(StringGetsTest, NumberGetsCountTheRewrittenText) {
  // Blocks come filled with junk: a zero unit is there only when written.
  RestartEnvironment(
      [](RVEnvironmentParameters* p) { RVSetAllocParameter(p, JunkFilled::Allocate, JunkFilled::Free); });
  ASSERT_FALSE(HasFatalFailure());
  struct Case {
    const char* name;
    std::function<int(QVLink*, std::u32string*, long*, long*, bool*)> get;  // bool: two zero units follow
    long bytes;       // of the text, the mark included
    long characters;  // without the mark; -1 not reported
  };
  const auto read16 = [](const unsigned short* t, long units) {
    return std::u32string(t, t + units);
  };
  const std::vector<Case> cases = {
      {"utf8",
       [](QVLink* l, std::u32string* t, long* b, long* c, bool* z) {
         const unsigned char* s = nullptr;
         int bytes = 0, characters = 0;
         const int ok = RVGetNumberAsUTF8String(l, &s, &bytes, &characters);
         if (ok) *t = std::u32string(s, s + bytes);
         if (ok) *z = s[bytes] == 0 && s[bytes + 1] == 0;
         *b = bytes;
         *c = characters;
         RVReleaseUTF8String(l, s);
         return ok;
       },
       7, 7},
      {"ucs2",
       [](QVLink* l, std::u32string* t, long* b, long* c, bool* z) {
         const unsigned short* s = nullptr;
         int units = 0;
         const int ok = RVGetNumberAsUCS2String(l, &s, &units);
         if (ok) *t = std::u32string(s, s + units);
         if (ok) *z = s[units] == 0 && s[units + 1] == 0;
         *b = units * 2L;
         *c = -1;
         RVReleaseUCS2String(l, s);
         return ok;
       },
       14, -1},
      {"utf16",
       [&](QVLink* l, std::u32string* t, long* b, long* c, bool* z) {
         const unsigned short* s = nullptr;
         int units = 0, characters = 0;
         const int ok = RVGetNumberAsUTF16String(l, &s, &units, &characters);
         if (ok) *t = read16(s + 1, units - 1);
         if (ok) *z = s[units] == 0 && s[units + 1] == 0;
         *b = units * 2L;
         *c = characters;
         RVReleaseUTF16String(l, s);
         return ok;
       },
       16, 7},
      {"utf32",
       [](QVLink* l, std::u32string* t, long* b, long* c, bool* z) {
         const unsigned int* s = nullptr;
         int units = 0;
         const int ok = RVGetNumberAsUTF32String(l, &s, &units);
         if (ok) *t = std::u32string(s + 1, s + units);
         if (ok) *z = s[units] == 0 && s[units + 1] == 0;
         *b = units * 4L;
         *c = -1;
         RVReleaseUTF32String(l, s);
         return ok;
       },
       32, -1},
      {"bytes",
       [](QVLink* l, std::u32string* t, long* b, long* c, bool* z) {
         const unsigned char* s = nullptr;
         long length = 0;
         const int ok = RVGetNumberAsByteString(l, &s, &length, 0);
         if (ok) *t = std::u32string(s, s + length);
         if (ok) *z = s[length] == 0 && s[length + 1] == 0;
         *b = length;
         *c = -1;
         RVReleaseByteString(l, s);
         return ok;
       },
       7, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QVLink* link = LoopbackHolding([](QVLink* l) {
      char text[] = "1.5*^10";
      ASSERT_EQ(RVPutRealNumberAsString(l, text), 1);
    });
    ASSERT_NE(link, nullptr);
    std::u32string text;
    long bytes = 0;
    long characters = 0;
    bool zeros = false;
    ASSERT_EQ(c.get(link, &text, &bytes, &characters, &zeros), 1) << RVError(link);
    EXPECT_EQ(text, U"1.5*^10");
    EXPECT_TRUE(zeros) << "the grown text keeps two zero units behind it";
    EXPECT_EQ(bytes, c.bytes);
    if (c.characters >= 0) {
      EXPECT_EQ(characters, c.characters);
    }
    Destroy(link);
  }
}

TEST_F(StringGetsTest, NumberAsStringReadsEachKindOfToken) {
  QVLink* link = LoopbackHolding([](QVLink* l) {
    char real[] = "-2.25*^+7";
    ASSERT_EQ(RVPutRealNumberAsString(l, real), 1);
    RVPutSymbol(l, "sym");
    RVPutInteger32(l, 17);
    RVPutString(l, "plain");
  });
  ASSERT_NE(link, nullptr);
  for (const char* want : {"-2.25*^+7", "sym", "17", "plain"}) {
    const char* text = nullptr;
    ASSERT_EQ(RVGetNumberAsString(link, &text), 1) << want << ": " << RVError(link);
    EXPECT_STREQ(text, want);
    RVReleaseString(link, text);
  }
  Destroy(link);
}

// ---- Dictionary-coded strings ----

TEST_F(StringGetsTest, DictionaryStringsByEncoding) {
  // Raw tables hold 7-bit names.
  static const Quorvane::QVRawStringDictionary kStrings[] = {{"name \\ 7", 7}, {"", 9}, {nullptr, 0}};
  const std::string coded7 = std::string("\x51\x41\xE2\x07\x00\x0A", 6);
  const std::string coded9 = std::string("\x51\x41\xE2\x09\x00\x0A", 6);
  const std::string coded99 = std::string("\x51\x41\xE2\x63\x00\x0A", 6);
  struct Case {
    const char* name;
    std::string token;
    std::function<int(QVLink*, std::string*)> get;
    long error;          // 0: expect the text
    std::string want;    // the text's bytes, the zero units not included
  };
  const auto utf16 = [](QVLink* l, std::string* out) {
    const unsigned short* t = nullptr;
    int units = 0, characters = 0;
    const int ok = RVGetUTF16String(l, &t, &units, &characters);
    if (ok) out->assign(reinterpret_cast<const char*>(t), static_cast<size_t>(units + 2) * 2);
    RVReleaseUTF16String(l, t);
    return ok;
  };
  const auto bytes = [](QVLink* l, std::string* out) {
    const unsigned char* t = nullptr;
    int length = 0;
    const int ok = RVGetByteString(l, &t, &length, '#');
    if (ok) out->assign(reinterpret_cast<const char*>(t), static_cast<size_t>(length) + 2);
    RVReleaseByteString(l, t);
    return ok;
  };
  const auto seven = [](QVLink* l, std::string* out) {
    const char* t = nullptr;
    const int ok = RVGetString(l, &t);
    if (ok) *out = t;
    RVReleaseString(l, t);
    return ok;
  };
  const auto ucs2 = [](QVLink* l, std::string* out) {
    const unsigned short* t = nullptr;
    int units = 0;
    const int ok = RVGetUCS2String(l, &t, &units);
    if (ok) out->assign(reinterpret_cast<const char*>(t), static_cast<size_t>(units + 2) * 2);
    RVReleaseUCS2String(l, t);
    return ok;
  };
  const auto utf32 = [](QVLink* l, std::string* out) {
    const unsigned int* t = nullptr;
    int units = 0;
    const int ok = RVGetUTF32String(l, &t, &units);
    if (ok) out->assign(reinterpret_cast<const char*>(t), static_cast<size_t>(units + 2) * 4);
    RVReleaseUTF32String(l, t);
    return ok;
  };
  const auto utf8 = [](QVLink* l, std::string* out) {
    const unsigned char* t = nullptr;
    int length = 0, characters = 0;
    const int ok = RVGetUTF8String(l, &t, &length, &characters);
    if (ok) out->assign(reinterpret_cast<const char*>(t), static_cast<size_t>(length) + 2);
    EXPECT_EQ(characters, ok ? 8 : 0);
    RVReleaseUTF8String(l, t);
    return ok;
  };
  std::string name16;
  Iconv(U"name \\ 7", UTF16Native(), &name16);
  std::string name32;
  Iconv(U"name \\ 7", UTF32Native(), &name32);
  const std::vector<Case> cases = {
      // Two zero units end dictionary texts too.
      {"utf16", coded7, utf16, 0, WithMark(name16, 2) + std::string(4, '\0')},
      {"bytes", coded7, bytes, 0, std::string("name \\ 7\0\0", 10)},
      {"7-bit", coded7, seven, 0, "name \\\\ 7"},
      {"utf8", coded7, utf8, 0, std::string("name \\ 7\0\0", 10)},
      {"utf32", coded7, utf32, 0, WithMark(name32, 4) + std::string(8, '\0')},
      {"empty ucs2", coded9, ucs2, 0, std::string(4, '\0')},
      {"empty utf32, the mark alone", coded9, utf32, 0, WithMark("", 4) + std::string(8, '\0')},
      {"ucs2 unknown code", coded99, ucs2, 54, ""},
      {"utf16 unknown code", coded99, utf16, 54, ""},
      {"bytes unknown code", coded99, bytes, 2, ""},
      {"7-bit unknown code", coded99, seven, 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    link->stringDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kStrings);
    device.WriteBytes(c.token + "]");
    std::string got;
    const int ok = c.get(link, &got);
    if (c.error == 0) {
      ASSERT_EQ(ok, 1) << RVError(link);
      EXPECT_EQ(qvtest::TypedLinkTest::Hex(got), qvtest::TypedLinkTest::Hex(c.want));
    } else {
      EXPECT_EQ(ok, 0);
      EXPECT_EQ(RVError(link), c.error);
    }
    Destroy(link);
  }
}

// A UTF-8 get gives a counted atom the count its header declares (the
// converter holds the text to it) and counts an atom read to its length:
// a legacy 'G' payload, or UTF-8 sent without a count. Strings and symbols
// alike, whatever the text's widths.
TEST_F(StringGetsTest, UTF8GetsCountWhatTheyDeliver) {
  struct Case {
    const char* name;
    std::string body;  // letter onwards
    std::string utf8;  // what the get must deliver
    int characters;
  };
  const std::vector<Case> cases = {
      {"legacy, 7-bit", "Ghello", "hello", 5},
      {"legacy, a Latin-1 byte", "Gh\xE9llo", "h\xC3\xA9llo", 5},
      {"UTF-8 counted", "D~\x44h\xC3\xA9\xE2\x98\xBAo", "h\xC3\xA9\xE2\x98\xBAo", 4},
      {"UTF-8 without a count", "D~ h\xC3\xA9\xE2\x98\xBAo", "h\xC3\xA9\xE2\x98\xBAo", 4},
      {"bytes", "B~\x43" "a\xE9z", "a\xC3\xA9z", 3},
  };
  for (const Case& c : cases) {
    for (const bool symbol : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (symbol ? ", a symbol" : ", a string"));
      ScriptedDevice device;
      QVLink* link = Scripted(device);
      ASSERT_NE(link, nullptr);
      const char length = static_cast<char>(0x40 | c.body.size());
      device.WriteBytes(std::string(1, symbol ? '\x23' : '\x22') + length + c.body + "\n]");
      const unsigned char* text = nullptr;
      int bytes = -1;
      int characters = -1;
      const int ok = symbol ? RVGetUTF8Symbol(link, &text, &bytes, &characters)
                            : RVGetUTF8String(link, &text, &bytes, &characters);
      ASSERT_EQ(ok, 1) << RVError(link);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes)), c.utf8);
      EXPECT_EQ(characters, c.characters);
      if (symbol) {
        RVReleaseUTF8Symbol(link, text, bytes);
      } else {
        RVReleaseUTF8String(link, text);
      }
      Destroy(link);
    }
  }
}

// ---- The atom readers' blocks ----

// A pool that counts what it holds; each test case is a process of its own.
struct PoolCount {
  static inline int64_t allocations = 0;
  static inline int64_t held = 0;
  static inline int64_t peak = 0;
  static inline uint64_t largest = 0;  // the largest block asked for, had or not
  static void* Allocate(uint64_t size) {
    largest = std::max(largest, size);
    if (size > (uint64_t{1} << 30)) return nullptr;
    auto* block = static_cast<uint64_t*>(std::malloc(size + 8));
    if (block == nullptr) return nullptr;
    block[0] = size;
    ++allocations;
    held += static_cast<int64_t>(size);
    peak = std::max(peak, held);
    return block + 1;
  }
  static void Free(void* p) {
    if (p == nullptr) return;
    auto* block = static_cast<uint64_t*>(p) - 1;
    held -= static_cast<int64_t>(block[0]);
    std::free(block);
  }
  static void Reset() {
    allocations = held = peak = 0;
    largest = 0;
  }
};

class AtomReadersTest : public StringGetsTest {
 protected:
  mempool_qvt pool_{PoolCount::Allocate, PoolCount::Free};

  // The link with its next token's type read, ready for an atom reader.
  void AtToken(QVLink* link) {
    ASSERT_NE(RVGetNext(link), 0) << RVError(link);
    PoolCount::Reset();
  }
  long UCS2(QVLink* link, uint16_t** text, int64_t* bytes, int64_t* characters) {
    return QVGetUCS2Atom_(&pool_, &link->readState, link->deviceStack, &link->queueStack, text, bytes, characters,
                          16);
  }
  long Seven(QVLink* link, char** text, int64_t* length) {
    return QVGet7BitAtom_1(&pool_, &link->readState, link->deviceStack, &link->queueStack, text, length, nullptr);
  }
};

// 18 characters fit the first block (36 bytes asked, 40 held, room for 18
// units and two zero units); a 19th takes a second pass and a second block.
TEST_F(AtomReadersTest, UCS2FirstBlockHoldsEighteenCharacters) {
  for (const auto& [characters, blocks] : std::vector<std::pair<int, int>>{{18, 1}, {19, 2}}) {
    SCOPED_TRACE(characters);
    const std::string text(static_cast<size_t>(characters), 'x');
    QVLink* link = LoopbackHolding([&](QVLink* l) { RVPutString(l, text.c_str()); });
    ASSERT_NE(link, nullptr);
    AtToken(link);
    uint16_t* got = nullptr;
    int64_t bytes = 0;
    int64_t units = 0;
    ASSERT_EQ(UCS2(link, &got, &bytes, &units), 0);
    EXPECT_EQ(units, characters);
    EXPECT_EQ(bytes, 2 * characters);
    EXPECT_EQ(PoolCount::allocations, blocks);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(got), static_cast<size_t>(units)),
              std::u16string(static_cast<size_t>(characters), u'x'));
    DeallocAtom(&pool_, got, nullptr);
    EXPECT_EQ(PoolCount::held, 0);
    Destroy(link);
  }
}

// Escaped text grows by the characters left, counted more with each pass
// (an escape takes several bytes), plus an eighth: 40 characters fill the
// first 22 bytes and leave 18, so the second block holds 22 + 18 + 5 bytes
// and two zero bytes (48 once rounded). A text of escapes takes few passes,
// and the block stays within a small multiple of the text.
TEST_F(AtomReadersTest, SevenBitGrowthTakesFewPasses) {
  struct Case {
    const char* name;
    std::u32string text;
    int most_blocks;
    uint64_t capacity;  // 0: not checked
  };
  const std::vector<Case> cases = {
      {"20 characters", std::u32string(20, U'a'), 1, 24},
      {"40 characters", std::u32string(40, U'a'), 2, 48},
      {"60 escapes of 6 bytes", std::u32string(60, U'\u20AC'), 4, 0},
      {"5000 characters", std::u32string(5000, U'q'), 6, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string escaped = Escaped(c.text);
    QVLink* link = LoopbackHolding([&](QVLink* l) { RVPutString(l, escaped.c_str()); });
    ASSERT_NE(link, nullptr);
    AtToken(link);
    char* got = nullptr;
    int64_t length = 0;
    ASSERT_EQ(Seven(link, &got, &length), 0) << rs__last_error(&link->readState);
    EXPECT_EQ(std::string(got, static_cast<size_t>(length)), escaped);
    EXPECT_EQ(got[length], 0);
    EXPECT_EQ(got[length + 1], 0);
    EXPECT_LE(PoolCount::allocations, c.most_blocks);
    if (c.capacity != 0) {
      EXPECT_EQ(AtomCapacity(got), c.capacity);
    }
    EXPECT_LE(AtomCapacity(got), 8 * static_cast<uint64_t>(length) + 32);
    DeallocAtom(&pool_, got, nullptr);
    Destroy(link);
  }
}

// An atom that carries no count of its characters (a legacy payload, UTF-8
// sent with a blank count) is read to its length: its block doubles as the
// bytes come, a few passes for a long one rather than one per character.
TEST_F(AtomReadersTest, AnAtomWithoutACountGrowsByDoubling) {
  const std::string payload(100000, 'k');
  const std::string length = std::to_string(payload.size() + 3) + " ";
  struct Case {
    const char* name;
    std::string atom;
    bool utf8;  // read as UTF-8, else as 7-bit text
  };
  const std::vector<Case> cases = {
      {"UTF-8 without a count", std::string("\x22") + length + "D~ " + payload, true},
      {"a legacy payload, as UTF-8", std::string("\x22") + std::to_string(payload.size() + 1) + " G" + payload, true},
      {"a legacy payload, as 7-bit text", std::string("\x22") + std::to_string(payload.size() + 1) + " G" + payload,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    device.WriteBytes(c.atom + "\n]");
    AtToken(link);
    void* got = nullptr;
    int64_t bytes = 0;
    int64_t characters = 0;
    const long error =
        c.utf8 ? QVGetUTF8Atom_(&pool_, &link->readState, link->deviceStack, &link->queueStack,
                                reinterpret_cast<unsigned char**>(&got), &bytes, &characters, 0)
               : Seven(link, reinterpret_cast<char**>(&got), &bytes);
    ASSERT_EQ(error, 0) << rs__last_error(&link->readState);
    EXPECT_EQ(std::string(static_cast<const char*>(got), static_cast<size_t>(bytes)), payload);
    if (c.utf8) {
      EXPECT_EQ(characters, static_cast<int64_t>(payload.size()));
    }
    EXPECT_LE(PoolCount::allocations, 20);
    DeallocAtom(&pool_, got, nullptr);
    Destroy(link);
  }
}

// An atom whose size was already asked for as escaped text is no longer read
// piece by piece: the reader takes it whole.
TEST_F(AtomReadersTest, SevenBitReaderFallsBackToTheWholeAtom) {
  const std::string escaped = Escaped(U"whole \u00E9 text \U0001F600 " + std::u32string(300, U'z'));
  QVLink* link = LoopbackHolding([&](QVLink* l) { RVPutString(l, escaped.c_str()); });
  ASSERT_NE(link, nullptr);
  AtToken(link);
  int count = -1;
  ASSERT_EQ(RVBytesToGet(link, &count), 1) << RVError(link);
  EXPECT_EQ(count, static_cast<int>(escaped.size()));
  char* got = nullptr;
  int64_t length = 0;
  ASSERT_EQ(Seven(link, &got, &length), 0) << rs__last_error(&link->readState);
  EXPECT_EQ(std::string(got, static_cast<size_t>(length)), escaped);
  EXPECT_EQ(got[length], 0);
  DeallocAtom(&pool_, got, nullptr);
  EXPECT_EQ(PoolCount::held, 0);
  Destroy(link);
}

// A string atom whose header declares 10^12 characters (and a length to
// hold them) over a payload of a few thousand, then the peer closes: every
// reader fails, holds nothing afterwards, and never asked for more than a
// small multiple of what arrived.
TEST_F(AtomReadersTest, ADeclaredCountNeverSizesTheBlock) {
  const std::string payload(3000, 'k');
  const std::string count = "1000000000000 ";
  const std::string length = std::to_string(2 + count.size() + 1000000000000) + " ";
  const std::string atom = std::string("\x22", 1) + length + "A~" + count + payload;
  using Reader = std::function<long(mempool_qvt*, QVLink*, void**)>;
  const std::vector<std::pair<const char*, Reader>> readers = {
      {"ucs2",
       [](mempool_qvt* pool, QVLink* l, void** text) {
         int64_t b = 0, c = 0;
         return QVGetUCS2Atom_(pool, &l->readState, l->deviceStack, &l->queueStack,
                               reinterpret_cast<uint16_t**>(text), &b, &c, 16);
       }},
      {"utf8",
       [](mempool_qvt* pool, QVLink* l, void** text) {
         int64_t b = 0, c = 0;
         return QVGetUTF8Atom_(pool, &l->readState, l->deviceStack, &l->queueStack,
                               reinterpret_cast<unsigned char**>(text), &b, &c, 0);
       }},
      {"utf16",
       [](mempool_qvt* pool, QVLink* l, void** text) {
         int64_t b = 0, c = 0;
         return QVGetUTF16Atom_(pool, &l->readState, l->deviceStack, &l->queueStack,
                                reinterpret_cast<uint16_t**>(text), &b, &c, 40);
       }},
      {"utf32",
       [](mempool_qvt* pool, QVLink* l, void** text) {
         int64_t b = 0, c = 0;
         return QVGetUTF32Atom_(pool, &l->readState, l->deviceStack, &l->queueStack,
                                reinterpret_cast<uint32_t**>(text), &b, &c, 32);
       }},
      {"bytes",
       [](mempool_qvt* pool, QVLink* l, void** text) {
         int64_t b = 0, c = 0;
         return QVGet8BitAtom_(pool, &l->readState, l->deviceStack, &l->queueStack,
                               reinterpret_cast<unsigned char**>(text), &b, &c, '?', 20);
       }},
      {"7-bit",
       [](mempool_qvt* pool, QVLink* l, void** text) {
         int64_t n = 0;
         return QVGet7BitAtom_1(pool, &l->readState, l->deviceStack, &l->queueStack,
                                reinterpret_cast<char**>(text), &n, nullptr);
       }},
  };
  for (const auto& [name, read] : readers) {
    SCOPED_TRACE(name);
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    device.WriteBytes(atom);
    device.ClosePeer();
    AtToken(link);
    void* text = reinterpret_cast<void*>(&device);
    EXPECT_NE(read(&pool_, link, &text), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(PoolCount::held, 0);
    EXPECT_LE(PoolCount::largest, 4 * 4 * payload.size() + 1024);
    Destroy(link);
  }
}

TEST_F(StringGetsTest, FailuresLeaveTheTextNullAndCountsWritten) {
  QVLink* link = LoopbackHolding([](QVLink* l) {
    const unsigned int astral[] = {0xFEFF, 0x1F600};
    RVPutUTF32String(l, astral, 2);
  });
  ASSERT_NE(link, nullptr);
  const unsigned short* text = reinterpret_cast<const unsigned short*>(link);
  int length = -7;
  EXPECT_EQ(RVGetUCS2String(link, &text, &length), 0);
  EXPECT_EQ(RVError(link), 49);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(length, 0);
  Destroy(link);
  EXPECT_EQ(RVGetString(nullptr, nullptr), 0);
}

}  // namespace

// Symbol gets, tests and releases: every get form against names of every
// width (iconv builds the expected units), dictionary-coded symbols over a
// synthetic dictionary with each reader's error codes, replacement on the get
// side, and tests that leave the input where it was when they do not match.
#include <gtest/gtest.h>
#include <iconv.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/qvsymbolreplacement.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"
#include "text/qvstringdictionary.h"

namespace {

using qvtest::ScriptedDevice;

// The UTF-8 text in another encoding, by iconv; empty with ok false when it
// has no such form.
std::string Iconv(const std::string& utf8, const char* to, bool* ok) {
  iconv_t cd = iconv_open(to, "UTF-8");
  *ok = cd != reinterpret_cast<iconv_t>(-1);
  if (!*ok) return {};
  std::string in = utf8;
  std::string out(in.size() * 4 + 8, '\0');
  char* src = in.data();
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  *ok = iconv(cd, &src, &src_left, &dst, &dst_left) != static_cast<size_t>(-1);
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return *ok ? out : std::string();
}

// The units of a wide name as bytes, the machine's mark first.
template <class Unit>
std::string Marked(const std::string& little_endian_units) {
  const Unit mark = 0xFEFF;
  return std::string(reinterpret_cast<const char*>(&mark), sizeof mark) + little_endian_units;
}

// The two zero units every delivered name ends with.
template <class Unit>
bool EndsWithTwoZeros(const Unit* name, size_t units) {
  return name[units] == 0 && name[units + 1] == 0;
}

// What one get form delivered, normalised for comparison.
struct Got {
  int ok = 0;
  long error = 0;
  std::string bytes;  // the text's units as bytes, without the zero units
  int first = -1;     // first count (length, bytes or units)
  int second = -1;    // second count (characters), when the form has one
  bool terminated = false;
};

struct Form {
  const char* name;
  std::function<Got(QVLink*)> get;
};

template <class Unit>
Got Deliver(QVLink* link, int ok, const Unit* name, size_t units, int first, int second) {
  Got got;
  got.ok = ok;
  got.error = RVError(link);
  got.first = first;
  got.second = second;
  if (ok == 1 && name != nullptr) {
    got.bytes.assign(reinterpret_cast<const char*>(name), units * sizeof(Unit));
    got.terminated = EndsWithTwoZeros(name, units);
  }
  return got;
}

// The six gets; each releases what it got.
const std::vector<Form>& Forms() {
  static const std::vector<Form> forms = {
      {"7-bit",
       [](QVLink* l) {
         const char* s = nullptr;
         const int ok = RVGetSymbol(l, &s);
         Got g = Deliver(l, ok, s, s != nullptr ? std::strlen(s) : 0, -1, -1);
         RVReleaseSymbol(l, s);
         return g;
       }},
      {"byte",
       [](QVLink* l) {
         const unsigned char* s = nullptr;
         int n = -1;
         const int ok = RVGetByteSymbol(l, &s, &n, '#');
         Got g = Deliver(l, ok, s, static_cast<size_t>(n), n, -1);
         RVReleaseByteSymbol(l, s);
         return g;
       }},
      {"UCS-2",
       [](QVLink* l) {
         const unsigned short* s = nullptr;
         int n = -1;
         const int ok = RVGetUCS2Symbol(l, &s, &n);
         Got g = Deliver(l, ok, s, static_cast<size_t>(n), n, -1);
         RVReleaseUCS2Symbol(l, s);
         return g;
       }},
      {"UTF-8",
       [](QVLink* l) {
         const unsigned char* s = nullptr;
         int b = -1;
         int c = -1;
         const int ok = RVGetUTF8Symbol(l, &s, &b, &c);
         Got g = Deliver(l, ok, s, static_cast<size_t>(b), b, c);
         RVReleaseUTF8Symbol(l, s, b);
         return g;
       }},
      {"UTF-16",
       [](QVLink* l) {
         const unsigned short* s = nullptr;
         int u = -1;
         int c = -1;
         const int ok = RVGetUTF16Symbol(l, &s, &u, &c);
         Got g = Deliver(l, ok, s, static_cast<size_t>(u), u, c);
         RVReleaseUTF16Symbol(l, s);
         return g;
       }},
      {"UTF-32",
       [](QVLink* l) {
         const unsigned int* s = nullptr;
         int n = -1;
         const int ok = RVGetUTF32Symbol(l, &s, &n);
         Got g = Deliver(l, ok, s, static_cast<size_t>(n), n, -1);
         RVReleaseUTF32Symbol(l, s);
         return g;
       }},
  };
  return forms;
}

// What each form should deliver for a name, worked out by iconv: the bytes,
// the counts, or the failure code.
Got Expected(const std::string& form, const std::string& utf8) {
  Got want;
  want.ok = 1;
  want.terminated = true;
  bool ok = false;
  const std::string utf32 = Iconv(utf8, "UTF-32LE", &ok);
  const int points = static_cast<int>(utf32.size() / 4);
  if (form == "7-bit") {
    want.bytes = utf8;  // only asked of 7-bit names
  } else if (form == "byte") {
    for (size_t i = 0; i < utf32.size(); i += 4) {
      unsigned int code = 0;
      std::memcpy(&code, utf32.data() + i, 4);
      want.bytes += static_cast<char>(code < 256 ? code : '#');
    }
    want.first = points;
  } else if (form == "UCS-2") {
    want.bytes = Iconv(utf8, "UCS-2LE", &ok);
    if (!ok) return Got{0, 49, "", 0, -1, false};  // a character outside the plane
    want.first = points;
  } else if (form == "UTF-8") {
    want.bytes = utf8;
    want.first = static_cast<int>(utf8.size());
    want.second = points;
  } else if (form == "UTF-16") {
    want.bytes = Marked<uint16_t>(Iconv(utf8, "UTF-16LE", &ok));
    want.first = static_cast<int>(want.bytes.size() / 2);
    want.second = points;
  } else {
    want.bytes = Marked<uint32_t>(utf32);
    want.first = points + 1;
  }
  return want;
}

std::string HexOf(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  return out;
}

void ExpectGot(const Got& got, const Got& want) {
  EXPECT_EQ(got.ok, want.ok);
  EXPECT_EQ(got.error, want.error);
  if (want.ok == 1) {
    EXPECT_EQ(HexOf(got.bytes), HexOf(want.bytes));
    EXPECT_TRUE(got.terminated);
  }
  if (want.first >= 0) {
    EXPECT_EQ(got.first, want.first);
  }
  if (want.second >= 0) {
    EXPECT_EQ(got.second, want.second);
  }
}

class SymbolGetsTest : public qvtest::TypedLinkTest {
 protected:
  void TearDown() override {
    for (QVLink* link : links_) Destroy(link);
  }

  // A loopback link holding the puts, each its own packet.
  QVLink* Holding(const std::vector<std::function<void(QVLink*)>>& puts) {
    QVLink* link = Keep(Loopback());
    for (const auto& put : puts) {
      put(link);
      EXPECT_EQ(RVEndPacket(link), 1);
    }
    EXPECT_EQ(RVFlush(link), 1);
    return link;
  }

  // A link over a scripted device that reads the bytes, then finds the peer
  // gone (a read past them fails instead of waiting).
  QVLink* Reading(const std::string& bytes) {
    devices_.push_back(std::make_unique<ScriptedDevice>());
    QVLink* link = Keep(Scripted(*devices_.back()));
    devices_.back()->WriteBytes(bytes);
    devices_.back()->ClosePeer();
    return link;
  }

  QVLink* Keep(QVLink* link) {
    EXPECT_NE(link, nullptr);
    if (link != nullptr) links_.push_back(link);
    return link;
  }

 private:
  std::vector<std::unique_ptr<ScriptedDevice>> devices_;
  std::vector<QVLink*> links_;
};

// A dictionary-coded symbol: token 79, one argument, the 16-bit code.
std::string DictionarySymbol(uint16_t code) {
  return std::string("\x4F\x41\xE2", 3) + static_cast<char>(code & 0xFF) + static_cast<char>(code >> 8) + "\n]";
}

TEST_F(SymbolGetsTest, EveryFormReadsNamesOfEveryWidth) {
  const std::vector<std::string> names = {"abc", "x\xC3\xA9",  // Latin-1
                                          "\xD0\xB6\xD1\x83\xD0\xBA",  // BMP
                                          "a\xF0\x9F\x98\x80"};  // outside the plane
  for (const std::string& name : names) {
    for (const Form& form : Forms()) {
      if (std::string(form.name) == "7-bit" && name != "abc") continue;
      SCOPED_TRACE(std::string(form.name) + " " + Hex(name));
      QVLink* link = Holding({[&](QVLink* l) {
        ASSERT_EQ(RVPutUTF8Symbol(l, reinterpret_cast<const unsigned char*>(name.data()),
                                  static_cast<int>(name.size())),
                  1);
      }});
      ExpectGot(form.get(link), Expected(form.name, name));
    }
  }
}

// Non-ASCII names read as 7-bit text come escaped, and put back as 7-bit
// text they are the same symbol.
TEST_F(SymbolGetsTest, SevenBitNamesAreEscapedAndPutBackTheSame) {
  const std::string name = "a\xC3\xA9\xF0\x9F\x98\x80";
  QVLink* link = Holding({[&](QVLink* l) {
    ASSERT_EQ(RVPutUTF8Symbol(l, reinterpret_cast<const unsigned char*>(name.data()), 7), 1);
  }});
  const char* seven = nullptr;
  ASSERT_EQ(RVGetSymbol(link, &seven), 1) << RVError(link);
  for (const char* p = seven; *p != 0; ++p) EXPECT_LT(static_cast<unsigned char>(*p), 128);
  QVLink* again = Holding({[&](QVLink* l) { ASSERT_EQ(RVPutSymbol(l, seven), 1); }});
  RVReleaseSymbol(link, seven);
  const unsigned char* utf8 = nullptr;
  int bytes = 0;
  int characters = 0;
  ASSERT_EQ(RVGetUTF8Symbol(again, &utf8, &bytes, &characters), 1) << RVError(again);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(utf8), static_cast<size_t>(bytes)), name);
  EXPECT_EQ(characters, 3);
  RVReleaseUTF8Symbol(again, utf8, bytes);
}

TEST_F(SymbolGetsTest, LongNamesGrowTheirBlock) {
  const std::string name(5000, 'q');
  QVLink* link = Holding({[&](QVLink* l) { ASSERT_EQ(RVPutSymbol(l, name.c_str()), 1); },
                          [&](QVLink* l) { ASSERT_EQ(RVPutSymbol(l, name.c_str()), 1); }});
  const char* seven = nullptr;
  ASSERT_EQ(RVGetSymbol(link, &seven), 1);
  EXPECT_EQ(std::string(seven), name);
  RVReleaseSymbol(link, seven);
  ASSERT_EQ(RVNewPacket(link), 1);
  const unsigned short* utf16 = nullptr;
  int units = 0;
  int characters = 0;
  ASSERT_EQ(RVGetUTF16Symbol(link, &utf16, &units, &characters), 1);
  EXPECT_EQ(units, 5001);
  EXPECT_EQ(characters, 5000);
  EXPECT_EQ(utf16[5000], 'q');
  RVReleaseUTF16Symbol(link, utf16);
}

// A peer that declares a huge name and sends three characters costs no huge
// block: the largest request the environment's allocator sees stays small,
// and the read fails once the bytes run out.
TEST_F(SymbolGetsTest, AHugeDeclaredLengthAllocatesOnlyWhatArrives) {
  RestartRecordingRequests();
  ASSERT_FALSE(HasFatalFailure());
  for (const Form& form : Forms()) {
    SCOPED_TRACE(form.name);
    qvtest::ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    // A symbol token declaring 10^12 bytes of 7-bit text, then three characters.
    device.WriteBytes("#1000000000000 A~Cabc");
    device.ClosePeer();
    qvtest::LargestRequest::Reset();
    const Got got = form.get(link);
    EXPECT_EQ(got.ok, 0);
    EXPECT_NE(got.error, 0);
    EXPECT_LT(qvtest::LargestRequest::Get(), uint64_t{1} << 20);
    Destroy(link);
  }
}

TEST_F(SymbolGetsTest, DictionarySymbolsFailByReader) {
  static const Quorvane::QVRawStringDictionary kSymbols[] = {
      {"Plus", 5}, {"Gr\xC3\xB6\xC3\x9F" "e", 6}, {"\xF0\x9D\x94\xB8", 7}, {nullptr, 0}};
  struct Row {
    const char* form;
    uint16_t code;
    long error;      // 0: read, as the dictionary's name
  };
  const Row rows[] = {
      {"7-bit", 5, 0},  {"7-bit", 6, 53},  {"7-bit", 99, 2},
      {"byte", 6, 0},   {"byte", 7, 53},   {"byte", 99, 2},
      {"UCS-2", 6, 0},  {"UCS-2", 7, 2},   {"UCS-2", 99, 53},
      {"UTF-8", 7, 0},  {"UTF-8", 99, 53}, {"UTF-16", 7, 0},
      {"UTF-16", 99, 53}, {"UTF-32", 7, 0}, {"UTF-32", 99, 53},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.form) + " code " + std::to_string(row.code));
    QVLink* link = Reading(DictionarySymbol(row.code));
    link->symbolDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kSymbols);
    const Form* form = nullptr;
    for (const Form& f : Forms()) {
      if (std::string(f.name) == row.form) form = &f;
    }
    ASSERT_NE(form, nullptr);
    const Got got = form->get(link);
    if (row.error != 0) {
      EXPECT_EQ(got.ok, 0);
      EXPECT_EQ(got.error, row.error);
      continue;
    }
    const char* entry = row.code == 5 ? "Plus" : row.code == 6 ? "Gr\xC3\xB6\xC3\x9F" "e" : "\xF0\x9D\x94\xB8";
    ExpectGot(got, Expected(row.form, entry));
  }
}

// A dictionary name that is empty comes out of every form just as an empty
// plain symbol does: every encoding holds an empty name.
TEST_F(SymbolGetsTest, AnEmptyDictionaryNameReadsLikeAnEmptySymbol) {
  static const Quorvane::QVRawStringDictionary kSymbols[] = {{"", 8}, {nullptr, 0}};
  for (const Form& form : Forms()) {
    SCOPED_TRACE(form.name);
    const Got plain = form.get(Holding({[](QVLink* l) { ASSERT_EQ(RVPutSymbol(l, ""), 1); }}));
    ASSERT_EQ(plain.ok, 1) << plain.error;
    QVLink* link = Reading(DictionarySymbol(8));
    link->symbolDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kSymbols);
    const Got coded = form.get(link);
    EXPECT_EQ(coded.ok, 1);
    EXPECT_EQ(coded.error, 0);
    EXPECT_EQ(HexOf(coded.bytes), HexOf(plain.bytes));
    EXPECT_EQ(coded.first, plain.first);
    EXPECT_EQ(coded.second, plain.second);
    EXPECT_TRUE(coded.terminated);
  }
}

TEST_F(SymbolGetsTest, WithoutADictionaryEveryCodeIsUnknown) {
  for (const char* form_name : {"7-bit", "UTF-8"}) {
    SCOPED_TRACE(form_name);
    QVLink* link = Reading(DictionarySymbol(5));
    link->symbolDictionary = {};
    for (const Form& form : Forms()) {
      if (std::string(form.name) == form_name) {
        EXPECT_EQ(form.get(link).error, std::string(form_name) == "7-bit" ? 2 : 53);
      }
    }
  }
}

// Replacement on the get side: a symbol whose context is the to-name reaches
// the caller with the from-name, and the counts describe the replaced name
// (a longer one here, so the block grows).
TEST_F(SymbolGetsTest, ReplacementGivesTheFromNameWithItsCounts) {
  const std::string wire = "B`\xD0\xB6\xF0\x9F\x98\x80";
  const std::string seen = "Longer`\xD0\xB6\xF0\x9F\x98\x80";
  for (const Form& form : Forms()) {
    if (std::string(form.name) == "7-bit" || std::string(form.name) == "UCS-2") continue;
    SCOPED_TRACE(form.name);
    QVLink* link = Holding({[&](QVLink* l) {
      ASSERT_EQ(RVPutUTF8Symbol(l, reinterpret_cast<const unsigned char*>(wire.data()),
                                static_cast<int>(wire.size())),
                1);
    }});
    ASSERT_GE(QVSymbolVariantAddReplacement(link->symbolReplacements, "Longer", 6, "B", 1), 0);
    ExpectGot(form.get(link), Expected(form.name, seen));
  }
  QVLink* link = Holding({[](QVLink* l) { ASSERT_EQ(RVPutSymbol(l, "B`x"), 1); },
                          [](QVLink* l) { ASSERT_EQ(RVPutSymbol(l, "B`x"), 1); }});
  ASSERT_GE(QVSymbolVariantAddReplacement(link->symbolReplacements, "Longer", 6, "B", 1), 0);
  const char* seven = nullptr;
  ASSERT_EQ(RVGetSymbol(link, &seven), 1);
  EXPECT_STREQ(seven, "Longer`x");
  RVReleaseSymbol(link, seven);
  ASSERT_EQ(RVNewPacket(link), 1);
  EXPECT_EQ(RVTestSymbol(link, "B`x"), 0);
  ASSERT_EQ(RVClearError(link), 1);
  EXPECT_EQ(RVTestSymbol(link, "Longer`x"), 1);
}

// The UCS-2 get and the wide tests see the replaced name too (a name inside
// the plane, which UCS-2 can hold): the from-name matches, the name as it
// came does not, and a failed test leaves 3.
TEST_F(SymbolGetsTest, ReplacementAppliesToTheUCS2GetAndTheWideTests) {
  const std::string wire = "B`\xD0\xB6";
  const std::string seen = "Longer`\xD0\xB6";
  auto holding_wire = [&] {
    QVLink* link = Holding({[&](QVLink* l) {
      ASSERT_EQ(RVPutUTF8Symbol(l, reinterpret_cast<const unsigned char*>(wire.data()), static_cast<int>(wire.size())),
                1);
    }});
    EXPECT_GE(QVSymbolVariantAddReplacement(link->symbolReplacements, "Longer", 6, "B", 1), 0);
    return link;
  };
  for (const Form& form : Forms()) {
    if (std::string(form.name) == "UCS-2") ExpectGot(form.get(holding_wire()), Expected("UCS-2", seen));
  }
  const std::u16string seen_ucs2 = u"Longer`\u0436";
  const std::u16string wire_ucs2 = u"B`\u0436";
  const std::u16string seen16 = u"\uFEFF" + seen_ucs2;
  const std::u16string wire16 = u"\uFEFF" + wire_ucs2;
  const std::u32string seen32 = U"\uFEFFLonger`\u0436";
  const std::u32string wire32 = U"\uFEFFB`\u0436";
  struct Row {
    const char* name;
    std::function<int(QVLink*)> test;
    bool match;
  };
  const std::vector<Row> rows = {
      {"UCS-2 from-name",
       [&](QVLink* l) {
         return RVTestUCS2Symbol(l, reinterpret_cast<const unsigned short*>(seen_ucs2.data()),
                                 static_cast<int>(seen_ucs2.size()));
       },
       true},
      {"UCS-2 as it came",
       [&](QVLink* l) {
         return RVTestUCS2Symbol(l, reinterpret_cast<const unsigned short*>(wire_ucs2.data()),
                                 static_cast<int>(wire_ucs2.size()));
       },
       false},
      {"UTF-8 from-name",
       [&](QVLink* l) {
         return RVTestUTF8Symbol(l, reinterpret_cast<const unsigned char*>(seen.data()), static_cast<int>(seen.size()));
       },
       true},
      {"UTF-8 as it came",
       [&](QVLink* l) {
         return RVTestUTF8Symbol(l, reinterpret_cast<const unsigned char*>(wire.data()), static_cast<int>(wire.size()));
       },
       false},
      {"UTF-16 from-name",
       [&](QVLink* l) {
         return RVTestUTF16Symbol(l, reinterpret_cast<const unsigned short*>(seen16.data()),
                                  static_cast<int>(seen16.size()));
       },
       true},
      {"UTF-16 as it came",
       [&](QVLink* l) {
         return RVTestUTF16Symbol(l, reinterpret_cast<const unsigned short*>(wire16.data()),
                                  static_cast<int>(wire16.size()));
       },
       false},
      {"UTF-32 from-name",
       [&](QVLink* l) {
         return RVTestUTF32Symbol(l, reinterpret_cast<const unsigned int*>(seen32.data()),
                                  static_cast<int>(seen32.size()));
       },
       true},
      {"UTF-32 as it came",
       [&](QVLink* l) {
         return RVTestUTF32Symbol(l, reinterpret_cast<const unsigned int*>(wire32.data()),
                                  static_cast<int>(wire32.size()));
       },
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    QVLink* link = holding_wire();
    EXPECT_EQ(row.test(link), row.match ? 1 : 0);
    EXPECT_EQ(RVError(link), row.match ? 0 : 3);
  }
}

TEST_F(SymbolGetsTest, TestsMatchOrLeaveTheInputWhereItWas) {
  const std::u16string abc16 = u"\xFEFF" u"abc";
  const std::u32string abc32 = U"\xFEFF" U"abc";
  const std::u16string abc_ucs2 = u"abc";
  const std::u16string abd16 = u"\xFEFF" u"abd";
  struct Row {
    const char* name;
    std::function<int(QVLink*)> test;
    bool match;
  };
  const std::vector<Row> rows = {
      {"7-bit", [](QVLink* l) { return RVTestSymbol(l, "abc"); }, true},
      {"7-bit other", [](QVLink* l) { return RVTestSymbol(l, "abd"); }, false},
      {"7-bit prefix", [](QVLink* l) { return RVTestSymbol(l, "ab"); }, false},
      {"UCS-2",
       [&](QVLink* l) { return RVTestUCS2Symbol(l, reinterpret_cast<const unsigned short*>(abc_ucs2.data()), 3); },
       true},
      {"UTF-8", [](QVLink* l) { return RVTestUTF8Symbol(l, reinterpret_cast<const unsigned char*>("abc"), 3); }, true},
      {"UTF-16 with its mark",
       [&](QVLink* l) { return RVTestUTF16Symbol(l, reinterpret_cast<const unsigned short*>(abc16.data()), 4); },
       true},
      {"UTF-16 other",
       [&](QVLink* l) { return RVTestUTF16Symbol(l, reinterpret_cast<const unsigned short*>(abd16.data()), 4); },
       false},
      {"UTF-32 with its mark",
       [&](QVLink* l) { return RVTestUTF32Symbol(l, reinterpret_cast<const unsigned int*>(abc32.data()), 4); },
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    QVLink* link = Holding({[](QVLink* l) {
      ASSERT_EQ(RVPutSymbol(l, "abc"), 1);
      ASSERT_EQ(RVPutInteger32(l, 7), 1);
    }});
    if (row.match) {
      EXPECT_EQ(row.test(link), 1);
      EXPECT_EQ(RVError(link), 0);
      int seven = 0;
      EXPECT_EQ(RVGetInteger32(link, &seven), 1);
      EXPECT_EQ(seven, 7);
      continue;
    }
    EXPECT_EQ(row.test(link), 0);
    EXPECT_EQ(RVError(link), 3);
    const char* name = nullptr;
    EXPECT_EQ(RVGetSymbol(link, &name), 0);  // refused while 3 stands
    ASSERT_EQ(RVClearError(link), 1);
    ASSERT_EQ(RVGetSymbol(link, &name), 1);
    EXPECT_STREQ(name, "abc");
    RVReleaseSymbol(link, name);
  }
}

TEST_F(SymbolGetsTest, TestsOfOtherTokensAndDictionaryCodes) {
  static const Quorvane::QVRawStringDictionary kSymbols[] = {{"Plus", 5}, {nullptr, 0}};
  // A string is no symbol: 3, and it is still there.
  QVLink* link = Holding({[](QVLink* l) { ASSERT_EQ(RVPutString(l, "abc"), 1); }});
  EXPECT_EQ(RVTestSymbol(link, "abc"), 0);
  EXPECT_EQ(RVError(link), 3);
  ASSERT_EQ(RVClearError(link), 1);
  EXPECT_EQ(RVGetNext(link), 34);

  struct Row {
    uint16_t code;
    const char* name;
    int result;
    long error;
  };
  const Row rows[] = {{5, "Plus", 1, 0}, {5, "Minus", 0, 3}, {99, "Plus", 0, 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.code) + " " + row.name);
    QVLink* coded = Reading(DictionarySymbol(row.code));
    coded->symbolDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kSymbols);
    EXPECT_EQ(RVTestSymbol(coded, row.name), row.result);
    EXPECT_EQ(RVError(coded), row.error);
    if (row.result == 0) {
      ASSERT_EQ(RVClearError(coded), 1);
      EXPECT_EQ(RVGetNextRaw(coded), 79);  // back at the coded symbol
    }
  }
}

// Gets the discipline refuses (a null link, a pending error) leave the name
// null whatever the caller's pointer held, so a release after the failure
// gives back nothing; the counts are 0 and the symbol stays unread.
TEST_F(SymbolGetsTest, RefusedGetsLeaveTheNameNull) {
  static const char junk[] = "not a name";
  const auto* junk8 = reinterpret_cast<const unsigned char*>(junk);
  const auto* junk16 = reinterpret_cast<const unsigned short*>(junk);
  const auto* junk32 = reinterpret_cast<const unsigned int*>(junk);
  struct Call {
    const char* name;
    std::function<int(QVLink*)> get;  // the outputs are checked inside
  };
  const std::vector<Call> calls = {
      {"7-bit",
       [&](QVLink* l) {
         const char* s = junk;
         const int ok = RVGetSymbol(l, &s);
         EXPECT_EQ(s, nullptr);
         return ok;
       }},
      {"byte",
       [&](QVLink* l) {
         const unsigned char* s = junk8;
         int n = 7;
         const int ok = RVGetByteSymbol(l, &s, &n, '#');
         EXPECT_EQ(s, nullptr);
         EXPECT_EQ(n, 0);
         return ok;
       }},
      {"UCS-2",
       [&](QVLink* l) {
         const unsigned short* s = junk16;
         int n = 7;
         const int ok = RVGetUCS2Symbol(l, &s, &n);
         EXPECT_EQ(s, nullptr);
         EXPECT_EQ(n, 0);
         return ok;
       }},
      {"UTF-8",
       [&](QVLink* l) {
         const unsigned char* s = junk8;
         int b = 7;
         int c = 7;
         const int ok = RVGetUTF8Symbol(l, &s, &b, &c);
         EXPECT_EQ(s, nullptr);
         EXPECT_EQ(b, 0);
         EXPECT_EQ(c, 0);
         return ok;
       }},
      {"UTF-16",
       [&](QVLink* l) {
         const unsigned short* s = junk16;
         int u = 7;
         int c = 7;
         const int ok = RVGetUTF16Symbol(l, &s, &u, &c);
         EXPECT_EQ(s, nullptr);
         EXPECT_EQ(u, 0);
         EXPECT_EQ(c, 0);
         return ok;
       }},
      {"UTF-32",
       [&](QVLink* l) {
         const unsigned int* s = junk32;
         int n = 7;
         const int ok = RVGetUTF32Symbol(l, &s, &n);
         EXPECT_EQ(s, nullptr);
         EXPECT_EQ(n, 0);
         return ok;
       }},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(call.name);
    QVLink* link = Holding({[](QVLink* l) { ASSERT_EQ(RVPutSymbol(l, "abc"), 1); }});
    ExpectRefusedOnNullLinkAndPendingError(call.get, link);
    EXPECT_EQ(RVTestSymbol(link, "abc"), 1);
  }
}

TEST_F(SymbolGetsTest, NullLinksAndNamesAreRefusedOrIgnored) {
  const char* name = reinterpret_cast<const char*>(1);
  EXPECT_EQ(RVGetSymbol(nullptr, &name), 0);
  int units = -5;
  int characters = -5;
  const unsigned short* utf16 = nullptr;
  EXPECT_EQ(RVGetUTF16Symbol(nullptr, &utf16, &units, &characters), 0);
  EXPECT_EQ(RVTestSymbol(nullptr, "a"), 0);
  RVReleaseSymbol(nullptr, "not ours");
  QVLink* link = Holding({[](QVLink* l) {
    ASSERT_EQ(RVPutSymbol(l, "abc"), 1);
    ASSERT_EQ(RVPutInteger32(l, 7), 1);
  }});
  RVReleaseSymbol(link, nullptr);
  RVReleaseUTF8Symbol(link, nullptr, 3);
  // A get without a place for the name reads the symbol and drops it.
  EXPECT_EQ(RVGetSymbol(link, nullptr), 1);
  int seven = 0;
  EXPECT_EQ(RVGetInteger32(link, &seven), 1);
  EXPECT_EQ(seven, 7);
  // Counts are written after a failure too.
  EXPECT_EQ(RVGetUTF16Symbol(link, &utf16, &units, &characters), 0);
  EXPECT_EQ(units, 0);
  EXPECT_EQ(characters, 0);
  EXPECT_EQ(utf16, nullptr);
}

}  // namespace

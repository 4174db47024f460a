// String tests: the next atom compared with a text in each encoding, the atom
// consumed only on a match and left in place otherwise (error 3 on the link);
// escapes compared as the codec writes them; the releases.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/qvstringtests.h"
#include "api/qvsymbolreplacement.h"
#include "api/qvtokentypes.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"
#include "tests/support/qvtest.h"
#include "text/qvstringdictionary.h"

namespace {

using qvtest::ScriptedDevice;

class StringTestsTest : public qvtest::TypedLinkTest {
 protected:
  // The next atom read as 7-bit text.
  static std::string NextString(QVLink* link) {
    const char* text = nullptr;
    if (RVGetString(link, &text) == 0) return "<error " + std::to_string(RVError(link)) + ">";
    std::string out = text;
    RVReleaseString(link, text);
    return out;
  }
};

// "café" with Omega: U+00E9 and U+03A9 between ASCII.
const unsigned char kUTF8[] = {'c', 'a', 'f', 0xC3, 0xA9, 0xCE, 0xA9};
const unsigned short kUCS2[] = {'c', 'a', 'f', 0xE9, 0x3A9};
const unsigned short kUTF16[] = {0xFEFF, 'c', 'a', 'f', 0xE9, 0x3A9};
const unsigned int kUTF32[] = {0xFEFF, 'c', 'a', 'f', 0xE9, 0x3A9};
const unsigned short kUCS2Other[] = {'c', 'a', 'f', 0xE9, 0x3A8};

// Each test form against the string: a match consumes it, a mismatch
// answers 0 with 3 and leaves it to be read.
TEST_F(StringTestsTest, EachFormMatchesOnlyTheSameText) {
  struct Case {
    const char* name;
    std::function<int(QVLink*)> test;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"7-bit as the codec escapes", [](QVLink* l) { return RVTestString(l, "caf\\351\\:03A9"); }, true},
      {"7-bit, the same character by another escape", [](QVLink* l) { return RVTestString(l, "caf\\.e9\\:03A9"); },
       false},
      {"7-bit, lower-case hex digits", [](QVLink* l) { return RVTestString(l, "caf\\351\\:03a9"); }, false},
      {"7-bit, the raw UTF-8 bytes",
       [](QVLink* l) { return RVTestString(l, std::string(reinterpret_cast<const char*>(kUTF8), 7).c_str()); },
       false},
      {"UCS-2", [](QVLink* l) { return RVTestUCS2String(l, kUCS2, 5); }, true},
      {"UCS-2, another last character", [](QVLink* l) { return RVTestUCS2String(l, kUCS2Other, 5); }, false},
      {"UCS-2, a prefix", [](QVLink* l) { return RVTestUCS2String(l, kUCS2, 4); }, false},
      {"UTF-8", [](QVLink* l) { return RVTestUTF8String(l, kUTF8, 7); }, true},
      {"UTF-8, a prefix", [](QVLink* l) { return RVTestUTF8String(l, kUTF8, 5); }, false},
      {"UTF-16 with its mark", [](QVLink* l) { return RVTestUTF16String(l, kUTF16, 6); }, true},
      // Without a mark, UTF-16 text is read in the other byte order, as puts count it.
      {"UTF-16 without its mark", [](QVLink* l) { return RVTestUTF16String(l, kUTF16 + 1, 5); }, false},
      {"UTF-32 with its mark", [](QVLink* l) { return RVTestUTF32String(l, kUTF32, 6); }, true},
      {"UTF-32, the mark alone", [](QVLink* l) { return RVTestUTF32String(l, kUTF32, 1); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QVLink* link = LoopbackHolding([](QVLink* l) {
      ASSERT_EQ(RVPutUTF8String(l, kUTF8, 7), 1);
      ASSERT_EQ(RVPutString(l, "after"), 1);
    });
    ASSERT_NE(link, nullptr);
    if (c.matches) {
      ASSERT_EQ(c.test(link), 1) << RVError(link);
      EXPECT_EQ(RVError(link), 0);
      EXPECT_EQ(NextString(link), "after");
    } else {
      EXPECT_EQ(c.test(link), 0);
      EXPECT_EQ(RVError(link), 3);
      // The atom the test looked at is read again.
      ASSERT_EQ(RVClearError(link), 1);
      EXPECT_EQ(NextString(link), "caf\\351\\:03A9");
    }
    Destroy(link);
  }
}

// The UTF-16 text exactly as the UTF-16 get delivers it (mark first) is the
// text the test matches.
TEST_F(StringTestsTest, UTF16TextAsTheGetDeliversItMatches) {
  QVLink* link = LoopbackHolding([](QVLink* l) {
    const unsigned int text[] = {0xFEFF, 'x', 0x1F600, 'y'};
    ASSERT_EQ(RVPutUTF32String(l, text, 4), 1);
    ASSERT_EQ(RVPutUTF32String(l, text, 4), 1);
  });
  ASSERT_NE(link, nullptr);
  const unsigned short* got = nullptr;
  int units = 0;
  int characters = 0;
  ASSERT_EQ(RVGetUTF16String(link, &got, &units, &characters), 1) << RVError(link);
  EXPECT_EQ(units, 5);
  EXPECT_EQ(characters, 3);
  EXPECT_EQ(RVTestUTF16String(link, got, units), 1) << RVError(link);
  RVReleaseUTF16String(link, got);
  Destroy(link);
}

// An atom whose text is no valid UTF-16 (a lone surrogate sent as UCS-2)
// matches nothing: the test answers 3, gives the text back and leaves the
// atom to be read.
TEST_F(StringTestsTest, AnInvalidTextMatchesNothingAndStays) {
  const unsigned short lone[] = {'a', 0xD800};
  QVLink* link = LoopbackHolding([&](QVLink* l) { ASSERT_EQ(RVPutUCS2String(l, lone, 2), 1) << RVError(l); });
  ASSERT_NE(link, nullptr);
  const unsigned short wanted[] = {0xFEFF, 'a', 0xD800};
  EXPECT_EQ(RVTestUTF16String(link, wanted, 3), 0);
  EXPECT_EQ(RVError(link), 3);
  ASSERT_EQ(RVClearError(link), 1);
  const unsigned short* text = nullptr;
  int units = 0;
  ASSERT_EQ(RVGetUCS2String(link, &text, &units), 1) << RVError(link);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text), static_cast<size_t>(units)), u"a\xD800");
  RVReleaseUCS2String(link, text);
  Destroy(link);
}

// A symbol, a number and a dictionary-coded string match by their text; a
// function is no atom, and an unknown code answers 2; both leave the token.
TEST_F(StringTestsTest, OtherTokensByTheirTextAndRefusalsLeaveTheInput) {
  static const Quorvane::QVRawStringDictionary kStrings[] = {{"coded", 7}, {nullptr, 0}};
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  link->stringDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kStrings);
  const std::string coded7 = std::string("\x51\x41\xE2\x07\x00\x0A", 6);
  const std::string coded99 = std::string("\x51\x41\xE2\x63\x00\x0A", 6);
  // Symbol "sym", integer 12, the codes, then f[].
  device.WriteBytes(std::string("\x23\x46\x41\x7E\x43sym\x0A", 9) + "\x2B\x45\x41\x7E\x42" "12\x0A" + coded7 +
                    coded99 + std::string("\x46\x40\x23\x44\x41\x7E\x41\x66\x0A", 9) + "]");
  EXPECT_EQ(RVTestString(link, "sym"), 1) << RVError(link);
  EXPECT_EQ(RVTestString(link, "12"), 1) << RVError(link);
  EXPECT_EQ(RVTestString(link, "other"), 0);
  EXPECT_EQ(RVError(link), 3);
  ASSERT_EQ(RVClearError(link), 1);
  EXPECT_EQ(RVTestUTF8String(link, reinterpret_cast<const unsigned char*>("coded"), 5), 1) << RVError(link);
  EXPECT_EQ(RVTestString(link, "coded"), 0);
  EXPECT_EQ(RVError(link), 2);
  ASSERT_EQ(RVClearError(link), 1);
  EXPECT_EQ(RVGetNext(link), 34);  // still the unknown code
  ASSERT_EQ(RVNewPacket(link), 1);
  Destroy(link);

  QVLink* function = LoopbackHolding([](QVLink* l) { RVPutFunction(l, "f", 0); });
  ASSERT_NE(function, nullptr);
  EXPECT_EQ(RVTestString(function, "f"), 0);
  EXPECT_EQ(RVError(function), 3);
  ASSERT_EQ(RVClearError(function), 1);
  EXPECT_EQ(RVGetNext(function), 70);
  Destroy(function);
}

// A link whose peer closed (11) with strings still buffered: the tests
// compare them; a mismatch replaces 11 with 3 and puts the input back.
TEST_F(StringTestsTest, BufferedStringsAreComparedAfterThePeerClosed) {
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  // "ab" and "cd", each a string token, in one packet.
  device.WriteBytes("\x22\x45" "A~\x42" "ab\n\x22\x45" "A~\x42" "cd\n]");
  device.ClosePeer();
  ASSERT_TRUE(qvtest::WaitUntil([&] {
    RVFill(link);
    return RVError(link) == 11;
  }));
  EXPECT_EQ(RVTestString(link, "ab"), 1);
  EXPECT_EQ(RVError(link), 11);
  EXPECT_EQ(RVTestString(link, "cx"), 0);
  EXPECT_EQ(RVError(link), 3);
  ASSERT_EQ(RVClearError(link), 1);
  EXPECT_EQ(NextString(link), "cd");
  Destroy(link);
}

// The check reads the next atom whatever it finds; it accepts the wanted
// type with a name of the same characters, however they are escaped, after
// the link's replacement when asked.
TEST_F(StringTestsTest, CheckComparesTypesAndCharacters) {
  struct Case {
    const char* name;
    std::function<void(QVLink*)> put;
    uint64_t wanted;
    const char* expected;  // null: any name
    int replace;
    long code;
  };
  const std::vector<Case> cases = {
      {"the same symbol", [](QVLink* l) { RVPutSymbol(l, "Global`x"); }, TOK_SYMBOL, "Global`x", 0, 0},
      {"another symbol", [](QVLink* l) { RVPutSymbol(l, "Global`y"); }, TOK_SYMBOL, "Global`x", 0, 3},
      {"a longer name", [](QVLink* l) { RVPutSymbol(l, "Global`x"); }, TOK_SYMBOL, "Global`xy", 0, 3},
      {"another type", [](QVLink* l) { RVPutString(l, "Global`x"); }, TOK_SYMBOL, "Global`x", 0, 3},
      {"any name", [](QVLink* l) { RVPutString(l, "s"); }, TOK_STRING, nullptr, 0, 0},
      {"another escape of the character",
       [](QVLink* l) { RVPutUTF8String(l, reinterpret_cast<const unsigned char*>("caf\xC3\xA9"), 5); }, TOK_STRING,
       "caf\\.e9", 0, 0},
      {"a name whose escape is cut short", [](QVLink* l) { RVPutString(l, "\\:03A9"); }, TOK_STRING, "\\:03A", 0,
       3},
      {"replaced for reading", [](QVLink* l) { RVPutSymbol(l, "B`x"); }, TOK_SYMBOL, "Longer`x", 1, 0},
      {"not replaced", [](QVLink* l) { RVPutSymbol(l, "B`x"); }, TOK_SYMBOL, "B`x", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QVLink* link = LoopbackHolding([&](QVLink* l) {
      c.put(l);
      RVPutString(l, "after");
    });
    ASSERT_NE(link, nullptr);
    ASSERT_GE(QVSymbolVariantAddReplacement(link->symbolReplacements, "Longer", 6, "B", 1), 0);
    ASSERT_NE(RVGetNext(link), 0);
    EXPECT_EQ(QVCheckData_(&link->globals->pool, &link->readState, link->deviceStack, &link->queueStack, c.wanted,
                           c.expected, nullptr, link->symbolReplacements, c.replace),
              c.code);
    // Consumed when the type was right.
    if (std::string(c.name) != "another type") {
      EXPECT_EQ(NextString(link), "after");
    }
    Destroy(link);
  }
}

TEST_F(StringTestsTest, NullLinksTextsAndPendingErrors) {
  EXPECT_EQ(RVTestString(nullptr, "x"), 0);
  QVLink* link = LoopbackHolding([](QVLink* l) { RVPutString(l, "x"); });
  ASSERT_NE(link, nullptr);
  // A null text matches nothing and leaves the atom.
  EXPECT_EQ(RVTestString(link, nullptr), 0);
  EXPECT_EQ(RVError(link), 3);
  // A pending error other than 11 refuses the test and stays.
  link->error = 5;
  EXPECT_EQ(RVTestString(link, "x"), 0);
  EXPECT_EQ(RVError(link), 5);
  link->error = 0;
  EXPECT_EQ(NextString(link), "x");
  // Releases of nothing, or on no link, do nothing.
  RVReleaseString(link, nullptr);
  RVReleaseByteString(link, nullptr);
  RVReleaseUCS2String(link, nullptr);
  RVReleaseUTF8String(link, nullptr);
  RVReleaseUTF16String(link, nullptr);
  RVReleaseUTF32String(link, nullptr);
  const char text[] = "not an atom";
  RVReleaseString(nullptr, text);
  Destroy(link);
}

}  // namespace

// The UTF-8 string: every constructor and maker against iconv, the mark rules
// of 16- and 32-bit input, the conversions back, ordering, and the exact texts
// of the exceptions.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "text/qvutf8string.h"
#include "utilities/qvexception.h"
#include "tests/text/qviconvoracle.h"

namespace {

using Quorvane::QVException;
using Quorvane::QVSmartPointer;
using Quorvane::QVUTF8String;
using Quorvane::qvexceptiontype;
using CodePoints = std::vector<uint32_t>;
using Bytes = std::string;

using qvtexttest::Iconv;
using qvtexttest::MustIconv;

template <typename Unit>
std::vector<Unit> Units(const Bytes& b) {
  std::vector<Unit> u(b.size() / sizeof(Unit));
  if (!u.empty()) std::memcpy(u.data(), b.data(), u.size() * sizeof(Unit));
  return u;
}

template <typename Unit>
Bytes AsBytes(const std::vector<Unit>& u) {
  return Bytes(reinterpret_cast<const char*>(u.data()), u.size() * sizeof(Unit));
}

Bytes Held(const QVUTF8String& s) {
  return s.getLengthOfBytes() == 0 ? Bytes() : Bytes(reinterpret_cast<const char*>(s.bytes()), s.getLengthOfBytes());
}

// Runs body and returns the exception it throws (fails the test when none).
QVException Thrown(const std::function<void()>& body) {
  try {
    body();
  } catch (const QVException& e) {
    return e;
  }
  ADD_FAILURE() << "no exception";
  return QVException("none", "none", 0, qvexceptiontype::internalError, 0);
}

void ExpectThrows(const std::function<void()>& body, const char* message,
                  qvexceptiontype type = qvexceptiontype::internalError) {
  const QVException e = Thrown(body);
  EXPECT_EQ(Quorvane::ToStdString(e.getWhat()), message);
  EXPECT_EQ(Quorvane::ToStdString(e.getFile()), "text/qvutf8string");
  EXPECT_EQ(e.getType(), type);
}

const std::vector<CodePoints> kTexts = {
    {'a', 'b', 'c'},
    {0},                                        // NUL is a character
    {'x', 0, 'y'},
    {0xE9, 0x7FF, 0x800, 0xD7FF, 0xE000},       // every UTF-8 length below astral
    {0xFFFD, 0xFFFE, 0xFFFF},                   // non-characters are characters
    {0x10000, 'q', 0x1F600, 0x10FFFF},          // astral
    {0xFEFF, 'a'},                              // a mark inside UTF-8 is a character
};

TEST(QVUTF8String, EveryConstructorAndMakerAgreesWithIconv) {
  for (const CodePoints& cps : kTexts) {
    SCOPED_TRACE(testing::PrintToString(cps));
    const Bytes utf8 = MustIconv(cps, "UTF-8");
    const auto check = [&](const QVUTF8String& s) {
      EXPECT_EQ(Held(s), utf8);
      EXPECT_EQ(s.getNumberOfCharacters(), cps.size());
    };
    const auto check_handle = [&](const QVSmartPointer<QVUTF8String>& h) {
      ASSERT_TRUE(h);
      EXPECT_EQ(h.useCount(), 1u);
      EXPECT_TRUE(h.ownsObjectQ());
      EXPECT_FALSE(h.hasLockQ());
      check(*h);
    };
    const auto* u8 = reinterpret_cast<const unsigned char*>(utf8.data());
    check(QVUTF8String(u8, utf8.size()));
    check_handle(QVUTF8String::initWithUTF8String(u8, utf8.size()));

    // UTF-16 and UTF-32 with a little-endian mark, a big-endian mark, and none
    // (read byte-swapped, so big-endian on this machine).
    const auto le16 = Units<unsigned short>(Bytes("\xFF\xFE", 2) + MustIconv(cps, "UTF-16LE"));
    const auto be16 = Units<unsigned short>(Bytes("\xFE\xFF", 2) + MustIconv(cps, "UTF-16BE"));
    const auto bare16 = Units<unsigned short>(MustIconv(cps, "UTF-16BE"));
    for (const auto* units : {&le16, &be16}) {
      check(QVUTF8String(units->data(), units->size(), QVUTF8String::UTF16));
      check_handle(QVUTF8String::initWithUTF16String(units->data(), units->size()));
    }
    // Unmarked text whose first character is U+FEFF: that character is its mark.
    const bool leading_mark = cps[0] == 0xFEFF;
    const QVUTF8String from_bare16(bare16.data(), bare16.size(), QVUTF8String::UTF16);
    EXPECT_EQ(Held(from_bare16), leading_mark ? utf8.substr(3) : utf8);
    EXPECT_EQ(from_bare16.getNumberOfCharacters(), cps.size() - (leading_mark ? 1 : 0));
    const auto le32 = Units<unsigned int>(Bytes("\xFF\xFE\x00\x00", 4) + MustIconv(cps, "UTF-32LE"));
    const auto be32 = Units<unsigned int>(Bytes("\x00\x00\xFE\xFF", 4) + MustIconv(cps, "UTF-32BE"));
    const auto bare32 = Units<unsigned int>(MustIconv(cps, "UTF-32BE"));
    for (const auto* units : {&le32, &be32}) {
      check(QVUTF8String(units->data(), units->size()));
      check_handle(QVUTF8String::initWithUTF32String(units->data(), units->size()));
    }
    const QVUTF8String from_bare32(bare32.data(), bare32.size());
    EXPECT_EQ(Held(from_bare32), leading_mark ? utf8.substr(3) : utf8);
    // UCS-2: this machine's order, no mark rule, BMP only.
    Bytes ucs2;
    if (Iconv(cps, "UCS-2LE", &ucs2)) {
      const auto units = Units<unsigned short>(ucs2);
      check(QVUTF8String(units.data(), units.size(), QVUTF8String::UCS2));
      check_handle(QVUTF8String::initWithUCS2String(units.data(), units.size()));
    }
  }
}

TEST(QVUTF8String, ConversionsBackAgreeWithIconv) {
  for (const CodePoints& cps : kTexts) {
    SCOPED_TRACE(testing::PrintToString(cps));
    const Bytes utf8 = MustIconv(cps, "UTF-8");
    const QVUTF8String s(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size());

    const Bytes utf16 = Bytes("\xFF\xFE", 2) + MustIconv(cps, "UTF-16LE");
    ASSERT_EQ(s.numberOfBytesForUTF16Encoding(), utf16.size());
    std::vector<unsigned short> u16(utf16.size() / 2);
    EXPECT_EQ(s.convertToUTF16Encoding(u16.data(), utf16.size()), 1);
    EXPECT_EQ(AsBytes(u16), utf16);

    const Bytes utf32 = Bytes("\xFF\xFE\x00\x00", 4) + MustIconv(cps, "UTF-32LE");
    ASSERT_EQ(s.numberOfBytesForUTF32Encoding(), utf32.size());
    std::vector<unsigned int> u32(utf32.size() / 4);
    EXPECT_EQ(s.convertToUTF32Encoding(u32.data(), utf32.size()), 1);
    EXPECT_EQ(AsBytes(u32), utf32);

    Bytes ucs2;
    const bool bmp = Iconv(cps, "UCS-2LE", &ucs2);
    EXPECT_EQ(s.willEncodeInUCS2Encoding(), bmp);
    if (bmp) {
      ASSERT_EQ(s.numberOfBytesForUCS2Encoding(), ucs2.size());
      std::vector<unsigned short> u(ucs2.size() / 2);
      EXPECT_EQ(s.convertToUCS2Encoding(u.data(), ucs2.size()), 1);
      EXPECT_EQ(AsBytes(u), ucs2);
    } else {
      ExpectThrows([&] { (void)s.numberOfBytesForUCS2Encoding(); },
                   "UTF-8 string contains codes that will not convert to UCS2.");
      std::vector<unsigned short> u(cps.size() * 2);
      ExpectThrows([&] { s.convertToUCS2Encoding(u.data(), u.size() * 2); },
                   "Conversion error in QVConvertUTF8StringToUCS2String.");
    }
    Bytes latin1;
    EXPECT_EQ(s.willEncodeInByteEncoding(), Iconv(cps, "ISO-8859-1", &latin1));
    bool ascii = true;
    for (uint32_t c : cps) ascii = ascii && c >= 1 && c <= 0x7F;
    EXPECT_EQ(s.willEncodeInASCIIEncoding(), ascii);
    if (ascii) {
      EXPECT_EQ(Quorvane::ToStdString(s.convertToSTLString()), utf8);
    } else {
      ExpectThrows([&] { (void)s.convertToSTLString(); }, "convertToSTLString cannot convert to ASCII encoding.");
    }
    Bytes copy(utf8.size(), '\0');
    s.convertToASCIIEncoding(copy.data(), copy.size());
    EXPECT_EQ(copy, utf8);
  }
}

TEST(QVUTF8String, AsciiTextIsCopiedUnchecked) {
  const char text[] = "ab\xFF\x80";
  const QVUTF8String s(text);
  EXPECT_EQ(Held(s), Bytes(text));
  EXPECT_EQ(s.getNumberOfCharacters(), 4u);  // one per byte
  const QVUTF8String part(text, 2);
  EXPECT_EQ(Held(part), "ab");
  EXPECT_EQ(part.getNumberOfCharacters(), 2u);
  EXPECT_EQ(Held(*QVUTF8String::initWithASCIIString("xyz")), "xyz");
  EXPECT_EQ(Held(*QVUTF8String::initWithASCIIString("xyz", 1)), "x");
}

TEST(QVUTF8String, NullOrEmptyInputGivesAnEmptyString) {
  const unsigned short mark16[] = {0xFEFF};
  const unsigned short swapped16[] = {0xFFFE};
  const unsigned int mark32[] = {0xFEFF};
  const unsigned int swapped32[] = {0xFFFE0000u};
  const std::vector<QVUTF8String> empties = {
      QVUTF8String(),
      QVUTF8String(static_cast<const char*>(nullptr)),
      QVUTF8String(""),
      QVUTF8String("abc", 0),
      QVUTF8String(static_cast<const unsigned char*>(nullptr), 5),
      QVUTF8String(static_cast<const unsigned short*>(nullptr), 5, QVUTF8String::UTF16),
      QVUTF8String(mark16, 0, QVUTF8String::UCS2),
      QVUTF8String(mark16, 1, QVUTF8String::UTF16),  // only a mark
      QVUTF8String(swapped16, 1, QVUTF8String::UTF16),
      QVUTF8String(mark32, 1),
      QVUTF8String(swapped32, 1),
      *QVUTF8String::init(),
  };
  for (const QVUTF8String& s : empties) {
    EXPECT_EQ(s.getLengthOfBytes(), 0u);
    EXPECT_EQ(s.bytes(), nullptr);
    EXPECT_EQ(s.getNumberOfCharacters(), 0u);
    EXPECT_EQ(s.numberOfBytesForUCS2Encoding(), 0u);
    EXPECT_EQ(s.numberOfBytesForUTF16Encoding(), 0u);
    EXPECT_EQ(s.numberOfBytesForUTF32Encoding(), 0u);
    EXPECT_FALSE(s.willEncodeInASCIIEncoding());
    EXPECT_FALSE(s.willEncodeInByteEncoding());
    EXPECT_FALSE(s.willEncodeInUCS2Encoding());
    EXPECT_EQ(s, QVUTF8String());
  }
  ExpectThrows([] { (void)QVUTF8String().convertToSTLString(); },
               "convertToSTLString cannot convert to ASCII encoding.");
  // A UCS-2 unit that happens to be 0xFEFF is a character, not a mark.
  EXPECT_EQ(Held(QVUTF8String(mark16, 1, QVUTF8String::UCS2)), "\xEF\xBB\xBF");
}

TEST(QVUTF8String, RefusedInputThrowsItsExactTexts) {
  const unsigned short lone_leading[] = {0xFEFF, 'a', 0xD83D};
  const unsigned short lone_trailing[] = {0xFEFF, 0xDE00, 'a'};
  const unsigned short ucs2_surrogate[] = {'a', 0xDFFF};
  const unsigned int beyond[] = {0xFEFF, 0x110000};
  const unsigned int surrogate32[] = {0xFEFF, 0xD800};
  ExpectThrows([&] { QVUTF8String(lone_leading, 3, QVUTF8String::UTF16); },
               "Unknown error in QVCountUTF8SizeOfUTF16String.");
  ExpectThrows([&] { QVUTF8String::initWithUTF16String(lone_trailing, 3); },
               "Unknown error in QVCountUTF8SizeOfUTF16String.");
  ExpectThrows([&] { QVUTF8String::initWithUCS2String(ucs2_surrogate, 2); },
               "Unknown error in QVCountUTF8SizeofUCS2String.");
  ExpectThrows([&] { QVUTF8String(beyond, 2); }, "Unknown error in QVCountUTF8SizeOfUTF32String.");
  ExpectThrows([&] { QVUTF8String::initWithUTF32String(surrogate32, 2); },
               "Unknown error in QVCountUTF8SizeOfUTF32String.");

  // UTF-8 bytes are counted, not validated; what cannot be read is refused when
  // it is converted.
  const unsigned char bad[] = {'a', 0xED, 0xA0, 0x80};
  const QVUTF8String s(bad, sizeof bad);
  EXPECT_EQ(s.getNumberOfCharacters(), 2u);
  ExpectThrows([&] { (void)s.numberOfBytesForUCS2Encoding(); }, "Unrecognized character sequence in UTF-8 string.");
  ExpectThrows([&] { (void)s.numberOfBytesForUTF16Encoding(); },
               "Unicode encoding error in QVCountUTF16SizeOfUTF8String.");
  std::vector<unsigned short> u16(16);
  std::vector<unsigned int> u32(16);
  ExpectThrows([&] { s.convertToUTF16Encoding(u16.data(), 32); },
               "Conversion error in QVConvertUTF8StringToUTF16String.");
  ExpectThrows([&] { s.convertToUTF32Encoding(u32.data(), 64); },
               "Conversion error in QVConvertUTF8StringToUTF32String.");
  EXPECT_FALSE(s.willEncodeInUCS2Encoding());
}

TEST(QVUTF8String, BuffersOfTheWrongSizeAreRefused) {
  const QVUTF8String s("abc");
  char four[4];
  ExpectThrows([&] { s.convertToASCIIEncoding(four, 4); }, "length argument contains invalid value.",
               qvexceptiontype::badArgument);
  ExpectThrows([&] { s.convertToASCIIEncoding(four, 2); }, "length argument contains invalid value.",
               qvexceptiontype::badArgument);
  // The mark takes one unit: "abc" needs 8 bytes of UTF-16 and 16 of UTF-32.
  unsigned short u16[4] = {};
  ExpectThrows([&] { s.convertToUTF16Encoding(u16, 6); }, "Conversion error in QVConvertUTF8StringToUTF16String.");
  EXPECT_EQ(s.convertToUTF16Encoding(u16, 8), 1);
  unsigned int u32[4] = {};
  ExpectThrows([&] { s.convertToUTF32Encoding(u32, 12); }, "Conversion error in QVConvertUTF8StringToUTF32String.");
  unsigned short ucs2[3] = {};
  ExpectThrows([&] { s.convertToUCS2Encoding(ucs2, 4); }, "Conversion error in QVConvertUTF8StringToUCS2String.");
  ExpectThrows([&] { s.convertToUCS2Encoding(nullptr, 6); }, "Conversion error in QVConvertUTF8StringToUCS2String.");
  // One character above U+FFFF: a pair and the mark.
  const unsigned char astral[] = {0xF0, 0x9F, 0x98, 0x80};
  EXPECT_EQ(QVUTF8String(astral, 4).numberOfBytesForUTF16Encoding(), 6u);
  EXPECT_EQ(QVUTF8String(astral, 4).numberOfBytesForUTF32Encoding(), 8u);
}

TEST(QVUTF8String, OrderingIsShorterFirstThenUnsignedBytes) {
  const auto s = [](const char* text) { return QVUTF8String(text); };
  EXPECT_LT(s("abc"), s("abd"));
  EXPECT_FALSE(s("abd") < s("abc"));
  EXPECT_LT(s("zz"), s("aaa"));
  EXPECT_FALSE(s("aaa") < s("zz"));
  EXPECT_LT(s("a\x7F"), s("a\x80"));  // unsigned bytes
  EXPECT_LT(QVUTF8String(), s("a"));
  EXPECT_FALSE(s("abc") < s("abc"));
  EXPECT_FALSE(QVUTF8String() < QVUTF8String());

  const auto h = [](const char* text) { return QVUTF8String::initWithASCIIString(text); };
  EXPECT_TRUE(h("zz") < h("aaa"));
  EXPECT_FALSE(h("aaa") < h("zz"));
  EXPECT_TRUE(QVSmartPointer<QVUTF8String>() < h(""));
  EXPECT_FALSE(h("") < QVSmartPointer<QVUTF8String>());

  // Equal needs equal lengths, counts and bytes: the same bytes read as ASCII
  // (one character per byte) and as UTF-8 differ.
  const unsigned char e_acute[] = {0xC3, 0xA9};
  EXPECT_NE(QVUTF8String("\xC3\xA9"), QVUTF8String(e_acute, 2));
  EXPECT_EQ(QVUTF8String("\xC3\xA9"), QVUTF8String("\xC3\xA9"));
  const QVUTF8String x("x");
  EXPECT_EQ(x, x);
  QVUTF8String copy = x;
  copy = QVUTF8String("yy");
  EXPECT_EQ(Held(copy), "yy");
  EXPECT_EQ(Held(x), "x");
}

TEST(QVUTF8String, PrintsItsElement) {
  std::ostringstream os;
  const unsigned char text[] = {'h', 0xC3, 0xA9};
  os << QVUTF8String(text, 3);
  EXPECT_EQ(os.str(),
            "<QVUTF8String><theBytes>h\xC3\xA9</theBytes><lengthOfBytes>3</lengthOfBytes>"
            "<numberOfCharacters>2</numberOfCharacters></QVUTF8String>");
}

}  // namespace

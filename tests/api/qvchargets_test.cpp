// Character gets: texts taken piece by piece through small buffers, the
// counts of each piece (UTF-16 pieces counted in this machine's order), and
// dictionary-coded texts that come whole or stay unread.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "quorvane.h"
#include "tests/api/qvtypedtest.h"
#include "tests/support/qvtest.h"
#include "text/qvstringdictionary.h"

namespace {

using qvtest::ScriptedDevice;

class CharGetsTest : public qvtest::TypedLinkTest {
 protected:
  // A loopback link holding one packet with the string.
  QVLink* WithString(const unsigned char* utf8, int length) {
    QVLink* link = Loopback();
    if (link == nullptr) return nullptr;
    EXPECT_EQ(RVPutUTF8String(link, utf8, length), 1);
    EXPECT_EQ(RVEndPacket(link), 1);
    EXPECT_EQ(RVFlush(link), 1);
    return link;
  }
};

TEST_F(CharGetsTest, TenCharactersThroughAFourUnitBufferTakeThreeCalls) {
  const std::string text = "abcdefghij";
  QVLink* link = WithString(reinterpret_cast<const unsigned char*>(text.data()), 10);
  ASSERT_NE(link, nullptr);
  unsigned short buffer[4];
  std::u16string read;
  const std::vector<std::pair<int, int>> expected = {{4, 6}, {4, 2}, {2, 0}};
  for (const auto& [want_got, want_left] : expected) {
    int left = -1;
    int got = -1;
    ASSERT_EQ(RVGetUCS2Characters(link, &left, buffer, 4, &got), 1) << RVError(link);
    EXPECT_EQ(got, want_got);
    EXPECT_EQ(left, want_left);
    read.append(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(got));
  }
  EXPECT_EQ(read, u"abcdefghij");
  // The atom is finished: nothing more comes of it.
  int left = -1;
  int got = -1;
  EXPECT_EQ(RVGetUCS2Characters(link, &left, buffer, 4, &got), 1);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(left, 0);
  Destroy(link);
}

TEST_F(CharGetsTest, AnEmptyBufferReportsWhatIsLeftAndLeavesTheAtomOpen) {
  const std::string text = "hello";
  QVLink* link = WithString(reinterpret_cast<const unsigned char*>(text.data()), 5);
  ASSERT_NE(link, nullptr);
  long left = -1;
  long got = -1;
  char buffer[8];
  EXPECT_EQ(RVGet7BitCharacters(link, &left, buffer, 0, &got), 1);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(left, 5);
  EXPECT_EQ(RVGet7BitCharacters(link, &left, buffer, sizeof buffer, &got), 1);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), "hello");
  EXPECT_EQ(left, 0);
  Destroy(link);
}

// Pieces after the first carry no byte-order mark but are in this machine's
// order all the same: a surrogate pair is one character in every piece.
TEST_F(CharGetsTest, UTF16PiecesCountSurrogatePairsAsOneCharacterInEveryPiece) {
  const unsigned char smileys[] = {0xF0, 0x9F, 0x98, 0x80, 0xF0, 0x9F, 0x98, 0x81, 0xF0, 0x9F, 0x98, 0x82,
                                   0xF0, 0x9F, 0x98, 0x83, 0xF0, 0x9F, 0x98, 0x84};
  QVLink* link = WithString(smileys, sizeof smileys);
  ASSERT_NE(link, nullptr);
  unsigned short buffer[5];
  // The mark and two pairs; two pairs (a third does not fit); the last pair.
  const std::vector<std::pair<int, int>> expected = {{3, 3}, {2, 1}, {1, 0}};
  for (const auto& [want_got, want_left] : expected) {
    int left = -1;
    int got = -1;
    ASSERT_EQ(RVGetUTF16Characters(link, &left, buffer, 5, &got), 1) << RVError(link);
    EXPECT_EQ(got, want_got);
    EXPECT_EQ(left, want_left);
    EXPECT_EQ(buffer[got == 3 ? 1 : 0], 0xD83D);
  }
  Destroy(link);
}

// Strings and symbols sent as dictionary codes, each looked up in its own
// dictionary; a code the dictionary lacks answers 54 (string) or 53
// (symbol) and leaves the token unread.
TEST_F(CharGetsTest, DictionaryTextsComeWholeOrStayUnread) {
  static const Quorvane::QVRawStringDictionary kTexts[] = {{"dictionary text", 7}, {nullptr, 0}};
  struct Row {
    const char* name;
    char token;
    bool symbol;
    long unknown;
    int type;  // the public type the token reads as
  };
  const Row rows[] = {{"string", '\x51', false, 54, 34}, {"symbol", '\x4F', true, 53, 35}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    (row.symbol ? link->symbolDictionary : link->stringDictionary) =
        Quorvane::QVStringDictionary::initWithRawDictionary(kTexts);
    const std::string coded7 = row.token + std::string("\x41\xE2\x07\x00\x0A", 5);
    const std::string coded99 = row.token + std::string("\x41\xE2\x63\x00\x0A", 5);
    device.WriteBytes(coded7 + "]" + coded99 + "]");
    long left = -1;
    long got = -5;
    char buffer[32];
    // Asked with no buffer: its length, and the token stays.
    ASSERT_EQ(RVGet7BitCharacters(link, &left, nullptr, 0, &got), 1) << RVError(link);
    EXPECT_EQ(left, 15);
    EXPECT_EQ(got, -5);
    // Too small a buffer: 55, nothing copied, the token stays.
    EXPECT_EQ(RVGet7BitCharacters(link, &left, buffer, 4, &got), 0);
    EXPECT_EQ(RVError(link), 55);
    ASSERT_EQ(RVClearError(link), 1);
    ASSERT_EQ(RVGet7BitCharacters(link, &left, buffer, sizeof buffer, &got), 1) << RVError(link);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), "dictionary text");
    EXPECT_EQ(left, 0);
    ASSERT_EQ(RVNewPacket(link), 1);
    // A code the dictionary lacks: the token is still there.
    EXPECT_EQ(RVGet7BitCharacters(link, &left, buffer, sizeof buffer, &got), 0);
    EXPECT_EQ(RVError(link), row.unknown);
    ASSERT_EQ(RVClearError(link), 1);
    EXPECT_EQ(RVGetNext(link), row.type);
    Destroy(link);
  }
}

// A number token read as characters: however the reader counts what it
// delivered, no piece reports more characters than the buffer holds.
TEST_F(CharGetsTest, PiecesNeverCountPastTheBuffer) {
  for (int width : {1, 2, 4}) {
    SCOPED_TRACE(width);
    QVLink* link = Loopback();
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(RVPutReal64(link, -1234.5678e-90), 1);
    ASSERT_EQ(RVEndPacket(link), 1);
    ASSERT_EQ(RVFlush(link), 1);
    for (int call = 0; call < 40; ++call) {
      unsigned int buffer[4];
      int left = 0;
      int got = 0;
      const int ok = width == 1   ? RVGetUTF8Characters(link, &left, reinterpret_cast<unsigned char*>(buffer), 4, &got)
                     : width == 2 ? RVGetUTF16Characters(link, &left, reinterpret_cast<unsigned short*>(buffer), 4, &got)
                                  : RVGetUTF32Characters(link, &left, buffer, 4, &got);
      if (ok == 0) break;
      EXPECT_LE(got, 4);
      EXPECT_GE(left, 0);
      if (got == 0 && left == 0) break;
    }
    Destroy(link);
  }
}

// Texts of mixed widths (escapes, two-unit and four-byte characters, a
// number) read through every public character get with small buffers, the
// input arriving a byte at a time or all at once: no piece writes past the
// buffer or counts more characters than its units, and the pieces joined
// are the text one large buffer takes.
TEST_F(CharGetsTest, PiecesStayInsideTheBufferInEveryEncoding) {
  const unsigned char mixed[] = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, '\\', 'z', 0x01};
  const unsigned short pairs[] = {0xFEFF, 'a', 0xD83D, 0xDE00, 0xE9, 'b'};
  struct Text {
    const char* name;
    std::function<int(QVLink*)> put;
  };
  const std::vector<Text> texts = {
      {"UTF-8", [&](QVLink* l) { return RVPutUTF8String(l, mixed, sizeof mixed); }},
      {"escaped 7-bit", [](QVLink* l) { return RVPutString(l, "ab\\\\c\\:00e9\\|01f600xyz"); }},
      {"UTF-16 pairs", [&](QVLink* l) { return RVPutUTF16String(l, pairs, 6); }},
      {"real number", [](QVLink* l) { return RVPutReal64(l, -1234.5678e-90); }},
  };
  struct Get {
    const char* name;
    int unit;
    // Reads into buffer (units of the encoding); answers the call's result.
    std::function<int(QVLink*, void*, int, long*, long*)> get;
  };
  const std::vector<Get> gets = {
      {"UTF-8", 1, [](QVLink* l, void* b, int n, long* left, long* got) {
         int lf = 0, g = 0;
         const int ok = RVGetUTF8Characters(l, &lf, static_cast<unsigned char*>(b), n, &g);
         *left = lf, *got = g;
         return ok;
       }},
      {"UTF-16", 2, [](QVLink* l, void* b, int n, long* left, long* got) {
         int lf = 0, g = 0;
         const int ok = RVGetUTF16Characters(l, &lf, static_cast<unsigned short*>(b), n, &g);
         *left = lf, *got = g;
         return ok;
       }},
      {"UTF-32", 4, [](QVLink* l, void* b, int n, long* left, long* got) {
         int lf = 0, g = 0;
         const int ok = RVGetUTF32Characters(l, &lf, static_cast<unsigned int*>(b), n, &g);
         *left = lf, *got = g;
         return ok;
       }},
      {"7-bit", 1, [](QVLink* l, void* b, int n, long* left, long* got) {
         return RVGet7BitCharacters(l, left, static_cast<char*>(b), n, got);
       }},
      {"8-bit", 1, [](QVLink* l, void* b, int n, long* left, long* got) {
         return RVGet8BitCharacters(l, left, static_cast<unsigned char*>(b), n, got);
       }},
  };
  constexpr unsigned char kGuard = 0xA5;
  for (const Text& text : texts) {
    ScriptedDevice writer_device;
    QVLink* writer = Scripted(writer_device);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(text.put(writer), 1);
    ASSERT_EQ(RVEndPacket(writer), 1);
    ASSERT_EQ(RVFlush(writer), 1);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return !writer_device.Captured().empty() && writer_device.Captured().back() == ']'; }));
    const std::string wire = writer_device.Captured();
    Destroy(writer);
    for (const Get& get : gets) {
      // The whole text through one large buffer.
      std::string whole;
      {
        ScriptedDevice device;
        QVLink* link = Scripted(device);
        ASSERT_NE(link, nullptr);
        device.WriteBytes(wire);
        unsigned char buffer[512];
        std::memset(buffer, kGuard, sizeof buffer);
        long left = -1, got = -1;
        ASSERT_EQ(get.get(link, buffer, static_cast<int>(sizeof buffer) / get.unit, &left, &got), 1)
            << text.name << " " << get.name << " " << RVError(link);
        ASSERT_EQ(left, 0);
        size_t used = sizeof buffer;
        while (used > 0 && buffer[used - 1] == kGuard) --used;
        whole.assign(reinterpret_cast<char*>(buffer), used);
        Destroy(link);
      }
      for (long window : {1L, 4096L}) {
        for (int units : {1, 2, 3, 5}) {
          SCOPED_TRACE(std::string(text.name) + " through " + get.name + ", window " + std::to_string(window) +
                       ", units " + std::to_string(units));
          qvtest::ScriptedOptions options;
          options.readSize = window;
          ScriptedDevice device(options);
          QVLink* link = Scripted(device);
          ASSERT_NE(link, nullptr);
          device.WriteBytes(wire);
          std::string joined;
          bool complete = false;
          for (int call = 0; call < 200; ++call) {
            unsigned char buffer[64];
            std::memset(buffer, kGuard, sizeof buffer);
            long left = -1, got = -1;
            const int room = units * get.unit;
            // A character the encoding has no form for fails the call.
            if (get.get(link, buffer, units, &left, &got) == 0) break;
            EXPECT_LE(got, units);
            for (int at = room; at < static_cast<int>(sizeof buffer); ++at) ASSERT_EQ(buffer[at], kGuard) << at;
            int used = room;
            while (used > 0 && buffer[used - 1] == kGuard) --used;
            joined.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(used));
            if (left == 0) {
              complete = true;
              break;
            }
            // A character wider than the buffer waits for a larger one.
            if (got == 0) break;
          }
          // Eight bytes hold any one character of any encoding, escapes included.
          if (units * get.unit >= 8) {
            EXPECT_TRUE(complete) << RVError(link);
          }
          EXPECT_EQ(joined, complete ? whole : whole.substr(0, joined.size()));
          Destroy(link);
        }
      }
    }
  }
}

// An atom goes on in the encoding of the call that began it: a later call
// asking for wider units gets the first encoding's bytes, counted by what was
// written, never by the wider unit (which counted twice the buffer).
TEST_F(CharGetsTest, AnotherEncodingMidAtomCountsWhatWasWritten) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(RVPutString(link, "abcdefghijklmnopqrstuvw"), 1);
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVFlush(link), 1);
  char narrow[5];
  long left = -1;
  long narrow_got = -1;
  ASSERT_EQ(RVGet7BitCharacters(link, &left, narrow, sizeof narrow, &narrow_got), 1) << RVError(link);
  EXPECT_EQ(narrow_got, 5);
  EXPECT_EQ(left, 18);
  unsigned short wide[4 + 4];
  std::memset(wide, 0xA5, sizeof wide);
  int wide_left = -1;
  int wide_got = -1;
  ASSERT_EQ(RVGetUTF16Characters(link, &wide_left, wide, 4, &wide_got), 1) << RVError(link);
  EXPECT_EQ(wide_left, 10);  // eight more characters taken, one byte each
  // Counted as the caller's units: never more than its buffer holds.
  EXPECT_EQ(wide_got, 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(wide), 8), "fghijklm");
  for (int unit = 4; unit < 8; ++unit) EXPECT_EQ(wide[unit], 0xA5A5) << unit;
  Destroy(link);
}

TEST_F(CharGetsTest, NullLinkAndPendingErrorsAreRefused) {
  long left = 3;
  long got = 3;
  char buffer[4];
  EXPECT_EQ(RVGet7BitCharacters(nullptr, &left, buffer, 4, &got), 0);
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  link->error = 1;
  EXPECT_EQ(RVGet7BitCharacters(link, &left, buffer, 4, &got), 0);
  EXPECT_EQ(RVError(link), 1);
  Destroy(link);
}

}  // namespace

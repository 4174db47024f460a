// Character gets: texts taken piece by piece through small buffers, the
// counts of each piece (UTF-16 pieces counted in this machine's order), and
// dictionary-coded texts that come whole or stay unread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorvane.h"
#include "tests/api/qvtypedtest.h"
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

TEST_F(CharGetsTest, DictionaryTextsComeWholeOrStayUnread) {
  static const Quorvane::QVRawStringDictionary kStrings[] = {{"dictionary text", 7}, {nullptr, 0}};
  ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  link->stringDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kStrings);
  const std::string coded7 = std::string("\x51\x41\xE2\x07\x00\x0A", 6);
  const std::string coded99 = std::string("\x51\x41\xE2\x63\x00\x0A", 6);
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
  // A code the dictionary lacks: 54, and the token is still there.
  EXPECT_EQ(RVGet7BitCharacters(link, &left, buffer, sizeof buffer, &got), 0);
  EXPECT_EQ(RVError(link), 54);
  ASSERT_EQ(RVClearError(link), 1);
  EXPECT_EQ(RVGetNext(link), 34);
  Destroy(link);
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

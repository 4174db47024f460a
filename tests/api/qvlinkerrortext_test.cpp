// The text of a link's error through the public calls, over a link to a
// second program: once the peer has died ("TCPIP" and "SharedMemory"), the
// link names the loss in all five encodings (each form's units checked, the
// byte-order marks of UTF-16 and UTF-32 and the lengths that count them,
// UCS-2 without one); error -1 and the largest and smallest 32-bit codes keep
// their sign and value through RVError and their texts, and a code a link
// cannot hold is refused rather than stored as another. A null link answers
// null and leaves the length alone.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "quorvane.h"
#include "tests/api/qvpeerlink.h"

namespace {

constexpr int kUntouched = -7;

// Checks every form of the link's error text against text.
void ExpectErrorTexts(QVLink* link, const std::string& text) {
  SCOPED_TRACE(text);
  const int n = static_cast<int>(text.size());
  ASSERT_STREQ(RVErrorMessage(link), text.c_str());
  RVReleaseErrorMessage(link, RVErrorMessage(link));

  int length = kUntouched;
  const unsigned char* utf8 = RVUTF8ErrorMessage(link, &length);
  ASSERT_NE(utf8, nullptr);
  EXPECT_EQ(length, n);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(utf8), static_cast<size_t>(n)), text);
  RVReleaseUTF8ErrorMessage(link, utf8);

  // The wide forms are the text's bytes widened, behind the mark where there is one.
  auto expectWide = [&](const auto* units, int count, bool marked) {
    ASSERT_NE(units, nullptr);
    ASSERT_EQ(count, n + (marked ? 1 : 0));
    if (marked) {
      EXPECT_EQ(units[0], 0xFEFFu);
    }
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(static_cast<uint32_t>(units[i + (marked ? 1 : 0)]),
                static_cast<unsigned char>(text[static_cast<size_t>(i)]))
          << "unit " << i;
    }
  };
  length = kUntouched;
  const unsigned short* ucs2 = RVUCS2ErrorMessage(link, &length);
  expectWide(ucs2, length, false);
  RVReleaseUCS2ErrorMessage(link, ucs2);

  length = kUntouched;
  const unsigned short* utf16 = RVUTF16ErrorMessage(link, &length);
  expectWide(utf16, length, true);
  RVReleaseUTF16ErrorMessage(link, utf16);

  length = kUntouched;
  const unsigned int* utf32 = RVUTF32ErrorMessage(link, &length);
  expectWide(utf32, length, true);
  RVReleaseUTF32ErrorMessage(link, utf32);

  // No length pointer is fine.
  const unsigned short* unmeasured = RVUTF16ErrorMessage(link, nullptr);
  EXPECT_NE(unmeasured, nullptr);
  RVReleaseUTF16ErrorMessage(link, unmeasured);
}

// The peer reads one integer and answers it, then ends without a word.
int AnswerOnceAndDie(QVLink* link) {
  int value = 0;
  if (RVGetInteger32(link, &value) == 0) return 1;
  if (RVPutInteger32(link, value + 1) == 0 || RVFlush(link) == 0) return 2;
  _exit(0);
}

// How each device reports a peer that vanished: "TCPIP" sees the connection
// closed (and lets gets go on with what was read), "SharedMemory" sees the
// peer's process gone. The peer has read all it was sent when it dies, and
// this end sends it nothing once its message connection has ended, so its
// connection ends rather than resets, whatever the timing of its death.
struct DeadPeerCase {
  const char* protocol;
  long code;
  const char* text;
};

class DeadPeer : public ::testing::TestWithParam<DeadPeerCase> {};

TEST_P(DeadPeer, IsNamedInEveryEncoding) {
  const DeadPeerCase& c = GetParam();
  qvpeer::PeerLink peer(AnswerOnceAndDie, c.protocol);
  QVLink* link = peer.link();
  ASSERT_NE(link, nullptr);
  ExpectErrorTexts(link, "No KOVR problem encountered.");
  ASSERT_EQ(RVPutInteger32(link, 41), 1);
  ASSERT_EQ(RVFlush(link), 1);
  int answer = 0;
  ASSERT_EQ(RVGetInteger32(link, &answer), 1);
  EXPECT_EQ(answer, 42);
  EXPECT_EQ(peer.WaitForPeer(), 0);
  EXPECT_EQ(RVGetInteger32(link, &answer), 0);
  EXPECT_EQ(RVError(link), c.code);
  ExpectErrorTexts(link, c.text);
  // The text follows the link's code, not a copy taken earlier.
  EXPECT_EQ(RVPutInteger32(link, 1), 0);
  ExpectErrorTexts(link, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DeadPeer,
    ::testing::Values(
        DeadPeerCase{"TCPIP", 11,
                     "Connected KOVR program has closed the link, but there might still be data underway."},
        DeadPeerCase{"SharedMemory", 1, "KOVR connection was lost."}),
    [](const auto& param) { return std::string(param.param.protocol); });

// The peer only waits for the link to close.
int WaitForClose(QVLink* link) {
  int value = 0;
  RVGetInteger32(link, &value);
  return 0;
}

TEST(LinkErrorText, CodesKeepTheirSignAndValue) {
  qvpeer::PeerLink peer(WaitForClose);
  QVLink* link = peer.link();
  ASSERT_NE(link, nullptr);
  struct Case {
    long code;
    const char* text;
  };
  const std::vector<Case> cases = {
      {-1, "Unknown KOVR problem encountered."},
      {INT32_MAX, "Error 2147483647"},
      {INT32_MIN, "Error -2147483648"},
      {-2, "Error -2"},
      {12, "Error 12"},
      {8, "KOVR process out of memory."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    ASSERT_EQ(RVSetError(link, c.code), 1);
    EXPECT_EQ(RVError(link), c.code);
    ExpectErrorTexts(link, c.text);
    EXPECT_STREQ(RVErrorString(peer.environment(), RVError(link)), c.text);
    ASSERT_EQ(RVClearError(link), 1);
    ASSERT_EQ(RVError(link), 0);
  }
  // A code the link's 32-bit word cannot hold is not stored as another one.
  for (const long code : {long{INT32_MAX} + 1, long{UINT32_MAX}, long{INT32_MIN} - 1, LONG_MAX}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(RVSetError(link, code), 0);
    EXPECT_EQ(RVError(link), 0);
  }
  EXPECT_EQ(RVSetError(link, 3), 1);
  EXPECT_EQ(RVSetError(link, 4), 0) << "the first error stays";
  EXPECT_EQ(RVError(link), 3);
  EXPECT_STREQ(RVErrorMessage(link), "RVGet out of sequence.");
  peer.CloseLink();
  EXPECT_EQ(peer.WaitForPeer(), 0);
}

TEST(LinkErrorText, ANullLinkHasNoText) {
  EXPECT_EQ(RVErrorMessage(nullptr), nullptr);
  int length = kUntouched;
  EXPECT_EQ(RVUTF8ErrorMessage(nullptr, &length), nullptr);
  EXPECT_EQ(RVUCS2ErrorMessage(nullptr, &length), nullptr);
  EXPECT_EQ(RVUTF16ErrorMessage(nullptr, &length), nullptr);
  EXPECT_EQ(RVUTF32ErrorMessage(nullptr, &length), nullptr);
  EXPECT_EQ(length, kUntouched);
  RVReleaseErrorMessage(nullptr, nullptr);
  RVReleaseUTF8ErrorMessage(nullptr, nullptr);
  RVReleaseUCS2ErrorMessage(nullptr, nullptr);
  RVReleaseUTF16ErrorMessage(nullptr, nullptr);
  RVReleaseUTF32ErrorMessage(nullptr, nullptr);
  EXPECT_EQ(RVError(nullptr), 1);
  EXPECT_EQ(RVSetError(nullptr, 3), 0);
}

}  // namespace

#include "api/qvmessages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/qverrortext.h"
#include "quorvane.h"
#include "tests/api/qvenvironmenttest.h"
#include "text/qvtextencoding.h"

namespace {

std::atomic<int> gBlocks{0};
void* CountingAllocate(uint64_t size) {
  ++gBlocks;
  return std::malloc(size);
}
void CountingDeallocate(void* block) {
  --gBlocks;
  std::free(block);
}

struct Row {
  int64_t code;
  const char* text;
};

// The messages as users see them, byte for byte (several lack a full stop).
const Row kMessages[] = {
    {0, "No KOVR problem encountered."},
    {1, "KOVR connection was lost."},
    {2, "KOVR received inconsistent data."},
    {3, "RVGet out of sequence."},
    {4, "RVPutNext received a bad token."},
    {5, "RVPut out of sequence."},
    {6, "RVPutData buffer overflow."},
    {7, "KOVR machine number overflow."},
    {8, "KOVR process out of memory."},
    {9, "KOVR could not accept socket connection."},
    {10, "Deferred KOVR connection is still unconnected."},
    {21, "Unexpected or missing call of RVEndPacket."},
    {22, "RVNextPacket called while the current packet has unread data."},
    {23, "RVNextPacket read in an unknown packet head."},
    {24, "Encountered unexpected end of KOVR packet."},
    {25, "KOVR put or get was aborted before affecting the link."},
    {11, "Connected KOVR program has closed the link, but there might still be data underway."},
    {32, "Uninitialized KOVR environment."},
    {33, "Insufficient arguments to open a KOVR link."},
    {34, "Unavailable KOVR protocol specified."},
    {35, "KOVR connection mode unavailable."},
    {36, "KOVR executable launch unsupported."},
    {37, "Cannot launch KOVR program again from the same file"},
    {38, "Insufficient memory to launch KOVR program."},
    {39, "KOVR found no parent link to connect to."},
    {40, "KOVR linkname already in use."},
    {41, "Specified KOVR linkname was not found to be listening."},
    {42, "KOVR linkname missing or malformed."},
    {43, "KOVR location unreachable or not in the proper form."},
    {44, "KOVR resource missing or unavailable."},
    {45, "KOVR program failed to launch because a resource or library was missing."},
    {46, "Could not find KOVR executable"},
    {48, "Unable to convert from given character encoding to KOVR encoding"},
    {49, "Unable to convert from KOVR encoding to requested character encoding"},
    {47, "KOVR encountered invalid character data in given character encoding."},
    {50, "Specified file is not a KOVR executable."},
    {51, "Unable to create KOVR synchronization object."},
    {52, "Yield function terminated KOVR operation."},
    {53, "Unable to recognize symbol value on link."},
    {54, "Unable to recognize string value on link."},
    {55, "Function call needs bigger argument buffer."},
    {56, "KOVR connection attempt failed because of unrecognized numerics properties"},
    {57, "Required operating system service not available"},
    {58, "Function received NULL or incorrect argument"},
    {59, "Service discovery given an invalid hostname"},
    {60, "Service discovery given an invalid domain name"},
    {61, "Service discovery given an invalid service name"},
    {62, "Service discovery operations encountered a bad state"},
    {63, "Service discovery API given invalid flags"},
    {64, "Service discovery name collision"},
    {65, "DNS Service discovery mechanism not connected"},
    {-1, "Unknown KOVR problem encountered."},
};

const Row kPackets[] = {
    {7, "CallPacket"},          {13, "EvaluatePacket"},     {3, "ReturnPacket"},
    {8, "InputNamePacket"},     {14, "Enter"},              {14, "EnterTextPacket"},
    {15, "EnterExpressionPacket"}, {9, "OutputNamePacket"}, {4, "ReturnTextPacket"},
    {16, "ReturnExpressionPacket"}, {11, "DisplayPacket"},  {12, "DisplayEndPacket"},
    {5, "MessagePacket"},       {2, "TextPacket"},          {1, "InputPacket"},
    {21, "InputStringPacket"},  {6, "MenuPacket"},          {10, "SyntaxPacket"},
    {10, "ErrorPacket"},        {17, "SuspendPacket"},      {18, "ResumePacket"},
    {19, "BeginDialogPacket"},  {20, "EndDialogPacket"},
};

class Environment : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(environment_, nullptr); }
  qvtest::EnvironmentHandle handle_{qvtest::BeginWithoutDevices()};
  RVEnvironment* environment_ = handle_.get();
};

}  // namespace

TEST(Dictionaries, TablesHoldEveryRowInOrder) {
  static_assert(std::size(kMessages) == 52 && std::size(kPackets) == 23);
  for (size_t i = 0; i < std::size(kMessages); ++i) {
    EXPECT_EQ(MessageDict[i].code, kMessages[i].code) << i;
    EXPECT_STREQ(MessageDict[i].name, kMessages[i].text) << i;
  }
  EXPECT_EQ(MessageDict[52].name, nullptr);
  for (size_t i = 0; i < std::size(kPackets); ++i) {
    EXPECT_EQ(PacketsDict[i].code, kPackets[i].code) << i;
    EXPECT_STREQ(PacketsDict[i].name, kPackets[i].text) << i;
  }
  EXPECT_EQ(PacketsDict[23].name, nullptr);
}

TEST(Dictionaries, LookupsAndHandles) {
  gBlocks = 0;
  dictionary* packets = get_dict(kPacketDictionaryId, CountingAllocate, CountingDeallocate);
  dictionary* messages = get_dict(kMessageDictionaryId, CountingAllocate, CountingDeallocate);
  ASSERT_NE(packets, nullptr);
  ASSERT_NE(messages, nullptr);
  EXPECT_EQ(gBlocks.load(), 2);
  EXPECT_EQ(get_dict(132, CountingAllocate, CountingDeallocate), nullptr);
  EXPECT_EQ(gBlocks.load(), 2) << "an unknown id allocates nothing";

  EXPECT_STREQ(code2name(packets, 14), "Enter");
  EXPECT_STREQ(code2name(packets, 10), "SyntaxPacket");
  EXPECT_EQ(code2name(packets, 0), nullptr);
  EXPECT_EQ(name2code(packets, "ErrorPacket"), 10);
  EXPECT_EQ(name2code(packets, "callpacket"), 0) << "names compare with case";
  EXPECT_EQ(name2code(packets, nullptr), 0);
  EXPECT_EQ(name2dict(packets, "ResumePacket"), &PacketsDict[20]);
  EXPECT_EQ(_index2dict(packets, 22, sizeof(dictionary_row)), &PacketsDict[22]);
  EXPECT_EQ(_index2dict(packets, 23, sizeof(dictionary_row)), nullptr);
  EXPECT_EQ(_index2dict(packets, -1, sizeof(dictionary_row)), nullptr);
  EXPECT_STREQ(code2name(messages, 10), "Deferred KOVR connection is still unconnected.");
  EXPECT_STREQ(code2name(messages, -1), "Unknown KOVR problem encountered.");
  EXPECT_EQ(code2name(messages, 12), nullptr);
  EXPECT_EQ(code2name(nullptr, 0), nullptr);
  EXPECT_EQ(name2code(nullptr, "CallPacket"), 0);

  release_dict(packets);
  release_dict(messages);
  release_dict(nullptr);
  EXPECT_EQ(gBlocks.load(), 0);
}

TEST_F(Environment, ErrorTextsForEveryCode) {
  for (const Row& row : kMessages) EXPECT_STREQ(RVErrorString(environment_, row.code), row.text);
  struct Case {
    int64_t code;
    const char* text;
  };
  const Case cases[] = {{12, "Error 12"},
                        {26, "Error 26"},
                        {999, "Error 999"},
                        {-2, "Error -2"},
                        {INT64_MIN, "Error -9223372036854775808"},
                        {INT64_MAX, "Error 9223372036854775807"}};
  for (const Case& c : cases) EXPECT_STREQ(QVErrorMessageText(environment_, c.code), c.text);
  // A link's unsigned code word read back as signed finds the row of -1.
  const uint32_t stored = static_cast<uint32_t>(-1);
  EXPECT_STREQ(QVErrorMessageText(environment_, static_cast<int32_t>(stored)), "Unknown KOVR problem encountered.");
  EXPECT_EQ(RVErrorString(nullptr, 0), nullptr);
}

TEST_F(Environment, EncodedMessagesAndTheirMarks) {
  const std::string text = "Deferred KOVR connection is still unconnected.";
  const int n = static_cast<int>(text.size());
  int length = -7;
  auto* ucs2 = static_cast<uint16_t*>(QVEncodedErrorMessage(environment_, 10, ENCODING_UCS2, &length));
  ASSERT_NE(ucs2, nullptr);
  EXPECT_EQ(length, n) << "no mark in UCS-2";
  for (int i = 0; i < n; ++i) EXPECT_EQ(ucs2[i], static_cast<unsigned char>(text[static_cast<size_t>(i)])) << i;
  QVReleaseEncodedErrorMessage(ucs2);

  auto* utf16 = static_cast<uint16_t*>(QVEncodedErrorMessage(environment_, 10, ENCODING_UTF16, &length));
  ASSERT_NE(utf16, nullptr);
  EXPECT_EQ(length, n + 1) << "the mark is counted";
  EXPECT_EQ(utf16[0], 0xFEFF);
  for (int i = 0; i < n; ++i) EXPECT_EQ(utf16[i + 1], static_cast<unsigned char>(text[static_cast<size_t>(i)]));
  QVReleaseEncodedErrorMessage(utf16);

  auto* utf32 = static_cast<uint32_t*>(QVEncodedErrorMessage(environment_, -2, ENCODING_UTF32, &length));
  ASSERT_NE(utf32, nullptr);
  EXPECT_EQ(length, 9);
  EXPECT_EQ(utf32[0], 0xFEFFu);
  EXPECT_EQ(utf32[1], static_cast<uint32_t>('E'));
  EXPECT_EQ(utf32[8], static_cast<uint32_t>('2'));
  QVReleaseEncodedErrorMessage(utf32);

  length = 42;
  EXPECT_EQ(QVEncodedErrorMessage(environment_, 10, ENCODING_UTF8, &length), nullptr);
  EXPECT_EQ(QVEncodedErrorMessage(nullptr, 10, ENCODING_UTF16, &length), nullptr);
  EXPECT_EQ(length, 42) << "a failure leaves the length alone";
  QVReleaseEncodedErrorMessage(nullptr);
}

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

// A code as a number, as the public header names it, and its text.
struct Row {
  int64_t code;
  int64_t named;
  const char* text;
};

// The messages as users see them, byte for byte (several lack a full stop).
const Row kMessages[] = {
    {0, RV_ERR_NONE, "No KOVR problem encountered."},
    {1, RV_ERR_CONNECTION_LOST, "KOVR connection was lost."},
    {2, RV_ERR_INCONSISTENT_DATA, "KOVR received inconsistent data."},
    {3, RV_ERR_GET_OUT_OF_SEQUENCE, "RVGet out of sequence."},
    {4, RV_ERR_BAD_TOKEN, "RVPutNext received a bad token."},
    {5, RV_ERR_PUT_OUT_OF_SEQUENCE, "RVPut out of sequence."},
    {6, RV_ERR_PUT_DATA_OVERFLOW, "RVPutData buffer overflow."},
    {7, RV_ERR_NUMBER_OVERFLOW, "KOVR machine number overflow."},
    {8, RV_ERR_OUT_OF_MEMORY, "KOVR process out of memory."},
    {9, RV_ERR_ACCEPT_FAILED, "KOVR could not accept socket connection."},
    {10, RV_ERR_UNCONNECTED, "Deferred KOVR connection is still unconnected."},
    {21, RV_ERR_END_PACKET, "Unexpected or missing call of RVEndPacket."},
    {22, RV_ERR_UNREAD_DATA, "RVNextPacket called while the current packet has unread data."},
    {23, RV_ERR_UNKNOWN_PACKET, "RVNextPacket read in an unknown packet head."},
    {24, RV_ERR_UNEXPECTED_END, "Encountered unexpected end of KOVR packet."},
    {25, RV_ERR_ABORTED, "KOVR put or get was aborted before affecting the link."},
    {11, RV_ERR_PEER_CLOSED, "Connected KOVR program has closed the link, but there might still be data underway."},
    {32, RV_ERR_UNINITIALIZED, "Uninitialized KOVR environment."},
    {33, RV_ERR_INSUFFICIENT_ARGUMENTS, "Insufficient arguments to open a KOVR link."},
    {34, RV_ERR_UNAVAILABLE_PROTOCOL, "Unavailable KOVR protocol specified."},
    {35, RV_ERR_UNAVAILABLE_MODE, "KOVR connection mode unavailable."},
    {36, RV_ERR_LAUNCH_UNSUPPORTED, "KOVR executable launch unsupported."},
    {37, RV_ERR_LAUNCH_AGAIN, "Cannot launch KOVR program again from the same file"},
    {38, RV_ERR_LAUNCH_MEMORY, "Insufficient memory to launch KOVR program."},
    {39, RV_ERR_NO_PARENT, "KOVR found no parent link to connect to."},
    {40, RV_ERR_NAME_IN_USE, "KOVR linkname already in use."},
    {41, RV_ERR_NOT_LISTENING, "Specified KOVR linkname was not found to be listening."},
    {42, RV_ERR_BAD_NAME, "KOVR linkname missing or malformed."},
    {43, RV_ERR_BAD_LOCATION, "KOVR location unreachable or not in the proper form."},
    {44, RV_ERR_RESOURCE_MISSING, "KOVR resource missing or unavailable."},
    {45, RV_ERR_LAUNCH_RESOURCE_MISSING, "KOVR program failed to launch because a resource or library was missing."},
    {46, RV_ERR_EXECUTABLE_NOT_FOUND, "Could not find KOVR executable"},
    {48, RV_ERR_CONVERT_TO_LINK, "Unable to convert from given character encoding to KOVR encoding"},
    {49, RV_ERR_CONVERT_FROM_LINK, "Unable to convert from KOVR encoding to requested character encoding"},
    {47, RV_ERR_INVALID_CHARACTERS, "KOVR encountered invalid character data in given character encoding."},
    {50, RV_ERR_NOT_EXECUTABLE, "Specified file is not a KOVR executable."},
    {51, RV_ERR_SYNC_OBJECT, "Unable to create KOVR synchronization object."},
    {52, RV_ERR_YIELD_TERMINATED, "Yield function terminated KOVR operation."},
    {53, RV_ERR_UNKNOWN_SYMBOL, "Unable to recognize symbol value on link."},
    {54, RV_ERR_UNKNOWN_STRING, "Unable to recognize string value on link."},
    {55, RV_ERR_BUFFER_TOO_SMALL, "Function call needs bigger argument buffer."},
    {56, RV_ERR_UNKNOWN_NUMERICS, "KOVR connection attempt failed because of unrecognized numerics properties"},
    {57, RV_ERR_NO_SYSTEM_SERVICE, "Required operating system service not available"},
    {58, RV_ERR_BAD_ARGUMENT, "Function received NULL or incorrect argument"},
    {59, RV_ERR_DISCOVERY_HOSTNAME, "Service discovery given an invalid hostname"},
    {60, RV_ERR_DISCOVERY_DOMAIN, "Service discovery given an invalid domain name"},
    {61, RV_ERR_DISCOVERY_SERVICE_NAME, "Service discovery given an invalid service name"},
    {62, RV_ERR_DISCOVERY_STATE, "Service discovery operations encountered a bad state"},
    {63, RV_ERR_DISCOVERY_FLAGS, "Service discovery API given invalid flags"},
    {64, RV_ERR_DISCOVERY_COLLISION, "Service discovery name collision"},
    {65, RV_ERR_DISCOVERY_NOT_CONNECTED, "DNS Service discovery mechanism not connected"},
    {-1, RV_ERR_UNKNOWN, "Unknown KOVR problem encountered."},
};

const Row kPackets[] = {
    {7, RV_CALL_PACKET, "CallPacket"},
    {13, RV_EVALUATE_PACKET, "EvaluatePacket"},
    {3, RV_RETURN_PACKET, "ReturnPacket"},
    {8, RV_INPUT_NAME_PACKET, "InputNamePacket"},
    {14, RV_ENTER_TEXT_PACKET, "Enter"},
    {14, RV_ENTER_TEXT_PACKET, "EnterTextPacket"},
    {15, RV_ENTER_EXPRESSION_PACKET, "EnterExpressionPacket"},
    {9, RV_OUTPUT_NAME_PACKET, "OutputNamePacket"},
    {4, RV_RETURN_TEXT_PACKET, "ReturnTextPacket"},
    {16, RV_RETURN_EXPRESSION_PACKET, "ReturnExpressionPacket"},
    {11, RV_DISPLAY_PACKET, "DisplayPacket"},
    {12, RV_DISPLAY_END_PACKET, "DisplayEndPacket"},
    {5, RV_MESSAGE_PACKET, "MessagePacket"},
    {2, RV_TEXT_PACKET, "TextPacket"},
    {1, RV_INPUT_PACKET, "InputPacket"},
    {21, RV_INPUT_STRING_PACKET, "InputStringPacket"},
    {6, RV_MENU_PACKET, "MenuPacket"},
    {10, RV_SYNTAX_PACKET, "SyntaxPacket"},
    {10, RV_ERROR_PACKET, "ErrorPacket"},
    {17, RV_SUSPEND_PACKET, "SuspendPacket"},
    {18, RV_RESUME_PACKET, "ResumePacket"},
    {19, RV_BEGIN_DIALOG_PACKET, "BeginDialogPacket"},
    {20, RV_END_DIALOG_PACKET, "EndDialogPacket"},
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

// The public names are the tables' numbers as callers meet them: each error
// name gives its text, each packet head its kind through RVNextPacket, and
// each kind of token its type through RVGetNext and RVGetType.
TEST_F(Environment, PublicNamesAreTheTablesNumbers) {
  for (const Row& row : kMessages) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(row.named, row.code);
    EXPECT_STREQ(RVErrorString(environment_, row.named), row.text);
  }

  int error = -7;
  QVLink* link = RVLoopbackOpen(environment_, &error);
  ASSERT_NE(link, nullptr) << error;
  for (const Row& row : kPackets) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(row.named, row.code);
    ASSERT_TRUE(RVPutFunction(link, row.text, 1) && RVPutInteger32(link, 1) && RVEndPacket(link) && RVFlush(link));
    EXPECT_EQ(RVNextPacket(link), row.named);
    ASSERT_EQ(RVNewPacket(link), 1);
  }

  struct Token {
    const char* what;
    int (*put)(QVLink*);
    int named;
    int number;
  };
  // Binary numbers of every width come as a real or an integer.
  const Token tokens[] = {
      {"string", [](QVLink* k) { return RVPutString(k, "text"); }, RV_TOK_STRING, 34},
      {"symbol", [](QVLink* k) { return RVPutSymbol(k, "x"); }, RV_TOK_SYMBOL, 35},
      {"real64", [](QVLink* k) { return RVPutReal64(k, 1.5); }, RV_TOK_REAL, 42},
      {"real128", [](QVLink* k) { return RVPutReal128(k, 1.5L); }, RV_TOK_REAL, 42},
      {"integer8", [](QVLink* k) { return RVPutInteger8(k, 5); }, RV_TOK_INTEGER, 43},
      {"integer32", [](QVLink* k) { return RVPutInteger32(k, 5); }, RV_TOK_INTEGER, 43},
      {"integer64", [](QVLink* k) { return RVPutInteger64(k, 5); }, RV_TOK_INTEGER, 43},
      {"function", [](QVLink* k) { return RVPutFunction(k, "f", 1) && RVPutInteger32(k, 5) ? 1 : 0; },
       RV_TOK_FUNCTION, 70},
  };
  for (const Token& token : tokens) {
    SCOPED_TRACE(token.what);
    EXPECT_EQ(token.named, token.number);
    ASSERT_TRUE(token.put(link) && RVEndPacket(link) && RVFlush(link));
    EXPECT_EQ(RVGetNext(link), token.named);
    EXPECT_EQ(RVGetType(link), token.named);
    ASSERT_EQ(RVNewPacket(link), 1);
  }
  EXPECT_EQ(RVError(link), RV_ERR_NONE);
  RVClose(link);
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

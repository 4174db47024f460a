// Packet reading: every head of the packet table gives its kind with the
// input at the first argument; unread data, unknown heads, non-functions and
// dictionary-coded heads fail with their codes; a server loop reads on after
// clearing an error and skipping the packet.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/qvmessages.h"
#include "quorvane.h"
#include "tests/api/qvtypedtest.h"
#include "text/qvstringdictionary.h"

namespace {

class PacketsTest : public qvtest::TypedLinkTest {
 protected:
  void TearDown() override {
    for (QVLink* link : links_) Destroy(link);
  }

  // A loopback link holding head[17, 18] for each head, one packet each.
  QVLink* Packets(const std::vector<std::string>& heads) {
    QVLink* link = Loopback();
    EXPECT_NE(link, nullptr);
    if (link == nullptr) return nullptr;
    links_.push_back(link);
    for (const std::string& head : heads) {
      EXPECT_EQ(RVPutFunction(link, head.c_str(), 2), 1);
      EXPECT_EQ(RVPutInteger32(link, 17), 1);
      EXPECT_EQ(RVPutInteger32(link, 18), 1);
      EXPECT_EQ(RVEndPacket(link), 1);
    }
    EXPECT_EQ(RVFlush(link), 1);
    return link;
  }

  std::vector<QVLink*> links_;
};

// Every row of the table, read from the wire: the code, and the input at the
// first argument.
TEST_F(PacketsTest, EveryHeadOfTheTableGivesItsKind) {
  std::vector<std::string> heads;
  for (const dictionary_row* row = PacketsDict; row->name != nullptr; ++row) heads.emplace_back(row->name);
  QVLink* link = Packets(heads);
  ASSERT_NE(link, nullptr);
  for (const dictionary_row* row = PacketsDict; row->name != nullptr; ++row) {
    SCOPED_TRACE(row->name);
    EXPECT_EQ(RVNextPacket(link), row->code);
    int first = 0;
    EXPECT_EQ(RVGetInteger32(link, &first), 1);
    EXPECT_EQ(first, 17);
    ASSERT_EQ(RVNewPacket(link), 1);
  }
}

TEST_F(PacketsTest, KindsThatShareACode) {
  struct Row {
    const char* head;
    int code;
  };
  const Row rows[] = {{"CallPacket", 7}, {"Enter", 14}, {"EnterTextPacket", 14},
                      {"SyntaxPacket", 10}, {"ErrorPacket", 10}, {"ReturnPacket", 3}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.head);
    QVLink* link = Packets({row.head});
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(RVNextPacket(link), row.code);
    EXPECT_EQ(RVError(link), 0);
  }
}

TEST_F(PacketsTest, MidPacketCallFailsThenReadsOnAfterClearingAndSkipping) {
  QVLink* link = Packets({"CallPacket", "ReturnPacket"});
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(RVNextPacket(link), 7);
  int first = 0;
  ASSERT_EQ(RVGetInteger32(link, &first), 1);
  // One argument still unread: 22, nothing consumed.
  EXPECT_EQ(RVNextPacket(link), 0);
  EXPECT_EQ(RVError(link), 22);
  ASSERT_EQ(RVClearError(link), 1);
  int second = 0;
  ASSERT_EQ(RVGetInteger32(link, &second), 1);
  EXPECT_EQ(second, 18);
  EXPECT_EQ(RVNextPacket(link), 3);
  // Again mid-packet; this time the rest is skipped.
  EXPECT_EQ(RVNextPacket(link), 0);
  EXPECT_EQ(RVError(link), 22);
  ASSERT_EQ(RVClearError(link), 1);
  ASSERT_EQ(RVNewPacket(link), 1);
  EXPECT_EQ(RVError(link), 0);
}

TEST_F(PacketsTest, UnknownHeadsAndNonFunctionsFail) {
  // An unknown head: 23, the head read and its arguments left.
  QVLink* link = Packets({"NoSuchPacket", "CallPacket"});
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVNextPacket(link), 0);
  EXPECT_EQ(RVError(link), 23);
  ASSERT_EQ(RVClearError(link), 1);
  int first = 0;
  EXPECT_EQ(RVGetInteger32(link, &first), 1);
  EXPECT_EQ(first, 17);
  ASSERT_EQ(RVNewPacket(link), 1);
  EXPECT_EQ(RVNextPacket(link), 7);

  // A bare number is no packet: the function get's 3.
  QVLink* bare = Loopback();
  ASSERT_NE(bare, nullptr);
  links_.push_back(bare);
  ASSERT_EQ(RVPutInteger32(bare, 5), 1);
  ASSERT_EQ(RVEndPacket(bare), 1);
  ASSERT_EQ(RVFlush(bare), 1);
  EXPECT_EQ(RVNextPacket(bare), 0);
  EXPECT_EQ(RVError(bare), 3);
  // An earlier error is not replaced by 22 or 23.
  EXPECT_EQ(RVNextPacket(bare), 0);
  EXPECT_EQ(RVError(bare), 3);
  EXPECT_EQ(RVNextPacket(nullptr), 0);
}

// A head sent as a dictionary code names its packet like a plain one.
TEST_F(PacketsTest, DictionaryCodedHeadsNameTheirPacket) {
  static const Quorvane::QVRawStringDictionary kSymbols[] = {{"CallPacket", 300}, {nullptr, 0}};
  qvtest::ScriptedDevice device;
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  links_.push_back(link);
  link->symbolDictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kSymbols);
  // CallPacket[5] with the head as code 300, then the same with code 301.
  const std::string five = std::string("\xE4\x05\x00\x00\x00\n", 6);
  device.WriteBytes(std::string("F\x41\x4F\x41\xE2\x2C\x01\n", 8) + five + "]" +
                    std::string("F\x41\x4F\x41\xE2\x2D\x01\n", 8) + five + "]");
  EXPECT_EQ(RVNextPacket(link), 7);
  int value = 0;
  EXPECT_EQ(RVGetInteger32(link, &value), 1);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(RVNextPacket(link), 0);
  EXPECT_EQ(RVError(link), 53);
}

// A link still waiting for its connection owes nothing, and the head read
// connects it.
TEST_F(PacketsTest, AWaitingLinkIsConnectedByTheHeadRead) {
  QVLink* link = QVInternalMake(environment_->globals, {}, nullptr);
  ASSERT_NE(link, nullptr);
  links_.push_back(link);
  QVMakeLoopback(link);
  ASSERT_EQ(RVError(link), 10);
  EXPECT_EQ(RVNextPacket(link), 0);  // connected, then nothing to read
  EXPECT_NE(link->writeState, nullptr);
  EXPECT_NE(RVError(link), 10);
}

}  // namespace

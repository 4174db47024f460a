// Symbol replacement through the public calls, over a link to a second
// program that reports what it read and sends back the names it is told to:
// a replacement set on this side makes a symbol (and a function head) put here
// arrive with the to-context there, and a symbol from there arrive here with
// the from-context, in 7-bit and in UTF-16 gets; only the given length of a
// name counts; clearing the index, then clearing all of several, undoes it.
// Bad arguments are refused with -1 and change nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorvane.h"
#include "tests/api/qvpeerlink.h"

namespace {

// One round: Round[symbol, head[], "back"] comes in; the peer answers
// Seen["symbol as read", "head as read", back, back] and ends on Done[].
int ReportAndSendBack(QVLink* link) {
  for (;;) {
    const char* head = nullptr;
    int count = 0;
    if (RVGetFunction(link, &head, &count) == 0) return 1;
    const std::string what = head;
    RVReleaseSymbol(link, head);
    if (what == "Done") return 0;
    if (what != "Round" || count != 3) return 2;
    const char* symbol = nullptr;
    const char* function = nullptr;
    const char* back = nullptr;
    int arguments = -1;
    if (RVGetSymbol(link, &symbol) == 0 || RVGetFunction(link, &function, &arguments) == 0 ||
        RVGetString(link, &back) == 0 || RVNewPacket(link) == 0) {
      return 3;
    }
    const bool sent = RVPutFunction(link, "Seen", 4) && RVPutString(link, symbol) && RVPutString(link, function) &&
                      RVPutSymbol(link, back) && RVPutSymbol(link, back) && RVEndPacket(link) && RVFlush(link);
    RVReleaseSymbol(link, symbol);
    RVReleaseSymbol(link, function);
    RVReleaseString(link, back);
    if (!sent) return 4;
  }
}

struct Seen {
  std::string symbol;        // the peer's reading of the symbol put here
  std::string head;          // and of the function head
  std::string back;          // this side's 7-bit reading of the peer's symbol
  std::u16string backUTF16;  // and its UTF-16 reading, mark dropped
};

Seen Exchange(QVLink* link, const std::string& symbol, const std::string& back) {
  Seen seen;
  EXPECT_EQ(RVPutFunction(link, "Round", 3), 1);
  EXPECT_EQ(RVPutSymbol(link, symbol.c_str()), 1);
  EXPECT_EQ(RVPutFunction(link, symbol.c_str(), 0), 1);
  EXPECT_EQ(RVPutString(link, back.c_str()), 1);
  EXPECT_EQ(RVEndPacket(link), 1);
  EXPECT_EQ(RVFlush(link), 1);
  int count = 0;
  EXPECT_EQ(RVTestHead(link, "Seen", &count), 1) << RVErrorMessage(link);
  const char* text = nullptr;
  if (RVGetString(link, &text) == 1) seen.symbol = text;
  RVReleaseString(link, text);
  text = nullptr;
  if (RVGetString(link, &text) == 1) seen.head = text;
  RVReleaseString(link, text);
  text = nullptr;
  if (RVGetSymbol(link, &text) == 1) seen.back = text;
  RVReleaseSymbol(link, text);
  const unsigned short* wide = nullptr;
  int units = 0;
  int characters = 0;
  if (RVGetUTF16Symbol(link, &wide, &units, &characters) == 1) {
    EXPECT_EQ(wide[0], 0xFEFF);
    EXPECT_EQ(units, characters + 1) << "the mark is a unit, not a character";
    seen.backUTF16.assign(reinterpret_cast<const char16_t*>(wide) + 1, static_cast<size_t>(characters));
  }
  RVReleaseUTF16Symbol(link, wide);
  EXPECT_EQ(RVNewPacket(link), 1);
  EXPECT_EQ(RVError(link), 0) << RVErrorMessage(link);
  return seen;
}

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

void ExpectRound(QVLink* link, const std::string& put, const std::string& arrives, const std::string& sent,
                 const std::string& read) {
  SCOPED_TRACE(put + " and " + sent);
  const Seen seen = Exchange(link, put, sent);
  EXPECT_EQ(seen.symbol, arrives);
  EXPECT_EQ(seen.head, arrives);
  EXPECT_EQ(seen.back, read);
  EXPECT_EQ(seen.backUTF16, Wide(read));
}

class LinkReplacements : public ::testing::Test {
 protected:
  void TearDown() override {
    if (QVLink* link = peer_.link()) {
      EXPECT_EQ(RVPutFunction(link, "Done", 0), 1);
      EXPECT_EQ(RVEndPacket(link), 1);
      EXPECT_EQ(RVFlush(link), 1);
      EXPECT_EQ(peer_.WaitForPeer(), 0);
    }
  }

  qvpeer::PeerLink peer_{ReportAndSendBack};
};

TEST_F(LinkReplacements, ReplaceBothWaysUntilCleared) {
  QVLink* link = peer_.link();
  ASSERT_NE(link, nullptr);
  ExpectRound(link, "A`x", "A`x", "B`y", "B`y");

  // Only the first byte of each text is the name.
  const long index = RVSetSymbolReplacement(link, "A-not-this", 1, "B-nor-this", 1);
  ASSERT_EQ(index, 0);
  ExpectRound(link, "A`x", "B`x", "B`y", "A`y");
  // The context is all before the first backquote.
  ExpectRound(link, "AB`x", "AB`x", "C`B`y", "C`B`y");

  EXPECT_EQ(RVClearSymbolReplacement(link, index), 1);
  ExpectRound(link, "A`x", "A`x", "B`y", "B`y");

  // Two at once; each side of each pair applies.
  ASSERT_EQ(RVSetSymbolReplacement(link, "A", 1, "B", 1), 0);
  ASSERT_EQ(RVSetSymbolReplacement(link, "Cee", 3, "Dee", 3), 1);
  ExpectRound(link, "Cee`z", "Dee`z", "B`y", "A`y");
  ExpectRound(link, "A`x", "B`x", "Dee`w", "Cee`w");

  RVClearAllSymbolReplacements(link);
  ExpectRound(link, "A`x", "A`x", "B`y", "B`y");
  ExpectRound(link, "Cee`z", "Cee`z", "Dee`w", "Dee`w");
}

TEST_F(LinkReplacements, BadArgumentsAreRefusedAndChangeNothing) {
  QVLink* link = peer_.link();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVSetSymbolReplacement(nullptr, "A", 1, "B", 1), -1);
  EXPECT_EQ(RVSetSymbolReplacement(link, nullptr, 0, "B", 1), -1);
  EXPECT_EQ(RVSetSymbolReplacement(link, "A", 1, nullptr, 0), -1);
  EXPECT_EQ(RVSetSymbolReplacement(link, "A", -1, "B", 1), -1);
  EXPECT_EQ(RVSetSymbolReplacement(link, "\xC3\xA9", 2, "B", 1), -1) << "names are 7-bit text";
  EXPECT_EQ(RVClearSymbolReplacement(nullptr, 0), 0);
  RVClearAllSymbolReplacements(nullptr);
  ExpectRound(link, "A`x", "A`x", "B`y", "B`y");

  ASSERT_EQ(RVSetSymbolReplacement(link, "A", 1, "B", 1), 0);
  EXPECT_EQ(RVClearSymbolReplacement(link, 7), 1) << "an index not held";
  ExpectRound(link, "A`x", "B`x", "B`y", "A`y");
}

}  // namespace

// Extended reals on the wire between two programs: each long double put goes
// out as exactly its 10 value bytes and six zero bytes, whatever the putting
// program's stack held before the call, so nothing of its memory reaches the
// peer and the same value always gives the same bytes. The peer reads the 16
// bytes raw through the public token calls, and the value through the get.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "quorvane.h"
#include "tests/api/qvpeerlink.h"

namespace {

constexpr int kExtendedType = 248;

struct Value {
  const char* name;
  long double value;
  // The 16 bytes on the wire, lowest address first: the 64-bit significand,
  // then sign and exponent, then six bytes of padding.
  std::vector<unsigned char> bytes;
};

const std::vector<Value>& Values() {
  static const std::vector<Value> values = {
      {"zero", 0.0L, {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0, 0, 0, 0, 0, 0}},
      {"negative zero", -0.0L, {0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x80, 0, 0, 0, 0, 0, 0}},
      {"one", 1.0L, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F, 0, 0, 0, 0, 0, 0}},
      {"smallest denormal", std::numeric_limits<long double>::denorm_min(),
       {1, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0, 0, 0, 0, 0, 0}},
      {"infinity", std::numeric_limits<long double>::infinity(),
       {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0}},
      {"minus one and a half", -1.5L, {0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0xBF, 0, 0, 0, 0, 0, 0}},
  };
  return values;
}

// Leaves a stretch of the stack below the caller full of a pattern, where the
// next call's frame will lie.
__attribute__((noinline)) void DirtyStack() {
  volatile unsigned char scratch[4096];
  for (auto& byte : scratch) byte = 0xA5;
}

// The peer puts every value twice, through both names, each on a dirtied stack.
int PutValues(QVLink* link) {
  for (const Value& v : Values()) {
    DirtyStack();
    if (RVPutReal128(link, v.value) == 0) return 1;
    DirtyStack();
    if (RVPutLongDouble(link, v.value) == 0) return 2;
  }
  if (RVEndPacket(link) == 0 || RVFlush(link) == 0) return 3;
  int done = 0;
  return RVGetInteger32(link, &done) != 0 && done == 1 ? 0 : 4;
}

std::string Hex(const unsigned char* bytes, size_t n) {
  std::string text;
  char piece[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(piece, sizeof piece, "%02x ", bytes[i]);
    text += piece;
  }
  return text;
}

TEST(ExtendedRealsOnTheWire, CarryTheirValueBytesAndZeroPadding) {
  qvpeer::PeerLink peer(PutValues);
  QVLink* link = peer.link();
  ASSERT_NE(link, nullptr);
  for (const Value& v : Values()) {
    for (const char* put : {"RVPutReal128", "RVPutLongDouble"}) {
      SCOPED_TRACE(std::string(v.name) + " through " + put);
      ASSERT_EQ(RVGetNextRaw(link), kExtendedType) << RVErrorMessage(link);
      int size = 0;
      ASSERT_EQ(RVRawBytesToGet(link, &size), 1) << RVErrorMessage(link);
      ASSERT_EQ(size, 16);
      unsigned char bytes[16] = {};
      int got = 0;
      ASSERT_EQ(RVGetRawData(link, bytes, 16, &got), 1) << RVErrorMessage(link);
      ASSERT_EQ(got, 16);
      EXPECT_EQ(Hex(bytes, 16), Hex(v.bytes.data(), v.bytes.size()));
      // The bytes are the value this machine reads.
      long double read = 0;
      std::memcpy(&read, bytes, sizeof read);
      EXPECT_TRUE(read == v.value && std::signbit(read) == std::signbit(v.value));
    }
  }
  EXPECT_EQ(RVPutInteger32(link, 1), 1);
  EXPECT_EQ(RVFlush(link), 1);
  EXPECT_EQ(peer.WaitForPeer(), 0);
}

}  // namespace

// One number put or got lands in whatever window the link has at that moment:
// a whole token in the device's write window or in the read window, or a
// token cut by a window's end. Either way the bytes on the wire, the values
// read and the reader's count of expressions owed are the same, and a token
// that does not end where its size says is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api/qvtokentypes.h"
#include "quorvane.h"
#include "tests/api/qvtokendecoder.h"
#include "tests/api/qvtypedtest.h"

namespace {

using qvtest::ScriptedDevice;
using qvtest::ScriptedOptions;
using qvtest::TypedLinkTest;

// Each binary number type of this side with its typed get, which stores the
// value's bytes as they travel.
struct Native {
  unsigned type;
  size_t width;
  std::function<int(QVLink*, void*)> get;
};

const std::vector<Native>& Natives() {
  static const std::vector<Native> natives = {
      {BINARY_INTEGER8, 1, [](QVLink* l, void* v) { return RVGetInteger8(l, static_cast<unsigned char*>(v)); }},
      {BINARY_INTEGER16, 2, [](QVLink* l, void* v) { return RVGetInteger16(l, static_cast<short*>(v)); }},
      {BINARY_INTEGER32, 4, [](QVLink* l, void* v) { return RVGetInteger32(l, static_cast<int*>(v)); }},
      {BINARY_INTEGER64, 8, [](QVLink* l, void* v) { return RVGetInteger64(l, static_cast<long*>(v)); }},
      {BINARY_REAL32, 4, [](QVLink* l, void* v) { return RVGetReal32(l, static_cast<float*>(v)); }},
      {BINARY_REAL64, 8, [](QVLink* l, void* v) { return RVGetReal64(l, static_cast<double*>(v)); }},
      {BINARY_REAL128, 16, [](QVLink* l, void* v) { return RVGetReal128(l, static_cast<long double*>(v)); }},
  };
  return natives;
}

// The bytes of the i-th number of a stream: every byte value turns up, so a
// copy that takes the wrong bytes shows.
std::string ValueBytes(size_t i, size_t width) {
  std::string bytes(width, '\0');
  for (size_t k = 0; k < width; ++k) bytes[k] = static_cast<char>((i * 37 + k * 11) & 0xFF);
  return bytes;
}

class ScalarTokensTest : public TypedLinkTest {};

class ScalarWindowsTest : public TypedLinkTest, public testing::WithParamInterface<long> {};

// Thousands of numbers of every type and every terminator arrive in device
// windows of the given size, so tokens fall wholly inside a queue chunk, or
// across a chunk's end, at every offset. Each typed get reads its value, and
// every fifth number is read through RVGetBinaryNumber instead.
TEST_P(ScalarWindowsTest, EveryNumberReadsBackWhereverItsTokenFalls) {
  ScriptedOptions options;
  options.readSize = GetParam();
  ScriptedDevice device(options);
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  constexpr size_t kNumbers = 2500;
  const char terminators[] = {'\n', '\r', ','};
  std::string stream;
  for (size_t i = 0; i < kNumbers; ++i) {
    const Native& n = Natives()[i % Natives().size()];
    stream += static_cast<char>(n.type) + ValueBytes(i, n.width) + terminators[i % 3];
  }
  device.WriteBytes(stream + "]");
  for (size_t i = 0; i < kNumbers; ++i) {
    const Native& n = Natives()[i % Natives().size()];
    SCOPED_TRACE("number " + std::to_string(i) + " of type " + std::to_string(n.type));
    unsigned char got[16] = {};
    const int ok = i % 5 == 4 ? RVGetBinaryNumber(link, got, n.type) : n.get(link, got);
    ASSERT_EQ(ok, 1) << RVError(link);
    ASSERT_EQ(std::string(reinterpret_cast<char*>(got), n.width), ValueBytes(i, n.width));
  }
  EXPECT_EQ(RVError(link), 0);
  EXPECT_EQ(RVNewPacket(link), 1) << RVError(link);
  Destroy(link);
}

INSTANTIATE_TEST_SUITE_P(ReadWindows, ScalarWindowsTest, testing::Values(1, 3, 7, 4096),
                         [](const testing::TestParamInfo<long>& row) { return "of" + std::to_string(row.param); });

// Every put through device windows of the given size: the token goes whole
// into the window when it fits and is cut across windows otherwise, and the
// device receives exactly the bytes of the format either way.
class ScalarPutWindowsTest : public TypedLinkTest, public testing::WithParamInterface<long> {};

TEST_P(ScalarPutWindowsTest, PutsWriteTheSameBytesThroughWindowsOfEverySize) {
  ScriptedOptions options;
  options.windowSize = GetParam();
  ScriptedDevice device(options);
  QVLink* link = Scripted(device);
  ASSERT_NE(link, nullptr);
  auto token = [](unsigned type, const void* value, size_t width) {
    return static_cast<char>(type) + std::string(static_cast<const char*>(value), width) + "\n";
  };
  std::string expected;
  for (int i = 0; i < 400; ++i) {
    const int small = i * 7 - 1000;
    const long large = (static_cast<long>(i) << 40) - i;
    const double real = i / 3.0 - 50;
    long double extended = static_cast<long double>(i) / 7;
    unsigned char extended_bytes[16] = {};
    std::memcpy(extended_bytes, &extended, 10);  // the six bytes of padding travel as zeros
    const unsigned char byte = static_cast<unsigned char>(i & 255);
    ASSERT_EQ(RVPutInteger8(link, i), 1) << RVError(link);
    ASSERT_EQ(RVPutInteger16(link, small), 1) << RVError(link);
    ASSERT_EQ(RVPutInteger32(link, small), 1) << RVError(link);
    ASSERT_EQ(RVPutInteger64(link, large), 1) << RVError(link);
    ASSERT_EQ(RVPutReal32(link, real), 1) << RVError(link);
    ASSERT_EQ(RVPutReal64(link, real), 1) << RVError(link);
    ASSERT_EQ(RVPutReal128(link, extended), 1) << RVError(link);
    ASSERT_EQ(RVPutBinaryNumber(link, const_cast<int*>(&small), BINARY_INTEGER32), 1) << RVError(link);
    expected += token(BINARY_INTEGER8, &byte, 1) + token(BINARY_INTEGER32, &small, 4) +
                token(BINARY_INTEGER32, &small, 4) + token(BINARY_INTEGER64, &large, 8) +
                token(BINARY_REAL64, &real, 8) + token(BINARY_REAL64, &real, 8) +
                token(BINARY_REAL128, extended_bytes, 16) + token(BINARY_INTEGER32, &small, 4);
  }
  ASSERT_EQ(RVEndPacket(link), 1);
  ASSERT_EQ(RVFlush(link), 1);
  expected += "]";
  ASSERT_TRUE(device.WaitCaptured(expected.size()));
  EXPECT_EQ(device.Captured(), expected);
  Destroy(link);
}

INSTANTIATE_TEST_SUITE_P(WriteWindows, ScalarPutWindowsTest, testing::Values(1, 5, 6, 7, 4096),
                         [](const testing::TestParamInfo<long>& row) { return "of" + std::to_string(row.param); });

// Each number of a function's arguments is one expression fewer owed; a
// packet that ends before the last one answers 24 to the get that meets its
// end.
TEST_F(ScalarTokensTest, EachNumberGotIsOneExpressionFewerOwed) {
  for (int put : {3, 2}) {
    SCOPED_TRACE(std::to_string(put) + " of 3 arguments put");
    QVLink* link = LoopbackHolding([put](QVLink* l) {
      ASSERT_EQ(RVPutFunction(l, "f", 3), 1);
      for (int i = 0; i < put; ++i) ASSERT_EQ(RVPutInteger32(l, 10 + i), 1);
    });
    ASSERT_NE(link, nullptr);
    const char* head = nullptr;
    int count = 0;
    ASSERT_EQ(RVGetFunction(link, &head, &count), 1) << RVError(link);
    RVReleaseSymbol(link, head);
    ASSERT_EQ(count, 3);
    for (int i = 0; i < put; ++i) {
      int value = 0;
      ASSERT_EQ(RVGetInteger32(link, &value), 1) << RVError(link);
      EXPECT_EQ(value, 10 + i);
      int owed = -1;
      ASSERT_EQ(RVExpressionsToGet(link, &owed), 1);
      EXPECT_EQ(owed, 2 - i);
    }
    if (put < 3) {
      int value = 99;
      EXPECT_EQ(RVGetInteger32(link, &value), 0);
      EXPECT_EQ(RVError(link), 24);
      EXPECT_EQ(value, 99);
    }
    Destroy(link);
  }
}

// The byte after a number's data must end the token: anything else is
// inconsistent data and leaves the caller's variable alone. A number of
// another type converts, and a text type declared before a put makes the
// number go out as text.
TEST_F(ScalarTokensTest, ANumberIsTakenAsItStandsOnlyWhereTheFormatSaysSo) {
  {
    SCOPED_TRACE("a number not ended by a terminator");
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    const int seven = 7;
    device.WriteBytes("\xE4" + std::string(reinterpret_cast<const char*>(&seven), 4) + ";]");
    int value = 99;
    EXPECT_EQ(RVGetInteger32(link, &value), 0);
    EXPECT_EQ(RVError(link), 2);
    EXPECT_EQ(value, 99);
    Destroy(link);
  }
  {
    SCOPED_TRACE("a 64-bit integer got as 32 bits");
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    const long big = -123456;
    device.WriteBytes("\xE6" + std::string(reinterpret_cast<const char*>(&big), 8) + "\n]");
    int value = 0;
    EXPECT_EQ(RVGetInteger32(link, &value), 1) << RVError(link);
    EXPECT_EQ(value, -123456);
    Destroy(link);
  }
  {
    SCOPED_TRACE("a put after a declared integer text type");
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(RVPutType(link, TOK_INTEGER), 1);
    ASSERT_EQ(RVPutInteger32(link, -42), 1) << RVError(link);
    ASSERT_EQ(RVEndPacket(link), 1);
    ASSERT_EQ(RVFlush(link), 1);
    ASSERT_TRUE(device.WaitCaptured(4));
    const std::string bytes = device.Captured();
    qvtokendecoder::Decoder decoder(bytes);
    const auto decoded = decoder.NextPacket();
    ASSERT_TRUE(decoded.has_value()) << decoder.error();
    EXPECT_EQ(decoded->kind, qvtokendecoder::Kind::Integer);
    EXPECT_EQ(decoded->text, U"-42");
    Destroy(link);
  }
}

}  // namespace

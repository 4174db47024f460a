// One number put or got lands in whatever window the link has at that moment:
// a whole token in the device's write window or in the read window, or a
// token cut by a window's end. Either way the bytes on the wire, the values
// read and the reader's count of expressions owed are the same, and a token
// that does not end where its size says is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "api/qvlink.h"
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
// inconsistent data and leaves the caller's variable alone. Inside a packed
// run only the run's own count says where an element starts. A number of
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
    SCOPED_TRACE("a packed run whose elements read like a whole token");
    ScriptedDevice device;
    QVLink* link = Scripted(device);
    ASSERT_NE(link, nullptr);
    device.WriteBytes("P\x44\xA1\x07\xA1\x05\x0A\n]");
    for (int expected : {7, 0xA1, 5, 0x0A}) {
      unsigned char value = 0;
      EXPECT_EQ(RVGetInteger8(link, &value), 1) << RVError(link);
      EXPECT_EQ(value, expected);
    }
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

// Random packets of numbers (every type and terminator, now and then a
// byte that is no terminator), packed runs and functions of them, read with
// typed gets of random types by two links: one whose queue lends its read
// window, and one whose queue lends none, so that every byte goes through
// the reader's general path. After every call both answer the same, hold the
// same value and leave their reader in the same place.
class ScalarReaderDifferentialTest : public TypedLinkTest {
 protected:
  // One step of the reader: a number of this type, or a function's count.
  struct Step {
    bool function;
    unsigned wanted;
  };

  int Pick(int n) { return static_cast<int>(random_() % static_cast<uint32_t>(n)); }

  // A value every type holds: integers 0 to 200, reals in halves.
  std::string Encoded(unsigned type) {
    const int whole = Pick(201);
    const double real = whole / 2.0;
    std::string bytes;
    auto put = [&bytes](const auto& value, size_t width) {
      bytes.assign(reinterpret_cast<const char*>(&value), width);
      bytes.resize(width, '\0');
    };
    switch (type) {
      case BINARY_INTEGER8: put(static_cast<unsigned char>(whole), 1); break;
      case BINARY_INTEGER16: put(static_cast<short>(whole), 2); break;
      case BINARY_INTEGER32: put(whole, 4); break;
      case BINARY_INTEGER64: put(static_cast<long>(whole), 8); break;
      case BINARY_REAL32: put(static_cast<float>(real), 4); break;
      case BINARY_REAL64: put(real, 8); break;
      default: put(static_cast<long double>(real), 10); bytes.resize(16, '\0'); break;
    }
    return bytes;
  }

  unsigned AnyType() { return Natives()[static_cast<size_t>(Pick(static_cast<int>(Natives().size())))].type; }

  std::string Terminator() {
    const int k = Pick(40);
    return k == 0 ? ";" : k < 5 ? "\r" : k < 9 ? "," : "\n";
  }

  // One expression; its reader steps go to steps.
  std::string Expression(int depth, std::vector<Step>& steps) {
    const int kind = Pick(10);
    if (kind == 0 && depth < 3) {
      const int count = Pick(4);
      steps.push_back({true, 0});
      std::string out = "F" + std::string(1, static_cast<char>(0x40 | count));
      out += Expression(depth + 1, steps);  // the head
      for (int i = 0; i < count; ++i) out += Expression(depth + 1, steps);
      return out;
    }
    if (kind <= 2) {
      const unsigned type = kind == 1 ? AnyType() : unsigned{BINARY_INTEGER8};
      const int n = 1 + Pick(6);
      std::string out = "P" + std::string(1, static_cast<char>(0x40 | n)) + static_cast<char>(type);
      for (int i = 0; i < n; ++i) {
        // Bytes of elements may read like a whole token of their own.
        const char lookalike[] = {static_cast<char>(BINARY_INTEGER8), '\n', ','};
        out += type == BINARY_INTEGER8 && Pick(2) == 0 ? std::string(1, lookalike[Pick(3)]) : Encoded(type);
        steps.push_back({false, AnyType()});
      }
      return out + "\n";
    }
    const unsigned type = AnyType();
    steps.push_back({false, AnyType()});
    return static_cast<char>(type) + Encoded(type) + Terminator();
  }

  static auto ReaderPlace(QVLink* link) {
    const read_state& r = link->readState;
    const three_state& c = r.converter;
    return std::make_tuple(link->error, c.step, c.token, c.wire_left, c.token_count, c.delivered, r.packed_run,
                           r.owed, r.last_error);
  }

  std::mt19937 random_{20240611};
};

TEST_F(ScalarReaderDifferentialTest, ReadsAlikeWithAndWithoutTheReadWindow) {
  int numbers = 0;
  int numbers_read = 0;
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<Step> steps;
    std::string stream;
    for (int packet = 0; packet < 5; ++packet) {
      if (Pick(4) == 0) stream += "\\\n";  // skipped between packets
      stream += Expression(0, steps) + "]";
    }
    for (const Step& step : steps) numbers += step.function ? 0 : 1;
    ScriptedOptions windowed;
    windowed.readSize = 1 + Pick(64);
    ScriptedDevice lending(windowed);
    ScriptedDevice plain;
    QVLink* fast = Scripted(lending);
    QVLink* slow = Scripted(plain);
    ASSERT_NE(fast, nullptr);
    ASSERT_NE(slow, nullptr);
    qvqueue_disable_borrow(slow->queueStack.base);
    lending.WriteBytes(stream);
    plain.WriteBytes(stream);
    for (size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const Step& step = steps[i];
      if (step.function) {
        const int type_fast = RVGetNext(fast);
        ASSERT_EQ(type_fast, RVGetNext(slow));
        int count_fast = -1;
        int count_slow = -1;
        ASSERT_EQ(RVGetArgCount(fast, &count_fast), RVGetArgCount(slow, &count_slow));
        ASSERT_EQ(count_fast, count_slow);
      } else {
        unsigned char got_fast[16] = {};
        unsigned char got_slow[16] = {};
        const Native* native = nullptr;
        for (const Native& n : Natives()) {
          if (n.type == step.wanted) native = &n;
        }
        ASSERT_NE(native, nullptr);
        const int ok = native->get(fast, got_fast);
        ASSERT_EQ(ok, native->get(slow, got_slow));
        ASSERT_EQ(std::memcmp(got_fast, got_slow, sizeof got_fast), 0);
        numbers_read += ok;
      }
      ASSERT_EQ(ReaderPlace(fast), ReaderPlace(slow));
      // A number whose terminator was wrong leaves 2; the stream goes on.
      if (RVError(fast) != 0) {
        ASSERT_EQ(RVClearError(fast), RVClearError(slow));
      }
    }
    Destroy(fast);
    Destroy(slow);
  }
  // Nearly every number reads: only those with a wrong terminator fail.
  EXPECT_GT(numbers_read, numbers * 9 / 10) << numbers_read << " of " << numbers;
}

}  // namespace

// Two links of one process joined back to back over a pair of scripted
// devices, each established on a thread of its own. A sends a call packet
// holding nested functions, numbers at their limits, strings in every
// encoding, an array in both of its forms and a list of 250 reals; B reads it
// with the typed gets, checks every value bit for bit, and answers. When A
// vanishes in the middle of a packet, B's gets say so instead of waiting.
#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/qvarraymeter.h"
#include "quorvane.h"
#include "tests/api/qvcodectest.h"
#include "tests/api/qvtypedtest.h"
#include "tests/support/qvtest.h"
#include "tests/text/qviconvoracle.h"

namespace {

using qvtest::ScriptedDevice;

constexpr int kArrayToken = 65;

// Equal to the last bit. Long doubles carry padding bytes whose content is not
// the value's, so they compare by value and sign.
template <typename T>
bool SameBits(T a, T b) {
  if constexpr (std::is_same_v<T, long double>) {
    return a == b && std::signbit(a) == std::signbit(b);
  } else {
    return std::memcmp(&a, &b, sizeof a) == 0;
  }
}

// A function with this head and argument count comes next: the test leaves
// the input at its first argument.
void ExpectFunction(QVLink* link, const char* head, int count) {
  SCOPED_TRACE(head);
  int read = -1;
  EXPECT_EQ(RVTestHead(link, head, &read), 1) << RVError(link);
  EXPECT_EQ(read, count);
}

// One argument of the call: how A puts it and how B reads and checks it.
struct Item {
  std::string name;
  std::function<bool(QVLink*)> put;
  std::function<void(QVLink*)> check;
};

Item NestedFunctions() {
  return {"f[g[1], h[]]",
          [](QVLink* l) {
            return RVPutFunction(l, "f", 2) == 1 && RVPutFunction(l, "g", 1) == 1 && RVPutInteger(l, 1) == 1 &&
                   RVPutFunction(l, "h", 0) == 1;
          },
          [](QVLink* l) {
            // Another head is refused and leaves the function to be read.
            EXPECT_EQ(RVTestHead(l, "g", nullptr), 0);
            EXPECT_EQ(RVError(l), 3);
            EXPECT_EQ(RVClearError(l), 1);
            const char* head = nullptr;
            int count = -1;
            ASSERT_EQ(RVGetFunction(l, &head, &count), 1) << RVError(l);
            EXPECT_STREQ(head, "f");
            EXPECT_EQ(count, 2);
            RVReleaseSymbol(l, head);
            ExpectFunction(l, "g", 1);
            int one = 0;
            EXPECT_EQ(RVGetInteger(l, &one), 1);
            EXPECT_EQ(one, 1);
            int none = 0;
            EXPECT_EQ(RVTestHeadWithArgCount(l, "h", &none), 1) << RVError(l);
          }};
}

template <typename T, typename PutArg>
Item Number(const char* name, int (*put)(QVLink*, PutArg), int (*get)(QVLink*, T*), T value) {
  return {name, [=](QVLink* link) { return put(link, static_cast<PutArg>(value)) == 1; },
          [=](QVLink* link) {
            T got{};
            ASSERT_EQ(get(link, &got), 1) << RVError(link);
            EXPECT_TRUE(SameBits(got, value)) << got << " for " << value;
          }};
}

std::vector<Item> NumbersAtTheirLimits() {
  return {
      Number<unsigned char>("8-bit 0", RVPutInteger8, RVGetInteger8, 0),
      Number<unsigned char>("8-bit 255", RVPutInteger8, RVGetInteger8, 255),
      Number<short>("16-bit min", RVPutInteger16, RVGetInteger16, SHRT_MIN),
      Number<short>("16-bit max", RVPutInteger16, RVGetInteger16, SHRT_MAX),
      Number<int>("32-bit min", RVPutInteger32, RVGetInteger32, INT_MIN),
      Number<int>("32-bit max", RVPutInteger32, RVGetInteger32, INT_MAX),
      Number<long>("64-bit min", RVPutInteger64, RVGetInteger64, LONG_MIN),
      Number<long>("64-bit max", RVPutInteger64, RVGetInteger64, LONG_MAX),
      Number<float>("32-bit real max", RVPutReal32, RVGetReal32, -FLT_MAX),
      Number<float>("32-bit real least subnormal", RVPutReal32, RVGetReal32, FLT_TRUE_MIN),
      Number<double>("64-bit real max", RVPutReal64, RVGetReal64, DBL_MAX),
      Number<double>("64-bit real least normal", RVPutReal64, RVGetReal64, -DBL_MIN),
      Number<double>("64-bit real least subnormal", RVPutReal64, RVGetReal64, DBL_TRUE_MIN),
      Number<double>("64-bit real negative zero", RVPutReal64, RVGetReal64, -0.0),
      Number<long double>("128-bit real max", RVPutReal128, RVGetReal128, LDBL_MAX),
      Number<long double>("128-bit real least subnormal", RVPutReal128, RVGetReal128, -LDBL_TRUE_MIN),
  };
}

// Bytes as hex pairs, for readable failures: the typed tests' own.
struct Bytes : qvtest::TypedLinkTest {
  using qvtest::TypedLinkTest::Hex;
};

// The text gets, each giving the atom's units as bytes and its first count.
enum class Get { SevenBit, Bytes, UCS2, UTF8, UTF16, UTF32 };

template <typename Unit>
std::string UnitBytes(const Unit* text, int units) {
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), units * sizeof(Unit));
}

std::string ReadText(QVLink* link, Get get) {
  int count = -1;
  int characters = -1;
  std::string out;
  switch (get) {
    case Get::SevenBit: {
      const char* text = nullptr;
      if (RVGetString(link, &text) == 1) out = text;
      RVReleaseString(link, text);
      break;
    }
    case Get::Bytes: {
      const unsigned char* text = nullptr;
      if (RVGetByteString(link, &text, &count, '?') == 1) out = UnitBytes(text, count);
      RVReleaseByteString(link, text);
      break;
    }
    case Get::UCS2: {
      const unsigned short* text = nullptr;
      if (RVGetUCS2String(link, &text, &count) == 1) out = UnitBytes(text, count);
      RVReleaseUCS2String(link, text);
      break;
    }
    case Get::UTF8: {
      const unsigned char* text = nullptr;
      if (RVGetUTF8String(link, &text, &count, &characters) == 1) out = UnitBytes(text, count);
      RVReleaseUTF8String(link, text);
      break;
    }
    case Get::UTF16: {
      const unsigned short* text = nullptr;
      if (RVGetUTF16String(link, &text, &count, &characters) == 1) out = UnitBytes(text, count);
      RVReleaseUTF16String(link, text);
      break;
    }
    case Get::UTF32: {
      const unsigned int* text = nullptr;
      if (RVGetUTF32String(link, &text, &count) == 1) out = UnitBytes(text, count);
      RVReleaseUTF32String(link, text);
      break;
    }
  }
  EXPECT_EQ(RVError(link), 0);
  return out;
}

// What the get delivers for these code points, by iconv; UTF-16 and UTF-32
// text starts with this machine's byte-order mark.
std::string Expected(const std::u32string& text, Get get) {
  const std::vector<uint32_t> points(text.begin(), text.end());
  std::vector<uint32_t> marked = {0xFEFF};
  marked.insert(marked.end(), points.begin(), points.end());
  switch (get) {
    case Get::SevenBit: return qvtexttest::MustIconv(points, "ASCII");
    case Get::Bytes: return qvtexttest::MustIconv(points, "ISO-8859-1");
    case Get::UCS2: return qvtexttest::MustIconv(points, "UCS-2LE");
    case Get::UTF8: return qvtexttest::MustIconv(points, "UTF-8");
    case Get::UTF16: return qvtexttest::MustIconv(marked, "UTF-16LE");
    case Get::UTF32: return qvtexttest::MustIconv(marked, "UTF-32LE");
  }
  return {};
}

// A string put in one encoding and read in another (or the same).
Item Text(const char* name, std::function<int(QVLink*)> put, Get get, std::u32string text) {
  return {name, [=](QVLink* link) { return put(link) == 1; },
          [=](QVLink* link) { EXPECT_EQ(Bytes::Hex(ReadText(link, get)),
                                        Bytes::Hex(Expected(text, get))); }};
}

std::vector<Item> StringsInEveryEncoding() {
  static const unsigned char latin1[] = {'c', 'a', 'f', 0xE9, ' ', 0xFF};
  static const unsigned short ucs2[] = {0x3A9, 0x4E2D, 0xFFFD, 'x'};
  static const unsigned char utf8[] = {'a', 0, 0xF0, 0x9F, 0x98, 0x80, 0xF0, 0x9D, 0x84, 0x9E};
  static const unsigned short utf16[] = {0xFEFF, 0xD83D, 0xDE00, 0x20AC};
  static const unsigned int utf32[] = {0xFEFF, 0x10FFFF, 'z', 0xE9};
  return {
      Text("7-bit escapes read as UTF-8", [](QVLink* l) { return RVPutString(l, "7 \\:00e9\\|01F600"); }, Get::UTF8,
           U"7 \u00E9\U0001F600"),
      Text("7-bit", [](QVLink* l) { return RVPutString(l, "plain text"); }, Get::SevenBit, U"plain text"),
      Text("bytes", [](QVLink* l) { return RVPutByteString(l, latin1, sizeof latin1); }, Get::Bytes,
           U"caf\u00E9 \u00FF"),
      Text("UCS-2", [](QVLink* l) { return RVPutUCS2String(l, ucs2, 4); }, Get::UCS2, U"\u03A9\u4E2D\uFFFDx"),
      Text("UTF-8 with a NUL read as UTF-16", [](QVLink* l) { return RVPutUTF8String(l, utf8, sizeof utf8); },
           Get::UTF16, std::u32string(U"a\0\U0001F600\U0001D11E", 4)),
      Text("UTF-16 read as UTF-32", [](QVLink* l) { return RVPutUTF16String(l, utf16, 4); }, Get::UTF32,
           U"\U0001F600\u20AC"),
      Text("UTF-32", [](QVLink* l) { return RVPutUTF32String(l, utf32, 4); }, Get::UTF32, U"\U0010FFFF" U"z\u00E9"),
      Text("UTF-32 read as UTF-8", [](QVLink* l) { return RVPutUTF32String(l, utf32, 4); }, Get::UTF8,
           U"\U0010FFFF" U"z\u00E9"),
      Text("empty", [](QVLink* l) { return RVPutUTF8String(l, nullptr, 0); }, Get::UTF8, U""),
      {"symbol",
       [](QVLink* l) {
         const unsigned char name[] = {0xCE, 0xB1, 'x', '`', 'y'};
         return RVPutUTF8Symbol(l, name, 5) == 1;
       },
       [](QVLink* l) {
         const unsigned short* name = nullptr;
         int units = 0;
         int characters = 0;
         ASSERT_EQ(RVGetUTF16Symbol(l, &name, &units, &characters), 1) << RVError(l);
         EXPECT_EQ(Bytes::Hex(UnitBytes(name, units)), Bytes::Hex(Expected(U"\u03B1x`y", Get::UTF16)));
         EXPECT_EQ(characters, 4);
         RVReleaseUTF16Symbol(l, name);
       }},
  };
}

// The 2 x 3 array both forms carry.
const std::vector<int> kArray = {INT_MIN, -1, 0, 1, 7, INT_MAX};

// The array read whole: dimensions 2 and 3, both heads List.
void ExpectArray(QVLink* link) {
  int* data = nullptr;
  int* dimensions = nullptr;
  char** heads = nullptr;
  int depth = 0;
  ASSERT_EQ(RVGetInteger32Array(link, &data, &dimensions, &heads, &depth), 1) << RVError(link);
  ASSERT_EQ(depth, 2);
  EXPECT_EQ(std::vector<int>(dimensions, dimensions + 2), (std::vector<int>{2, 3}));
  EXPECT_STREQ(heads[0], "List");
  EXPECT_STREQ(heads[1], "List");
  EXPECT_EQ(std::vector<int>(data, data + kArray.size()), kArray);
  RVReleaseInteger32Array(link, data, dimensions, heads, depth);
}

Item ArrayAsNestedFunctions() {
  return {"array as nested functions",
          [](QVLink* link) {
            bool ok = RVPutFunction(link, "List", 2) == 1;
            for (int row = 0; row < 2; ++row) {
              ok = ok && RVPutFunction(link, "List", 3) == 1;
              for (int column = 0; column < 3; ++column) ok = ok && RVPutInteger32(link, kArray[row * 3 + column]) == 1;
            }
            return ok;
          },
          ExpectArray};
}

// Writes the array on the loopback link as one array token whose leaves are a
// packed run: the bytes a peer sends for it.
bool PutArrayToken(QVLink* loopback) {
  qvmeter meter;
  qvcodec::ListHeads(&meter, {2, 3});
  return QVPutArray_(loopback->writeState, loopback->deviceStack, loopback->queueStack.base, &meter) == 0 &&
         QVPutBinaryNumberArrayData_(loopback->writeState, loopback->deviceStack, loopback->queueStack.base, &meter,
                                     kArray.data(), 228, static_cast<int64_t>(kArray.size())) == 0 &&
         meter.leaves_left == 0 && RVEndPacket(loopback) == 1 && RVFlush(loopback) == 1;
}

Item ArrayTokenFrom(QVLink* loopback) {
  return {"array token with a packed run",
          [loopback](QVLink* link) { return RVTransferExpression(link, loopback) == 1; },
          [](QVLink* link) {
            // The token crossed as it stood, not as the functions it stands for.
            QVLinkMark* mark = RVCreateMark(link);
            ASSERT_NE(mark, nullptr);
            EXPECT_EQ(RVGetNextRaw(link), kArrayToken);
            EXPECT_EQ(RVSeekMark(link, mark, 0), mark);
            RVDestroyMark(link, mark);
            ExpectArray(link);
          }};
}

// 250 reals over most of the exponent range, both signs.
std::vector<double> Reals() {
  std::vector<double> reals;
  for (int i = 0; i < 250; ++i) reals.push_back(std::ldexp((i % 2 ? -1.0 : 1.0) * (1.0 + i / 251.0), i * 8 - 1000));
  return reals;
}

double Sum(const double* values, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += values[i] * 1e-300;
  return sum;
}

Item RealList() {
  return {"real list of 250",
          [](QVLink* link) {
            const std::vector<double> reals = Reals();
            bool ok = RVPutFunction(link, "List", static_cast<int>(reals.size())) == 1;
            for (double r : reals) ok = ok && RVPutReal64(link, r) == 1;
            return ok;
          },
          [](QVLink* link) {
            const std::vector<double> expected = Reals();
            double* data = nullptr;
            int length = -1;
            ASSERT_EQ(RVGetReal64List(link, &data, &length), 1) << RVError(link);
            ASSERT_EQ(length, static_cast<int>(expected.size()));
            EXPECT_EQ(std::memcmp(data, expected.data(), expected.size() * sizeof(double)), 0);
            RVReleaseReal64List(link, data, length);
          }};
}

class EndToEndTest : public qvtest::TypedLinkTest {
 protected:
  // Two links over devices joined back to back, each established on its own
  // thread: the handshake needs both ends at once.
  void Connect() {
    auto [left, right] = ScriptedDevice::MakePair({.name = "A"}, {.name = "B"});
    left_ = std::move(left);
    right_ = std::move(right);
    a_ = QVInternalMake(environment_->globals, left_->TakeInstance(), nullptr);
    b_ = QVInternalMake(environment_->globals, right_->TakeInstance(), nullptr);
    ASSERT_NE(a_, nullptr);
    ASSERT_NE(b_, nullptr);
    int activatedB = -1;
    std::thread other([&] { activatedB = RVActivate(b_); });
    const int activatedA = RVActivate(a_);
    other.join();
    ASSERT_EQ(activatedA, 1) << RVError(a_);
    ASSERT_EQ(activatedB, 1) << RVError(b_);
  }

  void TearDown() override {
    if (a_ != nullptr) Destroy(a_);
    if (b_ != nullptr) Destroy(b_);
  }

  std::unique_ptr<ScriptedDevice> left_;
  std::unique_ptr<ScriptedDevice> right_;
  QVLink* a_ = nullptr;
  QVLink* b_ = nullptr;
};

TEST_F(EndToEndTest, ACallCrossesAndItsAnswerComesBack) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  QVLink* loopback = Loopback();
  ASSERT_NE(loopback, nullptr);
  ASSERT_TRUE(PutArrayToken(loopback));

  std::vector<Item> items = {NestedFunctions()};
  for (auto* family : {NumbersAtTheirLimits, StringsInEveryEncoding}) {
    for (Item& item : family()) items.push_back(std::move(item));
  }
  items.push_back(ArrayAsNestedFunctions());
  items.push_back(ArrayTokenFrom(loopback));
  items.push_back(RealList());

  const std::vector<double> reals = Reals();
  const double answer = Sum(reals.data(), reals.size());

  // A calls from a thread of its own and reads the answer there.
  std::thread caller([&] {
    bool sent = RVPutFunction(a_, "CallPacket", 2) == 1 && RVPutInteger(a_, 3) == 1 &&
                RVPutFunction(a_, "List", static_cast<int>(items.size())) == 1;
    for (const Item& item : items) {
      const bool put = item.put(a_);
      EXPECT_TRUE(put) << item.name << ": error " << RVError(a_);
      sent = sent && put;
    }
    EXPECT_TRUE(sent && RVEndPacket(a_) == 1 && RVFlush(a_) == 1) << RVError(a_);
    EXPECT_EQ(RVNextPacket(a_), 3) << RVError(a_);  // ReturnPacket
    double got = 0;
    EXPECT_EQ(RVGetReal64(a_, &got), 1) << RVError(a_);
    EXPECT_TRUE(SameBits(got, answer)) << got;
  });

  EXPECT_EQ(RVNextPacket(b_), 7) << RVError(b_);  // CallPacket
  int three = 0;
  EXPECT_EQ(RVGetInteger(b_, &three), 1);
  EXPECT_EQ(three, 3);
  ExpectFunction(b_, "List", static_cast<int>(items.size()));
  for (const Item& item : items) {
    SCOPED_TRACE(item.name);
    item.check(b_);
    EXPECT_EQ(RVError(b_), 0);
  }
  int owed = -1;
  EXPECT_EQ(RVExpressionsToGet(b_, &owed), 1);
  EXPECT_EQ(owed, 0);
  const bool answered = RVPutFunction(b_, "ReturnPacket", 1) == 1 && RVPutReal64(b_, answer) == 1 &&
                        RVEndPacket(b_) == 1 && RVFlush(b_) == 1;
  EXPECT_TRUE(answered) << RVError(b_);
  if (!answered) {  // A's wait for the answer then ends with the link
    Destroy(b_);
    b_ = nullptr;
  }
  caller.join();
  Destroy(loopback);
}

// A closes its end after half a packet, while B waits for the rest: B has
// read what arrived, its waiting get wakes with 11, and every get after it
// fails at once.
TEST_F(EndToEndTest, APeerClosingMidPacketEndsTheReadsWithoutWaiting) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  std::atomic<int> realsRead{0};
  int waitingGet = -1;
  long waitingError = -1;
  std::thread reader([&] {
    EXPECT_EQ(RVNextPacket(b_), 7) << RVError(b_);
    int three = 0;
    EXPECT_EQ(RVGetInteger(b_, &three), 1);
    ExpectFunction(b_, "List", 4);
    for (double expected : {1.5, 2.5}) {
      double got = 0;
      EXPECT_EQ(RVGetReal64(b_, &got), 1) << RVError(b_);
      EXPECT_EQ(got, expected);
      ++realsRead;
    }
    double got = 0;
    waitingGet = RVGetReal64(b_, &got);
    waitingError = RVError(b_);
  });
  EXPECT_TRUE(RVPutFunction(a_, "CallPacket", 2) == 1 && RVPutInteger(a_, 3) == 1 &&
              RVPutFunction(a_, "List", 4) == 1 && RVPutReal64(a_, 1.5) == 1 && RVPutReal64(a_, 2.5) == 1 &&
              RVFlush(a_) == 1);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return realsRead == 2; }));
  Destroy(a_);
  a_ = nullptr;
  reader.join();
  EXPECT_EQ(waitingGet, 0);
  EXPECT_EQ(waitingError, 11);

  // Nothing more will come: each further call fails without waiting.
  struct Case {
    const char* name;
    std::function<int(QVLink*)> call;
  } cases[] = {
      {"real", [](QVLink* l) { double v; return RVGetReal64(l, &v); }},
      {"integer", [](QVLink* l) { int v; return RVGetInteger32(l, &v); }},
      {"list", [](QVLink* l) {
         double* data = nullptr;
         int length = 0;
         const int ok = RVGetReal64List(l, &data, &length);
         EXPECT_EQ(data, nullptr);
         return ok;
       }},
      {"string", [](QVLink* l) {
         const char* text = nullptr;
         const int ok = RVGetString(l, &text);
         EXPECT_EQ(text, nullptr);
         return ok;
       }},
      {"array", [](QVLink* l) {
         int* data = nullptr;
         int* dimensions = nullptr;
         int depth = -1;
         const int ok = RVGetInteger32Array(l, &data, &dimensions, nullptr, &depth);
         EXPECT_EQ(data, nullptr);
         EXPECT_EQ(dimensions, nullptr);
         return ok;
       }},
      {"skip the packet", [](QVLink* l) { return RVNewPacket(l); }},
      {"next packet", [](QVLink* l) { return RVNextPacket(l); }},
      {"put", [](QVLink* l) { return RVPutInteger(l, 1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(b_), 0);
    EXPECT_NE(RVError(b_), 0);
  }
}

}  // namespace

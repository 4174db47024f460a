// The numeric dispatcher: identity, widths, copies and every binary conversion,
// each checked against the processor itself as the oracle (casts where they are
// defined, nearbyint to nearest for halves to even, byte swaps, numeric_limits).
#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "api/qvnumericdispatch.h"

namespace {

using Bytes = std::vector<unsigned char>;

template <typename T>
Bytes BytesOf(T value, size_t slot = sizeof(T)) {
  Bytes out(slot, 0);
  std::memcpy(out.data(), &value, sizeof value < slot ? sizeof value : slot);
  return out;
}
Bytes ExtendedBytes(long double value) {
  Bytes out(16, 0);
  std::memcpy(out.data(), &value, 10);
  return out;
}

TEST(NumericDispatchIdentity, WritesNameNulZerosCountAndNativeSet) {
  unsigned char name[64];
  std::memset(name, 0xAA, sizeof name);
  unsigned char set[16] = {};
  long count = sizeof name;
  ASSERT_EQ(qvne__dispatch(0, name, set, &count), 0);
  EXPECT_EQ(count, 9);
  EXPECT_EQ(std::memcmp(name, "greatdane", 10), 0);
  for (size_t i = 10; i < sizeof name; ++i) EXPECT_EQ(name[i], 0) << i;
  const unsigned char expected[16] = {0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0x54, 0, 0x50, 0x01};
  EXPECT_EQ(std::memcmp(set, expected, 16), 0);
  // The set holds exactly the own types.
  const std::set<unsigned> own = {161, 226, 228, 230, 244, 246, 248};
  for (unsigned type = 128; type < 256; ++type) {
    EXPECT_EQ(qv_native_type_set_has(set, type), own.count(type) == 1) << type;
  }
}

TEST(NumericDispatchIdentity, SmallOrMissingNameBuffer) {
  unsigned char name[12];
  std::memset(name, 0xAA, sizeof name);
  unsigned char set[16] = {};
  long count = 9;
  ASSERT_EQ(qvne__dispatch(0, name, set, &count), 0);
  EXPECT_EQ(std::memcmp(name, "greatdane", 9), 0);
  EXPECT_EQ(name[9], 0xAA);  // no room promised for a NUL
  EXPECT_EQ(count, 9);
  count = 4;
  std::memset(name, 0xAA, sizeof name);
  ASSERT_EQ(qvne__dispatch(0, name, set, &count), 0);
  EXPECT_EQ(std::memcmp(name, "grea", 4), 0);
  EXPECT_EQ(name[4], 0xAA);
  EXPECT_EQ(count, 4);
  std::memset(set, 0, sizeof set);
  count = 64;
  ASSERT_EQ(qvne__dispatch(0, nullptr, set, &count), 0);
  EXPECT_EQ(set[12], 0x54);
  EXPECT_EQ(count, 64);
  EXPECT_EQ(qvne__dispatch(0, name, nullptr, &count), -1);
}

TEST(NumericDispatchWidth, AnswersTheWidthOfEveryType) {
  const std::vector<std::pair<std::vector<unsigned>, long>> widths = {
      {{160, 161}, 1},
      {{162, 163, 226, 227}, 2},
      {{164, 165, 180, 228, 229, 244}, 4},
      {{166, 167, 182, 196, 197, 230, 231, 246}, 8},
      {{216}, 10},
      {{218}, 12},
      {{158, 184, 248}, 16},
  };
  std::set<unsigned> known;
  for (const auto& [types, width] : widths) {
    for (unsigned type : types) {
      EXPECT_EQ(qvne__dispatch(type, nullptr, nullptr, nullptr), width) << type;
      known.insert(type);
    }
  }
  for (unsigned type = 1; type < 256; ++type) {
    if (known.count(type) == 0) {
      EXPECT_EQ(qvne__dispatch(type, nullptr, nullptr, nullptr), 0) << type;
    }
  }
}

// ---- The conversion matrix against the processor -------------------------

enum class Kind { Widen, Narrow, RealToInteger, ToSingle, ToDouble, ByteOrder, Move64 };
struct Pair {
  unsigned source;
  unsigned target;
  Kind kind;
};

const Pair kMatrix[] = {
    {161, 226, Kind::Widen}, {161, 228, Kind::Widen}, {161, 230, Kind::Widen}, {161, 244, Kind::Widen},
    {161, 246, Kind::Widen}, {161, 248, Kind::Widen}, {226, 228, Kind::Widen}, {226, 230, Kind::Widen},
    {226, 244, Kind::Widen}, {226, 246, Kind::Widen}, {226, 248, Kind::Widen}, {226, 161, Kind::Narrow},
    {228, 230, Kind::Widen}, {228, 246, Kind::Widen}, {228, 248, Kind::Widen}, {228, 244, Kind::Widen},
    {228, 226, Kind::Narrow}, {228, 161, Kind::Narrow}, {230, 248, Kind::Widen}, {230, 244, Kind::Widen},
    {230, 246, Kind::Widen}, {230, 228, Kind::Narrow}, {230, 226, Kind::Narrow}, {230, 161, Kind::Narrow},
    {230, 196, Kind::Move64}, {230, 197, Kind::Move64}, {244, 246, Kind::Widen}, {244, 248, Kind::Widen},
    {244, 161, Kind::RealToInteger}, {244, 226, Kind::RealToInteger}, {244, 228, Kind::RealToInteger},
    {244, 230, Kind::RealToInteger}, {246, 248, Kind::Widen}, {246, 244, Kind::ToSingle},
    {246, 226, Kind::RealToInteger}, {246, 228, Kind::RealToInteger}, {246, 230, Kind::RealToInteger},
    {248, 246, Kind::ToDouble}, {248, 244, Kind::ToSingle}, {248, 161, Kind::RealToInteger},
    {248, 226, Kind::RealToInteger}, {248, 228, Kind::RealToInteger}, {248, 230, Kind::RealToInteger},
    {226, 162, Kind::ByteOrder}, {226, 163, Kind::ByteOrder}, {226, 227, Kind::ByteOrder},
    {228, 164, Kind::ByteOrder}, {228, 165, Kind::ByteOrder}, {228, 229, Kind::ByteOrder},
    {230, 166, Kind::ByteOrder}, {230, 167, Kind::ByteOrder}, {244, 180, Kind::ByteOrder},
    {246, 182, Kind::ByteOrder}, {248, 184, Kind::ByteOrder},
};

bool IsInteger(unsigned type) { return type == 161 || type == 226 || type == 228 || type == 230; }
size_t SlotOf(unsigned type) { return static_cast<size_t>(qvne__dispatch(type, nullptr, nullptr, nullptr)); }

// A source value as the processor reads it.
struct Value {
  bool integer;
  int64_t i;
  long double r;
};
Value Read(unsigned type, const unsigned char* p) {
  Value v{IsInteger(type), 0, 0};
  switch (type) {
    case 161: v.i = *p; break;
    case 226: { int16_t x; std::memcpy(&x, p, 2); v.i = x; break; }
    case 228: { int32_t x; std::memcpy(&x, p, 4); v.i = x; break; }
    case 230: { int64_t x; std::memcpy(&x, p, 8); v.i = x; break; }
    case 244: { float x; std::memcpy(&x, p, 4); v.r = x; break; }
    case 246: { double x; std::memcpy(&x, p, 8); v.r = x; break; }
    case 248: { long double x = 0; std::memcpy(&x, p, 10); v.r = x; break; }
  }
  return v;
}

std::pair<int64_t, int64_t> RangeOf(unsigned type) {
  switch (type) {
    case 161: return {0, 255};
    case 226: return {std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max()};
    case 228: return {std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
    default: return {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
  }
}

Bytes StoreInteger(unsigned type, int64_t x) {
  switch (type) {
    case 161: return BytesOf(static_cast<uint8_t>(x));
    case 226: return BytesOf(static_cast<int16_t>(x));
    case 228: return BytesOf(static_cast<int32_t>(x));
    default: return BytesOf(x);
  }
}

// Expected bytes of one element, or nothing for an overflow.
std::optional<Bytes> Oracle(const Pair& pair, const unsigned char* src) {
  const Value v = Read(pair.source, src);
  switch (pair.kind) {
    case Kind::Widen:
      if (pair.target == 244) return BytesOf(v.integer ? static_cast<float>(v.i) : static_cast<float>(v.r));
      if (pair.target == 246) return BytesOf(v.integer ? static_cast<double>(v.i) : static_cast<double>(v.r));
      if (pair.target == 248) return ExtendedBytes(v.integer ? static_cast<long double>(v.i) : v.r);
      return StoreInteger(pair.target, v.i);
    case Kind::Narrow: {
      const auto [lo, hi] = RangeOf(pair.target);
      if (v.i < lo || v.i > hi) return std::nullopt;
      return StoreInteger(pair.target, v.i);
    }
    case Kind::RealToInteger: {
      const double x = static_cast<double>(v.r);
      if (std::isnan(x) || std::isinf(x)) return std::nullopt;
      const long double r = std::nearbyint(x);
      const auto [lo, hi] = RangeOf(pair.target);
      if (r < static_cast<long double>(lo) || r > static_cast<long double>(hi)) return std::nullopt;
      return StoreInteger(pair.target, static_cast<int64_t>(r));
    }
    case Kind::ToSingle: {
      const double x = static_cast<double>(v.r);
      if ((pair.source == 248 && std::isinf(x)) || std::fabs(x) > std::numeric_limits<float>::max()) {
        return std::nullopt;
      }
      return BytesOf(static_cast<float>(x));
    }
    case Kind::ToDouble: {
      const double x = static_cast<double>(v.r);
      if (std::isinf(x)) return std::nullopt;
      return BytesOf(x);
    }
    case Kind::ByteOrder: {
      const size_t width = SlotOf(pair.source);
      Bytes out(src, src + width);
      const bool reversed = pair.target < 200;
      if (reversed) {
        if (width == 2) { uint16_t x; std::memcpy(&x, src, 2); x = __builtin_bswap16(x); std::memcpy(out.data(), &x, 2); }
        if (width == 4) { uint32_t x; std::memcpy(&x, src, 4); x = __builtin_bswap32(x); std::memcpy(out.data(), &x, 4); }
        if (width == 8) { uint64_t x; std::memcpy(&x, src, 8); x = __builtin_bswap64(x); std::memcpy(out.data(), &x, 8); }
        if (width == 16) {
          uint64_t halves[2];
          std::memcpy(halves, src, 16);
          const uint64_t swapped[2] = {__builtin_bswap64(halves[1]), __builtin_bswap64(halves[0])};
          std::memcpy(out.data(), swapped, 16);
        }
      }
      return out;
    }
    case Kind::Move64: {
      uint64_t x;
      std::memcpy(&x, src, 8);
      return BytesOf(pair.target == 197 ? __builtin_bswap64(x) : x);
    }
  }
  return std::nullopt;
}

// Values worth converting for a source type: edges, halves, specials, random.
std::vector<Bytes> SamplesOf(unsigned type, std::mt19937_64& rng) {
  std::vector<Bytes> out;
  if (IsInteger(type)) {
    const auto [lo, hi] = RangeOf(type);
    for (int64_t x : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{127}, int64_t{128}, int64_t{255},
                      int64_t{256}, int64_t{-128}, int64_t{32767}, int64_t{32768}, int64_t{-32769},
                      int64_t{2147483647}, int64_t{2147483648}, int64_t{-2147483649}, lo, hi,
                      int64_t{16777217}, int64_t{9007199254740993}}) {
      if (x >= lo && x <= hi) out.push_back(StoreInteger(type, x));
    }
    for (int i = 0; i < 400; ++i) out.push_back(StoreInteger(type, static_cast<int64_t>(rng()) >> (rng() % 64)));
    return out;
  }
  std::vector<long double> reals = {0.0L, -0.0L, 0.5L, 1.5L, 2.5L, -0.5L, -1.5L, -2.5L, 3.7L,
                                    255.4L, 255.5L, 256.0L, -0.4L, -0.6L, 32767.5L, 32766.5L, -32768.5L,
                                    2147483647.4L, 2147483647.6L, -2147483648.5L, 9.2233720368547748e18L,
                                    9223372036854775808.0L, -9223372036854775808.0L,
                                    1e-50L, 1e-320L, 3.4028234663852886e38L, 3.4028235e38L,
                                    1.7976931348623157e308L, 1e4000L, -1e4000L,
                                    std::numeric_limits<long double>::infinity(),
                                    -std::numeric_limits<long double>::infinity(),
                                    std::numeric_limits<long double>::quiet_NaN()};
  std::uniform_real_distribution<double> wide(-1e20, 1e20);
  for (int i = 0; i < 300; ++i) {
    const double x = wide(rng) / std::pow(10.0, static_cast<double>(rng() % 20));
    reals.push_back(x);
    reals.push_back(std::round(x) + 0.5);
  }
  for (int i = 0; i < 100; ++i) {  // random bit patterns, NaNs and subnormals among them
    const uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, 8);
    reals.push_back(d);
  }
  for (long double r : reals) {
    if (type == 244) {
      const double d = static_cast<double>(r);
      if (std::fabs(d) > std::numeric_limits<float>::max() && !std::isinf(d)) continue;
      out.push_back(BytesOf(static_cast<float>(d)));
    } else if (type == 246) {
      const double d = static_cast<double>(r);
      out.push_back(BytesOf(d));
    } else {
      out.push_back(ExtendedBytes(r));
    }
  }
  return out;
}

TEST(NumericDispatchMatrix, EveryPairAgreesWithTheProcessor) {
  ASSERT_EQ(std::fegetround(), FE_TONEAREST);
  std::mt19937_64 rng(20261210);
  for (const Pair& pair : kMatrix) {
    const size_t in_slot = SlotOf(pair.source);
    const size_t out_slot = SlotOf(pair.target);
    for (const Bytes& sample : SamplesOf(pair.source, rng)) {
      const std::optional<Bytes> expected = Oracle(pair, sample.data());
      Bytes out(out_slot, 0xCD);
      long count = 1;
      const long answer = qvne__dispatch(qvne_selector(pair.target, pair.source), out.data(),
                                         const_cast<unsigned char*>(sample.data()), &count);
      SCOPED_TRACE(testing::Message() << pair.source << " -> " << pair.target);
      ASSERT_EQ(in_slot, sample.size());
      if (!expected) {
        EXPECT_EQ(answer, 7);
        EXPECT_EQ(count, 0);
        continue;
      }
      ASSERT_EQ(answer, 0);
      if (pair.target == 248) {
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), Bytes(expected->begin(), expected->begin() + 10));
      } else if ((pair.target == 244 || pair.target == 246) && std::isnan(Read(pair.target, out.data()).r)) {
        EXPECT_TRUE(std::isnan(Read(pair.target, expected->data()).r));  // NaN passes, payload free
      } else {
        EXPECT_EQ(out, *expected);
      }
      EXPECT_EQ(count, pair.kind == Kind::ByteOrder ? static_cast<long>(out_slot) : 1);
    }
  }
}

TEST(NumericDispatchMatrix, PairsOutsideTheMatrixAreRefused) {
  std::set<std::pair<unsigned, unsigned>> supported;
  for (const Pair& pair : kMatrix) supported.insert({pair.source, pair.target});
  unsigned char in[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  for (unsigned source = 128; source < 256; ++source) {
    for (unsigned target = 128; target < 256; ++target) {
      if (source == target || supported.count({source, target})) continue;
      unsigned char out[16];
      std::memset(out, 0xEE, sizeof out);
      long count = 1;
      EXPECT_EQ(qvne__dispatch(qvne_selector(target, source), out, in, &count), -1)
          << source << " -> " << target;
      EXPECT_EQ(out[0], 0xEE);
      EXPECT_EQ(count, 1);
    }
  }
  // Text to text, and selectors with bits above the two type bytes.
  long count = 1;
  EXPECT_EQ(qvne__dispatch(qvne_selector(42, 43), in, in, &count), -1);
  EXPECT_EQ(qvne__dispatch(0x1E4F6, in, in, &count), -1);
}

TEST(NumericDispatchMatrix, OverflowStopsAtTheFirstElementThatDoesNotFit) {
  const int32_t wide[3] = {1, 40000, 3};
  int16_t narrow[3] = {-7, -7, -7};
  long count = 3;
  EXPECT_EQ(qvne__dispatch(qvne_selector(226, 228), narrow, const_cast<int32_t*>(wide), &count), 7);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(narrow[0], 1);
  EXPECT_EQ(narrow[1], static_cast<int16_t>(40000));  // the failing slot holds the cut value
  EXPECT_EQ(narrow[2], -7);

  const double reals[5] = {1.5, 2.5, -0.5, 3.7, 2147483647.6};
  int32_t ints[5] = {9, 9, 9, 9, 9};
  count = 5;
  EXPECT_EQ(qvne__dispatch(qvne_selector(228, 246), ints, const_cast<double*>(reals), &count), 7);
  EXPECT_EQ(count, 4);
  EXPECT_EQ((std::vector<int32_t>(ints, ints + 5)), (std::vector<int32_t>{2, 2, 0, 4, 9}));

  for (long empty : {0L, -3L}) {
    count = empty;
    EXPECT_EQ(qvne__dispatch(qvne_selector(226, 228), narrow, const_cast<int32_t*>(wide), &count), 0);
    EXPECT_EQ(count, 0);  // conversions that can overflow report none done
    count = empty;
    EXPECT_EQ(qvne__dispatch(qvne_selector(230, 228), narrow, const_cast<int32_t*>(wide), &count), 0);
    EXPECT_EQ(count, empty);
  }
}

TEST(NumericDispatchMatrix, ByteOrderConvertsOneValueWhateverTheCount) {
  const uint16_t value = 0x1234;
  unsigned char out[10];
  std::memset(out, 0xEE, sizeof out);
  long count = 5;
  ASSERT_EQ(qvne__dispatch(qvne_selector(162, 226), out, const_cast<uint16_t*>(&value), &count), 0);
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(out[1], 0x34);
  EXPECT_EQ(out[2], 0xEE);
  EXPECT_EQ(count, 2);
  for (auto [source, target] : {std::pair{230u, 164u}, {230u, 165u}, {244u, 182u}, {248u, 182u}}) {
    count = 1;
    EXPECT_EQ(qvne__dispatch(qvne_selector(target, source), out, out, &count), -1) << source;
  }
  count = 1;
  EXPECT_EQ(qvne__dispatch(qvne_selector(162, 226), nullptr, out, &count), -1);
  EXPECT_EQ(qvne__dispatch(qvne_selector(162, 226), out, nullptr, &count), -1);
  EXPECT_EQ(qvne__dispatch(qvne_selector(162, 226), out, out, nullptr), -1);
}

TEST(NumericDispatchMatrix, BigEndianLongLong) {
  const int64_t five[2] = {5, -2};
  unsigned char out[16];
  long count = 2;
  ASSERT_EQ(qvne__dispatch(qvne_selector(197, 230), out, const_cast<int64_t*>(five), &count), 0);
  const unsigned char expected[16] = {0, 0, 0, 0, 0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
  EXPECT_EQ(std::memcmp(out, expected, 16), 0);
  EXPECT_EQ(count, 2);
}

TEST(NumericDispatchCopy, SameTypeCopiesAndExtendedKeepsThePadding) {
  const long double values[2] = {1.25L, -3.0e300L};
  unsigned char out[32];
  std::memset(out, 0xEE, sizeof out);
  long count = 2;
  ASSERT_EQ(qvne__dispatch(qvne_selector(248, 248), out, const_cast<long double*>(values), &count), 0);
  for (int slot = 0; slot < 2; ++slot) {
    EXPECT_EQ(std::memcmp(out + 16 * slot, &values[slot], 10), 0);
    for (int i = 10; i < 16; ++i) EXPECT_EQ(out[16 * slot + i], 0xEE);
  }
  const int16_t shorts[3] = {1, -2, 3};
  int16_t copy[3] = {};
  count = 3;
  ASSERT_EQ(qvne__dispatch(qvne_selector(226, 226), copy, const_cast<int16_t*>(shorts), &count), 0);
  EXPECT_EQ(std::memcmp(copy, shorts, sizeof shorts), 0);
  // Foreign types move as bytes of their width; an unknown width moves nothing.
  unsigned char in12[24], out12[24] = {};
  for (int i = 0; i < 24; ++i) in12[i] = static_cast<unsigned char>(i + 1);
  count = 2;
  ASSERT_EQ(qvne__dispatch(qvne_selector(218, 218), out12, in12, &count), 0);
  EXPECT_EQ(std::memcmp(out12, in12, 24), 0);
  std::memset(out12, 0, sizeof out12);
  ASSERT_EQ(qvne__dispatch(qvne_selector(155, 155), out12, in12, &count), 0);
  EXPECT_EQ(out12[0], 0);
}

}  // namespace

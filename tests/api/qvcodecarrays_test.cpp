// Arrays in both forms: an array token with its heads block and packed runs,
// or the nested functions it stands for. Written by the array engine and read
// back through a scripted device in pieces of 1, 5 and 4096 bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "api/qvarraymeter.h"
#include "api/qvtokentypes.h"
#include "qvcodectest.h"

namespace {

using qvcodec::Bytes;
using qvcodec::ForEveryPiece;
using qvcodec::kList;
using qvcodec::ListHeads;
using qvcodec::Raw;
using qvcodec::Features;
using qvcodec::Hex;
using qvcodec::QueueWriter;
using qvcodec::StreamReader;

Bytes WriteIntArray(uint64_t features, const std::vector<int64_t>& dimensions, const std::vector<int32_t>& leaves) {
  QueueWriter w(Features(features));
  qvmeter meter;
  ListHeads(&meter, dimensions);
  EXPECT_EQ(QVPutArray_(w.state(), nullptr, w.queue(), &meter), 0);
  EXPECT_EQ(QVPutBinaryNumberArrayData_(w.state(), nullptr, w.queue(), &meter, leaves.data(), 228,
                                        static_cast<int64_t>(leaves.size())),
            0);
  EXPECT_EQ(meter.leaves_left, 0);
  return w.Take();
}

struct ReadArray {
  long error = -1;
  uint64_t leaf_type = 0;
  std::vector<int64_t> dimensions;
  std::vector<int32_t> leaves;
};

ReadArray ReadIntArray(StreamReader& r, int64_t depth_limit = kAnyDepth) {
  ReadArray out;
  qvmeter meter;
  meter.depth = depth_limit;
  out.error = QVGetArrayType_(nullptr, nullptr, nullptr, r.state(), r.stack(), r.queues(), &meter, &out.leaf_type);
  if (out.error != 0) return out;
  out.error = QVGetArrayDimensions_(r.state(), &meter);
  out.dimensions.assign(meter.dimensions, meter.dimensions + meter.depth);
  out.leaves.assign(static_cast<size_t>(meter.leaves_left), 0);
  int64_t count = 0;
  if (out.error == 0 && !out.leaves.empty()) {
    out.error = QVGetBinaryNumberArrayData_(r.state(), r.stack(), r.queues(), &meter, out.leaves.data(),
                                            static_cast<int64_t>(out.leaves.size()), 228, &count);
    EXPECT_EQ(count, static_cast<int64_t>(out.leaves.size()));
  }
  QVReleaseArrayState0_(&meter);
  return out;
}

const std::vector<int32_t> kSix = {1, 2, 3, 4, 5, 6};

TEST(CodecArrays, ArrayTokenWithPackedRunHasExactBytes) {
  const Bytes expected = Hex({0x41, 0x46, 0x44, 0x59, 0x46, 0x42}) + kList + Hex({0x46, 0x43}) + kList +
                         Hex({0x2E, 0x0A, 0x50, 0x46, 0xE4}) + Raw(kSix) + "\n";
  EXPECT_EQ(WriteIntArray(QVFEATURE_ALL, {2, 3}, kSix), expected);
}

TEST(CodecArrays, NestedFormRepeatsTheHeadsAtEverySubArray) {
  Bytes expected = Hex({0x46, 0x42}) + kList + Hex({0x46, 0x43}) + kList;
  for (int32_t v : {1, 2, 3}) expected += Hex({0xE4}) + Raw(std::vector<int32_t>{v}) + "\n";
  expected += Hex({0x46, 0x43}) + kList;
  for (int32_t v : {4, 5, 6}) expected += Hex({0xE4}) + Raw(std::vector<int32_t>{v}) + "\n";
  EXPECT_EQ(WriteIntArray(QVFEATURE_SHORT_LENGTHS | QVFEATURE_PACKED_RUNS, {2, 3}, kSix), expected);
}

TEST(CodecArrays, BothFormsReadBackTheSame) {
  for (uint64_t features : {uint64_t{QVFEATURE_ALL}, uint64_t{QVFEATURE_SHORT_LENGTHS}, uint64_t{0}}) {
    ForEveryPiece(WriteIntArray(features, {2, 3}, kSix) + Hex({0xA1, 9, 0x0A}), [](StreamReader& r) {
      const ReadArray a = ReadIntArray(r);
      EXPECT_EQ(a.error, 0);
      EXPECT_EQ(a.leaf_type, 43u);
      EXPECT_EQ(a.dimensions, (std::vector<int64_t>{2, 3}));
      EXPECT_EQ(a.leaves, kSix);
      long e = -1;
      EXPECT_EQ(r.Number<uint8_t>(161, &e), 9);  // the stream goes on after the array
      EXPECT_EQ(e, 0);
    });
  }
}

TEST(CodecArrays, AnArrayTokenAskedForAsAFunctionReadsNested) {
  ForEveryPiece(WriteIntArray(QVFEATURE_ALL, {2, 3}, kSix), [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Next(&e), 70u);
    EXPECT_EQ(r.ArgCount(&e), 2);
    EXPECT_EQ(r.Next(&e), 35u);
    EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "List");
    for (int row = 0; row < 2; ++row) {
      EXPECT_EQ(r.Next(&e), 70u);
      EXPECT_EQ(r.ArgCount(&e), 3);
      EXPECT_EQ(r.Next(&e), 35u);
      EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "List");
      for (int column = 0; column < 3; ++column) EXPECT_EQ(r.Number<int32_t>(228, &e), kSix[row * 3 + column]);
    }
    EXPECT_EQ(e, 0);
    EXPECT_EQ(r.state()->owed, 0);
  });
}

TEST(CodecArrays, AnEmptyArrayInNestedFormIsItsWholeSkeleton) {
  const Bytes empty_row = Hex({0x46, 0x40}) + kList;
  EXPECT_EQ(WriteIntArray(QVFEATURE_SHORT_LENGTHS, {2, 0}, {}), Hex({0x46, 0x42}) + kList + empty_row + empty_row);
  EXPECT_EQ(WriteIntArray(QVFEATURE_SHORT_LENGTHS, {0, 3}, {}), Hex({0x46, 0x40}) + kList);
}

TEST(CodecArrays, AZeroDimensionHasNoLeaves) {
  for (uint64_t features : {uint64_t{QVFEATURE_ALL}, uint64_t{QVFEATURE_SHORT_LENGTHS}}) {
    ForEveryPiece(WriteIntArray(features, {3, 0}, {}) + Hex({0xA1, 9, 0x0A}), [](StreamReader& r) {
      const ReadArray a = ReadIntArray(r);
      EXPECT_EQ(a.error, 0);
      EXPECT_EQ(a.leaf_type, 46u);
      EXPECT_TRUE(a.leaves.empty());
      long e = -1;
      EXPECT_EQ(r.Number<uint8_t>(161, &e), 9);
    });
  }
}

TEST(CodecArrays, LeavesInsideTheHeadsBlockAreReadFirst) {
  // The block carries the run's type byte and first two elements; the rest follows it.
  const Bytes inside = Hex({0x50, 0x46, 0xE4}) + Raw(std::vector<int32_t>{1, 2});
  const Bytes block = Hex({0x46, 0x42}) + kList + Hex({0x46, 0x43}) + kList + "." + inside;
  Bytes bytes = Hex({0x41, 0x46, 0x44}) + Bytes(1, static_cast<char>(0x40 | block.size())) + block + "\n" +
                Raw(std::vector<int32_t>{3, 4, 5, 6}) + "\n";
  ForEveryPiece(bytes, [](StreamReader& r) {
    const ReadArray a = ReadIntArray(r);
    EXPECT_EQ(a.error, 0);
    EXPECT_EQ(a.leaves, kSix);
  });
}

TEST(CodecArrays, RunsMoveInBulkAndConvertInBatches) {
  std::vector<int32_t> five = {10, 20, 30, 40, 50};
  StreamReader own(Hex({0x50, 0x45, 0xE4}) + Raw(five) + "\n");
  std::vector<int32_t> got(5, 0);
  int64_t count = 0;
  ASSERT_EQ(QVGetBinaryNumberArrayData_(own.state(), own.stack(), own.queues(), nullptr, got.data(), 4, 228, &count),
            0);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(own.state()->packed_run, 1);  // four at once; the last is left to a single read
  ASSERT_EQ(QVGetBinaryNumberArrayData_(own.state(), own.stack(), own.queues(), nullptr, got.data() + 4, 1, 228,
                                        &count),
            0);
  EXPECT_EQ(got, five);

  // 200 doubles read as singles: batches of at most 480 bytes of source.
  std::vector<double> doubles(200);
  for (size_t i = 0; i < doubles.size(); ++i) doubles[i] = 0.5 * static_cast<double>(i);
  StreamReader other(Bytes("P200 ") + Hex({0xF6}) + Raw(doubles) + "\n", 4096);
  static int64_t largest = 0;
  largest = 0;
  other.state()->dispatch = [](unsigned long selector, void* dst, void* src, long* elements) {
    if (elements != nullptr && (selector >> 8) >= 128 && (selector & 0xFF) >= 128) {
      largest = std::max<int64_t>(largest, *elements);
    }
    return qvne__dispatch(selector, dst, src, elements);
  };
  std::vector<float> singles(200);
  ASSERT_EQ(QVGetBinaryNumberArrayData_(other.state(), other.stack(), other.queues(), nullptr, singles.data(), 200,
                                        244, &count),
            0);
  EXPECT_EQ(count, 200);
  EXPECT_LE(largest * 8, 480);
  for (size_t i = 0; i < singles.size(); ++i) EXPECT_EQ(singles[i], static_cast<float>(doubles[i]));
}

TEST(CodecArrays, AnElementThatDoesNotFitStopsTheReadAndReadsAgain) {
  StreamReader r(Hex({0x50, 0x44, 0xE4}) + Raw(std::vector<int32_t>{1, 2, 70000, 4}) + "\n");
  std::vector<int16_t> got(4, 0);
  int64_t count = 0;
  EXPECT_EQ(QVGetBinaryNumberArrayData_(r.state(), r.stack(), r.queues(), nullptr, got.data(), 4, 226, &count), 7);
  EXPECT_EQ(count, 2);
  long e = -1;
  EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "70000");
  EXPECT_EQ(r.Number<int16_t>(226, &e), 4);
  EXPECT_EQ(e, 0);
}

TEST(CodecArrays, HostileDimensionsAreRefusedBeforeAnythingIsAllocated) {
  // Dimensions whose product wraps.
  StreamReader wraps(Bytes("F4294967296 ") + kList + "F4294967296 " + kList + "F16 " + kList);
  ReadArray a = ReadIntArray(wraps);
  EXPECT_EQ(a.error, 2);
  // A leaf count that is not the dimensions' product.
  const Bytes block = Hex({0x46, 0x42}) + kList + ".";
  StreamReader lies(Bytes("A1000000000000 D") + Bytes(1, static_cast<char>(0x40 | block.size())) + block + "\n");
  a = ReadIntArray(lies);
  EXPECT_EQ(a.error, 2);
  EXPECT_LT(lies.memory().peak, 4096);
}

}  // namespace

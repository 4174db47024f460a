// Arrays at the edges of their forms: empty sub-arrays in nested form, leaves
// an array token carries inside its heads block when the array is skipped,
// arrays nested in arrays deeper than the reader's stack allows, and more
// leaves offered than the array has.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "api/qvarraymeter.h"
#include "api/qvtokentypes.h"
#include "qvcodecloopback.h"
#include "qvcodectest.h"

namespace {

using qvcodec::Bytes;
using qvcodec::ForEveryPiece;
using qvcodec::kList;
using qvcodec::ListHeads;
using qvcodec::Features;
using qvcodec::Hex;
using qvcodec::QueueWriter;
using qvcodec::StreamReader;

Bytes Short(int64_t n) { return Bytes(1, static_cast<char>(0x40 | n)); }
Bytes Function(int64_t n) { return "F" + Short(n) + kList; }
// An array token: leaf count, heads block (with anything it carries), its newline.
Bytes ArrayToken(int64_t leaves, const Bytes& block) { return "A" + Short(leaves) + "D" + Short(static_cast<int64_t>(block.size())) + block + "\n"; }
Bytes Int8(int value) { return Hex({0xA1, value, 0x0A}); }

Bytes WriteInt8Array(uint64_t features, const std::vector<int64_t>& dimensions, const std::vector<int8_t>& leaves,
                     int64_t* left = nullptr) {
  QueueWriter w(Features(features));
  qvmeter meter;
  ListHeads(&meter, dimensions);
  EXPECT_EQ(QVPutArray_(w.state(), nullptr, w.queue(), &meter), 0);
  if (!leaves.empty()) {
    EXPECT_EQ(QVPutBinaryNumberArrayData_(w.state(), nullptr, w.queue(), &meter, leaves.data(), 161,
                                          static_cast<int64_t>(leaves.size())),
              0);
  }
  if (left != nullptr) *left = meter.leaves_left;
  return w.Take();
}

// {{}, {}, {}} as nested functions is three empty sub-arrays, not one.
TEST(CodecReview, EmptySubArraysAreAllWrittenInNestedForm) {
  EXPECT_EQ(WriteInt8Array(QVFEATURE_SHORT_LENGTHS, {3, 0}, {}),
            Function(3) + Function(0) + Function(0) + Function(0));
  EXPECT_EQ(WriteInt8Array(QVFEATURE_SHORT_LENGTHS, {2, 2, 0}, {}),
            Function(2) + Function(2) + Function(0) + Function(0) + Function(2) + Function(0) + Function(0));
}

// Reading an empty nested array takes all of it: what follows is the next expression.
TEST(CodecReview, AnEmptyNestedArrayIsReadWhole) {
  const Bytes empty = Function(3) + Function(0) + Function(0) + Function(0);
  for (const Bytes& bytes : {empty + Int8(9), Function(2) + empty + Int8(9)}) {
    ForEveryPiece(bytes, [&](StreamReader& r) {
      long e = -1;
      if (bytes[0] == 'F' && bytes[1] == 0x42) {  // inside f[List, array, 9]
        EXPECT_EQ(r.Next(&e), 70u);
        EXPECT_EQ(r.ArgCount(&e), 2);
        EXPECT_EQ(r.Next(&e), 35u);
        EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "List");
      }
      qvmeter meter;
      meter.depth = kAnyDepth;
      uint64_t leaf = 0;
      ASSERT_EQ(QVGetArrayType_(nullptr, nullptr, nullptr, r.state(), r.stack(), r.queues(), &meter, &leaf), 0);
      EXPECT_EQ(leaf, 46u);
      ASSERT_EQ(QVGetArrayDimensions_(r.state(), &meter), 0);
      EXPECT_EQ(std::vector<int64_t>(meter.dimensions, meter.dimensions + meter.depth),
                (std::vector<int64_t>{3, 0}));
      EXPECT_EQ(r.Number<int8_t>(161, &e), 9);
      EXPECT_EQ(e, 0);
      EXPECT_EQ(r.state()->owed, 0);
    });
  }
}

// An array token with an empty level, asked for as a function, reads as every
// sub-array it stands for.
TEST(CodecReview, AnEmptyArrayTokenReadsAsAllItsSubArrays) {
  ForEveryPiece(ArrayToken(0, Function(3) + Function(0) + ".") + Int8(9), [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Next(&e), 70u);
    EXPECT_EQ(r.ArgCount(&e), 3);
    EXPECT_EQ(r.Next(&e), 35u);
    EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "List");
    for (int row = 0; row < 3; ++row) {
      EXPECT_EQ(r.Next(&e), 70u);
      EXPECT_EQ(r.ArgCount(&e), 0);
      EXPECT_EQ(r.Next(&e), 35u);
      EXPECT_EQ(r.Text(ENCODING_BYTES, &e), "List");
    }
    EXPECT_EQ(r.state()->owed, 0);
    EXPECT_EQ(r.Number<int8_t>(161, &e), 9);
    EXPECT_EQ(e, 0);
  });
}

// The skeleton of an empty array token read as a function is bounded: a few
// bytes declaring millions of empty sub-arrays are refused, not expanded.
TEST(CodecReview, AHugeEmptyArrayTokenIsNotExpandedAsAFunction) {
  const Bytes block = "F2000000 " + kList + Function(0) + ".";
  StreamReader r("A" + Short(0) + "D" + Short(static_cast<int64_t>(block.size())) + block + "\n");
  long e = -1;
  EXPECT_EQ(r.Next(&e), 70u);
  r.ArgCount(&e);
  EXPECT_EQ(e, 8);
}

// Skipping an array whose heads block carries a leaf skips that array alone.
TEST(CodecReview, SkippingAnArrayCountsTheLeavesInsideItsHeadsBlock) {
  const Bytes array = ArrayToken(2, Function(2) + "." + Int8(1)) + Int8(2);
  ForEveryPiece(array + "]" + Int8(9) + "]", [](StreamReader& r) {
    EXPECT_EQ(QVNewExpression_(r.state(), r.stack(), r.queues(), 1), 0);
    EXPECT_EQ(r.state()->owed, 0);
    long e = -1;
    EXPECT_EQ(r.Number<int8_t>(161, &e), 9);
    EXPECT_EQ(e, 0);
  });
  ForEveryPiece(Function(2) + array + Int8(7) + "]", [](StreamReader& r) {
    long e = -1;
    EXPECT_EQ(r.Next(&e), 70u);
    EXPECT_EQ(r.ArgCount(&e), 2);
    EXPECT_EQ(QVNewExpression_(r.state(), r.stack(), r.queues(), 1), 0);  // the head
    EXPECT_EQ(QVNewExpression_(r.state(), r.stack(), r.queues(), 1), 0);  // the array
    EXPECT_EQ(r.state()->owed, 1);
    EXPECT_EQ(r.state()->converter.step, 0);
    EXPECT_EQ(r.Number<int8_t>(161, &e), 7);
    EXPECT_EQ(e, 0);
    EXPECT_EQ(QVNewPacket_(r.state(), r.stack(), r.queues()), 0);
  });
}

// Arrays whose one leaf is again an array, very deep: a small stream must not
// exhaust the reader's stack.
TEST(CodecReview, DeeplyNestedArrayTokensAreRefusedNotOverflowed) {
  const Bytes level = ArrayToken(1, Function(1) + ".");
  Bytes shallow;
  for (int i = 0; i < 3; ++i) shallow += level;
  StreamReader ok(shallow + Int8(5));
  long e = -1;
  EXPECT_EQ(ok.Next(&e), 70u);
  EXPECT_EQ(ok.ArgCount(&e), 1);
  EXPECT_EQ(e, 0);

  Bytes deep;
  for (int i = 0; i < 200000; ++i) deep += level;
  deep += Int8(5);
  qvloop::LoopbackSide side;
  ASSERT_TRUE(side.ok());
  ASSERT_EQ(qvqueue_putn(side.base(), deep.data(), static_cast<int64_t>(deep.size())),
            static_cast<int64_t>(deep.size()));
  uint64_t type = 0;
  EXPECT_EQ(QVGetNextType_(side.reader(), side.stack(), side.queues(), &type), 0);
  EXPECT_EQ(type, 70u);
  int64_t count = 0;
  EXPECT_EQ(QVGetArgCount_(side.reader(), side.stack(), side.queues(), &count), 8);
}

// Leaves beyond the array's count are not written, in whichever form.
TEST(CodecReview, NoMoreLeavesAreWrittenThanTheArrayHas) {
  for (uint64_t features : {uint64_t{QVFEATURE_ALL}, uint64_t{QVFEATURE_SHORT_LENGTHS | QVFEATURE_ARRAYS},
                            uint64_t{QVFEATURE_SHORT_LENGTHS}}) {
    SCOPED_TRACE(features);
    int64_t left = -1;
    EXPECT_EQ(WriteInt8Array(features, {2}, {1, 2, 3}, &left), WriteInt8Array(features, {2}, {1, 2}));
    EXPECT_EQ(left, 0);
  }
}

}  // namespace

// Faults the token-reader fuzz target found in the codec, each kept as the
// smallest case that showed it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/qvarraymeter.h"
#include "qvcodecloopback.h"

namespace {

using qvcodec::Bytes;
using qvcodec::Hex;
using qvcodec::StreamReader;
using qvloop::LoopbackSide;

const Bytes kList = Hex({0x23, 0x47, 0x41, 0x7E, 0x44, 0x4C, 0x69, 0x73, 0x74, 0x0A});

// A "." where the first leaf should start read as the leaf type of an array
// without leaves (46) while the meter counted leaves to come.
TEST(CodecFuzzFinds, AHeadsBlockEndWhereALeafStartsIsRefused) {
  for (int64_t depth_limit : {int64_t{0}, int64_t{1}}) {
    SCOPED_TRACE(depth_limit);
    StreamReader r(Hex({0x46, 0x42}) + kList + ".\n" + Hex({0xA1, 1, 0x0A}));
    qvmeter meter;
    meter.depth = depth_limit;
    uint64_t leaf = 0;
    EXPECT_EQ(QVGetArrayType_(nullptr, nullptr, nullptr, r.state(), r.stack(), r.queues(), &meter, &leaf), 2);
    EXPECT_EQ(rs__last_error(r.state()), 2);
    QVReleaseArrayState0_(&meter);
  }
}

// An array token read as a function is written again in nested form, where
// every sub-array repeats the heads of its levels. With many leaves under
// deep levels of one element each, that grows with the product of the two: a
// 21 KB token (80 levels, 20000 leaves) made about 20 MB. The heads written
// are bounded whether the array has leaves or not.
TEST(CodecFuzzFinds, ANestedFormThatRepeatsItsHeadsTooOftenIsRefused) {
  constexpr int kLevels = 80;
  constexpr int kLeaves = 20000;
  const auto length = [](size_t n) { return std::to_string(n) + " "; };
  Bytes heads = "F" + length(kLeaves) + kList;
  for (int level = 1; level < kLevels; ++level) heads += Hex({0x46, 0x41}) + kList;
  heads += ".";
  const Bytes token = "A" + length(kLeaves) + "D" + length(heads.size()) + heads + "\n" + "P" + length(kLeaves) +
                      Hex({0xA1}) + Bytes(kLeaves, '\1') + "\n";
  StreamReader r(token);
  long e = -1;
  EXPECT_EQ(r.Next(&e), 70u);
  r.ArgCount(&e);
  EXPECT_EQ(e, 8);
  // A few sub-arrays under the same levels still read as nested functions.
  Bytes few = "F" + length(3) + kList;
  for (int level = 1; level < kLevels; ++level) few += Hex({0x46, 0x41}) + kList;
  few += ".";
  StreamReader small("A" + length(3) + "D" + length(few.size()) + few + "\n" + Hex({0x50, 0x43, 0xA1, 1, 2, 3, 0x0A}));
  EXPECT_EQ(small.Next(&e), 70u);
  EXPECT_EQ(small.ArgCount(&e), 3);
  EXPECT_EQ(e, 0);
}

// A mark on a queue keeps that queue from being destroyed. A queue mark set on
// the link's own input outlived the input whenever the link let that queue go
// while the mark was set, and nothing destroyed it afterwards: the queue and
// every chunk after its position stayed for the life of the process. The link
// lets its queue go when it seeks to a copy of its queue stack, and when a
// copy that shares the queue is released.
class MarkRelease : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(side_.ok());
    for (int8_t v : {1, 2, 3}) {
      ASSERT_EQ(side_.Number(v, 161), 0);
      ASSERT_EQ(side_.End(), 0);
    }
    ASSERT_EQ(side_.Flush(), 0);
  }
  void TearDown() override {
    for (QVLinkMark* mark : marks_) {
      QVDeconstructMark_(side_.queues(), mark);
      QVDestroyMark_(mark);
    }
  }
  QVLinkMark* Mark(uint64_t kind) {
    QVLinkMark* mark = QVGetNewMark_();
    if (mark == nullptr) return nullptr;
    marks_.push_back(mark);
    EXPECT_EQ(QVConstructMark_(mark, side_.reader(), side_.queues()), 0);
    EXPECT_EQ(mark->kind, kind);
    return mark;
  }
  void Release(QVLinkMark* mark) { QVDeconstructMark_(side_.queues(), mark); }
  long Seek(QVLinkMark* mark) { return QVSeek_(side_.reader(), side_.stack(), side_.queues(), mark, 0); }
  // Only the link's own queue is left of the input's family.
  void ExpectNothingLeftBehind() {
    EXPECT_EQ(qvqueue_sibling_count(side_.base()), 1);
    EXPECT_EQ(qvqk__outstanding_marks(side_.queues()), 0);
  }

  LoopbackSide side_;
  std::vector<QVLinkMark*> marks_;
};

TEST_F(MarkRelease, ASeekToACopyLeavesNoQueueBehind) {
  qvqueue_disable_borrow(side_.base());
  QVLinkMark* plain = Mark(QVMARK_QUEUE_MARK);
  qvqueue_enable_borrow(side_.base());
  EXPECT_EQ(side_.Read<int8_t>(161), 1);
  QVLinkMark* copy = Mark(QVMARK_QUEUE_STACK);  // a window is borrowed
  EXPECT_EQ(side_.Read<int8_t>(161), 2);
  ASSERT_EQ(Seek(copy), 0);
  EXPECT_EQ(side_.Read<int8_t>(161), 2);
  ASSERT_EQ(Seek(plain), 0);
  EXPECT_EQ(side_.Read<int8_t>(161), 1);
  Release(plain);
  Release(copy);
  ExpectNothingLeftBehind();
  EXPECT_EQ(side_.Read<int8_t>(161), 2);
}

TEST_F(MarkRelease, ACopyReleasedBeforeTheQueueMarkLeavesNoQueueBehind) {
  qvqueue_disable_borrow(side_.base());
  QVLinkMark* plain = Mark(QVMARK_QUEUE_MARK);
  EXPECT_EQ(side_.Read<int8_t>(161), 1);
  ASSERT_TRUE(side_.PushLevel(Hex({0xA1, 9, 0x0A})));
  QVLinkMark* copy = Mark(QVMARK_QUEUE_STACK);  // shares the input below the level
  EXPECT_EQ(side_.Read<int8_t>(161), 9);
  EXPECT_EQ(side_.Read<int8_t>(161), 2);  // past the level: the link reads a fork
  Release(copy);
  ASSERT_EQ(Seek(plain), 0);
  EXPECT_EQ(side_.Read<int8_t>(161), 1);
  Release(plain);
  ExpectNothingLeftBehind();
  EXPECT_EQ(side_.Read<int8_t>(161), 2);
}

}  // namespace

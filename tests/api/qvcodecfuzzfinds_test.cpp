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

Bytes Length(size_t n) { return std::to_string(n) + " "; }

// An array token of 8-bit leaves in one packed run under levels of "List":
// the outermost of `leaves` elements, every other of one.
Bytes DeepArray(int levels, int leaves) {
  Bytes heads = "F" + Length(static_cast<size_t>(leaves)) + kList;
  for (int level = 1; level < levels; ++level) heads += Hex({0x46, 0x41}) + kList;
  heads += ".";
  return "A" + Length(static_cast<size_t>(leaves)) + "D" + Length(heads.size()) + heads + "\n" + "P" +
         Length(static_cast<size_t>(leaves)) + Hex({0xA1}) + Bytes(static_cast<size_t>(leaves), '\1') + "\n";
}

// Reads the token as a function: its argument count, or the error.
long ArgCountOf(const Bytes& token, int64_t* count) {
  StreamReader r(token);
  long e = -1;
  if (r.Next(&e) != 70u) return e;
  *count = r.ArgCount(&e);
  return e;
}

// An array token read as a function is written again in nested form, where
// every sub-array repeats the heads of its levels. With many leaves under
// deep levels of one element each, that grows with the product of the two: a
// 21 KB token (80 levels, 20000 leaves) made about 20 MB, and arrays inside an
// array's leaves each made as much again. The heads written are bounded for
// an array with leaves too, and for an array token with those inside it.
TEST(CodecFuzzFinds, NestedFormsThatRepeatTheirHeadsTooOftenAreRefused) {
  const Bytes near_the_bound = DeepArray(80, 6000);  // about 6 MB of nested form
  const Bytes two = "A" + Length(2) + "D" + Length(kList.size() + 4) + "F" + Length(2) + kList + ".\n";
  struct Case {
    const char* what;
    Bytes token;
    long error;
    int64_t count;
  };
  const Case cases[] = {
      {"few sub-arrays under deep levels", DeepArray(80, 3), 0, 3},
      {"one array near the bound", near_the_bound, 0, 6000},
      {"many sub-arrays under deep levels", DeepArray(80, 20000), 8, -1},
      {"two arrays near the bound inside one", two + near_the_bound + near_the_bound, 8, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int64_t count = -1;
    EXPECT_EQ(ArgCountOf(c.token, &count), c.error);
    EXPECT_EQ(count, c.count);
  }
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

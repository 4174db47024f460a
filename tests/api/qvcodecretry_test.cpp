// A length whose device read is aborted (25) is read again, twice at most:
// two aborted reads are survived wherever they cut the length, a third ends
// the read with 1 (the byte source reported an error).
#include <gtest/gtest.h>

#include "qvcodectest.h"

namespace {

using qvcodec::Bytes;
using qvcodec::Hex;

// A read state over a scripted device to which the test hands the bytes in
// two parts: the second arrives only after the first is read.
class SplitReader {
 public:
  SplitReader() : device_(qvtest::ScriptedOptions{.name = "retry"}) {
    plumbing_ = qvtest::LinkPlumbing::OverDevice(device_.TakeInstance());
    rs__construct(&state_, qvne__dispatch, qvcodec::TextEnvironment(), cs__factory, nullptr,
                  qvcodec::Descriptor("greatdane"), qvcodec::Descriptor("greatdane"), 0, nullptr, nullptr);
  }
  ~SplitReader() { rs__deconstruct(&state_, nullptr); }
  SplitReader(const SplitReader&) = delete;
  SplitReader& operator=(const SplitReader&) = delete;

  bool ok() const { return plumbing_ != nullptr; }
  qvtest::ScriptedDevice& device() { return device_; }
  read_state* state() { return &state_; }
  device_kebab* stack() { return plumbing_->device(); }
  qv_queue_stack* queues() { return plumbing_->queues(); }

 private:
  qvtest::ScriptedDevice device_;
  std::unique_ptr<qvtest::LinkPlumbing> plumbing_;
  read_state state_;
};

TEST(CodecRetry, AnAbortedLengthReadIsTriedTwiceAtMost) {
  // A string of the nine bytes a to i: its body is "B~I" and the bytes.
  const Bytes body = Bytes("B~") + Hex({0x49}) + "abcdefghi\n";
  struct Case {
    const char* cut;
    Bytes first;  // read with the type byte
    Bytes rest;   // arrives after the aborted reads
  };
  const Case cases[] = {
      {"before a long length", "\"", "12 " + body},
      {"between its digits", "\"1", "2 " + body},
      {"before its blank", "\"12", " " + body},
      {"before a short length", "\"", Hex({0x4C}) + body},
  };
  for (const Case& c : cases) {
    for (int aborted : {1, 2, 3}) {
      SCOPED_TRACE(testing::Message() << c.cut << ", " << aborted << " aborted reads");
      SplitReader r;
      ASSERT_TRUE(r.ok());
      r.device().WriteBytes(c.first);
      uint64_t type = 0;
      ASSERT_EQ(QVGetNextType_(r.state(), r.stack(), r.queues(), &type), 0);
      ASSERT_EQ(type, 34u);
      r.device().FailNext(qvtest::ScriptedOp::Read, 25, aborted);
      r.device().WriteBytes(c.rest);
      int64_t length = -1;
      const long e = QVRawBytesToGet_(r.state(), r.stack(), r.queues(), &length);
      if (aborted > 2) {
        EXPECT_EQ(e, 1);
        EXPECT_EQ(rs__last_error(r.state()), 1);
        continue;
      }
      ASSERT_EQ(e, 0);
      EXPECT_EQ(length, 12);
      // The length lost nothing: the body reads whole, then its terminator.
      char data[16] = {};
      int64_t count = 0;
      EXPECT_EQ(QVGetRawData_(r.state(), r.stack(), r.queues(), data, sizeof data, &count), 0);
      EXPECT_EQ(Bytes(data, static_cast<size_t>(count)), "B~Iabcdefghi");
      EXPECT_EQ(r.state()->converter.wire_left, -1);
    }
  }
}

}  // namespace

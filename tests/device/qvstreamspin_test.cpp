// The look a stream device takes before it blocks: it never takes a byte and
// never waits for one beyond its short spin, whether looks are still made or
// have stopped after missing, and it sees an end of file as readable.
#include <unistd.h>

#include <gtest/gtest.h>

#include "device/qvstreamspin.h"
#include "tests/device/qvpipestest.h"

namespace {

TEST(StreamSpin, TakesNoBytesAndWaitsForNone) {
  qvtest::RawPipe pipe;
  Quorvane::QVStreamSpin spin;
  // Enough misses for the looks to stop, and some after.
  for (int i = 0; i < 2 * Quorvane::QVStreamSpin::kMissesTolerated; ++i) {
    EXPECT_FALSE(Quorvane::SpinUntilReadable(&spin, pipe.r())) << i;
  }
  ASSERT_EQ(write(pipe.w(), "abc", 3), 3);
  Quorvane::SpinUntilReadable(&spin, pipe.r());
  char got[4] = {};
  ASSERT_EQ(read(pipe.r(), got, sizeof got), 3);
  EXPECT_STREQ(got, "abc");
  // Data and an end of file are met while looks are made.
  Quorvane::QVStreamSpin fresh;
  ASSERT_EQ(write(pipe.w(), "d", 1), 1);
  EXPECT_TRUE(Quorvane::SpinUntilReadable(&fresh, pipe.r()));
  ASSERT_EQ(read(pipe.r(), got, 1), 1);
  close(pipe.Release(1));
  EXPECT_TRUE(Quorvane::SpinUntilReadable(&fresh, pipe.r()));
}

}  // namespace

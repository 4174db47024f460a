// The short spin of a shared-memory waiter: it ends as soon as the ring moves,
// it always ends, and a peer that keeps answering slowly soon leaves only the
// shortest spin, while one quick answer brings the longest back.
#include "device/qvshmspin.h"

#include <gtest/gtest.h>

#include <thread>

using Quorvane::QVSHMSpin;

namespace {

TEST(SharedMemorySpin, EndsWhenTheRingMovesAndEndsWhenItDoesNot) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one processor never spins";
  QVSHMSpin spin;
  int looks = 0;
  EXPECT_TRUE(spin.SpinWhile([&] { return ++looks < 100; }));
  EXPECT_EQ(looks, 100);
  EXPECT_FALSE(spin.SpinWhile([] { return true; }));
}

TEST(SharedMemorySpin, TheBudgetFollowsHowLongTheWaitsTook) {
  using std::chrono::microseconds;
  QVSHMSpin spin;
  EXPECT_EQ(spin.budget(), QVSHMSpin::kLongest);
  for (int i = 0; i < 20; ++i) spin.Learn(microseconds(5000));
  EXPECT_EQ(spin.budget(), QVSHMSpin::kShortest) << "slow answers halve it down to the floor, not below";
  spin.Learn(QVSHMSpin::kLongest);
  EXPECT_EQ(spin.budget(), QVSHMSpin::kLongest) << "an answer the longest spin would have met";
  spin.Learn(QVSHMSpin::kLongest + microseconds(1));
  EXPECT_EQ(spin.budget(), QVSHMSpin::kLongest / 2);
}

}  // namespace

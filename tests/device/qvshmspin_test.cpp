// The short spin of a shared-memory waiter: it ends as soon as the ring moves,
// it always ends, a run of misses cuts it short, and one meeting makes it
// whole again.
#include "device/qvshmspin.h"

#include <gtest/gtest.h>

#include <thread>

using Quorvane::QVSHMSpin;

namespace {

class SharedMemorySpin : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one processor never spins";
  }
  static bool Never() { return true; }
};

TEST_F(SharedMemorySpin, EndsWhenTheRingMovesAndEndsWhenItDoesNot) {
  QVSHMSpin spin;
  int looks = 0;
  EXPECT_TRUE(spin.SpinWhile([&] { return ++looks < 100; }));
  EXPECT_EQ(looks, 100);
  EXPECT_FALSE(spin.SpinWhile(Never));
}

TEST_F(SharedMemorySpin, ARunOfMissesCutsItShortAndAMeetingRestoresIt) {
  QVSHMSpin spin;
  for (int i = 1; i < QVSHMSpin::kMissesTolerated; ++i) ASSERT_FALSE(spin.SpinWhile(Never));
  EXPECT_TRUE(spin.longSpinsQ()) << "a few misses (a busy machine) keep it whole";
  spin.SpinWhile([] { return false; });
  for (int i = 1; i < QVSHMSpin::kMissesTolerated; ++i) spin.SpinWhile(Never);
  EXPECT_TRUE(spin.longSpinsQ()) << "a meeting starts the count again";
  spin.SpinWhile(Never);
  EXPECT_FALSE(spin.longSpinsQ());
  spin.SpinWhile([] { return false; });
  EXPECT_TRUE(spin.longSpinsQ());
}

}  // namespace

// The short spin of a shared-memory waiter: it ends as soon as the ring moves,
// it always ends, a run of misses cuts it short, one meeting makes it whole
// again, and a thread allowed only one CPU never spins.
#include "device/qvshmspin.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <string>
#include <thread>
#include <vector>

#include "utilities/platform/qvcpus.h"

using Quorvane::QVSHMSpin;

namespace {

class SharedMemorySpin : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Quorvane::platform::AllowedCpuCount() < 2) GTEST_SKIP() << "a thread allowed one CPU never spins";
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

TEST(SharedMemorySpinChoice, OnlyAThreadAllowedMoreThanOneCpuSpins) {
  for (const auto& [cpus, spins] : {std::pair{1, false}, {2, true}, {8, true}}) {
    EXPECT_EQ(QVSHMSpin::WorthwhileFor(cpus), spins) << cpus << " CPUs";
  }
}

// The choice comes from the calling thread's affinity mask, not from the
// processors the machine has: pinned to one CPU the spin does not even look
// at the ring; allowed two, it spins.
TEST(SharedMemorySpinChoice, ComesFromTheThreadsMask) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  }
  for (const size_t count : {size_t{1}, size_t{2}}) {
    if (cpus.size() < count) continue;
    SCOPED_TRACE(std::to_string(count) + " CPUs allowed");
    int looks = -1;
    int counted = 0;
    bool met = true;
    std::thread pinned([&] {
      cpu_set_t mask;
      CPU_ZERO(&mask);
      for (size_t i = 0; i < count; ++i) CPU_SET(cpus[i], &mask);
      if (sched_setaffinity(0, sizeof mask, &mask) != 0) return;
      counted = Quorvane::platform::AllowedCpuCount();
      QVSHMSpin spin;
      looks = 0;
      met = spin.SpinWhile([&] { return ++looks < 1000; });
    });
    pinned.join();
    EXPECT_EQ(counted, static_cast<int>(count));
    if (count == 1) {
      EXPECT_FALSE(met);
      EXPECT_EQ(looks, 0);
    } else {
      // It looks; whether a thousand looks fit in the spin's time depends on
      // how busy the machine is.
      EXPECT_GT(looks, 0);
      EXPECT_EQ(met, looks == 1000) << looks;
    }
  }
}

}  // namespace

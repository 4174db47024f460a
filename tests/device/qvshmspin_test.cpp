// The short spin of a shared-memory waiter: it ends as soon as the ring moves,
// it always ends, a run of misses cuts it short, one meeting makes it whole
// again; and whether it spins at all, from the CPUs this thread and the
// peer's process (a real second process, found by its pid) may use: never
// where both may be held to one CPU, always where they are pinned apart.
#include "device/qvshmspin.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "utilities/platform/qvcpus.h"

using Quorvane::QVSHMSpin;
using Quorvane::QVSpinChoice;
using Quorvane::platform::QVCpuSet;

namespace {

constexpr int kPeerUnknown = QVSpinChoice::kPeerUnknown;

// The first CPUs this process may use, at most count of them.
std::vector<int> AllowedCpus(size_t count) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < count; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  }
  return cpus;
}

cpu_set_t MaskOf(const std::vector<int>& cpus) {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  for (const int cpu : cpus) CPU_SET(cpu, &mask);
  return mask;
}

bool PinCallingThread(const std::vector<int>& cpus) {
  const cpu_set_t mask = MaskOf(cpus);
  return sched_setaffinity(0, sizeof mask, &mask) == 0;
}

// A second process pinned to cpus by its own mask before it says it is
// there; it stays until this object goes (Repin moves it meanwhile), and is
// reaped then. The child allocates nothing: this process has threads.
class PinnedPeer {
 public:
  explicit PinnedPeer(const std::vector<int>& cpus) {
    int ready[2] = {-1, -1};
    int orders[2] = {-1, -1};
    if (pipe(ready) != 0 || pipe(orders) != 0) return;
    cpu_set_t mask = MaskOf(cpus);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(orders[1]);
      for (;;) {
        const char said = sched_setaffinity(0, sizeof mask, &mask) == 0 ? 'p' : 'n';
        if (write(ready[1], &said, 1) != 1) _exit(1);
        int cpu = -1;
        if (read(orders[0], &cpu, sizeof cpu) != sizeof cpu) _exit(0);
        CPU_ZERO(&mask);
        CPU_SET(cpu, &mask);
      }
    }
    close(ready[1]);
    close(orders[0]);
    ready_ = ready[0];
    orders_ = orders[1];
    pinned_ = pid_ > 0 && Said();
  }
  ~PinnedPeer() {
    if (orders_ >= 0) close(orders_);
    if (ready_ >= 0) close(ready_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  PinnedPeer(const PinnedPeer&) = delete;
  PinnedPeer& operator=(const PinnedPeer&) = delete;
  pid_t pid() const { return pid_; }
  bool pinned() const { return pinned_; }
  // Pins the peer to this one CPU instead; true once it is.
  bool Repin(int cpu) { return write(orders_, &cpu, sizeof cpu) == sizeof cpu && Said(); }

 private:
  bool Said() {
    char said = 0;
    return read(ready_, &said, 1) == 1 && said == 'p';
  }

  pid_t pid_ = -1;
  int ready_ = -1;
  int orders_ = -1;
  bool pinned_ = false;
};

// A process number that names no process any more: a child reaped.
pid_t AGonePid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  if (child > 0) waitpid(child, nullptr, 0);
  return child;
}

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
  EXPECT_TRUE(spin.SpinWhile(kPeerUnknown, [&] { return ++looks < 100; }));
  EXPECT_EQ(looks, 100);
  EXPECT_FALSE(spin.SpinWhile(kPeerUnknown, Never));
}

TEST_F(SharedMemorySpin, ARunOfMissesCutsItShortAndAMeetingRestoresIt) {
  QVSHMSpin spin;
  for (int i = 1; i < QVSHMSpin::kMissesTolerated; ++i) ASSERT_FALSE(spin.SpinWhile(kPeerUnknown, Never));
  EXPECT_TRUE(spin.longSpinsQ()) << "a few misses (a busy machine) keep it whole";
  spin.SpinWhile(kPeerUnknown, [] { return false; });
  for (int i = 1; i < QVSHMSpin::kMissesTolerated; ++i) spin.SpinWhile(kPeerUnknown, Never);
  EXPECT_TRUE(spin.longSpinsQ()) << "a meeting starts the count again";
  spin.SpinWhile(kPeerUnknown, Never);
  EXPECT_FALSE(spin.longSpinsQ());
  spin.SpinWhile(kPeerUnknown, [] { return false; });
  EXPECT_TRUE(spin.longSpinsQ());
}

// Without the peer's CPUs.
TEST(SharedMemorySpinChoice, OnlyAThreadAllowedMoreThanOneCpuSpins) {
  for (const auto& [cpus, spins] : {std::pair{1, false}, {2, true}, {8, true}}) {
    EXPECT_EQ(QVSHMSpin::WorthwhileFor(cpus), spins) << cpus << " CPUs";
  }
}

// With them: the danger is a waiter spinning on the one CPU the side it waits
// for may be held to.
TEST(SharedMemorySpinChoice, SpinsWhereTheTwoSidesCannotBeHeldToOneCpu) {
  struct Row {
    const char* label;
    QVCpuSet ours;
    std::optional<QVCpuSet> peers;
    bool spins;
  };
  const std::vector<Row> rows = {
      {"both pinned to one CPU", {2}, QVCpuSet{2}, false},
      {"pinned apart", {2}, QVCpuSet{5}, true},
      {"ours one CPU, among the peer's", {2}, QVCpuSet{1, 2, 3}, false},
      {"ours one CPU, not among the peer's", {2}, QVCpuSet{0, 1, 3}, true},
      {"the peer's one CPU, among ours", {1, 2, 3}, QVCpuSet{2}, false},
      {"the peer's one CPU, not among ours", {0, 1}, QVCpuSet{2}, true},
      {"several each, some shared", {0, 1, 2}, QVCpuSet{1, 2, 3}, true},
      {"several each, none shared", {0, 1}, QVCpuSet{2, 3}, true},
      {"several each, the same", {0, 1}, QVCpuSet{0, 1}, true},
      {"peer not known, ours one CPU", {2}, std::nullopt, false},
      {"peer not known, ours several", {0, 1}, std::nullopt, true},
      {"the peer's set read empty: not known", {2}, QVCpuSet{}, false},
      {"past the first 64 CPUs, apart", {70}, QVCpuSet{130}, true},
      {"past the first 64 CPUs, together", {130}, QVCpuSet{3, 130}, false},
      {"past the first 64 CPUs, the peer's one among ours", {1, 64, 200}, QVCpuSet{200}, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(QVSpinChoice::WorthwhileFor(row.ours, row.peers ? &*row.peers : nullptr), row.spins) << row.label;
  }
}

// The choice comes from the calling thread's affinity mask, not from the
// processors the machine has: pinned to one CPU (the peer not known) the spin
// does not even look at the ring; allowed two, it spins.
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
      met = spin.SpinWhile(kPeerUnknown, [&] { return ++looks < 1000; });
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

// The peer's mask is read from its process: a real second process, pinned by
// itself before this side asks. Pinned apart the spin looks; on the one CPU
// of ours it does not look at all; a peer gone leaves today's rule (one CPU
// of ours: no spin; two: spin).
TEST(SharedMemorySpinChoice, FollowsThePeerProcesssMask) {
  const std::vector<int> cpus = AllowedCpus(2);
  if (cpus.size() < 2) GTEST_SKIP() << "fewer than 2 CPUs allowed: no two sides can be pinned apart";
  const int a = cpus[0];
  const int b = cpus[1];
  struct Row {
    const char* label;
    std::vector<int> ours;
    std::optional<std::vector<int>> peers;  // none: a process gone
    bool spins;
  };
  const std::vector<Row> rows = {
      {"pinned apart", {a}, std::vector<int>{b}, true},
      {"both on one CPU", {a}, std::vector<int>{a}, false},
      {"ours one CPU, among the peer's two", {a}, std::vector<int>{a, b}, false},
      {"the peer's one CPU, among our two", {a, b}, std::vector<int>{b}, false},
      {"peer gone, ours one CPU", {a}, std::nullopt, false},
      {"peer gone, ours two", {a, b}, std::nullopt, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::optional<PinnedPeer> peer;
    pid_t pid = 0;
    if (row.peers) {
      peer.emplace(*row.peers);
      ASSERT_TRUE(peer->pinned());
      pid = peer->pid();
    } else {
      pid = AGonePid();
      ASSERT_GT(pid, 0);
    }
    bool pinned = false;
    int looks = -1;
    bool met = true;
    std::thread waiter([&] {
      if (!(pinned = PinCallingThread(row.ours))) return;
      QVSHMSpin spin;
      looks = 0;
      met = spin.SpinWhile(pid, [&] { return ++looks < 1000; });
    });
    waiter.join();
    ASSERT_TRUE(pinned);
    if (row.spins) {
      // Whether a thousand looks fit in the spin's time depends on how busy
      // the machine is.
      EXPECT_GT(looks, 0);
      EXPECT_EQ(met, looks == 1000) << looks;
    } else {
      EXPECT_FALSE(met);
      EXPECT_EQ(looks, 0);
    }
  }
}

// Both masks are read at the first wait and then once a period, not at
// every wait: a peer pinned onto our CPU meanwhile is seen at the next look
// (the times are given, so no clock decides).
TEST(SharedMemorySpinChoice, LooksAtTheMasksOncePerPeriod) {
  const std::vector<int> cpus = AllowedCpus(2);
  if (cpus.size() < 2) GTEST_SKIP() << "fewer than 2 CPUs allowed: no two sides can be pinned apart";
  PinnedPeer peer({cpus[1]});
  ASSERT_TRUE(peer.pinned());
  std::vector<bool> answers;
  bool ok = false;
  std::thread waiter([&] {
    if (!PinCallingThread({cpus[0]})) return;
    QVSpinChoice choice;
    constexpr int64_t start = 1'000'000'000;
    answers.push_back(choice.Spins(peer.pid(), start));
    if (!peer.Repin(cpus[0])) return;
    answers.push_back(choice.Spins(peer.pid(), start + 1));
    answers.push_back(choice.Spins(peer.pid(), start + QVSpinChoice::kLookEveryNanoseconds - 1));
    answers.push_back(choice.Spins(peer.pid(), start + QVSpinChoice::kLookEveryNanoseconds));
    if (!peer.Repin(cpus[1])) return;
    answers.push_back(choice.Spins(peer.pid(), start + 2 * QVSpinChoice::kLookEveryNanoseconds));
    ok = true;
  });
  waiter.join();
  ASSERT_TRUE(ok);
  EXPECT_EQ(answers, (std::vector<bool>{true, true, true, false, true}));
}

}  // namespace

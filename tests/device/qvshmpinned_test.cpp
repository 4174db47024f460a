// A SharedMemory link between two real processes, each pinned to a CPU by
// its own mask, used through the public calls: pinned to CPUs of their own,
// a side waiting for data looks at the ring before it sleeps (its peer can
// answer meanwhile); pinned to one CPU together it never does (its peer
// could not run). Either way every round trip gets its answer, so the
// sleeping wake-up path stays sound beside the look. What a side does is
// seen in the reader-state word it keeps in the segment: it says "looking"
// only while it spins on the ring.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "quorvane.h"
#include "tests/device/qvshmtest.h"

namespace {

using namespace qvshmtest;
namespace shmlayout = Quorvane::shmlayout;

constexpr int kRounds = 100;

// Stages of the mailbox.
constexpr int kListening = 1;  // the parent's listener is open
constexpr int kAllBack = 2;    // the parent has every answer: the child may close

std::vector<int> TwoAllowedCpus() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  }
  return cpus;
}

// The parent's connect gives up by this time (a child that could not pin
// itself never comes).
std::chrono::steady_clock::time_point gGiveUpAt;
int UntilGiveUp(void*, QVYieldParams*) { return std::chrono::steady_clock::now() >= gGiveUpAt ? 1 : 0; }

// The reader-state word of the queue the connector reads (A), mapped
// read-only from the segment while this lives.
class ConnectorReaderState {
 public:
  explicit ConnectorReaderState(const std::string& name) {
    const int fd = open(ShmPath(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    void* bytes = mmap(nullptr, shmlayout::kTotalLength, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (bytes == MAP_FAILED) return;
    bytes_ = bytes;
    constexpr uint32_t queueA = shmlayout::kLayoutHeaderLength + shmlayout::kDataLength;
    word_ = reinterpret_cast<const uint32_t*>(static_cast<const char*>(bytes) + queueA + shmlayout::kReaderStateAt);
  }
  ~ConnectorReaderState() {
    if (bytes_ != nullptr) munmap(bytes_, shmlayout::kTotalLength);
  }
  ConnectorReaderState(const ConnectorReaderState&) = delete;
  ConnectorReaderState& operator=(const ConnectorReaderState&) = delete;
  bool mapped() const { return word_ != nullptr; }
  uint32_t now() const { return __atomic_load_n(word_, __ATOMIC_ACQUIRE); }

 private:
  void* bytes_ = nullptr;
  const uint32_t* word_ = nullptr;
};

// The child's side: pinned first, then a plain host echoing kRounds integers.
// It stays until the parent has its last answer: a peer gone fails a flush.
int EchoPinned(const SharedMailbox& box, const std::string& name, int cpu) {
  const PinnedThread pin(cpu);
  if (!pin.pinned()) return 10;
  if (!Reaches(box, kListening)) return 11;
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 12;
  int error = 0;
  const std::string command = "-linkmode connect -linkprotocol SharedMemory -linkname " + name;
  QVLink* link = RVOpenString(environment, command.c_str(), &error);
  int answer = link == nullptr ? 13 : RVConnect(link) == 1 ? 0 : 14;
  for (int i = 0; i < kRounds && answer == 0; ++i) {
    int value = 0;
    if (RVGetInteger32(link, &value) != 1) answer = 15;
    else if (RVPutInteger32(link, value) != 1 || RVEndPacket(link) != 1 || RVFlush(link) != 1) answer = 16;
  }
  if (answer == 0 && !Reaches(box, kAllBack)) answer = 17;
  if (link != nullptr) RVClose(link);
  RVDeinitialize(environment);
  return answer;
}

struct Placement {
  const char* label;
  bool apart;  // the child on a CPU of its own, else on the parent's
};

void PrintTo(const Placement& placement, std::ostream* out) { *out << placement.label; }

class SharedMemoryPinned : public ::testing::TestWithParam<Placement> {};

TEST_P(SharedMemoryPinned, AWaitingSideLooksBeforeItSleepsOnlyWhereItsPeerCanRun) {
  const Placement placement = GetParam();
  const std::vector<int> cpus = TwoAllowedCpus();
  if (cpus.size() < 2) GTEST_SKIP() << "fewer than 2 CPUs allowed: no two sides can be pinned apart";
  const std::string name = UniqueName(std::string("qvpin") + placement.label);
  SharedMailbox box;
  // Forked before this process starts the library.
  Child child([&] { return EchoPinned(box, name, placement.apart ? cpus[1] : cpus[0]); });
  const PinnedThread pin(cpus[0]);
  ASSERT_TRUE(pin.pinned());

  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  int error = 0;
  const std::string command = "-linkmode listen -linkprotocol SharedMemory -linkname " + name;
  QVLink* link = RVOpenString(environment, command.c_str(), &error);
  ASSERT_NE(link, nullptr) << error;
  box->stage = kListening;
  gGiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  ASSERT_EQ(RVSetYieldFunction(link, &UntilGiveUp), 1);
  ASSERT_EQ(RVConnect(link), 1) << RVErrorMessage(link);
  ASSERT_EQ(RVSetYieldFunction(link, nullptr), 1);
  const ConnectorReaderState child_state(name);
  ASSERT_TRUE(child_state.mapped());

  // Each integer is sent once the child sleeps waiting for it; how it got
  // there is seen on the way.
  int roundsLooked = 0;
  for (int i = 1; i <= kRounds; ++i) {
    bool looked = false;
    uint32_t state = 0;
    ASSERT_TRUE(qvtest::WaitUntil(
        [&] {
          state = child_state.now();
          looked = looked || state == shmlayout::kReaderLooking;
          // On one CPU with the child, this loop must let it run.
          if (state != shmlayout::kReaderSleeping) sched_yield();
          return state == shmlayout::kReaderSleeping;
        },
        std::chrono::seconds(20)))
        << "round " << i << ": the child's word stayed " << std::hex << state;
    roundsLooked += looked ? 1 : 0;
    int back = 0;
    ASSERT_EQ(RVPutInteger32(link, i), 1) << RVErrorMessage(link);
    ASSERT_EQ(RVEndPacket(link), 1) << RVErrorMessage(link);
    ASSERT_EQ(RVFlush(link), 1) << RVErrorMessage(link);
    ASSERT_EQ(RVGetInteger32(link, &back), 1) << "round " << i << ": " << RVErrorMessage(link);
    ASSERT_EQ(back, i);
  }
  if (placement.apart) {
    EXPECT_GT(roundsLooked, 0) << "pinned apart, the child never looked before it slept";
  } else {
    EXPECT_EQ(roundsLooked, 0) << "on one CPU with its peer, the child looked in " << roundsLooked << " rounds";
  }
  box->stage = kAllBack;
  RVClose(link);
  RVDeinitialize(environment);
  EXPECT_TRUE(ExitedWith(child.Wait(), 0));
}

INSTANTIATE_TEST_SUITE_P(Placements, SharedMemoryPinned,
                         ::testing::Values(Placement{"apart", true}, Placement{"together", false}),
                         [](const auto& param) { return std::string(param.param.label); });

}  // namespace

// The environment of a link through the public calls, on both ends of a link
// between two programs: each end answers the environment that opened it and
// that environment's link-side globals, which every link of the environment
// shares. Globals made apart with RVInit take their memory from the given
// allocator pair and give all of it back to RVDeinit. Null answers null.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "quorvane.h"
#include "tests/api/qvpeerlink.h"

namespace {

// 0 when the link's environment and globals agree with each other and with
// a loopback link of the same environment.
int EnvironmentAgrees(QVLink* link) {
  RVEnvironment* environment = RVLinkEnvironment(link);
  QVLink_globals* globals = RLinkEnvironment(link);
  if (environment == nullptr || globals == nullptr) return 1;
  if (RVEnclosingEnvironment(globals) != environment) return 2;
  int error = -1;
  QVLink* loopback = RVLoopbackOpen(environment, &error);
  if (loopback == nullptr) return 3;
  const bool shared = RVLinkEnvironment(loopback) == environment && RLinkEnvironment(loopback) == globals;
  RVClose(loopback);
  return shared ? 0 : 4;
}

TEST(LinkEnvironment, EachEndAnswersItsOwnEnvironmentAndGlobals) {
  qvpeer::PeerLink peer(EnvironmentAgrees);
  QVLink* link = peer.link();
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVLinkEnvironment(link), peer.environment());
  EXPECT_EQ(EnvironmentAgrees(link), 0);
  peer.CloseLink();
  EXPECT_EQ(peer.WaitForPeer(), 0);
}

std::atomic<long> gHeld{0};
void* CountedAllocate(uint64_t size) {
  ++gHeld;
  return std::malloc(size);
}
void CountedFree(void* block) {
  if (block != nullptr) --gHeld;
  std::free(block);
}

TEST(LinkEnvironment, GlobalsMadeApartGiveBackTheirMemory) {
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  QVLink_globals* globals = RVInit(CountedAllocate, CountedFree, environment);
  ASSERT_NE(globals, nullptr);
  EXPECT_EQ(RVEnclosingEnvironment(globals), environment);
  EXPECT_GT(gHeld.load(), 0) << "the queues' memory comes from the pair";
  RVDeinit(globals);
  EXPECT_EQ(gHeld.load(), 0);

  QVLink_globals* alone = RVInit(CountedAllocate, CountedFree, nullptr);
  ASSERT_NE(alone, nullptr);
  EXPECT_EQ(RVEnclosingEnvironment(alone), nullptr);
  RVDeinit(alone);
  EXPECT_EQ(gHeld.load(), 0);
  RVDeinitialize(environment);
}

TEST(LinkEnvironment, NullAnswersNull) {
  EXPECT_EQ(RVLinkEnvironment(nullptr), nullptr);
  EXPECT_EQ(RLinkEnvironment(nullptr), nullptr);
  EXPECT_EQ(RVEnclosingEnvironment(nullptr), nullptr);
  EXPECT_EQ(RVInit(nullptr, CountedFree, nullptr), nullptr);
  EXPECT_EQ(RVInit(CountedAllocate, nullptr, nullptr), nullptr);
  RVDeinit(nullptr);
  EXPECT_EQ(gHeld.load(), 0);
}

}  // namespace

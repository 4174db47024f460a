// Two programs joined by a link opened with a name and a mode alone: the
// default device is the shared-memory one, and expressions larger than its
// ring, full of backslashes and zero bytes, go both ways intact.
#include <gtest/gtest.h>

#include "api/qvlink.h"
#include "quorvane.h"

#include <chrono>
#include <string>
#include <vector>

#include "qvshmtest.h"

using namespace qvshmtest;

namespace {

constexpr int kReals = 20000;  // 160000 bytes on the wire
constexpr long kBytes = 150001;

std::string Bytes() {
  std::string bytes(static_cast<size_t>(kBytes), '\0');
  for (size_t i = 0; i < bytes.size(); i += 2) bytes[i] = '\x5C';
  bytes.back() = 'z';
  return bytes;
}

double RealAt(int i) { return i * 0.5 - 1e300 * (i % 2); }

// Every wait on a link of these tests ends by this time (one per process):
// the yield function asks the device to give up then.
std::chrono::steady_clock::time_point gGiveUpAt;
int UntilGiveUp(void*, QVYieldParams*) { return std::chrono::steady_clock::now() >= gGiveUpAt ? 1 : 0; }

// Opens and activates a link whose waits are bounded; null on failure.
QVLink* Open(RVEnvironment* environment, const std::string& command) {
  gGiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int error = 0;
  QVLink* link = RVOpenString(environment, command.c_str(), &error);
  if (link != nullptr && (RVSetYieldFunction(link, &UntilGiveUp) == 0 || RVActivate(link) == 0)) {
    RVClose(link);
    return nullptr;
  }
  return link;
}

// The connector program: sends Echo[bytes, {reals...}] and checks the answer.
int Connector(const SharedMailbox& box, const std::string& name) {
  if (!Reaches(box, 1)) return 10;
  RVEnvironment* environment = RVInitialize(nullptr);
  if (environment == nullptr) return 11;
  int answer = 0;
  if (QVLink* link = Open(environment, "-linkmode connect -linkname " + name)) {
    const std::string bytes = Bytes();
    bool ok = RVPutFunction(link, "Echo", 2) &&
              RVPutByteString(link, reinterpret_cast<const unsigned char*>(bytes.data()), kBytes) &&
              RVPutFunction(link, "List", kReals);
    for (int i = 0; i < kReals && ok; ++i) ok = RVPutReal64(link, RealAt(i));
    ok = ok && RVEndPacket(link) && RVFlush(link);
    const unsigned char* back = nullptr;
    int length = 0;
    ok = ok && RVGetByteString(link, &back, &length, 0) && length == kBytes &&
         std::string(reinterpret_cast<const char*>(back), static_cast<size_t>(length)) == bytes;
    if (back != nullptr) RVReleaseByteString(link, back);
    answer = ok ? 0 : 13;
    // Closed only once the other side has flushed: a close ends its link.
    if (!Reaches(box, 2)) answer = 14;
    RVClose(link);
  } else {
    answer = 12;
  }
  RVDeinitialize(environment);
  return answer;
}

TEST(SharedMemoryLinkByName, IsTheDefaultDeviceAndCarriesExpressionsLargerThanItsRing) {
  const std::string name = UniqueName("qvshmlink");
  SharedMailbox box;
  Child child([&] { return Connector(box, name); });
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  box->stage = 1;
  QVLink* link = Open(environment, "-linkmode listen -linkname " + name);
  ASSERT_NE(link, nullptr);
  EXPECT_STREQ(RVName(link), name.c_str());
  int count = 0;
  EXPECT_EQ(RVTestHead(link, "Echo", &count), 1);
  EXPECT_EQ(count, 2);
  const unsigned char* bytes = nullptr;
  int length = 0;
  ASSERT_EQ(RVGetByteString(link, &bytes, &length, 0), 1);
  const std::string got(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
  RVReleaseByteString(link, bytes);
  EXPECT_TRUE(got == Bytes());
  double* reals = nullptr;
  int realCount = 0;
  ASSERT_EQ(RVGetReal64List(link, &reals, &realCount), 1);
  ASSERT_EQ(realCount, kReals);
  int wrong = 0;
  for (int i = 0; i < kReals; ++i) wrong += reals[i] != RealAt(i);
  RVReleaseReal64List(link, reals, realCount);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(RVPutByteString(link, reinterpret_cast<const unsigned char*>(got.data()), length), 1);
  EXPECT_EQ(RVFlush(link), 1);
  box->stage = 2;
  const int status = child.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  RVClose(link);
  RVDeinitialize(environment);
  EXPECT_FALSE(Exists(ShmPath(name)));
  EXPECT_EQ(EntriesWith(SyncDir(), name), std::vector<std::string>{});
}

// The connector's first look for its peer, from its yield function: the
// device then waits in its connect, the listener not made yet.
SharedMailbox* gConnectorBox = nullptr;
int SeenWaiting(void*, QVYieldParams*) {
  int none = 0;
  (*gConnectorBox)->stage.compare_exchange_strong(none, 1);
  return std::chrono::steady_clock::now() >= gGiveUpAt ? 1 : 0;
}

// A connector opened and connected through the public calls before any
// listener exists waits for it, and the link then carries data both ways.
TEST(SharedMemoryLinkByName, AConnectorThatComesFirstWaitsForTheListener) {
  const std::string name = UniqueName("qvshmfirst");
  SharedMailbox box;
  Child child([&] {
    gConnectorBox = &box;
    gGiveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    RVEnvironment* environment = RVInitialize(nullptr);
    if (environment == nullptr) return 10;
    int error = 0;
    QVLink* link = RVOpenString(environment, ("-linkmode connect -linkname " + name).c_str(), &error);
    if (link == nullptr || RVSetYieldFunction(link, &SeenWaiting) == 0) return 11;
    int got = 0;
    const bool ok = RVActivate(link) == 1 && RVGetInteger(link, &got) == 1 && got == 41 &&
                    RVPutInteger(link, 42) == 1 && RVFlush(link) == 1;
    // Closed only once the listener has read the answer.
    const bool stayed = Reaches(box, 2);
    RVClose(link);
    RVDeinitialize(environment);
    return ok ? (stayed ? 0 : 13) : 12;
  });
  ASSERT_TRUE(Reaches(box, 1)) << "the connector never waited";
  ASSERT_TRUE(Exists(ShmPath(name))) << "the connector made the segment";
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  QVLink* link = Open(environment, "-linkmode listen -linkname " + name);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(RVPutInteger(link, 41), 1);
  EXPECT_EQ(RVFlush(link), 1);
  int got = 0;
  EXPECT_EQ(RVGetInteger(link, &got), 1) << RVError(link);
  EXPECT_EQ(got, 42);
  box->stage = 2;
  const int status = child.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  RVClose(link);
  RVDeinitialize(environment);
}

// One side puts half a packet and is killed: the other side's get, waiting
// for the rest, fails within a second whichever end was killed, and once the
// survivor has closed and the next environment has swept, nothing of the
// link is left in the sync folder or among the shared-memory objects.
TEST(SharedMemoryLinkByName, AGetWaitingOnAKilledPeerFailsWithinASecond) {
  for (const bool parentListens : {true, false}) {
    SCOPED_TRACE(parentListens ? "the connector is killed" : "the listener is killed");
    const std::string name = UniqueName(parentListens ? "qvshmkillc" : "qvshmkilll");
    const std::string mine = std::string("-linkmode ") + (parentListens ? "listen" : "connect") + " -linkname " + name;
    const std::string theirs = std::string("-linkmode ") + (parentListens ? "connect" : "listen") + " -linkname " + name;
    SharedMailbox box;
    Child child([&] {
      if (!Reaches(box, 1)) return 10;
      RVEnvironment* environment = RVInitialize(nullptr);
      QVLink* link = environment != nullptr ? Open(environment, theirs) : nullptr;
      if (link == nullptr) return 11;
      if (!RVPutFunction(link, "Half", 2) || !RVPutInteger(link, 1) || !RVFlush(link)) return 12;
      box->stage = 2;
      Reaches(box, 99);
      return 13;
    });
    RVEnvironment* environment = RVInitialize(nullptr);
    ASSERT_NE(environment, nullptr);
    box->stage = 1;
    QVLink* link = Open(environment, mine);
    ASSERT_NE(link, nullptr);
    int count = 0;
    int first = 0;
    EXPECT_EQ(RVTestHead(link, "Half", &count), 1);
    EXPECT_EQ(RVGetInteger(link, &first), 1);
    ASSERT_TRUE(Reaches(box, 2));
    child.Kill();
    const auto start = std::chrono::steady_clock::now();
    int second = 0;
    EXPECT_EQ(RVGetInteger(link, &second), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_NE(RVError(link), 0);
    RVClose(link);
    RVDeinitialize(environment);
    RVEnvironment* next = RVInitialize(nullptr);
    EXPECT_EQ(EntriesWith(SyncDir(), name), std::vector<std::string>{});
    EXPECT_FALSE(Exists(ShmPath(name)));
    RVDeinitialize(next);
  }
}

}  // namespace

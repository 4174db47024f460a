// A bulk transfer through the public calls between this process and a real
// second one, over "Pipes" (the program launched by the link) and "TCP" (a
// listener here, the program connecting to it), in which the other program
// kills itself with SIGKILL midway: after it put, or got, a known number of
// the reals of a List far longer than the test lets run. This side goes on
// getting (every real must be the one sent, in order) or putting until a
// call fails; it must then report the lost link rather than wait for ever
// or end the process with SIGPIPE. A watchdog ends the test process if the
// transfer has not failed within its deadline.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorvane.h"
#include "support/qvconnectorchild.h"
#include "support/qvprivatenetwork.h"
#include "support/qvtest.h"
#include "tests/device/qvbulklist.h"
#include "tests/device/qvwatchdog.h"
#include "tests/utilities/qvtestprocesses.h"

namespace {

// Reals the other program handles before it dies: some thousands of windows.
constexpr long kRealsBeforeDeath = 1 << 18;
// Reals this side may still put once the other program has died: what the
// pipe or the socket and the two windows awaiting acknowledgement can take,
// many times over.
constexpr long kPutsAfterDeathLimit = 1 << 20;
constexpr auto kTransferDeadline = std::chrono::seconds(60);
constexpr int kLinkLost = 1;
constexpr int kClosedByPeer = 11;

struct Case {
  const char* kind;    // a listener kind of support/qvconnectorchild.h
  bool survivorSends;  // this side puts and the other program gets
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.kind << (c.survivorSends ? " put" : " get"); }

// SIGPIPE at its default for the scope: a write to the dead program must
// only fail.
class DefaultSigpipe {
 public:
  DefaultSigpipe() {
    struct sigaction fatal {};
    fatal.sa_handler = SIG_DFL;
    sigemptyset(&fatal.sa_mask);
    sigaction(SIGPIPE, &fatal, &previous_);
  }
  ~DefaultSigpipe() { sigaction(SIGPIPE, &previous_, nullptr); }
  DefaultSigpipe(const DefaultSigpipe&) = delete;
  DefaultSigpipe& operator=(const DefaultSigpipe&) = delete;

 private:
  struct sigaction previous_ {};
};

// Puts reals until a put fails: the number put.
long PutUntilRefused(QVLink* link) {
  if (RVPutFunction(link, "List", qvtest::kBulkListLength) != 1) return 0;
  long put = 0;
  while (put < kRealsBeforeDeath + kPutsAfterDeathLimit && RVPutReal64(link, qvtest::BulkReal(put)) == 1) ++put;
  return put;
}

// Gets reals until a get fails: the number got, or -1 when one differed.
long GetUntilRefused(QVLink* link) {
  const char* head = nullptr;
  int length = 0;
  if (RVGetFunction(link, &head, &length) != 1) return 0;
  const bool list = std::string(head) == "List" && length == qvtest::kBulkListLength;
  RVReleaseSymbol(link, head);
  if (!list) return -1;
  long got = 0;
  double real = 0;
  while (RVGetReal64(link, &real) == 1) {
    if (real != qvtest::BulkReal(got)) return -1;
    ++got;
  }
  return got;
}

class BulkPeerKilled : public testing::TestWithParam<Case> {};

TEST_P(BulkPeerKilled, SurvivorReportsTheLostLink) {
  const qvtest::ListenerKind& kind = qvtest::ListenerKindNamed(GetParam().kind);
  const bool survivorSends = GetParam().survivorSends;
  // Before the library starts any thread: the namespace needs a process of one thread.
  if (kind.anyAddress && !qvtest::EnterPrivateNetwork()) {
    GTEST_SKIP() << "no private network namespace (" << qvtest::PrivateNetworkRefusal()
                 << "): the listener would bind this machine's interfaces";
  }
  const std::string program = std::string(QV_PIPES_CHILD) + (survivorSends ? " sink " : " source ") +
                              std::to_string(kRealsBeforeDeath);
  RVEnvironment* environment = RVInitialize(nullptr);
  ASSERT_NE(environment, nullptr);
  std::string open = kind.listen;
  if (kind.launches) open += " -linkname '" + program + "'";
  int error = 0;
  QVLink* link = RVOpenString(environment, open.c_str(), &error);
  ASSERT_NE(link, nullptr) << open << ": error " << error;
  pid_t started = 0;
  if (!kind.launches) {
    const std::string line = "exec " + program + " " + kind.connect + " -linkname " + kind.connectTo(RVName(link));
    started = fork();
    ASSERT_GE(started, 0);
    if (started == 0) {
      execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  qvtest::ChildKiller killer(started);
  long moved = 0;
  {
    qvtest::Watchdog watchdog(kTransferDeadline, std::string(kind.name) + ": a bulk transfer whose peer died");
    ASSERT_NE(RVActivate(link), 0) << RVError(link);
    DefaultSigpipe fatal;
    moved = survivorSends ? PutUntilRefused(link) : GetUntilRefused(link);
  }
  const int lost = RVError(link);
  if (kind.launches) {
    // The launching side knows its child was killed: the link is lost.
    EXPECT_EQ(lost, kLinkLost) << RVErrorString(environment, lost);
  } else {
    // A connection that ends is all a socket tells, whether the peer closed or died.
    EXPECT_TRUE(lost == kLinkLost || lost == kClosedByPeer) << lost << " " << RVErrorString(environment, lost);
  }
  if (survivorSends) {
    EXPECT_GE(moved, kRealsBeforeDeath) << "the other program got that many before it died";
    EXPECT_LT(moved, kRealsBeforeDeath + kPutsAfterDeathLimit) << "puts went on after the death";
  } else {
    EXPECT_GT(moved, 0) << "a real differed, or none came";
    EXPECT_LE(moved, kRealsBeforeDeath) << "more came than were put";
  }
  RVClose(link);
  RVDeinitialize(environment);
  if (started > 0) {
    int status = 0;
    ASSERT_TRUE(qvtest::WaitUntil([&] { return waitpid(started, &status, WNOHANG) == started; }));
    killer.release();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the program failed first: " << status;
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, BulkPeerKilled,
                         testing::Values(Case{"Pipes", true}, Case{"Pipes", false}, Case{"TCP", true},
                                         Case{"TCP", false}),
                         [](const testing::TestParamInfo<Case>& row) {
                           return std::string(row.param.kind) + (row.param.survivorSends ? "_Put" : "_Get");
                         });

}  // namespace

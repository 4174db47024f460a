// The public link-server calls on 127.0.0.1: the creation errors, the port
// and interface reported, the context, the answers to a null server, and what
// shutting down does to waiting callers, waiting links and the threads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <dirent.h>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/network/qvlinkservertest.h"

namespace {

using namespace qvlinkservertest;

// A listening socket on 127.0.0.1 with a port of the system's choice.
struct Listener {
  Listener() : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
  }
  ~Listener() { ::close(fd); }
  int fd;
  unsigned short port = 0;
};

// The names of this process's threads.
std::multiset<std::string> ThreadNames() {
  std::multiset<std::string> names;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return names;
  while (dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::string name;
    std::getline(std::ifstream(std::string("/proc/self/task/") + entry->d_name + "/comm"), name);
    names.insert(name);
  }
  ::closedir(tasks);
  return names;
}

// The scheduler state letter of one thread of this process.
char ThreadState(pid_t tid) {
  std::string stat;
  std::getline(std::ifstream("/proc/self/task/" + std::to_string(tid) + "/stat"), stat);
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

using LinkServerCalls = ServerFixture;

TEST_F(LinkServerCalls, PortInUseIsFortyAndPortZeroReportsTheSystemsPort) {
  Listener taken;
  ASSERT_NE(taken.port, 0);
  int error = 0;
  EXPECT_EQ(RVNewLinkServerWithPortAndInterface(environment_, taken.port, "127.0.0.1", nullptr, &error), nullptr);
  EXPECT_EQ(error, 40);

  Serve();
  EXPECT_NE(port_, taken.port);
  Connection probe(port_);
  EXPECT_TRUE(probe.connected());
}

TEST_F(LinkServerCalls, EmptyInterfaceListensOnEveryAddressAndNullTextIsRefused) {
  int error = 0;
  EXPECT_EQ(RVNewLinkServerWithPortAndInterface(environment_, 0, nullptr, nullptr, &error), nullptr);
  EXPECT_EQ(error, 58);
  server_ = RVNewLinkServerWithPortAndInterface(environment_, 0, "", nullptr, &error);
  ASSERT_NE(server_, nullptr);
  EXPECT_EQ(error, 0);
  const unsigned short port = RVPortFromLinkServer(server_, &error);
  ASSERT_NE(port, 0);
  // Bound to the any-address: the same port on 127.0.0.1 is taken.
  EXPECT_EQ(RVNewLinkServerWithPortAndInterface(environment_, port, "127.0.0.1", nullptr, &error), nullptr);
  EXPECT_EQ(error, 40);
  Connection probe(port);
  EXPECT_TRUE(probe.connected());
}

TEST_F(LinkServerCalls, InterfaceIsTheReverseNameOrTheNumericText) {
  Serve();
  int error = -2;
  char* text = RVInterfaceFromLinkServer(server_, &error);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(error, 0);
  // Loopback names ("localhost") are not taken as a host's name: the numeric text.
  EXPECT_STREQ(text, "127.0.0.1");
  RVReleaseInterfaceFromLinkServer(server_, text);
  RVReleaseInterfaceFromLinkServer(server_, nullptr);
}

TEST_F(LinkServerCalls, ContextComesBackAsGiven) {
  int marker = 0;
  for (void* context : {static_cast<void*>(&marker), static_cast<void*>(nullptr)}) {
    int error = -2;
    RVLinkServer* server = RVNewLinkServerWithPortAndInterface(environment_, 0, "127.0.0.1", context, &error);
    ASSERT_NE(server, nullptr);
    error = -2;
    EXPECT_EQ(RVContextFromLinkServer(server, &error), context);
    EXPECT_EQ(error, 0);
    RVShutdownLinkServer(server);
  }
}

TEST_F(LinkServerCalls, NullServerAnswers) {
  int error = 12345;
  EXPECT_EQ(RVPortFromLinkServer(nullptr, &error), 0);
  EXPECT_EQ(error, 58);
  error = 12345;
  EXPECT_EQ(RVInterfaceFromLinkServer(nullptr, &error), nullptr);
  EXPECT_EQ(error, 58);
  error = 12345;
  EXPECT_EQ(RVContextFromLinkServer(nullptr, &error), nullptr);
  EXPECT_EQ(error, -1);
  error = 12345;
  EXPECT_EQ(RVWaitForNewLinkFromLinkServer(nullptr, &error), nullptr);
  EXPECT_EQ(error, 12345);
  RVShutdownLinkServer(nullptr);
  RVRegisterCallbackFunctionWithLinkServer(nullptr, &Collector::Receive);
  // Null error pointers are allowed everywhere.
  EXPECT_EQ(RVPortFromLinkServer(nullptr, nullptr), 0);
  EXPECT_EQ(RVInterfaceFromLinkServer(nullptr, nullptr), nullptr);
  EXPECT_EQ(RVContextFromLinkServer(nullptr, nullptr), nullptr);
}

TEST_F(LinkServerCalls, NullCallbackKeepsTheEarlierOne) {
  ServeToCollector();
  RVRegisterCallbackFunctionWithLinkServer(server_, nullptr);
  ExpectPairBecomesLink(1);
}

TEST_F(LinkServerCalls, WaitingLinksGoToALateCallbackAtOnce) {
  Serve(&collector_);
  std::vector<std::unique_ptr<RawPair>> pairs;
  for (unsigned i = 0; i < 3; ++i) {
    pairs.push_back(std::make_unique<RawPair>(port_, Id(i)));
    ASSERT_TRUE(pairs.back()->ok);
  }
  // Taken one at a time, oldest first: the first waits on the list.
  int error = -2;
  QVLink* first = RVWaitForNewLinkFromLinkServer(server_, &error);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(error, 0);
  RVClose(first);
  // Links need no activation to be handed out; give the other two time to
  // arrive on the list before the callback is set by waiting for the second.
  QVLink* second = RVWaitForNewLinkFromLinkServer(server_, &error);
  ASSERT_NE(second, nullptr);
  RVClose(second);
  RawPair late(port_, Id(9));
  ASSERT_TRUE(late.ok);
  RVRegisterCallbackFunctionWithLinkServer(server_, &Collector::Receive);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return collector_.size() == 2; }));
  for (QVLink* link : collector_.links()) RVClose(link);
}

TEST_F(LinkServerCalls, WaiterWokenByANewLinkAtOnce) {
  Serve();
  std::atomic<QVLink*> got{nullptr};
  RVLinkServer* server = server_;
  std::thread waiter([&] { got = RVWaitForNewLinkFromLinkServer(server, nullptr); });
  RawPair pair(port_, Id(4));
  ASSERT_TRUE(pair.ok);
  // Well inside the waiter's own 30-second round.
  EXPECT_TRUE(qvtest::WaitUntil([&] { return got.load() != nullptr; }, std::chrono::seconds(10)));
  if (got.load() == nullptr) RVShutdownLinkServer(std::exchange(server_, nullptr));
  waiter.join();
  RVClose(got.load());
}

TEST_F(LinkServerCalls, ShutdownEndsAWaitWithMinusOneBeforeTheServerGoes) {
  Serve();
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  QVLink* link = reinterpret_cast<QVLink*>(1);
  int error = 12345;
  RVLinkServer* server = server_;
  std::thread waiter([&] {
    tid = static_cast<pid_t>(::syscall(SYS_gettid));
    link = RVWaitForNewLinkFromLinkServer(server, &error);
    done = true;
  });
  // Asleep inside the wait (it has nothing else to sleep in).
  ASSERT_TRUE(qvtest::WaitUntil([&] { return tid.load() != 0 && ThreadState(tid.load()) == 'S'; }));
  // The server is freed only once the waiter has left it (AddressSanitizer
  // would see a late touch).
  RVShutdownLinkServer(std::exchange(server_, nullptr));
  waiter.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(link, nullptr);
  EXPECT_EQ(error, -1);
}

TEST_F(LinkServerCalls, ShutdownClosesWhatNobodyTookAndJoinsItsThreads) {
  const std::multiset<std::string> before = ThreadNames();
  Serve();
  // The accepting thread is named before the server is made; the delivery
  // thread names itself on its own time.
  EXPECT_EQ(ThreadNames().count("QV-LinkServer-E"), before.count("QV-LinkServer-E") + 1);
  EXPECT_TRUE(qvtest::WaitUntil(
      [&] { return ThreadNames().count("QV-LinkServer-Q") == before.count("QV-LinkServer-Q") + 1; }));
  RawPair taken(port_, Id(1));
  RawPair unpaired(port_, Id(2));
  Connection half(port_);
  ASSERT_TRUE(taken.ok && unpaired.ok && half.Send(Line(Id(3), "data")));
  Connection silent(port_);
  // The first pair is opened once its link waits on the list.
  QVLink* first = RVWaitForNewLinkFromLinkServer(server_, nullptr);
  ASSERT_NE(first, nullptr);
  RVClose(first);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return taken.data.ClosedQ() && taken.mesg.ClosedQ(); }));
  EXPECT_FALSE(half.ClosedQ());
  RVShutdownLinkServer(std::exchange(server_, nullptr));
  // The link left on the list, the half waiting for its partner and the
  // silent connection are all closed, and both threads are gone.
  EXPECT_TRUE(qvtest::WaitUntil([&] {
    return unpaired.data.ClosedQ() && unpaired.mesg.ClosedQ() && half.ClosedQ() && silent.ClosedQ();
  }));
  // A joined thread can stay listed in /proc for a moment after the join.
  EXPECT_TRUE(qvtest::WaitUntil([&] {
    const std::multiset<std::string> after = ThreadNames();
    return after.count("QV-LinkServer-E") == before.count("QV-LinkServer-E") &&
           after.count("QV-LinkServer-Q") == before.count("QV-LinkServer-Q");
  }));
}

}  // namespace

// Links made by the link server from real connections: a table of well and
// badly formed connections from a client written in Python, their links
// taken by a waiting caller and by the callback, a silent
// connection beside a good pair, a link a callback throws on, "TCPIP" links with the identified one-port
// form that exchange expressions and messages with the delivered links, many
// pairs at once from several threads, and accepting again after running out
// of descriptors.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <future>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "network/qvlinkserver.h"
#include "tests/network/qvlinkservertest.h"

namespace {

using namespace qvlinkservertest;

// How a test takes the server's links.
enum class Delivery { wait, callback };

class LinkServerLinks : public ServerFixture {
 protected:
  void ServeBy(Delivery delivery) {
    if (delivery == Delivery::callback) {
      ServeToCollector();
    } else {
      Serve();
    }
  }
  QVLink* Take(Delivery delivery) { return delivery == Delivery::callback ? collector_.Next() : WaitForLink(); }
  // Waits in the server for its next link, as a program does, but not past a
  // deadline: then the server is shut down, which ends the wait with null.
  QVLink* WaitForLink() {
    RVLinkServer* server = server_;
    auto waiting = std::async(std::launch::async, [server] { return RVWaitForNewLinkFromLinkServer(server, nullptr); });
    if (waiting.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      RVShutdownLinkServer(server_);
      server_ = nullptr;
    }
    return waiting.get();
  }
  // No link is left for a later taker.
  bool NothingLeft(Delivery delivery, size_t taken) {
    return delivery == Delivery::callback ? collector_.size() == taken : !server_->hasConnectedLinks();
  }
  // A client link of the identified one-port form to this server.
  QVLink* Client() {
    int error = 0;
    const std::string command = "-linkmode connect -linkprotocol TCPIP -linkname " + std::to_string(port_) +
                                "@127.0.0.1 -linkoptions 260";
    return RVOpenString(environment_, command.c_str(), &error);
  }
};

// ---------------------------------------------------------------- the table

struct ConnectionCase {
  const char* name;        // the Python client's case
  bool link;               // one link is delivered for it
  std::vector<std::string> report;
};

// Every case with each way of taking links.
class LinkServerTable : public LinkServerLinks,
                        public ::testing::WithParamInterface<std::tuple<ConnectionCase, Delivery>> {
 protected:
  Delivery delivery() const { return std::get<1>(GetParam()); }
  // Lets a delivered link start: its header goes out on the server's data
  // connection; the client answers and hangs up, so the start fails and the
  // link is closed, which closes the message connection.
  static void StartAndClose(QVLink* link) {
    RVActivate(link);
    RVClose(link);
  }
  // Runs a client case against the server; its report, or a failure.
  std::vector<std::string> Run(const std::string& name, bool link) {
    PythonClient client(port_, name);
    EXPECT_TRUE(client.started());
    if (link) {
      QVLink* delivered = Take(delivery());
      EXPECT_NE(delivered, nullptr) << name;
      if (delivered != nullptr) StartAndClose(delivered);
    }
    int status = -1;
    std::vector<std::string> report = client.Lines(&status);
    EXPECT_EQ(status, 0) << name;
    return report;
  }
};

const std::vector<std::string> kPaired = {"data header", "mesg closed"};

TEST_P(LinkServerTable, BadConnectionsClosedGoodOnesPairedServerAcceptsOn) {
  const ConnectionCase& c = std::get<0>(GetParam());
  ServeBy(delivery());
  EXPECT_EQ(Run(c.name, c.link), c.report);
  // Whatever came before, a good pair still makes exactly one more link.
  EXPECT_EQ(Run("data-mesg", true), kPaired);
  ASSERT_NE(server_, nullptr);
  EXPECT_TRUE(NothingLeft(delivery(), c.link ? 2u : 1u));
}

INSTANTIATE_TEST_SUITE_P(
    Connections, LinkServerTable,
    ::testing::Combine(
        ::testing::Values(ConnectionCase{"data-mesg", true, kPaired}, ConnectionCase{"mesg-data", true, kPaired},
                          ConnectionCase{"split", true, kPaired}, ConnectionCase{"any-separators", true, kPaired},
                          ConnectionCase{"short-then-close", false, {}}, ConnectionCase{"reset", false, {}},
                          ConnectionCase{"id-nul", false, {"nul closed"}},
                          ConnectionCase{"connection-typo", false, {"typo closed"}},
                          ConnectionCase{"capitals", false, {"caps closed"}},
                          ConnectionCase{"duplicate-then-pair", true,
                                         {"first closed", "second closed", "data header", "mesg closed"}}),
        ::testing::Values(Delivery::wait, Delivery::callback)),
    [](const auto& param) {
      std::string name = std::get<0>(param.param).name;
      for (char& ch : name) {
        if (ch == '-') ch = '_';
      }
      return name + (std::get<1>(param.param) == Delivery::wait ? "_wait" : "_callback");
    });

TEST_F(LinkServerLinks, SilentConnectionHoldsUpNoOtherAndIsDroppedAtItsDeadline) {
  ServeToCollector();
  // Accepted first: the listen queue hands connections out in order.
  Connection silent(port_);
  ASSERT_TRUE(silent.connected());
  RawPair pair(port_, Id(7));
  ASSERT_TRUE(pair.ok);
  QVLink* link = collector_.Next();
  ASSERT_NE(link, nullptr);
  EXPECT_FALSE(silent.ClosedQ());
  RVClose(link);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return silent.ClosedQ(); }));
}

// The first link is refused by throwing; the others reach the collector.
std::atomic<int> gOffered{0};
void RefuseTheFirstLink(RVLinkServer* server, QVLink* link) {
  if (gOffered.fetch_add(1) == 0) throw std::runtime_error("refused");
  Collector::Receive(server, link);
}

TEST_F(LinkServerLinks, LinkRefusedByAThrowingCallbackIsClosedAndTheNextDelivered) {
  gOffered = 0;
  Serve(&collector_);
  RVRegisterCallbackFunctionWithLinkServer(server_, &RefuseTheFirstLink);
  RawPair refused(port_, Id(1));
  ASSERT_TRUE(refused.ok);
  // Nobody holds the refused link: left open, its connections would never end.
  EXPECT_TRUE(qvtest::WaitUntil([&] { return refused.data.ClosedQ() && refused.mesg.ClosedQ(); }));
  EXPECT_EQ(gOffered.load(), 1);
  ExpectPairBecomesLink(2);
}

// ---------------------------------------------------------------- real links

std::atomic<int> gMessage{0};
void RecordMessage(void*, int message, int) { gMessage = message; }

class LinkServerDelivery : public LinkServerLinks, public ::testing::WithParamInterface<Delivery> {};

TEST_P(LinkServerDelivery, IdentifiedClientExchangesExpressionsAndMessages) {
  ServeBy(GetParam());
  QVLink* client = Client();
  ASSERT_NE(client, nullptr);
  std::atomic<int> answer{0};
  std::thread talker([&] {
    int value = 0;
    if (RVActivate(client) != 0 && RVPutInteger32(client, 21) != 0 && RVEndPacket(client) != 0 &&
        RVFlush(client) != 0 && RVGetInteger32(client, &value) != 0) {
      answer = value;
    }
  });
  QVLink* served = Take(GetParam());
  ASSERT_NE(served, nullptr);
  gMessage = 0;
  ASSERT_EQ(RVSetMessageHandler(served, &RecordMessage), 1);
  ASSERT_NE(RVActivate(served), 0);
  int value = 0;
  ASSERT_EQ(RVGetInteger32(served, &value), 1);
  EXPECT_EQ(value, 21);
  EXPECT_EQ(RVPutInteger32(served, value * 2), 1);
  EXPECT_EQ(RVEndPacket(served), 1);
  EXPECT_EQ(RVFlush(served), 1);
  talker.join();
  EXPECT_EQ(answer.load(), 42);
  // The terminate message reaches the served link's handler.
  EXPECT_EQ(RVPutMessage(client, 1), 1);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return gMessage.load() == 1; }));
  RVClose(client);
  RVClose(served);
}

TEST_P(LinkServerDelivery, ManyPairsFromSeveralThreadsEachDeliveredOnce) {
  constexpr int kThreads = 6;
  constexpr int kEach = 4;
  ServeBy(GetParam());
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        QVLink* link = Client();
        if (link == nullptr) continue;
        int echoed = -1;
        const int mine = t * kEach + i;
        if (RVActivate(link) != 0 && RVPutInteger32(link, mine) != 0 && RVEndPacket(link) != 0 &&
            RVFlush(link) != 0 && RVGetInteger32(link, &echoed) != 0 && echoed == mine + 1000) {
          ++good;
        }
        RVClose(link);
      }
    });
  }
  // Each delivered link talks to the one client that made it.
  std::set<int> seen;
  std::set<QVLink*> links;
  for (int n = 0; n < kThreads * kEach; ++n) {
    QVLink* served = Take(GetParam());
    ASSERT_NE(served, nullptr);
    EXPECT_TRUE(links.insert(served).second);
    int value = -1;
    if (RVActivate(served) != 0 && RVGetInteger32(served, &value) != 0) {
      EXPECT_TRUE(seen.insert(value).second) << value;
      RVPutInteger32(served, value + 1000);
      RVEndPacket(served);
      RVFlush(served);
    }
  }
  for (std::thread& client : clients) client.join();
  for (QVLink* served : links) RVClose(served);
  EXPECT_EQ(good.load(), kThreads * kEach);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
  if (GetParam() == Delivery::callback) {
    EXPECT_EQ(collector_.size(), static_cast<size_t>(kThreads * kEach));
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, LinkServerDelivery, ::testing::Values(Delivery::wait, Delivery::callback),
                         [](const auto& param) { return param.param == Delivery::wait ? "wait" : "callback"; });

// ---------------------------------------------------------------- descriptors

// The address and undefined-behaviour sanitizers probe memory through a pipe
// of their own, which cannot be made while descriptors run out.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerNeedsDescriptors = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizerNeedsDescriptors = true;
#else
constexpr bool kSanitizerNeedsDescriptors = false;
#endif
#else
constexpr bool kSanitizerNeedsDescriptors = false;
#endif

// The thread of this process with the given name, or 0.
pid_t ThreadNamed(const std::string& wanted) {
  pid_t found = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::string name;
    std::getline(std::ifstream(std::string("/proc/self/task/") + entry->d_name + "/comm"), name);
    if (name == wanted) found = static_cast<pid_t>(std::stol(entry->d_name));
  }
  ::closedir(tasks);
  return found;
}

// Voluntary context switches of a thread, read through a status file opened
// beforehand (no descriptor can be opened while the limit is low); -1 once the
// thread is gone.
long VoluntarySwitches(int statusFd) {
  char text[4096];
  const ssize_t got = ::pread(statusFd, text, sizeof text - 1, 0);
  if (got <= 0) return -1;
  text[got] = '\0';
  const char* field = std::strstr(text, "voluntary_ctxt_switches:");
  return field != nullptr ? std::strtol(field + 24, nullptr, 10) : -1;
}

TEST_F(LinkServerLinks, AcceptsAgainAfterRunningOutOfDescriptors) {
  if (kSanitizerNeedsDescriptors) GTEST_SKIP() << "the sanitizer runtime needs descriptors while the limit is low";
  ServeToCollector();
  const pid_t acceptor = ThreadNamed("QV-LinkServer-E");
  ASSERT_NE(acceptor, 0);
  // Both client sockets exist before the limit falls and connect after it:
  // connecting needs no new descriptor on this side, but the server's accept does.
  Connection data;
  Connection mesg;
  const int statusFd = ::open(("/proc/self/task/" + std::to_string(acceptor) + "/status").c_str(), O_RDONLY);
  ASSERT_GE(statusFd, 0);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Below the lowest free descriptor no new one can be made.
  const int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const bool sent = data.Connect(port_) && mesg.Connect(port_) && data.Send(Line(Id(5), "data")) &&
                    mesg.Send(Line(Id(5), "mesg"));
  // The waiting connections keep the listener ready, so each of these sleeps
  // of the acceptor follows a failed accept; a thread that ended would have
  // no status to read.
  const long before = VoluntarySwitches(statusFd);
  const bool alive = qvtest::WaitUntil([&] { return VoluntarySwitches(statusFd) >= before + 3; });
  const size_t whileLow = collector_.size();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ::close(statusFd);
  ASSERT_TRUE(sent);
  ASSERT_TRUE(alive);
  EXPECT_EQ(whileLow, 0u);
  QVLink* link = collector_.Next();
  ASSERT_NE(link, nullptr);
  RVClose(link);
}

}  // namespace

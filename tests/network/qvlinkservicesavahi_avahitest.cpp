// The link services against a real DNS-SD daemon: a link server advertised
// through the library is seen by the daemon's own browse tool with its TXT
// record, browsed for and resolved by the library, and the resolved link name
// opens a link the server delivers; a listener registered by the library
// resolves to its own name and is withdrawn once a peer connects, and one whose
// name another program holds is refused with 64, its listener closed; a service
// published by the daemon's tool resolves to the link name its TXT record gives.
// Runs only inside tests/network/qvavahi_namespace.sh, which starts a private
// daemon on the loopback interface of a namespace of its own.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorvane.h"
#include "support/qvtest.h"

extern char** environ;

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kType = "qvavahi";
constexpr const char* kAvahiType = "_qvavahi._tcp";
// How long the library may take to find and to resolve a service.
constexpr milliseconds kDiscovery = seconds(2);
// Registering, withdrawing and the daemon's own tools (a client each) get longer.
constexpr milliseconds kToolDeadline = seconds(20);

// One of the daemon's command-line tools, its standard output and error read
// line by line; ended and reaped when the object goes.
class Tool {
 public:
  explicit Tool(const std::vector<std::string>& arguments) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    output_ = ends[0];
  }
  ~Tool() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) ::close(output_);
  }
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  bool started() const { return pid_ > 0; }
  // Everything the tool printed so far, for failure messages.
  const std::string& seen() const { return seen_; }

  // The first whole line that satisfies wanted, or empty text once the
  // deadline passes or the tool ends.
  std::string WaitForLine(const std::function<bool(const std::string&)>& wanted, milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (true) {
      for (size_t newline; (newline = pending_.find('\n')) != std::string::npos;) {
        std::string line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        if (wanted(line)) return line;
      }
      const auto left = std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || output_ < 0) return {};
      pollfd entry{output_, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(output_, buffer, sizeof buffer);
      if (got <= 0) return {};
      pending_.append(buffer, static_cast<size_t>(got));
      seen_.append(buffer, static_cast<size_t>(got));
    }
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string pending_;
  std::string seen_;
};

// Until the daemon's publishing tool says its service is established.
void WaitUntilPublished(Tool& publisher) {
  ASSERT_TRUE(publisher.started());
  const std::string established = publisher.WaitForLine(
      [](const std::string& line) { return line.rfind("Established under name", 0) == 0; }, kToolDeadline);
  ASSERT_FALSE(established.empty()) << publisher.seen();
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1) {
    fields.push_back(text.substr(start, at - start));
  }
  fields.push_back(text.substr(start));
  return fields;
}

// What the library's callbacks reported; they run on its service thread.
struct Events {
  struct Resolved {
    std::string service, link, protocol;
    int options = -1;
  };
  std::mutex lock;
  std::vector<std::pair<int, std::string>> registered;
  std::vector<std::pair<int, std::string>> browsed;
  std::vector<Resolved> resolved;

  bool Registered(int event, const std::string& name) { return Holds(registered, event, name); }
  bool Browsed(int event, const std::string& name) { return Holds(browsed, event, name); }
  bool AnyResolved() {
    std::lock_guard<std::mutex> hold(lock);
    return !resolved.empty();
  }
  Resolved FirstResolved() {
    std::lock_guard<std::mutex> hold(lock);
    return resolved.front();
  }

 private:
  bool Holds(const std::vector<std::pair<int, std::string>>& list, int event, const std::string& name) {
    std::lock_guard<std::mutex> hold(lock);
    for (const auto& entry : list) {
      if (entry.first == event && entry.second == name) return true;
    }
    return false;
  }
};

void OnRegister(RVEnvironment*, RVServiceRef, int event, const char* name, void* context) {
  auto* events = static_cast<Events*>(context);
  std::lock_guard<std::mutex> hold(events->lock);
  events->registered.emplace_back(event, name != nullptr ? name : "");
}

void OnBrowse(RVEnvironment*, RVServiceRef, int event, const char* name, void* context) {
  auto* events = static_cast<Events*>(context);
  std::lock_guard<std::mutex> hold(events->lock);
  // Only found (1) and gone (2) matter here, not "more to come" (16).
  events->browsed.emplace_back(event & ~16, name != nullptr ? name : "");
}

void OnResolve(RVEnvironment*, RVServiceRef, const char* service, const char* link, const char* protocol, int options,
               void* context) {
  auto* events = static_cast<Events*>(context);
  std::lock_guard<std::mutex> hold(events->lock);
  events->resolved.push_back(
      {service != nullptr ? service : "", link != nullptr ? link : "", protocol != nullptr ? protocol : "", options});
}

// An environment inside the private daemon's namespace.
class AvahiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The compatibility library otherwise warns on standard error.
    setenv("AVAHI_COMPAT_NOWARN", "1", 1);
    const char* host = getenv("QV_AVAHI_HOST_NAME");
    ASSERT_NE(host, nullptr) << "run this program through tests/network/qvavahi_namespace.sh";
    hostName_ = host;
    environment_ = RVInitialize(nullptr);
    ASSERT_NE(environment_, nullptr);
  }
  // Requests still open are stopped before the environment goes, so no
  // callback outlives the events it writes to.
  void TearDown() override {
    if (registration_ != nullptr) RVStopRegisteringLinkService(environment_, registration_);
    for (auto at = stops_.rbegin(); at != stops_.rend(); ++at) (*at)();
    if (environment_ != nullptr) RVDeinitialize(environment_);
  }

  int Browse() {
    RVServiceRef reference = nullptr;
    const int error = RVBrowseForLinkServices(environment_, &OnBrowse, kType, nullptr, &events_, &reference);
    if (error == 0) stops_.push_back([this, reference] { RVStopBrowsingForLinkServices(environment_, reference); });
    return error;
  }
  int Resolve(const std::string& name) {
    RVServiceRef reference = nullptr;
    const int error = RVResolveLinkService(environment_, &OnResolve, kType, name.c_str(), &events_, &reference);
    if (error == 0) stops_.push_back([this, reference] { RVStopResolvingLinkService(environment_, reference); });
    return error;
  }

  // Finds name by browsing and resolves it, each within the discovery deadline.
  void FindAndResolve(const std::string& name, Events::Resolved* resolved) {
    ASSERT_EQ(Browse(), 0);
    EXPECT_TRUE(qvtest::WaitUntil([&] { return events_.Browsed(1, name); }, kDiscovery));
    ASSERT_EQ(Resolve(name), 0);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return events_.AnyResolved(); }, kDiscovery));
    *resolved = events_.FirstResolved();
  }

  RVEnvironment* environment_ = nullptr;
  std::string hostName_;
  Events events_;
  // A registration not yet stopped by the test.
  RVServiceRef registration_ = nullptr;
  std::vector<std::function<void()>> stops_;
};

struct ServerDeleter {
  void operator()(RVLinkServer* server) const { RVShutdownLinkServer(server); }
};
struct LinkDeleter {
  void operator()(QVLink* link) const { RVClose(link); }
};
using ServerPtr = std::unique_ptr<RVLinkServer, ServerDeleter>;
using LinkPtr = std::unique_ptr<QVLink, LinkDeleter>;

// The delivered link, activated on this thread while the caller activates the
// connecting side; null when the server delivers none.
LinkPtr WaitAndActivate(RVLinkServer* server) {
  int error = -2;
  LinkPtr link(RVWaitForNewLinkFromLinkServer(server, &error));
  if (link && RVActivate(link.get()) == 0) link.reset();
  return link;
}

using AvahiLinkServer = AvahiTest;

TEST_F(AvahiLinkServer, AdvertisedServerIsSeenResolvedAndDeliversTheLinkOpenedByItsName) {
  const std::string name = "quorvane-server";
  int error = -2;
  // Declared before the server: a wait still running ends when the server shuts down.
  std::future<LinkPtr> delivered;
  ServerPtr server(RVNewLinkServerWithPortAndInterface(environment_, 0, "127.0.0.1", nullptr, &error));
  ASSERT_NE(server, nullptr) << error;
  const unsigned short port = RVPortFromLinkServer(server.get(), &error);
  ASSERT_NE(port, 0);
  char* interfaceText = RVInterfaceFromLinkServer(server.get(), &error);
  ASSERT_NE(interfaceText, nullptr) << error;
  const std::string interface = interfaceText;
  RVReleaseInterfaceFromLinkServer(server.get(), interfaceText);
  const std::string linkName = std::to_string(port) + "@" + interface;
  SCOPED_TRACE("server " + linkName);

  RVServiceRef registration = nullptr;
  error = -2;
  RVRegisterLinkServiceFromLinkServer(environment_, kType, name.c_str(), server.get(), &OnRegister, nullptr, &events_,
                                      &registration, &error);
  ASSERT_EQ(error, 0);
  registration_ = registration;
  EXPECT_TRUE(qvtest::WaitUntil([&] { return events_.Registered(1, name); }, kToolDeadline));
  EXPECT_STREQ(RVServiceProtocolFromReference(environment_, registration), kAvahiType);

  // The daemon's own view: the server's port and the keys the library wrote.
  {
    Tool browser({"avahi-browse", "-rtp", kAvahiType});
    ASSERT_TRUE(browser.started());
    // A resolved entry: "=;interface;IPv4;name;type;domain;host;address;port;TXT".
    const auto resolvedEntry = [&](const std::string& text) {
      return text.rfind("=;", 0) == 0 && text.find(";" + name + ";") != std::string::npos;
    };
    const std::string line = browser.WaitForLine(resolvedEntry, kToolDeadline);
    ASSERT_FALSE(line.empty()) << browser.seen();
    const std::vector<std::string> fields = Split(line, ';');
    ASSERT_EQ(fields.size(), 10u) << line;
    EXPECT_EQ(fields[4], kAvahiType);
    EXPECT_EQ(fields[7], "127.0.0.1");
    EXPECT_EQ(fields[8], std::to_string(port));
    for (const std::string& key : std::vector<std::string>{"options=260", "interface=" + interface,
                                                            "protocol=TCPIP", "linkname=" + linkName}) {
      EXPECT_NE(fields[9].find('"' + key + '"'), std::string::npos) << key << " in " << fields[9];
    }
  }

  // The library's view.
  Events::Resolved resolved;
  ASSERT_NO_FATAL_FAILURE(FindAndResolve(name, &resolved));
  EXPECT_EQ(resolved.link, linkName);
  EXPECT_EQ(resolved.protocol, "TCPIP");
  EXPECT_EQ(resolved.options, 260);
  EXPECT_EQ(resolved.service.rfind(name + ".", 0), 0u) << resolved.service;

  // The resolved name opens a link that the server pairs and hands out.
  const std::string command = "-linkconnect -linkprotocol TCPIP -linkoptions 260 -linkname " + resolved.link;
  error = -2;
  LinkPtr connector(RVOpenString(environment_, command.c_str(), &error));
  ASSERT_NE(connector, nullptr) << error;
  ASSERT_EQ(error, 0);
  delivered = std::async(std::launch::async, &WaitAndActivate, server.get());
  ASSERT_NE(RVActivate(connector.get()), 0);
  ASSERT_EQ(delivered.wait_for(kToolDeadline), std::future_status::ready);
  LinkPtr accepted = delivered.get();
  ASSERT_NE(accepted, nullptr);

  ASSERT_EQ(RVPutFunction(connector.get(), "Probe", 2), 1);
  ASSERT_EQ(RVPutInteger32(connector.get(), 42), 1);
  ASSERT_EQ(RVPutString(connector.get(), "across the advertised link"), 1);
  ASSERT_EQ(RVEndPacket(connector.get()), 1);
  ASSERT_EQ(RVFlush(connector.get()), 1);
  const char* head = nullptr;
  int count = -1;
  ASSERT_EQ(RVGetFunction(accepted.get(), &head, &count), 1);
  EXPECT_STREQ(head, "Probe");
  EXPECT_EQ(count, 2);
  RVReleaseSymbol(accepted.get(), head);
  int number = 0;
  EXPECT_EQ(RVGetInteger32(accepted.get(), &number), 1);
  EXPECT_EQ(number, 42);
  const char* text = nullptr;
  ASSERT_EQ(RVGetString(accepted.get(), &text), 1);
  EXPECT_STREQ(text, "across the advertised link");
  RVReleaseString(accepted.get(), text);

  // Withdrawn: the callback hears event 2 first, then browsers see it gone.
  registration_ = nullptr;
  RVStopRegisteringLinkService(environment_, registration);
  EXPECT_TRUE(events_.Registered(2, name));
  EXPECT_TRUE(qvtest::WaitUntil([&] { return events_.Browsed(2, name); }, kToolDeadline));
}

// Listening TCP sockets in this process's network namespace, which the test
// has to itself.
int ListeningSockets() {
  int count = 0;
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      count += state == "0A";
    }
  }
  return count;
}

using AvahiListener = AvahiTest;

TEST_F(AvahiListener, RegisteredListenerIsResolvedToItsNameAndWithdrawnOnceAPeerConnects) {
  const std::string name = "quorvane-listener";
  RVServiceRef registration = nullptr;
  int error = -2;
  const int listening = ListeningSockets();
  // The link holds its registration: connecting or closing it ends that.
  LinkPtr listener(
      RVRegisterLinkService(environment_, kType, name.c_str(), &OnRegister, nullptr, &events_, &registration, &error));
  ASSERT_NE(listener, nullptr) << error;
  ASSERT_EQ(error, 0);
  EXPECT_EQ(ListeningSockets(), listening + 1);
  const std::string listenerName = RVName(listener.get());
  SCOPED_TRACE("listener " + listenerName);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return events_.Registered(1, name); }, kToolDeadline));

  Events::Resolved resolved;
  ASSERT_NO_FATAL_FAILURE(FindAndResolve(name, &resolved));
  EXPECT_EQ(resolved.link, listenerName);
  EXPECT_EQ(resolved.protocol, "TCPIP");
  EXPECT_EQ(resolved.options, 1048832);

  const std::string command = "-linkconnect -linkprotocol TCPIP -linkoptions 1048832 -linkname " + resolved.link;
  LinkPtr connector(RVOpenString(environment_, command.c_str(), &error));
  ASSERT_NE(connector, nullptr) << error;
  std::future<int> accepted = std::async(std::launch::async, [&] { return RVActivate(listener.get()); });
  ASSERT_NE(RVActivate(connector.get()), 0);
  ASSERT_EQ(accepted.wait_for(kToolDeadline), std::future_status::ready);
  ASSERT_NE(accepted.get(), 0);
  EXPECT_TRUE(qvtest::WaitUntil([&] { return events_.Registered(2, name); }, kToolDeadline));
  EXPECT_TRUE(qvtest::WaitUntil([&] { return events_.Browsed(2, name); }, kToolDeadline));
}

TEST_F(AvahiListener, NameTakenByAnotherProgramIsRefusedWith64AndNoListenerStaysOpen) {
  const std::string name = "quorvane-taken";
  Tool publisher({"avahi-publish", "-s", name, kAvahiType, "4711"});
  ASSERT_NO_FATAL_FAILURE(WaitUntilPublished(publisher));
  const int listening = ListeningSockets();

  RVServiceRef registration = nullptr;
  int error = -2;
  LinkPtr listener(
      RVRegisterLinkService(environment_, kType, name.c_str(), &OnRegister, nullptr, &events_, &registration, &error));
  EXPECT_EQ(listener, nullptr);
  EXPECT_EQ(error, 64);
  EXPECT_EQ(ListeningSockets(), listening);
}

// A service the daemon's publishing tool announces with a TXT record of its own.
struct PublishedCase {
  const char* label;
  std::vector<std::string> txt;
  // "%p" stands for the published port, "%h" for the daemon's host target.
  const char* linkName;
  const char* protocol;
  int options;
};

class AvahiPublishedService : public AvahiTest, public ::testing::WithParamInterface<PublishedCase> {};

std::string Expand(std::string pattern, const std::string& port, const std::string& host) {
  for (const auto& [mark, value] : {std::pair<std::string, std::string>{"%p", port}, {"%h", host}}) {
    for (size_t at; (at = pattern.find(mark)) != std::string::npos;) pattern.replace(at, mark.size(), value);
  }
  return pattern;
}

TEST_P(AvahiPublishedService, ResolvesToTheLinkNameItsRecordGives) {
  const PublishedCase& c = GetParam();
  const std::string name = std::string("quorvane-") + c.label;
  const std::string port = "4711";
  std::vector<std::string> arguments = {"avahi-publish", "-s", name, kAvahiType, port};
  arguments.insert(arguments.end(), c.txt.begin(), c.txt.end());
  Tool publisher(arguments);
  ASSERT_NO_FATAL_FAILURE(WaitUntilPublished(publisher));

  Events::Resolved resolved;
  ASSERT_NO_FATAL_FAILURE(FindAndResolve(name, &resolved));
  EXPECT_EQ(resolved.link, Expand(c.linkName, port, hostName_ + ".local"));
  EXPECT_EQ(resolved.protocol, c.protocol);
  EXPECT_EQ(resolved.options, c.options);
}

INSTANTIATE_TEST_SUITE_P(
    Txt, AvahiPublishedService,
    ::testing::Values(
        PublishedCase{"linkname", {"linkname=9000@elsewhere", "protocol=TCPIP", "options=260"}, "9000@elsewhere",
                      "TCPIP", 260},
        PublishedCase{"interface", {"options=1048832", "interface=127.0.0.1", "protocol=TCPIP"}, "%p@127.0.0.1",
                      "TCPIP", 1048832},
        PublishedCase{"emptylinkname", {"linkname=", "protocol=TCPIP"}, "%p@%h", "TCPIP", 0},
        PublishedCase{"nokeys", {}, "%p@%h", "", 0}),
    [](const auto& param) { return std::string(param.param.label); });

}  // namespace

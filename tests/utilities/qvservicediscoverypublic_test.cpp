// The link-service calls against the stand-in DNS-SD library, in a real
// environment with real "TCPIP" listeners on 127.0.0.1 (or, for the calls
// that pick the machine's own interface, in a network namespace that holds
// loopback only): the command each registration opens its listener with and
// what it advertises, argument refusals, the error map of each call, and the
// withdrawal of a registered listener once a peer connects or it closes.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/qvlink.h"
#include "api/qvlinkservicehooks.h"
#include "fakednssd/fakednssd.h"
#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/api/qvenvironmenttest.h"
#include "tests/utilities/qvservicediscoverytest.h"
#include "tests/utilities/qvtestprocesses.h"

namespace {

using qvsdtest::FreePort;
using qvsdtest::PortFree;

using TXTPairs = std::vector<std::pair<std::string, std::string>>;

constexpr char kThreadName[] = "QV-DarwinServic";
constexpr int kUntouched = 12345;

struct Event {
  int event;
  std::string name;
  bool withdrawnBefore;  // the platform request was already ended when the callback ran
};

struct Recorder {
  std::mutex lock;
  std::vector<Event> events;
  int request = 0;  // the registration's platform request

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> guard(lock);
    return events;
  }
  static void OnEvent(RVEnvironment*, RVServiceRef, int event, const char* name, void* context) {
    auto* self = static_cast<Recorder*>(context);
    std::lock_guard<std::mutex> guard(self->lock);
    self->events.push_back({event, name != nullptr ? name : "", fakednssd::Deallocated(self->request)});
  }
  static void OnResolve(RVEnvironment*, RVServiceRef, const char*, const char*, const char*, int, void*) {}
};

// Runs body in a child inside a network namespace of its own with only
// loopback up, so that listeners on the machine's preferred interface stay
// private. The child's exit status: 0 passed, 77 no namespace.
int InPrivateNetwork(const std::function<void()>& body) {
  const int status = qvtest::RunInChild([&] {
    if (unshare(CLONE_NEWNET) != 0) return 77;
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    if (ioctl(s, SIOCGIFFLAGS, &request) != 0) return 78;
    request.ifr_flags |= IFF_UP;
    if (ioctl(s, SIOCSIFFLAGS, &request) != 0) return 78;
    close(s);
    body();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class LinkServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakednssd::Reset();
    environment_.reset(RVBegin(nullptr));
    ASSERT_NE(environment_, nullptr);
  }
  void TearDown() override { environment_.reset(); }

  // The one registration the platform was asked for.
  fakednssd::Call Registered() {
    const auto calls = fakednssd::CallsOf("DNSServiceRegister");
    EXPECT_EQ(calls.size(), 1u);
    return calls.empty() ? fakednssd::Call() : calls[0];
  }

  QVLink* WithPortAndHostname(uint16_t port, const char* host, int* error) {
    QVLink* link = RVRegisterLinkServiceWithPortAndHostname(environment_.get(), "qvtest", "Svc", port, host,
                                                            &Recorder::OnEvent, "local", &recorder_, &reference_,
                                                            error);
    recorder_.request = fakednssd::LastRequest();
    return link;
  }

  qvtest::EnvironmentHandle environment_;
  Recorder recorder_;
  RVServiceRef reference_ = nullptr;
};

TEST_F(LinkServicesTest, ArgumentsAreRefusedBeforeAnythingIsOpened) {
  RVEnvironment* env = environment_.get();
  RVServiceRef ref = nullptr;
  Recorder* ctx = &recorder_;
  const auto event = &Recorder::OnEvent;
  struct Case {
    const char* what;
    std::function<int()> call;
    int answer;
  };
  auto registered = [](QVLink* link, const int& error) {
    if (link != nullptr) RVClose(link);
    return link != nullptr ? 0 : error;
  };
  const std::vector<Case> cases = {
      {"browse, no callback", [&] { return RVBrowseForLinkServices(env, nullptr, "t", nullptr, ctx, &ref); }, 58},
      {"browse, no type", [&] { return RVBrowseForLinkServices(env, event, nullptr, nullptr, ctx, &ref); }, 58},
      {"browse, no out", [&] { return RVBrowseForLinkServices(env, event, "t", nullptr, ctx, nullptr); }, 58},
      {"browse, no environment", [&] { return RVBrowseForLinkServices(nullptr, event, "t", nullptr, ctx, &ref); }, 58},
      {"resolve, no name", [&] { return RVResolveLinkService(env, &Recorder::OnResolve, "t", nullptr, ctx, &ref); },
       58},
      {"resolve, no type", [&] { return RVResolveLinkService(env, &Recorder::OnResolve, nullptr, "n", ctx, &ref); },
       58},
      {"resolve, no callback", [&] { return RVResolveLinkService(env, nullptr, "t", "n", ctx, &ref); }, 58},
      {"port and host, no name",
       [&] {
         int error = kUntouched;
         return registered(RVRegisterLinkServiceWithPortAndHostname(env, "t", nullptr, 1, nullptr, event, nullptr,
                                                                    ctx, &ref, &error),
                           error);
       },
       kUntouched},
      {"port and host, no type",
       [&] {
         int error = 0;
         return registered(RVRegisterLinkServiceWithPortAndHostname(env, nullptr, "n", 1, nullptr, event, nullptr,
                                                                    ctx, &ref, &error),
                           error);
       },
       58},
      {"port and host, host with a blank",
       [&] {
         int error = 0;
         return registered(RVRegisterLinkServiceWithPortAndHostname(env, "t", "n", 1, "127.0.0.1 -linkmode connect",
                                                                    event, nullptr, ctx, &ref, &error),
                           error);
       },
       58},
      {"host, with a quote",
       [&] {
         int error = 0;
         return registered(RVRegisterLinkServiceWithHostname(env, "t", "n", "local'host", event, nullptr, ctx, &ref,
                                                             &error),
                           error);
       },
       58},
      {"host, with an escape",
       [&] {
         int error = 0;
         return registered(RVRegisterLinkServiceWithHostname(env, "t", "n", "local\\host", event, nullptr, ctx,
                                                             &ref, &error),
                           error);
       },
       58},
      // One word, but an option name of its own: the listener would be a launch.
      {"host, an option word",
       [&] {
         int error = 0;
         return registered(RVRegisterLinkServiceWithHostname(env, "t", "n", "-LinkLaunch", event, nullptr, ctx, &ref,
                                                             &error),
                           error);
       },
       58},
      {"protocol, an option word",
       [&] {
         int error = 0;
         return registered(QVRegisterLinkServiceUsingLinkProtocol(env, "t", "n", 1, "", "-linklaunch", event,
                                                                  nullptr, ctx, &ref, &error),
                           error);
       },
       58},
      {"register, no type",
       [&] {
         int error = 0;
         return registered(RVRegisterLinkService(env, nullptr, "n", event, nullptr, ctx, &ref, &error), error);
       },
       58},
      {"protocol, none",
       [&] {
         int error = 0;
         return registered(QVRegisterLinkServiceUsingLinkProtocol(env, "t", "n", 1, "", nullptr, event, nullptr,
                                                                  ctx, &ref, &error),
                           error);
       },
       58},
      {"protocol, that would launch a program",
       [&] {
         int error = 0;
         return registered(QVRegisterLinkServiceUsingLinkProtocol(env, "t", "n", 1, "",
                                                                  "Pipes -linkmode launch -linkname \"/bin/true\"",
                                                                  event, nullptr, ctx, &ref, &error),
                           error);
       },
       58},
      // "interface=" and the text behind one length byte: 255 bytes at most.
      {"interface text longer than its TXT item holds",
       [&] {
         int error = 0;
         const std::string interfaceText(246, 'i');
         return registered(QVRegisterLinkServiceUsingLinkProtocol(env, "t", "n", 1, interfaceText.c_str(),
                                                                  "IntraProcess", event, nullptr, ctx, &ref, &error),
                           error);
       },
       58},
      {"link server, none",
       [&] {
         int error = 0;
         RVRegisterLinkServiceFromLinkServer(env, "t", "n", nullptr, event, nullptr, ctx, &ref, &error);
         return error;
       },
       58},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(), c.answer) << c.what;
  // Nor is a listener left open by a refused registration.
  QVLink** links = nullptr;
  int count = -1;
  ASSERT_EQ(RVGetLinksFromEnvironment(env, &links, &count), 1);
  EXPECT_EQ(count, 0);
  RVReleaseLinksFromEnvironment(env, links);
  EXPECT_TRUE(fakednssd::Calls().empty());
  EXPECT_EQ(qvtest::ThreadsNamed(kThreadName), 0);
}

TEST_F(LinkServicesTest, ManagerStartsOnFirstUseAndEndsWithTheEnvironment) {
  EXPECT_EQ(qvtest::ThreadsNamed(kThreadName), 0);
  RVServiceRef browse = nullptr;
  ASSERT_EQ(RVBrowseForLinkServices(environment_.get(), &Recorder::OnEvent, "qvtest", nullptr, &recorder_, &browse),
            0);
  EXPECT_STREQ(RVServiceProtocolFromReference(environment_.get(), browse), "_qvtest._tcp");
  EXPECT_EQ(RVServiceProtocolFromReference(environment_.get(), nullptr), nullptr);
  EXPECT_TRUE(qvtest::WaitUntil([] { return qvtest::ThreadsNamed(kThreadName) == 1; }));
  environment_.reset();
  EXPECT_TRUE(qvtest::NoThreadNamed(kThreadName));
  EXPECT_EQ(fakednssd::OpenRequests(), 0);
}

TEST_F(LinkServicesTest, ListenerOnPortAndHostIsAdvertisedThenWithdrawnWhenAPeerConnects) {
  const uint16_t port = FreePort();
  int error = -7;
  QVLink* listener = WithPortAndHostname(port, "127.0.0.1", &error);
  ASSERT_NE(listener, nullptr);
  EXPECT_EQ(error, 0);
  const std::string name = std::to_string(port) + "@127.0.0.1";
  EXPECT_STREQ(RVLinkName(listener), name.c_str());
  const fakednssd::Call call = Registered();
  EXPECT_EQ(call.type, "_qvtest._tcp");
  EXPECT_EQ(call.name, "Svc");
  EXPECT_EQ(call.domain, "local");
  EXPECT_EQ(call.port, htons(port));
  EXPECT_EQ(call.interfaceIndex, if_nametoindex("lo"));
  EXPECT_EQ(fakednssd::ParseTXT(call.txt),
            (TXTPairs{{"options", "1048832"}, {"interface", "127.0.0.1"}, {"protocol", "TCPIP"}, {"linkname", name}}));
  EXPECT_EQ(listener->serviceRegistration, reference_);
  // The withdrawal takes the link's lock: the link core must not hold it.
  RVEnableLinkLock(listener);

  QVLink* connector = RVOpenString(
      environment_.get(), ("-linkname " + name + " -linkprotocol TCPIP -linkmode connect -linkoptions 1048832").c_str(),
      &error);
  ASSERT_NE(connector, nullptr);
  int accepted = 0;
  std::thread accepting([&] { accepted = RVConnect(listener); });
  EXPECT_EQ(RVConnect(connector), 1);
  accepting.join();
  ASSERT_EQ(accepted, 1);

  EXPECT_TRUE(fakednssd::Deallocated(recorder_.request));
  EXPECT_EQ(listener->serviceRegistration, nullptr);
  const auto events = recorder_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event, 2);
  EXPECT_EQ(events[0].name, "Svc");
  EXPECT_FALSE(events[0].withdrawnBefore);

  // The link still works, and closing it withdraws nothing more.
  EXPECT_EQ(RVPutInteger32(connector, 42), 1);
  EXPECT_EQ(RVFlush(connector), 1);
  int got = 0;
  EXPECT_EQ(RVGetInteger32(listener, &got), 1);
  EXPECT_EQ(got, 42);
  RVClose(connector);
  RVClose(listener);
  EXPECT_EQ(fakednssd::CallsOf("DNSServiceRefDeallocate").size(), 1u);
  EXPECT_EQ(recorder_.Events().size(), 1u);
}

TEST_F(LinkServicesTest, ListenerClosedFirstIsWithdrawn) {
  int error = -7;
  QVLink* listener = WithPortAndHostname(FreePort(), "127.0.0.1", &error);
  ASSERT_NE(listener, nullptr);
  fakednssd::ReplyRegister(recorder_.request, 0, "Svc");
  ASSERT_TRUE(qvtest::WaitUntil([&] { return recorder_.Events().size() == 1; }));
  RVEnableLinkLock(listener);
  RVClose(listener);
  EXPECT_TRUE(fakednssd::Deallocated(recorder_.request));
  const auto events = recorder_.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].event, 1);
  EXPECT_EQ(events[1].event, 2);
  EXPECT_FALSE(events[1].withdrawnBefore);
}

TEST_F(LinkServicesTest, StoppedRegistrationIsNotStoppedAgainByItsLink) {
  int error = -7;
  QVLink* listener = WithPortAndHostname(FreePort(), "127.0.0.1", &error);
  ASSERT_NE(listener, nullptr);
  RVStopRegisteringLinkService(environment_.get(), reference_);
  EXPECT_TRUE(fakednssd::Deallocated(recorder_.request));
  ASSERT_EQ(recorder_.Events().size(), 1u);
  EXPECT_FALSE(recorder_.Events()[0].withdrawnBefore);
  // The link still holds the reference it was given; closing it must not
  // touch the ended registration.
  RVClose(listener);
  EXPECT_EQ(recorder_.Events().size(), 1u);
  EXPECT_EQ(fakednssd::CallsOf("DNSServiceRefDeallocate").size(), 1u);
}

TEST_F(LinkServicesTest, RefusedRegistrationLeavesNoListenerOpen) {
  const uint16_t port = FreePort();
  fakednssd::FailNext("DNSServiceRegister", -65548);
  int error = 0;
  EXPECT_EQ(WithPortAndHostname(port, "127.0.0.1", &error), nullptr);
  EXPECT_EQ(error, 64);
  EXPECT_TRUE(PortFree(port));
  EXPECT_EQ(reference_, nullptr);
}

TEST_F(LinkServicesTest, EachCallMapsPlatformRefusalsToItsOwnCodes) {
  struct Case {
    int32_t platform;
    int browse;
    int resolve;
    int other;  // the registrations other than RVRegisterLinkService
  };
  const Case cases[] = {{-65538, -1, 61, 59},
                        {-65542, 62, 62, 62},
                        {-65543, -1, -1, -1},
                        {-65548, -1, 64, 64},
                        {-65537, -1, -1, -1}};
  RVEnvironment* env = environment_.get();
  for (const Case& c : cases) {
    RVServiceRef ref = nullptr;
    fakednssd::FailNext("DNSServiceBrowse", c.platform);
    EXPECT_EQ(RVBrowseForLinkServices(env, &Recorder::OnEvent, "t", nullptr, &recorder_, &ref), c.browse);
    fakednssd::FailNext("DNSServiceResolve", c.platform);
    EXPECT_EQ(RVResolveLinkService(env, &Recorder::OnResolve, "t", "n", &recorder_, &ref), c.resolve);

    int error = 0;
    fakednssd::FailNext("DNSServiceRegister", c.platform);
    EXPECT_EQ(WithPortAndHostname(FreePort(), "127.0.0.1", &error), nullptr);
    EXPECT_EQ(error, c.other) << c.platform;
    fakednssd::FailNext("DNSServiceRegister", c.platform);
    EXPECT_EQ(QVRegisterLinkServiceUsingLinkProtocol(env, "t", "n", 1, "", "IntraProcess", &Recorder::OnEvent,
                                                     nullptr, &recorder_, &ref, &error),
              nullptr);
    EXPECT_EQ(error, c.other) << c.platform;
  }
  // The daemon's "not connected" has no platform number of its own here.
  for (QVServiceCall call : {QVServiceCall::browse, QVServiceCall::resolve, QVServiceCall::registerLinkService,
                             QVServiceCall::otherRegistration}) {
    EXPECT_EQ(QVServiceErrorCode(704, call), 65);
    EXPECT_EQ(QVServiceErrorCode(705, call), -1);
    EXPECT_EQ(QVServiceErrorCode(13, call), -1);
  }
  EXPECT_EQ(QVServiceErrorCode(700, QVServiceCall::registerLinkService), 60);
  EXPECT_EQ(QVServiceErrorCode(703, QVServiceCall::registerLinkService), 64);
}

TEST_F(LinkServicesTest, OtherProtocolIsAdvertisedLocallyWithoutOptions) {
  // The interface text may be left out: null advertises no interface, as "" does.
  for (const char* interfaceText : {"", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(interfaceText != nullptr ? "empty interface text" : "null interface text");
    int error = -7;
    QVLink* listener = QVRegisterLinkServiceUsingLinkProtocol(environment_.get(), "qvtest", "Near", 4100,
                                                              interfaceText, "IntraProcess", &Recorder::OnEvent,
                                                              nullptr, &recorder_, &reference_, &error);
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(error, 0);
    const std::string name = RVLinkName(listener);
    const auto calls = fakednssd::CallsOf("DNSServiceRegister");
    ASSERT_FALSE(calls.empty());
    const fakednssd::Call& call = calls.back();
    EXPECT_EQ(call.interfaceIndex, 0xFFFFFFFFu);
    EXPECT_EQ(call.port, htons(4100));
    EXPECT_EQ(fakednssd::ParseTXT(call.txt),
              (TXTPairs{{"options", "0"}, {"protocol", "IntraProcess"}, {"linkname", name}}));
    RVClose(listener);
  }
  EXPECT_EQ(fakednssd::CallsOf("DNSServiceRegister").size(), 2u);
}

TEST_F(LinkServicesTest, LinkServerIsAdvertisedWithItsPortAndInterface) {
  int error = -7;
  RVLinkServer* server = RVNewLinkServerWithPortAndInterface(environment_.get(), 0, "127.0.0.1", nullptr, &error);
  ASSERT_NE(server, nullptr);
  const unsigned short port = RVPortFromLinkServer(server, &error);
  char* interfaceText = RVInterfaceFromLinkServer(server, &error);
  ASSERT_NE(interfaceText, nullptr);
  const std::string host = interfaceText;
  RVReleaseInterfaceFromLinkServer(server, interfaceText);

  RVRegisterLinkServiceFromLinkServer(environment_.get(), "qvtest", "Server", server, &Recorder::OnEvent, nullptr,
                                      &recorder_, &reference_, &error);
  EXPECT_EQ(error, 0);
  ASSERT_NE(reference_, nullptr);
  const fakednssd::Call call = Registered();
  EXPECT_EQ(call.port, htons(port));
  const std::string name = std::to_string(port) + "@" + host;
  EXPECT_EQ(fakednssd::ParseTXT(call.txt),
            (TXTPairs{{"options", "260"}, {"interface", host}, {"protocol", "TCPIP"}, {"linkname", name}}));
  RVStopRegisteringLinkService(environment_.get(), reference_);
  RVShutdownLinkServer(server);
}

// The listeners of these calls take the machine's preferred interface: run
// in a namespace of the test's own.
void ListenersOnTheChosenInterface() {
  {
    qvtest::EnvironmentHandle environment(RVBegin(nullptr));
    ASSERT_NE(environment, nullptr);
    Recorder recorder;
    RVServiceRef reference = nullptr;
    int error = -7;

    fakednssd::Reset();
    QVLink* link = RVRegisterLinkService(environment.get(), "qvtest", "Whole", &Recorder::OnEvent, nullptr,
                                         &recorder, &reference, &error);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(error, 0);
    const std::string name = RVLinkName(link);
    const size_t at = name.find('@');
    ASSERT_NE(at, std::string::npos) << name;
    auto calls = fakednssd::CallsOf("DNSServiceRegister");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].port, htons(static_cast<uint16_t>(std::stoi(name.substr(0, at)))));
    EXPECT_EQ(fakednssd::ParseTXT(calls[0].txt), (TXTPairs{{"options", "1048832"},
                                                           {"interface", name.substr(at + 1)},
                                                           {"protocol", "TCPIP"},
                                                           {"linkname", name}}));
    RVClose(link);

    fakednssd::Reset();
    link = RVRegisterLinkServiceWithHostname(environment.get(), "qvtest", "Host", nullptr, &Recorder::OnEvent,
                                             nullptr, &recorder, &reference, &error);
    ASSERT_NE(link, nullptr);
    const std::string hostless = RVLinkName(link);
    const std::string port = hostless.substr(0, hostless.find('@'));
    calls = fakednssd::CallsOf("DNSServiceRegister");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(fakednssd::ParseTXT(calls[0].txt),
              (TXTPairs{{"options", "1048832"}, {"protocol", "TCPIP"}, {"linkname", port}}));
    RVClose(link);

    fakednssd::Reset();
    const uint16_t free = FreePort();
    link = RVRegisterLinkServiceWithPortAndHostname(environment.get(), "qvtest", "Bare", free, nullptr,
                                                    &Recorder::OnEvent, nullptr, &recorder, &reference, &error);
    ASSERT_NE(link, nullptr);
    calls = fakednssd::CallsOf("DNSServiceRegister");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].interfaceIndex, 0u);
    EXPECT_EQ(fakednssd::ParseTXT(calls[0].txt),
              (TXTPairs{{"options", "1048832"}, {"protocol", "TCPIP"}, {"linkname", std::to_string(free)}}));
    RVClose(link);

    // RVRegisterLinkService's own column of the error map.
    const std::pair<int32_t, int> refusals[] = {{-65538, 60}, {-65542, 62}, {-65543, -1}, {-65548, 64}, {-65537, -1}};
    for (const auto& [platform, code] : refusals) {
      fakednssd::FailNext("DNSServiceRegister", platform);
      EXPECT_EQ(RVRegisterLinkService(environment.get(), "qvtest", "Whole", &Recorder::OnEvent, nullptr, &recorder,
                                      &reference, &error),
                nullptr);
      EXPECT_EQ(error, code) << platform;
    }
  }
}

TEST(LinkServicesPrivateNetwork, ListenersOnTheChosenInterfaceAdvertiseTheirNames) {
  const int child = InPrivateNetwork(&ListenersOnTheChosenInterface);
  if (child == 77) GTEST_SKIP() << "no network namespace for the test";
  EXPECT_EQ(child, 0);
}

}  // namespace

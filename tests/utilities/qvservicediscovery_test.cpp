// The service manager against the stand-in DNS-SD library: what each request
// asks of the platform, how replies delivered through a request's descriptor
// become callbacks on the manager's thread, the TXT record and interface of a
// registration, platform refusals, stops, and the thread's life.
#include <arpa/inet.h>
#include <net/if.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fakednssd/fakednssd.h"
#include "support/qvtest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvexception.h"
#include "utilities/qvservicediscovery.h"

namespace {

using Quorvane::QVException;
using Quorvane::QVServiceManager;
using TXTPairs = std::vector<std::pair<std::string, std::string>>;

// "QV-DarwinServiceManager" as the system keeps it (15 bytes).
constexpr char kThreadName[] = "QV-DarwinServic";

struct Event {
  void* reference;
  int event;
  std::string name;
};

struct Resolved {
  std::string name;
  std::string linkName;
  std::string protocol;
  int options;
};

// Collects what the callbacks receive; the context of every request.
struct Recorder {
  std::mutex lock;
  std::vector<Event> events;
  std::vector<Resolved> resolved;

  size_t EventCount() {
    std::lock_guard<std::mutex> guard(lock);
    return events.size();
  }
  size_t ResolvedCount() {
    std::lock_guard<std::mutex> guard(lock);
    return resolved.size();
  }

  static void OnEvent(RVEnvironment*, RVServiceRef reference, int event, const char* name, void* context) {
    auto* self = static_cast<Recorder*>(context);
    std::lock_guard<std::mutex> guard(self->lock);
    self->events.push_back({reference, event, name != nullptr ? name : "(null)"});
  }
  static void OnResolve(RVEnvironment*, RVServiceRef, const char* name, const char* linkName, const char* protocol,
                        int options, void* context) {
    auto* self = static_cast<Recorder*>(context);
    std::lock_guard<std::mutex> guard(self->lock);
    self->resolved.push_back({name, linkName, protocol, options});
  }
};

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakednssd::Reset();
    manager_.reset(Quorvane::QVNewServiceManager());
  }

  void* Browse(const char* type, const char* domain = nullptr) {
    void* reference = nullptr;
    EXPECT_EQ(manager_->browseForLinkServices(nullptr, &Recorder::OnEvent, type, domain, &recorder_, &reference), 0);
    return reference;
  }
  void* Register(const char* name, uint16_t port, const char* interfaceText, const char* linkName,
                 const char* protocol, int options, const char* domain = nullptr) {
    void* reference = nullptr;
    EXPECT_EQ(manager_->registerLinkService(nullptr, "qvtest", name, port, interfaceText, linkName, protocol,
                                            options, &Recorder::OnEvent, domain, &recorder_, &reference),
              0);
    return reference;
  }

  Recorder recorder_;
  std::unique_ptr<QVServiceManager> manager_;
};

TEST_F(ServiceManagerTest, ThreadStartsWithTheFirstRequestAndIsJoinedWithTheManager) {
  EXPECT_EQ(qvtest::ThreadsNamed(kThreadName), 0);
  Browse("first");
  EXPECT_TRUE(qvtest::WaitUntil([] { return qvtest::ThreadsNamed(kThreadName) == 1; }));
  Browse("second");
  Register("svc", 4000, nullptr, nullptr, nullptr, 0);
  EXPECT_EQ(qvtest::ThreadsNamed(kThreadName), 1);
  EXPECT_EQ(fakednssd::OpenRequests(), 3);
  manager_.reset();
  EXPECT_TRUE(qvtest::NoThreadNamed(kThreadName));
  // Requests left open end with the manager: nothing stays advertised.
  EXPECT_EQ(fakednssd::OpenRequests(), 0);
}

TEST_F(ServiceManagerTest, FirstRequestsOnManyThreadsStartOneThread) {
  std::vector<std::thread> callers;
  std::mutex lock;
  std::vector<void*> references;
  for (int t = 0; t < 8; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        void* reference = Browse("busy");
        std::lock_guard<std::mutex> guard(lock);
        references.push_back(reference);
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_TRUE(qvtest::WaitUntil([] { return qvtest::ThreadsNamed(kThreadName) == 1; }));
  for (void* reference : references) manager_->stopBrowsingForLinkServices(nullptr, reference);
  EXPECT_EQ(fakednssd::OpenRequests(), 0);
}

TEST_F(ServiceManagerTest, StopIsSeenWhenReadTogetherWithOtherMessages) {
  // The thread may read "reloadref" and "stop" as one text; it must still end.
  for (int i = 0; i < 200; ++i) {
    manager_.reset(Quorvane::QVNewServiceManager());
    Browse("quick");
    manager_.reset();
  }
  EXPECT_TRUE(qvtest::NoThreadNamed(kThreadName));
}

// An allocator that fails every block asked for off the test's own thread
// while armed: memory running out on the manager's thread.
std::atomic<bool> gStarveOthers{false};
std::atomic<int> gStarved{0};
std::thread::id gTestThread;

void* StarvingAllocator(uint64_t size) {
  if (gStarveOthers.load() && std::this_thread::get_id() != gTestThread) {
    ++gStarved;
    return nullptr;
  }
  return Quorvane::qvallocator(size);
}

TEST_F(ServiceManagerTest, ThreadOutlivesMemoryRunningOutOnIt) {
  // In a child: an exception leaving the thread ends the whole process.
  const int status = qvtest::RunInChild([&] {
    gTestThread = std::this_thread::get_id();
    Quorvane::QVObject::SetAllocator(&StarvingAllocator);
    gStarveOthers = true;
    void* reference = Browse("starved");
    const bool starved = qvtest::WaitUntil([] { return gStarved.load() > 0; });
    gStarveOthers = false;
    fakednssd::ReplyBrowse(fakednssd::LastRequest(), 2, 0, "after");
    const bool served = qvtest::WaitUntil([&] { return recorder_.EventCount() == 1; });
    manager_->stopBrowsingForLinkServices(nullptr, reference);
    manager_.reset();
    Quorvane::QVObject::InstallDefaultAllocators();
    return starved && served ? 0 : 1;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

TEST_F(ServiceManagerTest, BrowseAsksForTheTypeAndPassesTheDomain) {
  struct Case {
    const char* type;
    const char* domain;
  };
  const Case cases[] = {{"qvlink", nullptr}, {"x", "local"}, {"quote-feed", "example.org."}};
  for (const Case& c : cases) {
    fakednssd::Reset();
    Browse(c.type, c.domain);
    const auto calls = fakednssd::CallsOf("DNSServiceBrowse");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].type, std::string("_") + c.type + "._tcp");
    EXPECT_EQ(calls[0].domainGiven, c.domain != nullptr);
    EXPECT_EQ(calls[0].domain, c.domain != nullptr ? c.domain : "");
    EXPECT_EQ(calls[0].flags, 0u);
    EXPECT_EQ(calls[0].interfaceIndex, 0u);
  }
}

TEST_F(ServiceManagerTest, BrowseRepliesBecomeEvents) {
  struct Case {
    uint32_t flags;
    int32_t error;
    int event;
  };
  // Add is 2, more-coming 1.
  const Case cases[] = {{2, 0, 1}, {0, 0, 2}, {3, 0, 17}, {1, 0, 18}, {2, -65537, 3}};
  void* reference = Browse("qvlink");
  const int request = fakednssd::LastRequest();
  for (size_t i = 0; i < std::size(cases); ++i) {
    fakednssd::ReplyBrowse(request, cases[i].flags, cases[i].error, "service " + std::to_string(i));
    ASSERT_TRUE(qvtest::WaitUntil([&] { return recorder_.EventCount() == i + 1; }));
    std::lock_guard<std::mutex> guard(recorder_.lock);
    EXPECT_EQ(recorder_.events[i].event, cases[i].event) << i;
    EXPECT_EQ(recorder_.events[i].name, "service " + std::to_string(i));
    EXPECT_EQ(recorder_.events[i].reference, reference);
  }
}

TEST_F(ServiceManagerTest, ResolveRepliesNameTheLink) {
  struct Case {
    const char* host;
    uint16_t port;
    TXTPairs txt;
    const char* linkName;
    const char* protocol;
    int options;
  };
  const Case cases[] = {
      {"peer.local.", 4000, {}, "4000@peer.local", "", 0},
      {"peer", 4001, {}, "4001@peer", "", 0},
      {nullptr, 4002, {}, "4002", "", 0},
      {"peer.local.", 4003, {{"interface", "192.0.2.7"}}, "4003@192.0.2.7", "", 0},
      {"peer.local.", 4004, {{"linkname", "5000@elsewhere"}, {"protocol", "TCPIP"}, {"options", "260"}},
       "5000@elsewhere", "TCPIP", 260},
      {"peer.local.", 4005, {{"linkname", ""}, {"options", "1048832"}}, "4005@peer.local", "", 1048832},
      {"peer.local.", 4006, {{"options", "99999999999999"}}, "4006@peer.local", "", 2147483647},
  };
  void* reference = nullptr;
  ASSERT_EQ(manager_->resolveLinkService(nullptr, "qvlink", "My Service", &Recorder::OnResolve, &recorder_,
                                         &reference),
            0);
  const auto calls = fakednssd::CallsOf("DNSServiceResolve");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].name, "My Service");
  EXPECT_EQ(calls[0].type, "_qvlink._tcp");
  EXPECT_EQ(calls[0].domain, "local");
  const int request = fakednssd::LastRequest();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    // A reply with an error calls nothing: only the next one arrives.
    fakednssd::ReplyResolve(request, -65537, "failed", "x.", htons(1), "");
    fakednssd::ReplyResolve(request, 0, "full " + std::to_string(i), c.host, htons(c.port), fakednssd::TXT(c.txt));
    ASSERT_TRUE(qvtest::WaitUntil([&] { return recorder_.ResolvedCount() == i + 1; }));
    std::lock_guard<std::mutex> guard(recorder_.lock);
    const Resolved& got = recorder_.resolved[i];
    EXPECT_EQ(got.name, "full " + std::to_string(i));
    EXPECT_EQ(got.linkName, c.linkName) << i;
    EXPECT_EQ(got.protocol, c.protocol) << i;
    EXPECT_EQ(got.options, c.options) << i;
  }
}

TEST_F(ServiceManagerTest, RegistrationAdvertisesItsTXTRecordPortAndInterface) {
  const uint32_t loopback = if_nametoindex("lo");
  ASSERT_NE(loopback, 0u);
  struct Case {
    int options;
    uint16_t port;
    const char* interfaceText;
    const char* protocol;
    const char* linkName;
    TXTPairs txt;
    uint32_t index;
  };
  const Case cases[] = {
      {1048832, 4000, nullptr, "TCPIP", nullptr, {{"options", "1048832"}, {"protocol", "TCPIP"}, {"linkname", "4000"}},
       0},
      {1048832, 4001, nullptr, nullptr, nullptr, {{"options", "1048832"}, {"protocol", "TCPIP"}, {"linkname", "4001"}},
       0},
      {260, 4002, "127.0.0.1", "TCPIP", "4002@127.0.0.1",
       {{"options", "260"}, {"interface", "127.0.0.1"}, {"protocol", "TCPIP"}, {"linkname", "4002@127.0.0.1"}},
       loopback},
      {0, 4003, "127.0.0.1", "TCP", nullptr,
       {{"options", "0"}, {"interface", "127.0.0.1"}, {"protocol", "TCP"}, {"linkname", "4003@127.0.0.1"}},
       loopback},
      {0, 4004, nullptr, "SharedMemory", "abc",
       {{"options", "0"}, {"protocol", "SharedMemory"}, {"linkname", "abc"}}, 0xFFFFFFFFu},
      // A host name that is no address of this machine advertises everywhere.
      {260, 4005, "nowhere.invalid", "TCPIP", nullptr,
       {{"options", "260"},
        {"interface", "nowhere.invalid"},
        {"protocol", "TCPIP"},
        {"linkname", "4005@nowhere.invalid"}},
       0},
  };
  for (const Case& c : cases) {
    fakednssd::Reset();
    Register("My Link", c.port, c.interfaceText, c.linkName, c.protocol, c.options, "example.org.");
    const auto calls = fakednssd::CallsOf("DNSServiceRegister");
    ASSERT_EQ(calls.size(), 1u) << c.port;
    EXPECT_EQ(calls[0].name, "My Link");
    EXPECT_EQ(calls[0].type, "_qvtest._tcp");
    EXPECT_EQ(calls[0].domain, "example.org.");
    EXPECT_FALSE(calls[0].hostGiven);
    EXPECT_EQ(calls[0].flags, 0u);
    EXPECT_EQ(calls[0].port, htons(c.port));
    EXPECT_EQ(calls[0].interfaceIndex, c.index) << c.port;
    EXPECT_EQ(fakednssd::ParseTXT(calls[0].txt), c.txt) << c.port;
  }
}

TEST_F(ServiceManagerTest, RegistrationRepliesReportTheRegisteredNameOrTheRefusal) {
  void* reference = Register("Wanted", 4000, nullptr, nullptr, nullptr, 0);
  const int request = fakednssd::LastRequest();
  fakednssd::ReplyRegister(request, 0, "Wanted (2)");
  // A conflict reported later is no registration.
  fakednssd::ReplyRegister(request, -65548, "Wanted");
  ASSERT_TRUE(qvtest::WaitUntil([&] { return recorder_.EventCount() == 2; }));
  std::lock_guard<std::mutex> guard(recorder_.lock);
  EXPECT_EQ(recorder_.events[0].event, 1);
  EXPECT_EQ(recorder_.events[0].name, "Wanted (2)");
  EXPECT_EQ(recorder_.events[0].reference, reference);
  EXPECT_EQ(recorder_.events[1].event, 3);
}

TEST_F(ServiceManagerTest, TXTItemsLongerThanTheirLengthByteAreRefused) {
  // An item is "key=value" behind one length byte.
  struct Case {
    std::string interfaceText;
    std::string linkName;
    int answer;
  };
  const Case cases[] = {
      {std::string(245, 'i'), "x", 0},
      {std::string(246, 'i'), "x", 58},
      {"", std::string(246, 'n'), 0},
      {"", std::string(247, 'n'), 58},
      {"", std::string(300, 'n'), 58},
  };
  for (const Case& c : cases) {
    fakednssd::Reset();
    void* reference = nullptr;
    const int answer = manager_->registerLinkService(nullptr, "qvtest", "svc", 4000, c.interfaceText.c_str(),
                                                     c.linkName.c_str(), "TCPIP", 0, &Recorder::OnEvent, nullptr,
                                                     &recorder_, &reference);
    EXPECT_EQ(answer, c.answer) << c.interfaceText.size() << " " << c.linkName.size();
    EXPECT_EQ(fakednssd::CallsOf("DNSServiceRegister").size(), c.answer == 0 ? 1u : 0u);
  }
}

TEST_F(ServiceManagerTest, NullTextsAreRefusedWithoutAskingThePlatform) {
  void* reference = nullptr;
  EXPECT_EQ(manager_->browseForLinkServices(nullptr, &Recorder::OnEvent, nullptr, nullptr, &recorder_, &reference),
            58);
  EXPECT_EQ(manager_->resolveLinkService(nullptr, nullptr, "name", &Recorder::OnResolve, &recorder_, &reference), 58);
  EXPECT_EQ(manager_->resolveLinkService(nullptr, "qvlink", nullptr, &Recorder::OnResolve, &recorder_, &reference),
            58);
  EXPECT_EQ(manager_->registerLinkService(nullptr, nullptr, "svc", 1, nullptr, nullptr, nullptr, 0,
                                          &Recorder::OnEvent, nullptr, &recorder_, &reference),
            58);
  EXPECT_EQ(manager_->registerLinkService(nullptr, "qvlink", nullptr, 1, nullptr, nullptr, nullptr, 0,
                                          &Recorder::OnEvent, nullptr, &recorder_, &reference),
            58);
  EXPECT_TRUE(fakednssd::Calls().empty());
  EXPECT_EQ(qvtest::ThreadsNamed(kThreadName), 0);
}

TEST_F(ServiceManagerTest, PlatformRefusalsThrowTheirServiceDiscoveryCode) {
  struct Case {
    int32_t platform;
    int code;
  };
  const Case cases[] = {{-65538, 700}, {-65542, 701}, {-65543, 702}, {-65548, 703}, {-65537, 705}, {-65540, 705}};
  const char* functions[] = {"DNSServiceBrowse", "DNSServiceResolve", "DNSServiceRegister"};
  for (const char* function : functions) {
    for (const Case& c : cases) {
      fakednssd::FailNext(function, c.platform);
      void* reference = nullptr;
      int thrown = 0;
      try {
        if (std::string(function) == "DNSServiceBrowse") {
          manager_->browseForLinkServices(nullptr, &Recorder::OnEvent, "t", nullptr, &recorder_, &reference);
        } else if (std::string(function) == "DNSServiceResolve") {
          manager_->resolveLinkService(nullptr, "t", "n", &Recorder::OnResolve, &recorder_, &reference);
        } else {
          manager_->registerLinkService(nullptr, "t", "n", 1, nullptr, nullptr, nullptr, 0, &Recorder::OnEvent,
                                        nullptr, &recorder_, &reference);
        }
      } catch (const QVException& e) {
        EXPECT_EQ(e.getType(), Quorvane::qvexceptiontype::systemCallFailed);
        thrown = e.getCode();
      }
      EXPECT_EQ(thrown, c.code) << function << " " << c.platform;
      EXPECT_EQ(reference, nullptr);
      EXPECT_TRUE(Quorvane::QVSDErrorQ(thrown));
    }
  }
  EXPECT_EQ(fakednssd::OpenRequests(), 0);
}

TEST_F(ServiceManagerTest, StopEndsTheRequestOnceAndIgnoresUnknownReferences) {
  void* browse = Browse("qvlink");
  const int browseRequest = fakednssd::LastRequest();
  void* registration = Register("svc", 4000, nullptr, nullptr, nullptr, 0);
  const int registerRequest = fakednssd::LastRequest();
  int unknown = 0;

  // A reference handed to the wrong stop, or never given out, changes nothing.
  manager_->stopRegisteringLinkService(nullptr, browse);
  manager_->stopBrowsingForLinkServices(nullptr, &unknown);
  manager_->stopResolvingLinkService(nullptr, nullptr);
  EXPECT_EQ(fakednssd::OpenRequests(), 2);

  manager_->stopBrowsingForLinkServices(nullptr, browse);
  EXPECT_TRUE(fakednssd::Deallocated(browseRequest));
  manager_->stopBrowsingForLinkServices(nullptr, browse);  // already stopped
  EXPECT_EQ(fakednssd::CallsOf("DNSServiceRefDeallocate").size(), 1u);
  EXPECT_FALSE(fakednssd::Deallocated(registerRequest));

  // The registration still answers on the thread.
  fakednssd::ReplyRegister(registerRequest, 0, "svc");
  EXPECT_TRUE(qvtest::WaitUntil([&] { return recorder_.EventCount() == 1; }));
  manager_->stopRegisteringLinkService(nullptr, registration);
  EXPECT_TRUE(fakednssd::Deallocated(registerRequest));
}

TEST_F(ServiceManagerTest, AccessorsAnswerForLiveReferencesOnly) {
  void* browse = Browse("qvlink");
  void* registration = Register("Named", 4000, nullptr, nullptr, nullptr, 0);
  void* resolve = nullptr;
  ASSERT_EQ(manager_->resolveLinkService(nullptr, "other", "Named", &Recorder::OnResolve, &recorder_, &resolve), 0);

  EXPECT_STREQ(manager_->serviceProtocol(browse), "_qvlink._tcp");
  EXPECT_STREQ(manager_->serviceProtocol(resolve), "_other._tcp");
  EXPECT_STREQ(manager_->serviceName(registration), "Named");
  EXPECT_EQ(manager_->serviceContext(resolve), &recorder_);
  EXPECT_EQ(manager_->registerCallbackFunction(registration), &Recorder::OnEvent);
  EXPECT_EQ(manager_->registerCallbackFunction(browse), nullptr);
  EXPECT_EQ(manager_->serviceProtocol(nullptr), nullptr);

  manager_->stopRegisteringLinkService(nullptr, registration);
  EXPECT_EQ(manager_->serviceName(registration), nullptr);
  EXPECT_EQ(manager_->registerCallbackFunction(registration), nullptr);
}

TEST(ServiceDiscoveryCodes, PlatformErrorsMapToServiceDiscoveryCodes) {
  EXPECT_EQ(Quorvane::QVConvertToSDError(0), 705);
  EXPECT_EQ(Quorvane::QVConvertToSDError(-65548), 703);
  EXPECT_FALSE(Quorvane::QVSDErrorQ(699));
  EXPECT_TRUE(Quorvane::QVSDErrorQ(704));
  EXPECT_FALSE(Quorvane::QVSDErrorQ(706));
}

}  // namespace

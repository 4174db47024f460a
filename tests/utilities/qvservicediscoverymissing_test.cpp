// A machine whose DNS-SD library is unusable (the library this program finds
// first lacks a function): no manager can be made, browse and resolve answer
// 57, the registrations -1, and no listener is left open.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include <gtest/gtest.h>

#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/api/qvenvironmenttest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvexception.h"
#include "utilities/qvservicediscovery.h"

namespace {

void OnEvent(RVEnvironment*, RVServiceRef, int, const char*, void*) {}
void OnResolve(RVEnvironment*, RVServiceRef, const char*, const char*, const char*, int, void*) {}

// A port on 127.0.0.1 nothing listens on, and whether that is still so.
uint16_t FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(s);
  return port;
}

bool PortFree(uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool free = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(s, 1) == 0;
  close(s);
  return free;
}

TEST(ServiceDiscoveryWithoutLibrary, NoManagerCanBeMade) {
  try {
    std::unique_ptr<Quorvane::QVServiceManager> manager(Quorvane::QVNewServiceManager());
    ADD_FAILURE() << "a manager without DNS-SD functions";
  } catch (const Quorvane::QVException& e) {
    EXPECT_EQ(e.getType(), Quorvane::qvexceptiontype::cannotLoad);
  }
}

TEST(ServiceDiscoveryWithoutLibrary, CallsAnswerUnavailableAndOpenNothing) {
  qvtest::EnvironmentHandle environment(RVBegin(nullptr));
  ASSERT_NE(environment, nullptr);
  RVEnvironment* env = environment.get();
  RVServiceRef reference = nullptr;
  EXPECT_EQ(RVBrowseForLinkServices(env, &OnEvent, "qvtest", nullptr, nullptr, &reference), 57);
  EXPECT_EQ(RVResolveLinkService(env, &OnResolve, "qvtest", "name", nullptr, &reference), 57);

  const uint16_t port = FreePort();
  int error = 0;
  EXPECT_EQ(RVRegisterLinkServiceWithPortAndHostname(env, "qvtest", "Svc", port, "127.0.0.1", &OnEvent, nullptr,
                                                     nullptr, &reference, &error),
            nullptr);
  EXPECT_EQ(error, -1);
  EXPECT_TRUE(PortFree(port));
  error = 0;
  EXPECT_EQ(QVRegisterLinkServiceUsingLinkProtocol(env, "qvtest", "Svc", 1, "", "IntraProcess", &OnEvent, nullptr,
                                                   nullptr, &reference, &error),
            nullptr);
  EXPECT_EQ(error, -1);
  EXPECT_EQ(reference, nullptr);
  // Nothing to stop, nothing to ask.
  RVStopBrowsingForLinkServices(env, &error);
  EXPECT_EQ(RVServiceProtocolFromReference(env, &error), nullptr);
  EXPECT_EQ(qvtest::ThreadsNamed("QV-DarwinServic"), 0);
}

}  // namespace

// A machine whose DNS-SD library is unusable (the library this program finds
// first lacks a function): no manager can be made, browse and resolve answer
// 57, the registrations -1, and no listener is left open.
#include <memory>

#include <gtest/gtest.h>

#include "quorvane.h"
#include "support/qvtest.h"
#include "tests/api/qvenvironmenttest.h"
#include "tests/utilities/qvservicediscoverytest.h"
#include "tests/utilities/qvtestprocesses.h"
#include "utilities/qvexception.h"
#include "utilities/qvservicediscovery.h"

namespace {

using qvsdtest::FreePort;
using qvsdtest::PortFree;

void OnEvent(RVEnvironment*, RVServiceRef, int, const char*, void*) {}
void OnResolve(RVEnvironment*, RVServiceRef, const char*, const char*, const char*, int, void*) {}

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

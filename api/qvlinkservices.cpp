// Link services: browsing and resolving, the stops, and the service type of a
// request. The registering calls are in qvlinkserviceregister.cpp.
#include "api/qvlink.h"
#include "api/qvlinkservicehooks.h"

using Quorvane::QVServiceManager;

namespace {
constexpr int kBadArgument = 58;
constexpr int kUnavailable = 57;

// Starts a browse or resolve through the environment's manager (made when
// needed): 57 without one.
template <typename Start>
int StartRequest(qv_environment* environment, QVServiceCall call, Start start) noexcept {
  QVServiceManager* manager = QVServiceManagerOf(environment, true);
  if (manager == nullptr) return kUnavailable;
  return QVServiceAnswer(call, [&] { return start(*manager); });
}
}  // namespace

extern "C" {

int RVBrowseForLinkServices(RVEnvironment* environment, RVBrowseCallback callback, const char* serviceType,
                            const char* domain, void* context, RVServiceRef* reference) noexcept {
  if (environment == nullptr || callback == nullptr || serviceType == nullptr || reference == nullptr) {
    return kBadArgument;
  }
  return StartRequest(environment, QVServiceCall::browse, [&](QVServiceManager& manager) {
    return manager.browseForLinkServices(environment, callback, serviceType, domain, context, reference);
  });
}

void RVStopBrowsingForLinkServices(RVEnvironment* environment, RVServiceRef reference) noexcept {
  if (reference == nullptr) return;
  QVServiceManager* manager = QVServiceManagerOf(environment, false);
  if (manager == nullptr) return;
  try {
    manager->stopBrowsingForLinkServices(environment, reference);
  } catch (...) {
  }
}

int RVResolveLinkService(RVEnvironment* environment, RVResolveCallback callback, const char* serviceType,
                         const char* serviceName, void* context, RVServiceRef* reference) noexcept {
  if (environment == nullptr || callback == nullptr || serviceType == nullptr || serviceName == nullptr ||
      reference == nullptr) {
    return kBadArgument;
  }
  return StartRequest(environment, QVServiceCall::resolve, [&](QVServiceManager& manager) {
    return manager.resolveLinkService(environment, serviceType, serviceName, callback, context, reference);
  });
}

void RVStopResolvingLinkService(RVEnvironment* environment, RVServiceRef reference) noexcept {
  if (reference == nullptr) return;
  QVServiceManager* manager = QVServiceManagerOf(environment, false);
  if (manager == nullptr) return;
  try {
    manager->stopResolvingLinkService(environment, reference);
  } catch (...) {
  }
}

void RVStopRegisteringLinkService(RVEnvironment* environment, RVServiceRef reference) noexcept {
  if (reference == nullptr) return;
  QVServiceManager* manager = QVServiceManagerOf(environment, false);
  if (manager == nullptr) return;
  try {
    const RVRegisterCallback callback = manager->registerCallbackFunction(reference);
    const char* name = manager->serviceName(reference);
    if (callback != nullptr && name != nullptr) {
      // The record's name goes with the record: the callback gets a copy.
      const Quorvane::QVString requested(name);
      callback(environment, reference, 2, requested.c_str(), manager->serviceContext(reference));
    }
    manager->stopRegisteringLinkService(environment, reference);
  } catch (...) {
  }
}

void RVStopRegisteringLinkServiceForLink(RVEnvironment* environment, QVLink* link,
                                         RVServiceRef reference) noexcept {
  RVStopRegisteringLinkService(environment, reference);
  if (link == nullptr) return;
  QVLinkLockGuard guard(link);
  link->serviceRegistration = nullptr;
}

const char* RVServiceProtocolFromReference(RVEnvironment* environment, RVServiceRef reference) noexcept {
  if (reference == nullptr) return nullptr;
  QVServiceManager* manager = QVServiceManagerOf(environment, false);
  if (manager == nullptr) return nullptr;
  try {
    return manager->serviceProtocol(reference);
  } catch (...) {
    return nullptr;
  }
}

}  // extern "C"

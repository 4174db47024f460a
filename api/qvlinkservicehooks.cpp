#include "api/qvlinkservicehooks.h"

#include <mutex>

#include "api/qvenvironment.h"
#include "utilities/qvexception.h"

namespace {
// Guards every environment's slot: two first requests on two threads make one
// manager.
std::mutex& SlotLock() {
  static std::mutex lock;
  return lock;
}
}  // namespace

Quorvane::QVServiceManager* QVServiceManagerOf(qv_environment* environment, bool make) noexcept {
  if (environment == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(SlotLock());
  if (environment->serviceManager == nullptr && make) {
    try {
      environment->serviceManager = Quorvane::QVNewServiceManager();
    } catch (...) {
      environment->serviceManager = nullptr;
    }
  }
  return environment->serviceManager;
}

void QVDeleteServiceManager(qv_environment* environment) noexcept {
  if (environment == nullptr) return;
  Quorvane::QVServiceManager* manager = nullptr;
  {
    std::lock_guard<std::mutex> guard(SlotLock());
    manager = environment->serviceManager;
    environment->serviceManager = nullptr;
  }
  // Joining the manager's thread waits for a callback that runs: not under
  // the slot lock.
  delete manager;
}

int QVServiceErrorCode(int code, QVServiceCall call) noexcept {
  switch (code) {
    case Quorvane::kSDBadServiceName:
      switch (call) {
        case QVServiceCall::browse:
          return -1;
        case QVServiceCall::resolve:
          return 61;
        case QVServiceCall::registerLinkService:
          return 60;
        case QVServiceCall::otherRegistration:
          return 59;
      }
      return -1;
    case Quorvane::kSDBadState:
      return 62;
    case Quorvane::kSDNameConflict:
      return call == QVServiceCall::browse ? -1 : 64;
    case Quorvane::kSDNotConnected:
      return 65;
    default:
      return -1;
  }
}

// The environment's caller data and its signal calls. Signal calls go into the
// process-wide signal tables under the environment-count lock, so that they
// never meet an environment's start or end half done.
#include <signal.h>

#include <cstring>

#include "api/qvenvironment.h"
#include "api/qvenvironmentlocks.h"

using Quorvane::QVSignalHandler;
using Quorvane::QVSignalHandlerManager;

namespace {

template <typename Call>
int UnderCountLock(RVEnvironment* environment, Call&& call) noexcept {
  if (environment == nullptr) return 0;
  try {
    std::lock_guard<std::mutex> guard(numberofenvironmentsmutex());
    call(environment->signalHandlers);
  } catch (...) {
    // A signal the system keeps for itself is refused; nothing to report.
  }
  return 0;
}

}  // namespace

extern "C" {

int RVSetEnvironmentData(RVEnvironment* environment, void* data) noexcept {
  if (environment == nullptr) return 1;
  environment->environmentData = data;
  return 0;
}

void* RVEnvironmentData(RVEnvironment* environment) noexcept {
  return environment != nullptr ? environment->environmentData : nullptr;
}

int RVSetSignalHandler(RVEnvironment* environment, int signal, void* handler) noexcept {
  return UnderCountLock(environment, [&](QVSignalHandlerManager& manager) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = reinterpret_cast<void (*)(int)>(handler);
    sigemptyset(&action.sa_mask);
    manager.setHandler(QVSignalHandler(signal, action, false, true, true));
  });
}

int RVSetSignalHandlerFromFunction(RVEnvironment* environment, int signal, void (*handler)(int)) noexcept {
  return UnderCountLock(environment, [&](QVSignalHandlerManager& manager) {
    manager.setHandler(QVSignalHandler(signal, handler, false, true, true));
  });
}

int RVUnsetSignalHandler(RVEnvironment* environment, int signal, void (*handler)(int)) noexcept {
  return UnderCountLock(environment,
                        [&](QVSignalHandlerManager& manager) { manager.clearHandlerWithFunction(signal, handler); });
}

int RVStopHandlingSignal(RVEnvironment* environment, int signal) noexcept {
  return UnderCountLock(environment, [&](QVSignalHandlerManager& manager) { manager.stopHandlingSignal(signal); });
}

int RVHandleSignal(RVEnvironment* environment, int signal) noexcept {
  return UnderCountLock(environment, [&](QVSignalHandlerManager& manager) { manager.handleSignal(signal); });
}

}  // extern "C"

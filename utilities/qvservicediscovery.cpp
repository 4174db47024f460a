// The service manager's life: the platform functions, the control pipe, the
// thread that lets the platform deliver replies, and the end of it all.
#include "utilities/qvservicediscovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>

#include "utilities/qvdarwinservicemanager.h"
#include "utilities/qvexception.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvservicediscovery";
constexpr char kStop[] = "stop";

// A pass that failed (memory ran out) is tried again after this pause: at once
// it would spin while memory stays short, and a wait on the control pipe would
// not pause while the pipe holds unread data. A stop is seen after the pause.
void PauseAfterFailedPass() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }
}  // namespace

bool QVSDErrorQ(int code) { return code >= kSDBadServiceName && code <= kSDOther; }

int QVConvertToSDError(int platformError) {
  switch (platformError) {
    case -65538:
      return kSDBadServiceName;
    case -65542:
      return kSDBadState;
    case -65543:
      return kSDBadFlags;
    case -65548:
      return kSDNameConflict;
    default:
      return kSDOther;
  }
}

int QVServiceManager::browseForLinkServices(qv_environment*, RVBrowseCallback, const char*, const char*, void*,
                                            void**) {
  return 0;
}
void QVServiceManager::stopBrowsingForLinkServices(qv_environment*, void*) {}
int QVServiceManager::resolveLinkService(qv_environment*, const char*, const char*, RVResolveCallback, void*,
                                         void**) {
  return 0;
}
void QVServiceManager::stopResolvingLinkService(qv_environment*, void*) {}
int QVServiceManager::registerLinkService(qv_environment*, const char*, const char*, uint16_t, const char*,
                                          const char*, const char*, int, RVRegisterCallback, const char*, void*,
                                          void**) {
  return 0;
}
void QVServiceManager::stopRegisteringLinkService(qv_environment*, void*) {}
RVRegisterCallback QVServiceManager::registerCallbackFunction(void*) { return nullptr; }
const char* QVServiceManager::serviceProtocol(void*) { return nullptr; }
const char* QVServiceManager::serviceName(void*) { return nullptr; }
void* QVServiceManager::serviceContext(void*) { return nullptr; }

QVServiceManager* QVNewServiceManager() { return new DarwinServiceManager(); }

DarwinServiceManager::DarwinServiceManager() : functions_(platform::LoadDNSSDFunctions()) {
  loaded = true;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    throw QVException("DarwinServiceManager constructor failed in call to pipe().", kSourceFile, __LINE__,
                      qvexceptiontype::systemCallFailed, errno);
  }
  controlPipe.readEnd.reset(ends[0]);
  controlPipe.writeEnd.reset(ends[1]);
}

DarwinServiceManager::~DarwinServiceManager() {
  if (!loaded) return;
  {
    std::lock_guard<std::mutex> guard(startLock_);
    if (threadSync.threadIsRunningQ()) {
      stopping_.store(true);
      WriteControl(kStop);
      try {
        threadSync.Stop();
      } catch (...) {
        // The thread sync's own destructor joins what is left.
      }
    }
  }
  controlPipe.readEnd.reset();
  controlPipe.writeEnd.reset();
  // The platform's requests end too: a registration left open would go on
  // being advertised for a link that no longer exists.
  for (auto& [fd, record] : browseRefs) {
    functions_.refDeallocate(record->serviceRef);
    delete record;
  }
  for (auto& [fd, record] : resolveRefs) {
    functions_.refDeallocate(record->serviceRef);
    delete record;
  }
  for (auto& [fd, record] : registerRefs) {
    functions_.refDeallocate(record->serviceRef);
    delete record;
  }
}

void DarwinServiceManager::StartThread() {
  std::lock_guard<std::mutex> guard(startLock_);
  if (threadSync.threadIsRunningQ()) return;
  threadFunction = &QVThreadableObject::Thread1;
  threadSync.CreateThread(this);
}

bool DarwinServiceManager::WriteControl(const char* text) {
  const size_t length = std::strlen(text);
  ssize_t written;
  do {
    written = write(controlPipe.writeEnd.get(), text, length);
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(length);
}

void* DarwinServiceManager::Thread1() {
  QVThreadsFactory::SetThisThreadName("DarwinServiceManager");
  while (!threadSync.ShutdownRequestedQ() && !stopping_.load()) {
    try {
      if (!ServePass()) break;
    } catch (const std::exception&) {
      PauseAfterFailedPass();
    } catch (const QVException&) {
      PauseAfterFailedPass();
    }
  }
  return nullptr;
}

bool DarwinServiceManager::ServePass() {
  QVPollSet ready;
  ready.Add(controlPipe.readEnd.get());
  {
    QVMutex lock(threadSync.getLockHandle());
    for (const auto& entry : browseRefs) ready.Add(entry.first);
    for (const auto& entry : resolveRefs) ready.Add(entry.first);
    for (const auto& entry : registerRefs) ready.Add(entry.first);
  }
  if (!ready.ReadyQ(-1)) return true;
  if (ready.SetQ(controlPipe.readEnd.get())) {
    char text[512];
    const ssize_t got = read(controlPipe.readEnd.get(), text, sizeof text);
    if (got < 0 && errno == EINTR) return true;
    if (got <= 0) return false;
    // "reloadref" or anything else: the set is rebuilt
    return std::string_view(text, static_cast<size_t>(got)) != kStop;
  }
  QVMutex lock(threadSync.getLockHandle());
  ProcessReady(ready);
  return true;
}

void DarwinServiceManager::ProcessReady(const QVPollSet& ready) {
  for (const auto& [fd, record] : browseRefs) {
    if (ready.SetQ(fd)) functions_.processResult(record->serviceRef);
  }
  for (const auto& [fd, record] : resolveRefs) {
    if (ready.SetQ(fd)) functions_.processResult(record->serviceRef);
  }
  for (const auto& [fd, record] : registerRefs) {
    if (ready.SetQ(fd)) functions_.processResult(record->serviceRef);
  }
}

}  // namespace Quorvane

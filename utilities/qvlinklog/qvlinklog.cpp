#include "utilities/qvlinklog/qvlinklog.h"

#include <chrono>
#include <string>

#include "api/qvlink.h"
#include "api/qvqueries.h"
#include "quorvane.h"
#include "utilities/qvthreads.h"

namespace Quorvane {

namespace {

constexpr char kSource[] = "utilities/qvlinklog/qvlinklog";
constexpr char kProtocol[] = "IntraProcess";

[[noreturn]] void Fail(const char* text, qvexceptiontype type) { throw QVException(text, kSource, __LINE__, type, 0); }

// Start-up's connect of its end of the pair backs out once the log thread's
// end has failed or the time is up, instead of waiting for ever.
struct StartingConnect {
  const std::atomic<int>* threadConnect;
  std::chrono::steady_clock::time_point deadline;
};
thread_local const StartingConnect* startingConnect = nullptr;

// Of the public yield-function type, so it is called through its own type.
int BackOutOfStartingConnect(void*, QVYieldParams*) {
  const StartingConnect* starting = startingConnect;
  if (starting == nullptr) return 0;
  return starting->threadConnect->load() < 0 || std::chrono::steady_clock::now() > starting->deadline ? 1 : 0;
}

// The device's name, copied; type 1 when it cannot be had.
std::string DeviceName(QVLink* link) {
  char* text = nullptr;
  if (RVLowLevelDeviceName(link, &text) != 1 || text == nullptr) {
    Fail("Unable to get low level link name", qvexceptiontype::internalError);
  }
  std::string name(text);
  RVReleaseLowLevelDeviceName(link, text);
  return name;
}

}  // namespace

QVSmartPointer<QVLinkLog> QVLinkLog::init() {
  return QVSmartPointer<QVLinkLog>(new QVLinkLog(), CreateUnnamedMutexHandle(QVInProcessMutex));
}

QVLinkLog::QVLinkLog() : exprLog(QVExprLog::init()) {}

QVLinkLog::~QVLinkLog() {
  try {
    close();
  } catch (...) {
    // Nothing can be reported from here; what could be closed is closed.
  }
}

void QVLinkLog::close() {
  releaseLinks();
  exprLog->closeFileHandles();
}

bool QVLinkLog::doLoggingQ() const { return readyToLog.load() && exprLog->willLogToFile(); }

void QVLinkLog::setEnabled(bool on) {
  enabled.store(on);
  exprLog->setEnabled(on);
}

QVString QVLinkLog::threadName() const {
  std::lock_guard<std::mutex> hold(threadNameLock);
  return keptThreadName;
}

QVString QVLinkLog::abbreviateName(const QVString& text, unsigned long limit) {
  if (text.size() <= limit) return text;
  const size_t half = limit / 2;
  const std::string over = std::to_string(text.size() - limit);
  return text.substr(0, half) + "<<" + QVString(over.c_str()) + ">>" + text.substr(text.size() - half);
}

void QVLinkLog::closeLink(QVLink*& link) {
  if (link != nullptr) RVClose(link);
  link = nullptr;
}

void QVLinkLog::stopLogging() {
  // The thread waits for input in short slices and tests the stop flag
  // between them. Nothing is put on the control link from here: a link used
  // by two threads at once races on its state.
  if (logThreadSync != nullptr) {
    logThreadSync->Stop();
    delete logThreadSync;
    logThreadSync = nullptr;
  }
  readyToLog.store(false);
}

void QVLinkLog::releaseLinks() {
  // The thread uses the links: it is joined before any of them closes.
  stopLogging();
  closeLink(controlLink);
  closeLink(writeLinkThread);
  closeLink(writeLinkLocal);
  closeLink(readLink);
}

void QVLinkLog::logWithLink(qv_environment* environment, QVLink* link) {
  if (environment == nullptr || link == nullptr) {
    Fail("Environment and/or link object is NULL", qvexceptiontype::badArgument);
  }
  // A log whose thread ended still holds its links and thread: let go first.
  releaseLinks();
  threadConnect.store(0);
  try {
    theEnv = environment;
    loggedLink = link;
    if (link->lockOn == 0) {
      RVEnableLinkLock(link);
      turnedLinkLockOn = true;
    }
    const std::string device = DeviceName(link);
    if (device.size() > linkNameMaxLength) {
      name = abbreviateName(QVString(device.c_str()), linkNameMaxLength);
      exprLog->setName(name);
    } else {
      name.clear();
      exprLog->setName(QVString(device.c_str()));
    }
    long duplicateError = 0;
    readLink = RVDuplicateLink(link, device.c_str(), &duplicateError);
    if (readLink == nullptr || duplicateError != 0) {
      Fail("Unable to duplicate link in QVLinkLog::logWithLink", qvexceptiontype::internalError);
    }
    int error = 0;
    const std::string create = std::string("-linkcreate -linkprotocol ") + kProtocol + " -linkoptions QVDontInteract";
    writeLinkLocal = RVOpenString(environment, create.c_str(), &error);
    if (writeLinkLocal == nullptr) Fail("Unable to create listening write link", qvexceptiontype::internalError);
    RVEnableLinkLock(writeLinkLocal);
    const std::string connect = std::string("-linkconnect -linkname ") + RVLinkName(writeLinkLocal) +
                                " -linkProtocol " + kProtocol + " -linkoptions QVDontInteract";
    writeLinkThread = RVOpenString(environment, connect.c_str(), &error);
    if (writeLinkThread == nullptr) Fail("Unable to create connecting write link", qvexceptiontype::internalError);
    RVEnableLinkLock(writeLinkThread);
    controlLink = RVLoopbackOpen(environment, &error);
    if (controlLink == nullptr) Fail("Unable to create control link", qvexceptiontype::internalError);
    RVSetName(controlLink, (device + "-ControlLink").c_str());
    try {
      logThreadSync = new QVThreadSync();
    } catch (...) {
      Fail("Unable to create thread sync object", qvexceptiontype::outOfMemory);
    }
    // Named here, not by the thread: the duplicate shares the logged link's
    // lock, which the caller may hold until start-up is done.
    QVString threadText = QVString(device.c_str()) + "-LogThread";
    if (threadText.size() > minimumThreadNameLength) threadText = abbreviateName(threadText, minimumThreadNameLength);
    {
      std::lock_guard<std::mutex> hold(threadNameLock);
      keptThreadName = threadText;
    }
    // Output is on before the thread can write: it reads at once what the
    // link already holds.
    setEnabled(true);
    {
      std::lock_guard<std::mutex> hold(arrivalLock);
      threadEnded = false;
    }
    threadFunction = &QVThreadableObject::Thread1;
    logThreadSync->CreateThread(this);

    const long timeout =
        testHooks.connectTimeoutMilliseconds > 0 ? testHooks.connectTimeoutMilliseconds : kConnectTimeoutMilliseconds;
    const StartingConnect starting{&threadConnect, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout)};
    startingConnect = &starting;
    RVSetYieldFunction(writeLinkLocal, &BackOutOfStartingConnect);
    const int connected = RVConnect(writeLinkLocal);
    RVSetYieldFunction(writeLinkLocal, nullptr);
    startingConnect = nullptr;
    if (connected != 1) Fail("Unable to connect log write links", qvexceptiontype::internalError);
    if (testHooks.startConnected != nullptr) testHooks.startConnected(*this);
  } catch (...) {
    startingConnect = nullptr;
    releaseLinks();
    // The link's lock goes back to how start-up found it.
    if (turnedLinkLockOn) {
      RVDisableLinkLock(link);
      turnedLinkLockOn = false;
    }
    throw;
  }
  markReady();
}

void QVLinkLog::markReady() {
  // The thread may already have met the end of the logged link (input was
  // waiting, its peer gone): a log marked ready then would mirror every put
  // into a pair nobody reads.
  std::lock_guard<std::mutex> hold(arrivalLock);
  if (!threadEnded) readyToLog.store(true);
}

void* QVLinkLog::Thread1() {
  QVThreadsFactory::SetThisThreadName(threadName());

  const int connected = testHooks.threadConnect != nullptr ? testHooks.threadConnect(*this, writeLinkThread)
                                                           : RVConnect(writeLinkThread);
  if (connected != 1) {
    threadConnect.store(-1);
    return nullptr;
  }
  threadConnect.store(1);
  QVLink* links[3] = {readLink, writeLinkThread, controlLink};
  // A failed link ends the log; what came of its last expression and its
  // line are written last. A failure below 0: its line is written already.
  QVLink* failed = nullptr;
  long failure = 0;
  while (failed == nullptr && !logThreadSync->ShutdownRequestedQ()) {
    serveArrivalRequest(failed, failure);
    if (failed != nullptr) break;
    const int ready = RVReadyParallel(theEnv, links, 3, 0, kStopSliceMicroseconds);
    if (ready != 0 && ready != 1) {
      if (ready == 2 || ready == -2) continue;
      break;
    }
    QVLink* link = links[ready];
    long code = 0;
    Whole got = logExpression(link, Pass::kRunning, code);
    if (got == Whole::kIncomplete) {
      // The rest is on its way: meanwhile the logged link's lock is let go
      // and the other direction is served.
      QVLink* others[2] = {ready == 0 ? writeLinkThread : readLink, controlLink};
      if (RVReadyParallel(theEnv, others, 2, 0, kIncompletePauseMicroseconds) != 0) continue;
      link = others[0];
      got = logExpression(link, Pass::kRunning, code);
    }
    if (got == Whole::kLinkFailed || got == Whole::kLogEnded) {
      failed = link;
      failure = got == Whole::kLinkFailed ? code : -1;
    }
  }
  logTheRest(failed, failure);
  return nullptr;
}

void QVLinkLog::logTheRest(QVLink* failed, long failure) {
  // What crossed before the end is logged, the tokens of an expression that
  // never came whole included: under the logged link's lock, so nothing more
  // is mirrored meanwhile, and a put after it finds the log no longer ready.
  QVLinkLockGuard hold(readLink);
  for (QVLink* link : {readLink, writeLinkThread}) {
    long none = 0;
    if (link != failed) logWhileThere(link, Pass::kEnding, none);
  }
  if (failed != nullptr && failure >= 0) logWhileThere(failed, Pass::kEnding, failure);
  endThread();
}

QVLink* QVLinkLog::logWhatIsWhole(long& failure) {
  QVLinkLockGuard hold(readLink);
  for (QVLink* link : {readLink, writeLinkThread}) {
    const Whole got = logWhileThere(link, Pass::kArrived, failure);
    if (got == Whole::kLogEnded) failure = -1;
    if (got == Whole::kLinkFailed || got == Whole::kLogEnded) return link;
  }
  return nullptr;
}

void QVLinkLog::serveArrivalRequest(QVLink*& failed, long& failure) {
  uint64_t asked = 0;
  {
    std::lock_guard<std::mutex> hold(arrivalLock);
    asked = arrivalsAsked;
    if (asked == arrivalsServed) return;
  }
  failed = logWhatIsWhole(failure);
  {
    std::lock_guard<std::mutex> hold(arrivalLock);
    arrivalsServed = asked;
  }
  arrivalLogged.notify_all();
}

void QVLinkLog::endThread() {
  {
    // Under the request lock: a caller waiting for the thread hears it end.
    std::lock_guard<std::mutex> hold(arrivalLock);
    threadEnded = true;
    readyToLog.store(false);
  }
  arrivalLogged.notify_all();
}

void QVLinkLog::logWhatHasArrived() {
  std::unique_lock<std::mutex> hold(arrivalLock);
  if (!readyToLog.load()) return;
  const uint64_t ticket = ++arrivalsAsked;
  arrivalLogged.wait_for(hold, std::chrono::milliseconds(kArrivalWaitMilliseconds),
                         [&] { return arrivalsServed >= ticket || !readyToLog.load(); });
}

void QVLinkLog::print(std::ostream& os) const {
  auto nameOf = [](QVLink* link) {
    const char* text = link != nullptr ? RVLinkName(link) : nullptr;
    return text != nullptr ? text : "";
  };
  os << "<QVLinkLog><logThreadSync>" << static_cast<const void*>(logThreadSync) << "</logThreadSync><theEnv>"
     << static_cast<const void*>(theEnv) << "</theEnv><readLink>" << nameOf(readLink) << "</readLink><writeLinkLocal>"
     << nameOf(writeLinkLocal) << "</writeLinkLocal><writeLinkThread>" << nameOf(writeLinkThread)
     << "</writeLinkThread><controlLink>" << nameOf(controlLink) << "</controlLink><exprLog>";
  exprLog->print(os);
  os << "</exprLog><readyToLog>" << (readyToLog.load() ? 1 : 0) << "</readyToLog><enabled>" << (enabled.load() ? 1 : 0)
     << "</enabled></QVLinkLog>";
}

std::ostream& operator<<(std::ostream& os, const QVLinkLog& log) {
  log.print(os);
  return os;
}

}  // namespace Quorvane

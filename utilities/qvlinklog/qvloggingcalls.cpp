// The public logging calls: a link's log is made on first use in its log
// slot, started, fed files, switched on and off, stopped and replaced; and
// the conventional name of a link's log file.
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/qvlink.h"
#include "api/qvqueries.h"
#include "quorvane.h"
#include "utilities/qvlinklog/qvlinklog.h"

namespace {

constexpr uint32_t kWaitingForConnection = 10;

// The code is read under the link's lock (another thread may be using the link).
bool Refused(QVLink* link) { return link == nullptr || RVError(link) == kWaitingForConnection; }

// The link's log, made when the slot is empty and started when it is not
// running; false when either fails. Runs under the link lock.
bool EnsureStarted(QVLink* link) {
  try {
    if (!link->log) link->log = Quorvane::QVLinkLog::init();
    Quorvane::QVLinkLog& log = *link->log;
    if (!log.readyToLogQ()) log.logWithLink(link->environment(), link);
    return true;
  } catch (...) {
    return false;
  }
}

// A device name made fit for a file name: "/" and blanks become "_".
std::string FileNamePart(const char* device) {
  std::string part(device);
  for (char& c : part) {
    if (c == '/' || c == ' ' || c == '\t') c = '_';
  }
  return part;
}

}  // namespace

int RVLogStreamToFile(QVLink* link, const char* path) noexcept {
  if (Refused(link) || path == nullptr) return 0;
  QVLinkLockGuard guard(link);
  // The file is in place before the log thread starts: the thread reads at
  // once what the link already holds, and text written while the log has no
  // file is lost.
  bool added = false;
  try {
    if (!link->log) link->log = Quorvane::QVLinkLog::init();
    added = link->log->logToFileWithName(Quorvane::QVString(path));
  } catch (...) {
    return 0;  // the file could not be opened; no entry is kept
  }
  if (EnsureStarted(link)) return 1;
  try {
    if (added) link->log->stopLoggingToFileWithName(Quorvane::QVString(path));
  } catch (...) {
    // The log did not start: an entry left behind receives nothing.
  }
  return 0;
}

int RVStopLoggingStreamToFile(QVLink* link, const char* path) noexcept {
  if (Refused(link) || path == nullptr) return 0;
  QVLinkLockGuard guard(link);
  if (!link->log) return 1;
  Quorvane::QVSmartPointer<Quorvane::QVLinkLog> log = link->log;
  // What crossed before this call goes into the file before it closes; the
  // log thread reads the link under its lock, so the lock is let go meanwhile.
  guard.unlock();
  try {
    log->logWhatHasArrived();
    QVLinkLockGuard again(link);
    log->stopLoggingToFileWithName(Quorvane::QVString(path));
  } catch (...) {
    return 0;
  }
  return 1;
}

int RVEnableLoggingStream(QVLink* link) noexcept {
  if (Refused(link)) return 0;
  QVLinkLockGuard guard(link);
  if (!EnsureStarted(link)) return 0;
  link->log->setEnabled(true);
  return 1;
}

int RVDisableLoggingStream(QVLink* link) noexcept {
  if (Refused(link)) return 0;
  QVLinkLockGuard guard(link);
  Quorvane::QVLinkLog* log = link->log.get();
  if (log != nullptr && log->readyToLogQ() && log->enabledQ()) log->setEnabled(false);
  return 1;
}

int RVStopLoggingStream(QVLink* link) noexcept {
  if (Refused(link)) return 0;
  QVLinkLockGuard guard(link);
  if (!link->log) return 1;
  // Taken out of the slot under the lock first: from here on no put mirrors
  // onto its links and no other call starts or stops it, so it is this
  // call's alone to stop and close.
  Quorvane::QVSmartPointer<Quorvane::QVLinkLog> stopped;
  try {
    stopped = link->log;
    link->log = Quorvane::QVLinkLog::init();
  } catch (...) {
    return 0;
  }
  // The log thread may be waiting for this link's lock: joined without it.
  guard.unlock();
  try {
    stopped->stopLogging();
    const bool turnedOn = stopped->turnedLinkLockOnQ();
    // Closed before the last handle goes: releasing it holds the handle's
    // lock, and closing the log's links takes link locks.
    stopped->close();
    stopped = Quorvane::QVSmartPointer<Quorvane::QVLinkLog>();
    // Only a lock the log switched on is switched off again.
    if (turnedOn) RVDisableLinkLock(link);
  } catch (...) {
    return 0;
  }
  return 1;
}

int RVLogFileNameForLink(QVLink* link, char** name) noexcept {
  if (link == nullptr || name == nullptr) return 0;
  char* device = nullptr;
  if (RVLowLevelDeviceName(link, &device) == 0 || device == nullptr) return 0;
  std::string path;
  try {
    const char* folder = std::getenv("TMPDIR");
    path = folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
    if (path.back() != '/') path += '/';
    path += "qv" + FileNamePart(device);
  } catch (...) {
    RVReleaseLowLevelDeviceName(link, device);
    return 0;
  }
  RVReleaseLowLevelDeviceName(link, device);
  if (link->connectionMode == 0) path += "-listener";
  if (link->connectionMode == 1) path += "-connector";
  path += ".log";
  auto* copy = static_cast<char*>(Quorvane::QVObject::allocate(path.size() + 1));
  if (copy == nullptr) return 0;
  std::memcpy(copy, path.c_str(), path.size() + 1);
  *name = copy;
  return 1;
}

void RVReleaseLogFileNameForLink(QVLink* link, char* name) noexcept {
  if (link == nullptr || name == nullptr) return;
  Quorvane::QVObject::deallocate(name);
}

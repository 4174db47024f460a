#include "utilities/qvsyncobject.h"

#include "utilities/qvexception.h"
#include "utilities/qvfilemanager.h"
#include "utilities/qvfilepermissions.h"
#include "utilities/qvsystemenvironment.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvplatformthreads";

// The first attempt's result holds for the life of the process.
bool SyncDirectoryUsable() {
  static const bool usable = initSyncObjectDir();
  return usable;
}
}  // namespace

QVString getPathSeparator() { return QVString("/"); }

QVString getThreadSyncDir() {
  QVString root = "/tmp";
  QVString directory = "Quorvane";
  const QVString value = QVSystemEnvironment().getValueForName("QUORVANE_TMPDIR");
  if (!value.empty()) {
    root = value;
    directory = kSyncDirectoryName;
  }
  return root + getPathSeparator() + directory;
}

bool initSyncObjectDir() {
  try {
    QVFileManager().createDirectoryWithPermissionsIncludingIntermediates(
        getThreadSyncDir(), QVFilePermissions::fromMode(0777));
    return true;
  } catch (const QVException&) {
    return false;
  }
}

QVString makeIPCName(const QVString& name) { return "/tmp/" + name; }

QVString makeSemaphoreIPCName(const QVString& name) { return makeIPCName(name); }

QVString makeFileLockingIPCName(const QVString& name) {
  return getThreadSyncDir() + getPathSeparator() + name;
}

QVString makeFIFOIPCName(const QVString& name) {
  return getThreadSyncDir() + getPathSeparator() + name;
}

bool nameCollidesWithAnotherIPCName(const QVString& name) {
  try {
    for (const QVString& entry : QVFileManager().entryNamesForDirectoryAtPath(getThreadSyncDir())) {
      if (entry == name) return true;
    }
  } catch (const QVException&) {
  }
  return false;
}

QVUnixSyncObject::QVUnixSyncObject() {
  if (!SyncDirectoryUsable()) {
    throw QVException("Sync object directory not initialized.", kSourceFile, __LINE__,
                      qvexceptiontype::internalError, 0);
  }
}

bool QVUnixSyncObject::initializeSyncObjectDir() { return initSyncObjectDir(); }

}  // namespace Quorvane

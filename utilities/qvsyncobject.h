// The per-machine sync directory that holds the lock files and FIFOs of named
// sync objects, the names the system knows them by, and the base part of
// every lock and descriptor condition that needs the directory.
#pragma once

#include "utilities/qvobject.h"

namespace Quorvane {

// Directory name used below QUORVANE_TMPDIR when that is set.
inline constexpr char kSyncDirectoryName[] = "org.quorvane.sync";

// /tmp/Quorvane, or $QUORVANE_TMPDIR/org.quorvane.sync when that is set and not
// empty (read on every call; not normalised).
QVString getThreadSyncDir();
// Makes the sync directory (mode 0777, parents included); false on failure.
bool initSyncObjectDir();

QVString makeIPCName(const QVString& name);           // "/tmp/" + name
QVString makeSemaphoreIPCName(const QVString& name);  // the same
QVString makeFileLockingIPCName(const QVString& name);  // sync directory + "/" + name
QVString makeFIFOIPCName(const QVString& name);         // sync directory + "/" + name

// True when an entry of the sync directory is exactly name.
bool nameCollidesWithAnotherIPCName(const QVString& name);

// "/", used wherever a path is joined.
QVString getPathSeparator();

// Base part of every mutex handle and descriptor condition: its construction
// makes the sync directory once per process and refuses (type 1) when that
// failed, so no lock can be made without a usable directory.
class QVUnixSyncObject {
 public:
  QVUnixSyncObject();
  virtual ~QVUnixSyncObject() = default;
  QVUnixSyncObject(const QVUnixSyncObject&) = default;
  QVUnixSyncObject& operator=(const QVUnixSyncObject&) = default;

  static bool initializeSyncObjectDir();
};

}  // namespace Quorvane

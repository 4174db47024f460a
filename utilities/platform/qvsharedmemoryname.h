// The name under which the system knows a POSIX shared-memory object.
#pragma once

#include "utilities/qvobject.h"

namespace Quorvane::platform {

// Turns an IPC name ("/tmp/" + segment name) into a name the system's
// shared-memory call accepts. Every process maps a name the same way.
QVString PosixSharedMemoryName(const QVString& ipcName);

}  // namespace Quorvane::platform

// The byte path and messages of a shared-memory link are not built yet: each
// operation refuses, so a link over this device fails plainly instead of
// waiting for bytes that never come.
#include "device/qvshmdevice.h"

namespace Quorvane {

namespace {

[[noreturn]] void NotBuilt(unsigned line) {
  throw QVException("SharedMemory data path not available", "device/qvshm", line,
                    qvexceptiontype::internalError, 0);
}

}  // namespace

void QVSharedMemoryDevice::Write(char*, unsigned long) { NotBuilt(__LINE__); }
void QVSharedMemoryDevice::WriteWindow(char**, unsigned long*) { NotBuilt(__LINE__); }
void QVSharedMemoryDevice::Read(char**, unsigned long*) { NotBuilt(__LINE__); }
void QVSharedMemoryDevice::ReadComplete(char*, unsigned long) { NotBuilt(__LINE__); }
bool QVSharedMemoryDevice::HasDataQ() { NotBuilt(__LINE__); }
void QVSharedMemoryDevice::WriteMessage(unsigned long, unsigned long) { NotBuilt(__LINE__); }
void QVSharedMemoryDevice::ReadMessage(unsigned long*, unsigned long*) { NotBuilt(__LINE__); }
bool QVSharedMemoryDevice::HasMessageQ() { NotBuilt(__LINE__); }

}  // namespace Quorvane

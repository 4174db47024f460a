// The "SharedMemory" world and its devices behind the one interface function
// the device manager calls.
#include "device/qvdevicebridge.h"
#include "device/qvshmdevice.h"
#include "device/qvshmworld.h"

namespace Quorvane {

long QVSharedMemoryInterface(void* object, qvdeviceselector selector, void* a1, void* a2) noexcept {
  return qvdevice_main<QVSharedMemoryWorld, QVSharedMemoryDevice>(object, selector, a1, a2);
}

}  // namespace Quorvane

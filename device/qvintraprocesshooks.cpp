// Nothing to set up until the in-process device has a link-name table.
#include "device/qvintraprocesshooks.h"

namespace Quorvane {

bool QVInitializeIntraProcessDevice() { return true; }

bool QVDeinitializeIntraProcessDevice() { return true; }

}  // namespace Quorvane

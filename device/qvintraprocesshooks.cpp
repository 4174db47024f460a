// The link-name table lives as long as the process; ending the device module
// only forgets the names, as a core is deleted by the last device using it.
#include "device/qvintraprocesshooks.h"

#include "device/qvintraprocesscore.h"

namespace Quorvane {

bool QVInitializeIntraProcessDevice() { return true; }

bool QVDeinitializeIntraProcessDevice() {
  QVIntraProcessForgetNames();
  return true;
}

}  // namespace Quorvane

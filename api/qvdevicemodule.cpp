#include "api/qvdevicemodule.h"

#include "device/qvintraprocesshooks.h"

namespace {
bool initialized = false;  // under the environment-count lock
}  // namespace

int QVInitializeDeviceModule() {
  if (initialized) return 1;
  try {
    if (!Quorvane::QVInitializeIntraProcessDevice()) return 0;
  } catch (...) {
    return 0;
  }
  initialized = true;
  return 1;
}

void QVDeinitializeDeviceModule() {
  if (!initialized) return;
  try {
    Quorvane::QVDeinitializeIntraProcessDevice();
  } catch (...) {
    // The flag goes back all the same: the next first environment starts anew.
  }
  initialized = false;
}

bool QVDeviceModuleStartedQ() { return initialized; }

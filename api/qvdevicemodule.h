// The process-wide switch of the device module: started by the first
// environment, stopped with the last. Call under the environment-count lock.
#pragma once

// 1; starts the in-process device's globals once per process (0 if that fails).
int QVInitializeDeviceModule();
// Stops them if they were started.
void QVDeinitializeDeviceModule();
// Whether the module is started.
bool QVDeviceModuleStartedQ();

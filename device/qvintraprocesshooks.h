// Process-wide set-up and tear-down of the in-process device, called by the
// environment; both answer true.
#pragma once

namespace Quorvane {

bool QVInitializeIntraProcessDevice();
bool QVDeinitializeIntraProcessDevice();

}  // namespace Quorvane

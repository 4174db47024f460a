// The C library on Linux keeps the two lowest real-time signals (32 and 33)
// for thread cancellation and credential changes.
#include "utilities/platform/qvsignals.h"

namespace Quorvane::platform {

bool SignalReservedBySystemQ(int number) { return number == 32 || number == 33; }

}  // namespace Quorvane::platform

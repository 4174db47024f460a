// What the system lets a program do with signal numbers.
#pragma once

namespace Quorvane::platform {

// Numbers the C library keeps for its own threads: installing a handler for
// them is refused, as the system's own call refuses it.
bool SignalReservedBySystemQ(int number);

}  // namespace Quorvane::platform

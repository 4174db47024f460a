// Signal-driven input on a descriptor: once armed, the system signals this
// process (SIGIO) when the descriptor becomes readable and, on a socket,
// SIGURG when urgent data arrives. The signal is process-directed: any thread
// may take it. Some systems also signal for write space or connection
// events; a receiver must treat a signal as "look", never as "data is there".
#pragma once

namespace Quorvane::platform {

// Makes this process the descriptor's owner and turns signal-driven input on.
// false with errno set when the system refuses.
bool ArmSignalDrivenInput(int fd) noexcept;

// Turns signal-driven input off (ownership stays). Whoever armed a descriptor
// disarms it before handing it back or closing it. false with errno set when
// the system refuses.
bool DisarmSignalDrivenInput(int fd) noexcept;

// Whether signal-driven input is on; false also when the descriptor is not open.
bool SignalDrivenInputQ(int fd) noexcept;

}  // namespace Quorvane::platform

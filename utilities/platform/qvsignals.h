// What the system lets a program do with signal numbers.
#pragma once

namespace Quorvane::platform {

// Numbers the C library keeps for its own threads: installing a handler for
// them is refused, as the system's own call refuses it.
bool SignalReservedBySystemQ(int number);

// Signals whose default action here ends the process although a program
// expects it to pass unnoticed (signal-driven input on a descriptor still
// armed for it). When the library gives such a signal back and the program
// had left it at its default, it is left ignored instead.
bool IgnoreRatherThanDefaultQ(int number);

// The calling thread's number in the system. Unlike a thread handle it stays
// safe to use once the thread has ended: a signal sent to it is then refused.
long ThisThreadNumber() noexcept;

// Sends the signal to that thread of this process: false when no such thread
// is left. Safe in signal context. The system may give an ended thread's
// number to a new thread of the process, so only send what any thread may get.
bool SignalThreadOfThisProcess(long thread, int number) noexcept;

}  // namespace Quorvane::platform

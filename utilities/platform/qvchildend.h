// Waiting for one child of this process to end without collecting anything
// but that child: a descriptor that becomes readable once the child has ended
// (and stays so until it is reaped), and the reaping through it.
#pragma once

namespace Quorvane::platform {

// A descriptor (close-on-exec) that becomes readable once the child has
// ended, or -1 with errno in *err: ESRCH when no process has that id any more
// (it was reaped already), another code when the system gives none. Opened
// while the child is still unreaped, it names that process and no later one
// that takes its id.
int OpenChildEndDescriptor(int child, int* err) noexcept;

enum class ChildEndState { running, gone };

// Collects the child's status if it has ended (gone), also when it turns out
// to be no child of this process any more; running while it runs or is only
// stopped. With a descriptor of OpenChildEndDescriptor the child is reached
// through it alone; with -1, by its id.
ChildEndState ReapChildIfEnded(int descriptor, int child) noexcept;

}  // namespace Quorvane::platform

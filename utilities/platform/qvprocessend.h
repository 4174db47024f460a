// Whether a process that still holds its id has ended: one that exited or
// was killed keeps its id, and answers a signal of 0 as a live one does,
// until its parent collects its exit status.
#pragma once

namespace Quorvane::platform {

// True when the process with this id has ended and waits only for its
// parent to collect its status. False while any of its threads runs (also
// when its first thread has ended) or while it is stopped, for an id of no
// process, and when the system cannot tell. Collects nothing: a child of the
// caller's stays the caller's to reap.
bool ProcessEndedUnreapedQ(int id) noexcept;

}  // namespace Quorvane::platform

// How many CPUs the calling thread may run on: the processors it is allowed,
// not the processors the machine has. A thread pinned to one CPU (taskset,
// a container's CPU set) gains nothing from waiting busily for a peer that
// needs that same CPU to answer.
#pragma once

namespace Quorvane::platform {

// The CPUs of the calling thread's affinity mask; at least 1. Where the mask
// cannot be read, the processors the machine has.
int AllowedCpuCount() noexcept;

}  // namespace Quorvane::platform

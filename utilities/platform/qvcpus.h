// How many processors this process may run on: its affinity mask, not the
// machine's count, so that a process held to one CPU (taskset, a container's
// cpuset) is seen as having one.
#pragma once

namespace Quorvane {

// The CPUs in the calling thread's affinity mask; at least 1, also when the
// mask cannot be read.
int AllowedCpuCount() noexcept;

}  // namespace Quorvane

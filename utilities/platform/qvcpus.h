// How many processors this process may run on.
#pragma once

namespace Quorvane::platform {

// The processors the calling thread may be scheduled on (its affinity mask,
// which taskset and cpusets narrow), at least 1. Where the system keeps no
// such mask, the processors that are online. Never throws.
int AllowedCpuCount() noexcept;

}  // namespace Quorvane::platform

// Linux keeps a thread's affinity as a bit mask that may be wider than the
// default cpu_set_t on machines with very many processors: the mask is asked
// for at growing sizes until it fits.
#include <sched.h>
#include <unistd.h>

#include <cerrno>

#include "utilities/platform/qvcpus.h"

namespace Quorvane::platform {

namespace {

constexpr int kLargestMask = 1 << 16;  // processors; far beyond any machine

int OnlineCpuCount() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

}  // namespace

int AllowedCpuCount() noexcept {
  for (int cpus = CPU_SETSIZE; cpus <= kLargestMask; cpus *= 2) {
    cpu_set_t* mask = CPU_ALLOC(cpus);
    if (mask == nullptr) return OnlineCpuCount();
    const size_t size = CPU_ALLOC_SIZE(cpus);
    const int got = sched_getaffinity(0, size, mask);
    const int count = got == 0 ? CPU_COUNT_S(size, mask) : 0;
    const int error = errno;
    CPU_FREE(mask);
    if (got == 0) return count > 0 ? count : 1;
    if (error != EINVAL) return OnlineCpuCount();
  }
  return OnlineCpuCount();
}

}  // namespace Quorvane::platform

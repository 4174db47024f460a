// Linux keeps an affinity mask per thread; its count is what the thread may use.
#include <sched.h>

#include <algorithm>
#include <thread>

#include "utilities/platform/qvcpus.h"

namespace Quorvane::platform {

int AllowedCpuCount() noexcept {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof mask, &mask) == 0) return std::max(CPU_COUNT(&mask), 1);
  return std::max(static_cast<int>(std::thread::hardware_concurrency()), 1);
}

}  // namespace Quorvane::platform

// Linux: the affinity mask of the calling thread.
#include <sched.h>

#include "utilities/platform/qvcpus.h"

namespace Quorvane {

int AllowedCpuCount() noexcept {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof mask, &mask) != 0) return 1;
  const int count = CPU_COUNT(&mask);
  return count > 0 ? count : 1;
}

}  // namespace Quorvane

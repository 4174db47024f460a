// Linux keeps a thread's affinity as a bit mask that may be wider than the
// default cpu_set_t on machines with very many processors: the mask is asked
// for at growing sizes until it fits.
#include <sched.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "utilities/platform/qvcpus.h"

namespace Quorvane::platform {

namespace {

constexpr int kLargestMask = 1 << 16;  // processors; far beyond any machine

int OnlineCpuCount() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

struct FreeMask {
  void operator()(cpu_set_t* mask) const { CPU_FREE(mask); }
};

// The mask of pid (0: the calling thread), handed to take(mask, size, cpus)
// once read: 1 when it was, 0 when the system keeps none for pid, -1 when it
// refused otherwise.
template <typename Take>
int WithMaskOf(pid_t pid, Take&& take) {
  for (int cpus = CPU_SETSIZE; cpus <= kLargestMask; cpus *= 2) {
    const std::unique_ptr<cpu_set_t, FreeMask> mask(CPU_ALLOC(cpus));
    if (!mask) return -1;
    const size_t size = CPU_ALLOC_SIZE(cpus);
    if (sched_getaffinity(pid, size, mask.get()) == 0) {
      take(mask.get(), size, cpus);
      return 1;
    }
    if (errno != EINVAL) return -1;
  }
  return 0;
}

}  // namespace

int AllowedCpuCount() noexcept {
  int count = 0;
  if (WithMaskOf(0, [&](const cpu_set_t* mask, size_t size, int) { count = CPU_COUNT_S(size, mask); }) != 1) {
    return OnlineCpuCount();
  }
  return count > 0 ? count : 1;
}

bool AllowedCpusOf(int pid, QVCpuSet* cpus) noexcept {
  if (pid < 0 || cpus == nullptr) return false;
  try {
    QVCpuSet read;
    const auto take = [&](const cpu_set_t* mask, size_t size, int width) {
      const int count = CPU_COUNT_S(size, mask);
      for (int cpu = 0, found = 0; cpu < width && found < count; ++cpu) {
        if (!CPU_ISSET_S(cpu, size, mask)) continue;
        read.Add(cpu);
        ++found;
      }
    };
    if (WithMaskOf(static_cast<pid_t>(pid), take) != 1 || read.Count() == 0) return false;
    *cpus = std::move(read);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace Quorvane::platform

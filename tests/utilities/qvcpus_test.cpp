// The CPUs a process may run on, against the kernel's own account of the
// mask in /proc/self/status, as the mask is narrowed.
#include <sched.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/qvtest.h"
#include "utilities/platform/qvcpus.h"

namespace {

// The CPUs of "Cpus_allowed_list:" (ranges such as "0-3,6"); -1 without one.
int CpusAllowedByTheKernel() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    const std::string key = "Cpus_allowed_list:";
    if (line.compare(0, key.size(), key) != 0) continue;
    std::istringstream list(line.substr(key.size()));
    int count = 0;
    std::string range;
    while (std::getline(list, range, ',')) {
      const size_t dash = range.find('-');
      const int first = std::stoi(range);
      const int last = dash == std::string::npos ? first : std::stoi(range.substr(dash + 1));
      count += last - first + 1;
    }
    return count;
  }
  return -1;
}

TEST(AllowedCpus, FollowTheAffinityMask) {
  EXPECT_EQ(Quorvane::platform::AllowedCpuCount(), CpusAllowedByTheKernel());
  // Narrowed in a child, so this process keeps its mask.
  const int status = qvtest::RunInChild([] {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) != 0) return 10;
    int first = -1, second = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &mask)) continue;
      if (first < 0) first = cpu;
      else if (second < 0) second = cpu;
    }
    // The first two allowed CPUs (one where only one is), then the first alone.
    cpu_set_t narrowed;
    CPU_ZERO(&narrowed);
    CPU_SET(first, &narrowed);
    if (second >= 0) CPU_SET(second, &narrowed);
    if (sched_setaffinity(0, sizeof narrowed, &narrowed) != 0) return 11;
    const int two = Quorvane::platform::AllowedCpuCount();
    if (two != CPU_COUNT(&narrowed) || two != CpusAllowedByTheKernel()) return 12;
    CPU_CLR(second >= 0 ? second : first, &narrowed);
    CPU_SET(first, &narrowed);
    if (sched_setaffinity(0, sizeof narrowed, &narrowed) != 0) return 13;
    return Quorvane::platform::AllowedCpuCount() == 1 && CpusAllowedByTheKernel() == 1 ? 0 : 14;
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

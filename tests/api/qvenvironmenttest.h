// Environments for tests: started without device worlds (quick, and without
// the process-wide signal handling those bring), ended however a test ends.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "api/qvenvironment.h"
#include "quorvane.h"

namespace qvtest {

// A new environment without device worlds, or null.
inline RVEnvironment* BeginWithoutDevices() {
  RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
  if (parameters == nullptr) return nullptr;
  RVSetDeviceParameter(parameters, "");
  RVEnvironment* environment = RVBegin(parameters);
  RVReleaseParameters(parameters);
  return environment;
}

// An environment allocator that counts the blocks held and fails once the
// allowed number of allocations is used up, on the calling thread only: the
// library's background threads allocate too, and must neither fail nor blur
// the balance.
struct CountingAllocator {
  static inline thread_local long outstanding = 0;
  static inline thread_local long failAfter = -1;  // allocations still allowed; -1 without limit

  static void* Allocate(uint64_t size) {
    if (failAfter == 0) return nullptr;
    if (failAfter > 0) --failAfter;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) ++outstanding;
    return block;
  }
  static void Deallocate(void* block) {
    if (block == nullptr) return;
    --outstanding;
    std::free(block);
  }
};

struct EndEnvironment {
  void operator()(RVEnvironment* environment) const { RVEnd(environment); }
};
using EnvironmentHandle = std::unique_ptr<RVEnvironment, EndEnvironment>;

}  // namespace qvtest

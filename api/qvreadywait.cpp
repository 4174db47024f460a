#include "api/qvreadywait.h"

namespace {

// Through the class-object hooks, each block naming the hook that frees it:
// another environment may install other hooks before this one ends.
using DescriptorAllocator = Quorvane::QVStdAllocator<int32_t>;

}  // namespace

readyParallelEnv::~readyParallelEnv() { unix_destroy_env(this); }

bool readyParallelEnv::Resize(int32_t n) noexcept {
  unix_destroy_env(this);
  if (n < 1) return false;
  try {
    descriptors = DescriptorAllocator().allocate(static_cast<size_t>(n));
  } catch (...) {
    return false;
  }
  capacity = n;
  return true;
}

int unix_new_env(readyParallelEnv* wait) {
  if (wait == nullptr) return 0;
  return wait->Resize(readyParallelEnv::kInitialCapacity) ? 1 : 0;
}

void unix_destroy_env(readyParallelEnv* wait) {
  if (wait == nullptr || wait->descriptors == nullptr) return;
  DescriptorAllocator().deallocate(wait->descriptors, static_cast<size_t>(wait->capacity));
  wait->descriptors = nullptr;
  wait->capacity = 0;
}

readyParallelEnv* QVNewReadyParallelEnv(qv_environment*) {
  readyParallelEnv* wait = nullptr;
  try {
    wait = new readyParallelEnv();
  } catch (...) {
    return nullptr;
  }
  if (unix_new_env(wait) == 0) {
    delete wait;
    return nullptr;
  }
  return wait;
}

void QVDestroyReadyParallelEnv(readyParallelEnv* wait) { delete wait; }

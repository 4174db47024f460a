// The object behind waiting on several links at once: a descriptor array that
// grows with the largest wait and is kept between waits. One per environment,
// made at its start; the waiting itself lives with the readiness calls.
#pragma once

#include <cstdint>

#include "utilities/qvobject.h"

class qv_environment;

class readyParallelEnv : public Quorvane::QVObject {
 public:
  static constexpr int32_t kInitialCapacity = 20;

  readyParallelEnv() = default;
  ~readyParallelEnv() override;
  readyParallelEnv(const readyParallelEnv&) = delete;
  readyParallelEnv& operator=(const readyParallelEnv&) = delete;

  // Frees the array and makes one of n descriptors (n >= 1); false, with no
  // array and capacity 0, when memory runs out.
  bool Resize(int32_t n) noexcept;

  int32_t capacity = 0;
  int32_t* descriptors = nullptr;
};

// A new wait object with 20 descriptors, or null.
readyParallelEnv* QVNewReadyParallelEnv(qv_environment* environment);
// Frees the array, then the object; null ignored.
void QVDestroyReadyParallelEnv(readyParallelEnv* wait);
// Gives the object its first 20 descriptors: 1, or 0 when memory runs out.
int unix_new_env(readyParallelEnv* wait);
// Frees the array.
void unix_destroy_env(readyParallelEnv* wait);

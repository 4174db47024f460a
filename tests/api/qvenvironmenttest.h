// Environments for tests: started without device worlds (quick, and without
// the process-wide signal handling those bring), ended however a test ends.
#pragma once

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

struct EndEnvironment {
  void operator()(RVEnvironment* environment) const { RVEnd(environment); }
};
using EnvironmentHandle = std::unique_ptr<RVEnvironment, EndEnvironment>;

}  // namespace qvtest

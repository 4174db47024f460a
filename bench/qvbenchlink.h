// A loopback link for the benchmarks, made with the public calls as a user
// makes one: an environment without device worlds and one loopback link,
// ended together.
#pragma once

#include "quorvane.h"

namespace qvbench {

class LoopbackLink {
 public:
  LoopbackLink() {
    RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
    RVSetDeviceParameter(parameters, "");
    environment_ = RVBegin(parameters);
    RVReleaseParameters(parameters);
    int error = 0;
    if (environment_ != nullptr) link_ = RVLoopbackOpen(environment_, &error);
  }
  ~LoopbackLink() {
    if (environment_ != nullptr) RVEnd(environment_);
  }
  LoopbackLink(const LoopbackLink&) = delete;
  LoopbackLink& operator=(const LoopbackLink&) = delete;
  // Null when the link could not be made.
  QVLink* get() const { return link_; }

 private:
  RVEnvironment* environment_ = nullptr;
  QVLink* link_ = nullptr;
};

}  // namespace qvbench

// A loopback link for the benchmarks: an environment without device worlds
// and one established loopback link, ended together.
#pragma once

#include <cstring>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "quorvane.h"

namespace qvbench {

class LoopbackLink {
 public:
  LoopbackLink() {
    RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
    RVSetDeviceParameter(parameters, "");
    environment_ = RVBegin(parameters);
    RVReleaseParameters(parameters);
    if (environment_ == nullptr) return;
    link_ = QVInternalMake(environment_->globals, {}, nullptr);
    if (link_ == nullptr) return;
    QVMakeLoopback(link_);
    feature_set features = environment_->ownFeatures;
    std::strcpy(features.numerics_id, "UniqueID");
    if (RVEstablish(link_, &features) != 1) link_ = nullptr;
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

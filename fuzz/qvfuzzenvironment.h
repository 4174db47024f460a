// The one environment of a fuzz target, begun on first use without loading
// any device world, and an established link over a given device (or none).
#pragma once

#include <cstdlib>
#include <cstring>
#include <utility>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "quorvane.h"

namespace qvfuzz {

inline RVEnvironment* Environment() {
  static RVEnvironment* const environment = [] {
    RVEnvironmentParameters* parameters = RVNewParameters(46, 25);
    if (parameters == nullptr) std::abort();
    RVSetDeviceParameter(parameters, "");
    RVEnvironment* made = RVBegin(parameters);
    RVReleaseParameters(parameters);
    if (made == nullptr) std::abort();
    // Ended before the statics the environment uses are destroyed.
    std::atexit([] { RVEnd(Environment()); });
    return made;
  }();
  return environment;
}

// A link made over device (a loopback link when asked), established with this
// side's own features as if the handshake had run.
inline QVLink* EstablishedLink(Quorvane::QVSmartPointer<Quorvane::QVDeviceInstance> device, bool loopback) {
  QVLink* link = QVInternalMake(Environment()->globals, std::move(device), nullptr);
  if (link == nullptr) std::abort();
  if (loopback) QVMakeLoopback(link);
  feature_set features = Environment()->ownFeatures;
  std::strcpy(features.numerics_id, "UniqueID");
  if (RVEstablish(link, &features) != 1) std::abort();
  return link;
}

}  // namespace qvfuzz

// Questions about an environment (versions, compiler text, numerics, host
// addresses and domain names, link protocols, its links) and about a link's
// device (device information, the device's own name).
#pragma once

#include <cstdint>

#include "quorvane.h"

class qv_environment;
class QVLink;

inline constexpr int kBuildNumber = 2022012131;

// The queries themselves (RVVersionNumbers, RVCompilerID, RVGetLinksFromEnvironment,
// RVDeviceInformation...) are public calls (quorvane.h).
void QVVersionNumber0(qv_environment* environment, long* interfaceNumber, long* revision) noexcept;
int QVSetEnvIDString0(qv_environment* environment, const char* text) noexcept;


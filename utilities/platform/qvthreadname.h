// Gives the calling thread its name in the operating system.
#pragma once

#include "utilities/qvobject.h"

namespace Quorvane::platform {

// Names the calling thread; quietly does nothing where the system offers no
// way to. The system may keep only a prefix of the name.
void SetCurrentThreadName(const QVString& name);

// The longest name the system keeps, in bytes.
inline constexpr size_t kThreadNameLimit = 15;

}  // namespace Quorvane::platform

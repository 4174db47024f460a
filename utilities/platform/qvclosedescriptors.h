// Closing every descriptor above the standard ones before an exec, except
// those the new program must inherit.
#pragma once

namespace Quorvane::platform {

// Closes descriptors 3 to 65535 except the count numbers in keep (negative
// ones and ones below 3 are ignored; at most 8 are kept). Async-signal-safe,
// for a child between fork and exec; failures are ignored.
void CloseDescriptorsExcept(const int* keep, int count) noexcept;

}  // namespace Quorvane::platform

// Waiting for descriptor readiness, the one place that talks to the system's
// wait call. Readiness means what it means for the system's select: readable
// includes end of file, hang-up and error; writable includes error;
// exceptional is out-of-band data.
#pragma once

#include <cstddef>

namespace Quorvane::platform {

struct QVDescriptorWait {
  int fd;
  short watch;     // 1 writable, 2 exceptional; readability is always watched
  bool readable;   // results of the wait
  short found;     // watched bits found
};

// Waits at most microseconds (-1 without limit) until one of the descriptors
// is ready. A signal does not end the wait early: it goes on with the time
// left. Returns the number of ready entries, 0 on time-out, -1 on failure (a
// descriptor that is not open, or a time-out below -1); results are filled
// only when the answer is above 0.
int WaitForDescriptors(QVDescriptorWait* entries, size_t count, long microseconds);

}  // namespace Quorvane::platform

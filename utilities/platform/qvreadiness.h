// One readiness check over a few descriptors, safe to run inside a signal
// handler: no allocation, no lock, and an interruption is answered rather
// than retried, so the caller decides. Readiness means what it means for the
// system's select: readable includes end of file, hang-up and error; writable
// includes error; exceptional is urgent (out-of-band) data.
#pragma once

#include <cstddef>

namespace Quorvane::platform {

enum QVReadinessBits : unsigned char {
  kReadinessReadable = 1,
  kReadinessWritable = 2,
  kReadinessExceptional = 4,
  kReadinessNotOpen = 8,  // result only: the descriptor is not open
};

struct QVReadinessEntry {
  int fd;              // a negative descriptor is skipped
  unsigned char want;  // readiness bits to watch
  unsigned char got;   // the watched bits found, or kReadinessNotOpen
};

// At most this many entries per call when the wait is not a pure poll.
inline constexpr size_t kReadinessBatch = 64;

// Waits at most microseconds (-1 without limit, 0 a pure poll) until one of
// the entries is ready. A pure poll takes any number of entries; a timed wait
// at most kReadinessBatch. Returns the number of bits found (as select counts
// them), 0 on time-out, -1 with errno set on failure (EINTR when a signal
// ended the wait, EINVAL for a bad count or time-out). A descriptor that is
// not open is reported in its own entry (and counted as one) without failing
// the others.
int CheckReadiness(QVReadinessEntry* entries, size_t count, long microseconds) noexcept;

}  // namespace Quorvane::platform

// One read that takes what a descriptor holds now and never waits for more:
// a look and a read in one call, for a stream device that is about to wait.
#pragma once

#include <cstddef>

namespace Quorvane::platform {

enum class ReadIfReadyResult {
  got,          // *count bytes read (0 at end of file)
  nothingYet,   // the descriptor holds nothing now
  unsupported,  // the descriptor cannot be read so: a plain read is needed
  failed,       // the read failed: a plain read reports why
};

ReadIfReadyResult ReadIfReady(int fd, void* buffer, size_t length, size_t* count) noexcept;

}  // namespace Quorvane::platform

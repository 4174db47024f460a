// The routine below the six character gets.
#pragma once

#include <cstdint>

#include "api/qvlink.h"

// Reads the next piece of the current string or symbol atom into buffer
// (size bytes, the encoding's units only, no terminator): 0 or a code. Either
// out pointer may be null. Called under the link lock.
long QVGetCharacters(QVLink* link, int64_t* left, void* buffer, int64_t size, int64_t* got, int reserved,
                     unsigned encoding);

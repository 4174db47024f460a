// What the handshake's exchange, line building and decoding share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/qvfeatureset.h"

class qv_environment;

namespace qvhandshake {

// A decimal list holds at most 128 numbers of at most 3 digits and commas.
inline constexpr size_t kListBuffer = 128 * 4 + 1;
// A line with its LF and the NUL behind it.
inline constexpr size_t kLineBuffer = 512 + 1;

// The indexes of the set bits of a 128-bit set, ascending, joined by commas.
void FormatBitList(const uint64_t bits[2], char out[kListBuffer]);

// The line this side writes for a level from 2 to 6, LF included. Its length,
// or -1 when the level-5 line would exceed the line limit (or the level is
// out of range).
long BuildLevelLine(const qv_environment& environment, uint64_t level, char out[kLineBuffer]);

// What the handshake starts from before it reads the peer's lines: feature
// word 0, the own numerics ("UniqueID"), no binary types, encodings {7}, no
// dictionaries.
void ResetPeerFeatures(feature_set* features);

}  // namespace qvhandshake

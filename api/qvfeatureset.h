// What the handshake negotiated for a link: the optional token forms this side
// may write, the binary types and text encodings the peer reads, the peer's
// numerics, and the conversion machinery the link's states use.
#pragma once

#include <cstdint>

#include "api/qvnumericdispatch.h"
#include "text/qvconverter.h"
#include "text/qvtextencoding.h"

// Feature word bits (bit indexes 16, 17 and 18).
enum : uint64_t {
  QVFEATURE_SHORT_LENGTHS = 0x10000,
  QVFEATURE_PACKED_RUNS = 0x20000,
  QVFEATURE_ARRAYS = 0x40000,
  QVFEATURE_ALL = 0x70000,
};

inline constexpr int kNumericsIdCapacity = 256;

using qvtext_factory_fn = int (*)(character_environment*, int, three_state*, three_state*, set_qvbst*);

struct feature_set {
  uint64_t features;
  char numerics_id[kNumericsIdCapacity];  // the peer's numerics name, or "UniqueID"
  uint64_t binary_types[2];  // bit (type & 127): binary types the peer reads as they stand
  qvnumeric_dispatch_fn dispatch;
  set_qvbst encodings;  // text encodings the peer accepts, bit e for encoding number e
  character_environment* text_environment;
  qvtext_factory_fn text_factory;
  uint64_t level;
  uint64_t level_again;
  uint8_t string_optimization;
};

inline bool qvfs__writes_as_it_stands(const feature_set& features, unsigned type) {
  const unsigned bit = type & 127;
  return (features.binary_types[bit / 64] >> (bit % 64)) & 1;
}
inline void qvfs__set_as_it_stands(feature_set& features, unsigned type) {
  const unsigned bit = type & 127;
  features.binary_types[bit / 64] |= uint64_t{1} << (bit % 64);
}

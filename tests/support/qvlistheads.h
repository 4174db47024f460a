// The heads of an array whose every level is "List", in the form the array
// writer takes them, and a list of machine numbers written as one array token
// whose leaves are a packed run (what a peer sends for a packed list).
#pragma once

#include <cstdint>
#include <vector>

#include "api/qvarraymeter.h"
#include "api/qvlink.h"

namespace qvcodec {

// The symbol "List", the head of every level, as this side writes it.
inline constexpr unsigned char kListHeadBytes[] = {0x23, 0x47, 0x41, 0x7E, 0x44, 0x4C, 0x69, 0x73, 0x74, 0x0A};

inline void ListHeads(qvmeter* meter, const std::vector<int64_t>& dimensions) {
  meter->own_dimensions.assign(dimensions.begin(), dimensions.end());
  meter->dimensions = meter->own_dimensions.data();
  meter->depth = static_cast<int64_t>(dimensions.size());
  meter->own_counters.assign(dimensions.size(), 0);
  meter->counters = meter->own_counters.data();
  for (size_t level = 0; level < dimensions.size(); ++level) {
    meter->head_bytes.insert(meter->head_bytes.end(), std::begin(kListHeadBytes), std::end(kListHeadBytes));
    meter->head_ends.push_back(static_cast<int64_t>(meter->head_bytes.size()));
  }
}

// Writes n numbers of binary type `type` as List[...] in one array token on
// the link's write side; true when all of it went into the link.
inline bool PutPackedList(QVLink* link, const void* data, unsigned type, int64_t n) {
  qvmeter meter;
  ListHeads(&meter, {n});
  return QVPutArray_(link->writeState, link->deviceStack, link->queueStack.base, &meter) == 0 &&
         QVPutBinaryNumberArrayData_(link->writeState, link->deviceStack, link->queueStack.base, &meter, data, type,
                                     n) == 0 &&
         meter.leaves_left == 0;
}

}  // namespace qvcodec

#include "api/qvnumberblock.h"

#include <algorithm>
#include <cstring>

#include "api/qvnumericdispatch.h"

namespace {

constexpr long kBadLength = 2;
constexpr long kOutOfSequence = 3;
constexpr long kNoMemory = 8;
// Bytes taken before any element has arrived.
constexpr uint64_t kUpFrontBytes = uint64_t{1} << 16;

}  // namespace

int64_t QVNumberElementSize(read_state* state, unsigned type) {
  if ((type & 0x60) != 0x40) {
    if ((type & 8) != 0) return type & 16;
    return int64_t{1} << ((type >> 1) & 3);
  }
  // Types outside the fixed table: the numerics know their width.
  if (state->dispatch == nullptr) return 0;
  return state->dispatch(qvne_selector(0, type), nullptr, nullptr, nullptr);
}

long QVReadNumberBlock(QVLink* link, qvmeter* meter, unsigned type, int64_t length, void** data, int64_t* got) {
  *got = 0;
  const int64_t width = QVNumberElementSize(&link->readState, type);
  if (width <= 0) return kOutOfSequence;
  uint64_t total = 0;
  if (length < 1 || __builtin_mul_overflow(static_cast<uint64_t>(length), static_cast<uint64_t>(width), &total)) {
    return kBadLength;
  }
  mempool_qvt* pool = &link->globals->pool;
  uint64_t capacity = std::min(total, kUpFrontBytes);
  auto* block = static_cast<unsigned char*>(GeneralAlloc(pool, capacity, nullptr));
  if (block == nullptr) return kNoMemory;
  *data = block;
  const auto element = static_cast<uint64_t>(width);
  while (*got < length) {
    // Room is counted in whole elements: a width need not divide the block.
    int64_t room = static_cast<int64_t>(capacity / element) - *got;
    if (room <= 0) {
      const uint64_t held = static_cast<uint64_t>(*got) * element;
      const uint64_t grown = std::min(total, std::max(capacity * 2, held + element));
      auto* bigger = static_cast<unsigned char*>(GeneralAlloc(pool, grown, nullptr));
      if (bigger == nullptr) return kNoMemory;
      std::memcpy(bigger, block, held);
      GeneralDealloc(pool, block, nullptr);
      block = bigger;
      capacity = grown;
      *data = block;
      room = static_cast<int64_t>(capacity / element) - *got;
    }
    int64_t count = 0;
    const long code = QVGetBinaryNumberArrayData_(&link->readState, link->deviceStack, &link->queueStack, meter,
                                                  block + *got * width, room, type, &count);
    *got += count;
    if (code != 0) return code;
    if (count == 0) return kOutOfSequence;  // nothing more will come: never spin
  }
  return 0;
}

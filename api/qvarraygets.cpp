// Whole arrays of machine numbers with 64-bit dimensions: the engine every
// whole-array get reaches, and its public forms.
//
// Depth, dimensions and element count all come from the peer, so every block
// sized from them is checked for overflow, and the data block starts within a
// fixed bound and grows as elements arrive. A failure hands out nothing.
#include "api/qvarraygets.h"

#include <climits>
#include <cstring>
#include <memory>

#include "api/qvarraymeter.h"
#include "api/qvcalldiscipline.h"
#include "api/qvcodecqueues.h"
#include "api/qvnumberblock.h"
#include "api/qvtokentypes.h"
#include "quorvane.h"

namespace {

constexpr long kBadSize = 2;
constexpr long kOutOfSequence = 3;
constexpr long kNoMemory = 8;

struct QueueDeleter {
  void operator()(_queue* queue) const { qvqueue_destroy(queue); }
};
using QueueHandle = std::unique_ptr<_queue, QueueDeleter>;

// The meter's head marks go back however the read ends.
class MeterMarks {
 public:
  explicit MeterMarks(qvmeter* meter) : meter_(meter) {}
  ~MeterMarks() { QVReleaseArrayState0_(meter_); }
  MeterMarks(const MeterMarks&) = delete;
  MeterMarks& operator=(const MeterMarks&) = delete;

 private:
  qvmeter* meter_;
};

// What the get has taken so far; given back unless handed to the caller.
class Taken {
 public:
  explicit Taken(mempool_qvt* pool) : pool_(pool) {}
  ~Taken() { QVGiveBackArray_(pool_, parts.data, parts.dimensions, parts.heads, parts.depth); }
  Taken(const Taken&) = delete;
  Taken& operator=(const Taken&) = delete;
  QVArrayResult Hand() {
    const QVArrayResult out = parts;
    parts = QVArrayResult{};
    return out;
  }
  QVArrayResult parts;

 private:
  mempool_qvt* pool_;
};

// A zeroed block of n entries of size bytes from the pool; 2 when its size
// cannot be held, 8 when there is none.
long Block(mempool_qvt* pool, int64_t n, uint64_t size, void** block) {
  uint64_t bytes = 0;
  if (n < 0 || __builtin_mul_overflow(static_cast<uint64_t>(n), size, &bytes)) return kBadSize;
  *block = GeneralAlloc(pool, bytes, nullptr);
  if (*block == nullptr) return kNoMemory;
  std::memset(*block, 0, bytes);
  return 0;
}

// The dimensions in the caller's width.
long CopyDimensions(const qvmeter& meter, int dimension_bytes, void* block) {
  for (int64_t level = 0; level < meter.depth; ++level) {
    const int64_t dimension = meter.own_dimensions[static_cast<size_t>(level)];
    if (dimension_bytes == 8) {
      static_cast<int64_t*>(block)[level] = dimension;
    } else if (dimension > INT_MAX) {
      return kBadSize;
    } else {
      static_cast<int*>(block)[level] = static_cast<int>(dimension);
    }
  }
  return 0;
}

}  // namespace

long QVGetWholeArray_(QVLink* link, unsigned type, bool with_heads, int dimension_bytes, QVArrayResult* result) {
  *result = QVArrayResult{};
  mempool_qvt* pool = &link->globals->pool;
  read_state* state = &link->readState;
  qvmeter meter;
  meter.depth = kAnyDepth;  // the heads decide
  QueueHandle copied;
  if (with_heads) {
    copied.reset(qvcodec_new_queue(&link->queueStack));
    if (copied == nullptr) return kNoMemory;
    meter.heads = copied.get();
  }
  const MeterMarks marks(&meter);
  uint64_t leaf = 0;
  if (const long code =
          QVGetRawArrayType_(nullptr, nullptr, nullptr, state, link->deviceStack, &link->queueStack, &meter, &leaf);
      code != 0) {
    return code;
  }
  if (const long code = QVGetArrayDimensions_(state, &meter); code != 0) return code;
  if (dimension_bytes != 8 && meter.depth > INT_MAX) return kBadSize;

  Taken taken(pool);
  taken.parts.depth = meter.depth;
  taken.parts.leafType = leaf;
  if (const long code = Block(pool, meter.depth, static_cast<uint64_t>(dimension_bytes), &taken.parts.dimensions);
      code != 0) {
    return code;
  }
  if (const long code = CopyDimensions(meter, dimension_bytes, taken.parts.dimensions); code != 0) return code;
  if (with_heads) {
    void* heads = nullptr;
    if (const long code = Block(pool, meter.depth, sizeof(char*), &heads); code != 0) return code;
    taken.parts.heads = static_cast<char**>(heads);
    if (const long code = QVReadArrayHeads_(link, copied.release(), meter.depth, taken.parts.heads); code != 0) {
      return code;
    }
  }

  const int64_t leaves = meter.leaves_left;
  // Type 0 takes the leaf type, which must then be a machine number too.
  const unsigned wanted = type != 0 ? type : static_cast<unsigned>(leaf);
  if (leaves >= 1 && !qv_is_binary_number_type(wanted)) return kOutOfSequence;
  if (leaves >= 1) {
    int64_t got = 0;
    if (const long code = QVReadNumberBlock(link, &meter, wanted, leaves, &taken.parts.data, &got); code != 0) {
      return code;
    }
  }
  *result = taken.Hand();
  return 0;
}

void QVGiveBackArray_(mempool_qvt* pool, void* data, void* dimensions, char** heads, int64_t depth) {
  if (data != nullptr) GeneralDealloc(pool, data, nullptr);
  if (heads != nullptr) {
    for (int64_t level = depth - 1; level >= 0; --level) {
      if (heads[level] != nullptr) DeallocAtom(pool, heads[level], nullptr);
    }
    GeneralDealloc(pool, heads, nullptr);
  }
  if (dimensions != nullptr) GeneralDealloc(pool, dimensions, nullptr);
}

// The array engine's bookkeeping: a bump stack for temporary states, and the
// array meter that counts a rectangular array's position level by level while
// its leaves are read or written.
#pragma once

#include <cstdint>
#include <vector>

#include "api/qvcodecread.h"
#include "api/qvcodecwrite.h"
#include "utilities/qvobject.h"

// A current pointer and an end over a caller's buffer.
struct mem_k {
  unsigned char* current;
  unsigned char* end;
};
void mk__init(mem_k* stack, void* buffer, uint64_t size);
// The aligned pointer and n bytes after it; null when they do not fit.
void* mk__push(mem_k* stack, uint64_t n, uint64_t alignment);
void mk__pop(mem_k* stack, void* pointer);
void* little_alloc(mem_k* stack, uint64_t n);
void little_dealloc(mem_k* stack, void* pointer);

inline constexpr int64_t kMeterMarker = 0xFABEA;
// The depth limit of a reader that lets the heads decide.
inline constexpr int64_t kAnyDepth = INT64_MAX;
// Leaf type of an array whose heads end in a zero dimension.
inline constexpr uint64_t kNoLeafType = 46;

struct qvmeter;
// Called when the counter of `level` ran out and a new sub-array starts there.
using qvmeter_borrow_fn = long (*)(qvmeter* meter, int64_t level);
// Moves one leaf at position; answers the next position, null on failure.
using qvmeter_move_fn = void* (*)(qvmeter* meter, void* position);

using QVLevelVector = std::vector<int64_t, Quorvane::QVStdAllocator<int64_t>>;
using QVByteVector = std::vector<unsigned char, Quorvane::QVStdAllocator<unsigned char>>;

struct qvmeter {
  int64_t depth = 0;  // on entry the limit on the levels read; then the levels
  int64_t* dimensions = nullptr;
  int64_t* counters = nullptr;  // per level: elements still to come in the current sub-array
  int64_t leaves_left = 0;
  qvmeter_borrow_fn borrow = nullptr;
  int64_t marker = 0;
  int64_t reserved = 0;
  _queue* heads = nullptr;  // where the heads are written when a reader is given one

  // Data movement: the sides the engine works with.
  read_state* reader = nullptr;
  device_kebab* reader_stack = nullptr;
  qv_queue_stack* reader_queues = nullptr;
  write_state* writer = nullptr;
  device_kebab* writer_stack = nullptr;
  _queue* writer_queue = nullptr;
  long error = 0;
  uint64_t leaf_type = 0;
  int64_t leaves_in_heads = 0;  // bytes of leaves an array token carried inside its heads block
  void* move_context = nullptr;  // for the move-one callbacks

  // What the meter owns: dimensions and counters of levels read from heads,
  // and each level's function token and head as written, to write them again.
  QVLevelVector own_dimensions;
  QVLevelVector own_counters;
  QVByteVector head_bytes;
  QVLevelVector head_ends;  // per level: the end of its token and head in head_bytes
};

// Counters from the dimensions, leaves left as their product; 0, or 2 when the
// product overflows.
long am__construct(qvmeter* meter, qvmeter_borrow_fn borrow);
// Moves up to n leaves one at a time; answers how many were not moved.
int64_t am__movedata(qvmeter* meter, void* position, int64_t n, qvmeter_move_fn move_one);
long am__borrow(qvmeter* meter, int64_t level);
// Advances the counters by n leaves moved in bulk.
void am__spindown(qvmeter* meter, int64_t n);
// Gives up what the meter holds of the heads.
void QVReleaseArrayState0_(qvmeter* meter);

// Reads an array's heads (an array token or nested functions), copying them to
// the writer or into meter->heads; *leaf_type is the type of the first leaf
// (46 when a dimension is 0). The dimensions are then in the meter.
long QVGetRawArrayType_(write_state* writer, device_kebab* writer_stack, _queue* writer_queue,
                        read_state* state, device_kebab* stack, qv_queue_stack* queues, qvmeter* meter,
                        uint64_t* leaf_type);
long QVGetArrayType_(write_state* writer, device_kebab* writer_stack, _queue* writer_queue, read_state* state,
                     device_kebab* stack, qv_queue_stack* queues, qvmeter* meter, uint64_t* leaf_type);
// Restarts the meter over the dimensions read (they are in meter->dimensions).
long QVGetArrayDimensions_(read_state* state, qvmeter* meter);
long QVGetArrayDimensions0_(read_state* state, device_kebab* stack, qv_queue_stack* queues, qvmeter* meter);
// Up to n leaves as numbers of type wanted into buffer; *count the leaves read.
long QVGetBinaryNumberArrayData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, qvmeter* meter,
                                 void* buffer, int64_t n, unsigned wanted, int64_t* count);
// Up to n leaves through the caller's move-one callback; *count the leaves read.
long QVGetArrayData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, qvmeter* meter,
                     void* position, int64_t n, qvmeter_move_fn move_one, int64_t* count);

// Writes an array's heads: meter->heads holds them as function tokens with the
// dimensions as counts, each followed by its head.
long QVPutArray_(write_state* state, device_kebab* stack, _queue* queue, qvmeter* meter);
long QVPutBinaryNumberArrayData_(write_state* state, device_kebab* stack, _queue* queue, qvmeter* meter,
                                 const void* data, unsigned type, int64_t n);
long QVPutArrayData_(write_state* state, device_kebab* stack, _queue* queue, qvmeter* meter, void* position,
                     int64_t n, qvmeter_move_fn move_one);
// The heads read from another link's read side, then written as QVPutArray_ does.
long QVPutArray0_(write_state* state, device_kebab* stack, _queue* queue, read_state* reader,
                  device_kebab* reader_stack, qv_queue_stack* reader_queues, qvmeter* meter);
// n leaves copied from a read side, one expression each.
long QVPutArrayLeaves_(write_state* state, device_kebab* stack, _queue* queue, read_state* reader,
                       device_kebab* reader_stack, qv_queue_stack* reader_queues, qvmeter* meter, int64_t n);

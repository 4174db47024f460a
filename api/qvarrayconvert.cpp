// An array token read as the nested functions it stands for: the whole array
// is read and written again in nested form into a queue pushed on the queue
// stack, and the token reads as a function.
#include "api/qvarrayinternal.h"
#include "api/qvcodecqueues.h"
#include "api/qvtokentypes.h"

namespace qvcodecread {

namespace {

struct LeafCopy {
  read_state* state;
  Source source;
};

void* transfer_a_leaf(qvmeter* meter, void* position) {
  auto* copy = static_cast<LeafCopy*>(meter->move_context);
  meter->error = copy_expression_raw(copy->state, copy->source, meter->writer, meter->writer_stack,
                                     meter->writer_queue);
  return meter->error == 0 ? position : nullptr;
}

// Arrays inside an array's heads or leaves are converted by recursion: a
// peer's nesting must not exhaust the stack.
constexpr int kMaxNesting = 64;
thread_local int nesting = 0;

class NestingGuard {
 public:
  NestingGuard() { ++nesting; }
  ~NestingGuard() { --nesting; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;
};

// A nested form repeats each level's head in every sub-array (an empty
// array's is its whole skeleton), written from a few bytes of input: a peer's
// dimensions must not make it large. The bound holds for an array token and
// the arrays inside it together, since each of those is expanded into it.
constexpr int64_t kMaxSkeletonBytes = int64_t{1} << 24;
constexpr int64_t kLevelTokenBytes = 21;  // "F", the count's digits, a blank
thread_local int64_t skeleton_left = 0;

// Takes the array's skeleton from what is left; false when it does not fit.
bool SkeletonFits(const qvmeter& array) {
  int64_t copies = 1;
  int64_t bytes = 0;
  for (int64_t level = 0; level < array.depth; ++level) {
    const int64_t start = level == 0 ? 0 : array.head_ends[static_cast<size_t>(level - 1)];
    const int64_t level_bytes = kLevelTokenBytes + array.head_ends[static_cast<size_t>(level)] - start;
    int64_t these = 0;
    if (__builtin_mul_overflow(copies, level_bytes, &these) || __builtin_add_overflow(bytes, these, &bytes) ||
        bytes > skeleton_left) {
      return false;
    }
    if (array.dimensions[level] == 0) break;
    if (__builtin_mul_overflow(copies, array.dimensions[level], &copies)) return false;
  }
  skeleton_left -= bytes;
  return true;
}

}  // namespace

long missed_packed_array_opportunity(read_state* state, Source source) {
  if (nesting >= kMaxNesting) return Fail(state, kNoMemory);
  if (nesting == 0) skeleton_left = kMaxSkeletonBytes;
  const NestingGuard guard;
  const int64_t owed = state->owed;
  qvmeter array;
  array.depth = kAnyDepth;
  uint64_t leaf = 0;
  if (const long error = QVGetRawArrayType_(nullptr, nullptr, nullptr, state, source.stack, source.queues, &array, &leaf);
      error != 0) {
    return error;
  }
  if (!SkeletonFits(array)) return Fail(state, kNoMemory);
  ScratchWriter nested(state, QVFEATURE_SHORT_LENGTHS);
  if (!nested.ok()) return Fail(state, kNoMemory);
  qvmeter out;
  out.depth = array.depth;
  out.own_dimensions = array.own_dimensions;
  out.dimensions = out.own_dimensions.data();
  out.own_counters.assign(out.own_dimensions.size(), 0);
  out.counters = out.own_counters.data();
  out.head_bytes = array.head_bytes;
  out.head_ends = array.head_ends;
  long error = QVPutArray_(nested.state(), nullptr, nested.queue(), &out);
  LeafCopy copy{state, source};
  out.move_context = &copy;
  if (error == 0 && out.leaves_left > 0) {
    error = QVPutArrayData_(nested.state(), nullptr, nested.queue(), &out, &copy, out.leaves_left, transfer_a_leaf);
  }
  if (error != 0) return rs__last_error(state) != 0 ? rs__last_error(state) : Fail(state, error);
  // The reader took the array's type byte already: the nested form goes on
  // after its first function's type byte.
  _queue* queue = nested.TakeQueue();
  qvqueue_getc(queue);
  if (const long pushed = qvcodec_push_queue(source.queues, queue); pushed != 0) return Fail(state, pushed);
  state->owed = owed;
  state->packed_run = 0;
  three_state& c = state->converter;
  c.step = QVREAD_TYPE_READ;
  c.token = TOK_FUNCTION;
  c.wire_left = -1;
  c.token_count = 0;
  return 0;
}

}  // namespace qvcodecread

using namespace qvcodecread;

long QVPutArray0_(write_state* state, device_kebab* stack, _queue* queue, read_state* reader,
                  device_kebab* reader_stack, qv_queue_stack* reader_queues, qvmeter* meter) {
  uint64_t leaf = 0;
  if (const long error = QVGetRawArrayType_(nullptr, nullptr, nullptr, reader, reader_stack, reader_queues, meter, &leaf);
      error != 0) {
    return error;
  }
  return QVPutArray_(state, stack, queue, meter);
}

long QVPutArrayLeaves_(write_state* state, device_kebab* stack, _queue* queue, read_state* reader,
                       device_kebab* reader_stack, qv_queue_stack* reader_queues, qvmeter* meter, int64_t n) {
  LeafCopy copy{reader, Source{reader_stack, reader_queues}};
  meter->move_context = &copy;
  const long error = QVPutArrayData_(state, stack, queue, meter, &copy, n, transfer_a_leaf);
  meter->move_context = nullptr;
  return error;
}

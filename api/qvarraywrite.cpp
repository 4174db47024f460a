// Writing arrays: the heads as an array token with its heads block, or as the
// nested functions they stand for, and the leaves, as packed runs where the
// peer reads them as they stand.
#include <algorithm>

#include "api/qvarrayinternal.h"
#include "api/qvstream.h"
#include "api/qvtokentypes.h"
#include "utilities/qvclibmemory.h"

namespace {

constexpr long kOutOfSequence = 5;
constexpr long kInconsistent = 2;
constexpr long kNoMemory = 8;
constexpr int64_t kBlockPiece = 128;

bool HeadsComplete(const qvmeter* meter) {
  return meter->depth >= 0 && static_cast<int64_t>(meter->head_ends.size()) == meter->depth;
}

// The raw bytes of one level's head.
std::pair<const unsigned char*, int64_t> HeadOf(const qvmeter* meter, int64_t level) {
  const int64_t start = level == 0 ? 0 : meter->head_ends[static_cast<size_t>(level - 1)];
  const int64_t end = meter->head_ends[static_cast<size_t>(level)];
  return {meter->head_bytes.data() + start, end - start};
}

long WriteLevel(write_state* state, device_kebab* stack, _queue* queue, const qvmeter* meter, int64_t level) {
  if (const long error = QVPutComposite_(state, stack, queue, meter->dimensions[level]); error != 0) return error;
  const auto [head, n] = HeadOf(meter, level);
  long error = 0;
  if (qvs__putn(stack, queue, head, n, &error) != n) return ws__set_error(state, error != 0 ? error : kNoMemory);
  return 0;
}

// Nested form: a new sub-array at a level begins with its function token and head again.
long put_borrow_explicit(qvmeter* meter, int64_t level) {
  meter->error = WriteLevel(meter->writer, meter->writer_stack, meter->writer_queue, meter, level);
  return meter->error == 0 ? 1 : 0;
}

void BindWriter(qvmeter* meter, write_state* state, device_kebab* stack, _queue* queue) {
  meter->writer = state;
  meter->writer_stack = stack;
  meter->writer_queue = queue;
}

// The heads block of an array token: each level's function token and head in
// the link's length form, then ".".
long BuildHeadsBlock(write_state* state, const qvmeter* meter, _queue* block) {
  write_state scratch{};
  if (ws__construct(&scratch, &state->features, state->local_descriptor, state->peer_descriptor, 0, nullptr,
                    nullptr) != 1) {
    return kNoMemory;
  }
  long error = 0;
  for (int64_t level = 0; level < meter->depth && error == 0; ++level) {
    error = WriteLevel(&scratch, nullptr, block, meter, level);
  }
  ws__deconstruct(&scratch);
  if (error == 0 && qvqueue_putc(block, kHeadsBlockEnd) != kHeadsBlockEnd) error = kNoMemory;
  return error;
}

long WriteArrayToken(write_state* state, device_kebab* stack, _queue* queue, qvmeter* meter) {
  int error_code = 0;
  _queue* block = qvqueue_new_with_allocators(queue != nullptr ? queue->allocate : qvstd_clib_allocator,
                                              queue != nullptr ? queue->deallocate : qvstd_clib_deallocator,
                                              nullptr, 0, nullptr, &error_code);
  if (block == nullptr) return ws__set_error(state, kNoMemory);
  long error = BuildHeadsBlock(state, meter, block);
  const int64_t size = qvqueue_amount_left_in_queue(block);
  if (error == 0) error = QVPutType_(state, stack, queue, TOK_ARRAY);
  if (error == 0) error = QVPutArgCount_(state, stack, queue, meter->leaves_left);
  if (error == 0) error = QVPutType_(state, stack, queue, TOK_DIMENSIONS);
  if (error == 0) error = QVPutRawSize_(state, stack, queue, size);
  unsigned char piece[kBlockPiece];
  for (int64_t got; error == 0 && (got = qvqueue_getn(block, piece, kBlockPiece)) > 0;) {
    error = QVPutRawData_(state, stack, queue, piece, got);
  }
  qvqueue_destroy(block);
  return error == 0 ? 0 : ws__set_error(state, error);
}

struct NumberSource {
  unsigned type;
  int64_t width;
};

void* WriteOneNumber(qvmeter* meter, void* position) {
  const auto* source = static_cast<const NumberSource*>(meter->move_context);
  meter->error = QVPutBinaryNumber_(meter->writer, meter->writer_stack, meter->writer_queue, position, source->type);
  return meter->error == 0 ? static_cast<unsigned char*>(position) + source->width : nullptr;
}

int64_t WidthOf(const write_state* state, unsigned type) {
  const int wire = qv_binary_number_wire_size(type);
  if (wire >= 0) return wire;
  return state->features.dispatch != nullptr ? state->features.dispatch(type, nullptr, nullptr, nullptr) : 0;
}

// An array with no leaves in nested form is its whole skeleton: every
// sub-array down to the level whose dimension is 0.
long WriteSkeleton(write_state* state, device_kebab* stack, _queue* queue, const qvmeter* meter, int64_t level) {
  if (const long error = WriteLevel(state, stack, queue, meter, level); error != 0) return error;
  if (meter->dimensions[level] == 0 || level + 1 >= meter->depth) return 0;
  for (int64_t i = 0; i < meter->dimensions[level]; ++i) {
    if (const long error = WriteSkeleton(state, stack, queue, meter, level + 1); error != 0) return error;
  }
  return 0;
}

}  // namespace

long QVPutArray_(write_state* state, device_kebab* stack, _queue* queue, qvmeter* meter) {
  if (!HeadsComplete(meter)) return ws__set_error(state, kOutOfSequence);
  BindWriter(meter, state, stack, queue);
  const bool array_token = (state->features.features & QVFEATURE_ARRAYS) != 0;
  if (am__construct(meter, array_token ? nullptr : put_borrow_explicit) != 0) {
    return ws__set_error(state, kInconsistent);
  }
  if (meter->depth == 0) return 0;
  if (array_token) return WriteArrayToken(state, stack, queue, meter);
  if (meter->leaves_left == 0) return WriteSkeleton(state, stack, queue, meter, 0);
  for (int64_t level = 0; level < meter->depth; ++level) {
    if (const long error = WriteLevel(state, stack, queue, meter, level); error != 0) return error;
  }
  return 0;
}

long QVPutArrayData_(write_state* state, device_kebab* stack, _queue* queue, qvmeter* meter, void* position,
                     int64_t n, qvmeter_move_fn move_one) {
  BindWriter(meter, state, stack, queue);
  meter->error = 0;
  am__movedata(meter, position, std::min(n, meter->leaves_left), move_one);
  return meter->error;
}

long QVPutBinaryNumberArrayData_(write_state* state, device_kebab* stack, _queue* queue, qvmeter* meter,
                                 const void* data, unsigned type, int64_t n) {
  const int64_t width = WidthOf(state, type);
  if (width <= 0) return ws__set_error(state, kOutOfSequence);
  if (meter != nullptr && meter->borrow != nullptr) {
    NumberSource source{type, width};
    meter->move_context = &source;
    const long error = QVPutArrayData_(state, stack, queue, meter, const_cast<void*>(data), n, WriteOneNumber);
    meter->move_context = nullptr;
    return error;
  }
  // No more leaves than the array has, in every form (the nested form stops there too).
  if (meter != nullptr) n = std::min(n, meter->leaves_left);
  if (n <= 0) return 0;
  const auto* bytes = static_cast<const unsigned char*>(data);
  const bool packed = (state->features.features & QVFEATURE_PACKED_RUNS) != 0 &&
                      qvfs__writes_as_it_stands(state->features, type);
  if (packed) {
    long error = QVPutType_(state, stack, queue, TOK_PACKED);
    if (error == 0) error = QVPutArgCount_(state, stack, queue, n);
    if (error == 0) error = qvs__putc(stack, queue, static_cast<int>(type));
    if (error == 0 && qvs__putv(stack, queue, bytes, width, n, &error) != n && error == 0) error = kNoMemory;
    if (error == 0) error = qvs__putc(stack, queue, kTokenTerminator);
    if (error != 0) return ws__set_error(state, error);
    if (meter != nullptr) am__spindown(meter, n);
    return 0;
  }
  int64_t written = 0;
  long error = 0;
  for (; written < n && error == 0; ++written) {
    error = QVPutBinaryNumber_(state, stack, queue, bytes + written * width, type);
    if (error != 0) break;
  }
  if (meter != nullptr) am__spindown(meter, written);
  return error;
}

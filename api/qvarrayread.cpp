// Reading arrays: their heads in either form, their dimensions, and their
// leaves, in bulk where they come as packed runs.
#include <algorithm>
#include <cstring>

#include "api/qvarrayinternal.h"
#include "api/qvcodecqueues.h"
#include "api/qvstream.h"
#include "api/qvtokentypes.h"

namespace qvcodecread {

namespace {

// The codec's own lengths in a copied head: short where they can be.
constexpr uint64_t kScratchFeatures = 0xF0000;
constexpr int64_t kBlockPiece = 4096;
constexpr int64_t kConvertBatchBytes = 480;
constexpr int64_t kMaxBinaryBytes = 16;

int64_t WidthOf(const read_state* state, unsigned type) {
  const int wire = qv_binary_number_wire_size(type);
  if (wire >= 0) return wire;
  return state->dispatch != nullptr ? state->dispatch(type, nullptr, nullptr, nullptr) : 0;
}

// The leaves the dimensions so far stand for; false when the product wraps.
bool LeafCount(const qvmeter* meter, int64_t* leaves) {
  *leaves = 1;
  for (int64_t dimension : meter->own_dimensions) {
    if (dimension < 0 || __builtin_mul_overflow(*leaves, dimension, leaves)) return false;
  }
  return true;
}

void BindReader(qvmeter* meter, read_state* state, Source source) {
  meter->reader = state;
  meter->reader_stack = source.stack;
  meter->reader_queues = source.queues;
}

// The current type, or the next one read.
long CurrentOrNextType(read_state* state, Source source, uint64_t* type) {
  if (state->converter.step == QVREAD_TYPE_READ) {
    *type = state->converter.token;
    return 0;
  }
  const long error = QVGetNextRawType_(state, source.stack, source.queues, type);
  if (error == 0 && *type == 0) return Fail(state, kLost);
  return error;
}

// One level's function token and head, kept in the meter and given to the
// caller's writer (or the meter's heads queue).
long TakeLevel(qvmeter* meter, read_state* state, Source source, int64_t dimension, write_state* writer,
               device_kebab* writer_stack, _queue* writer_queue) {
  ScratchWriter head(state, kScratchFeatures);
  if (!head.ok()) return Fail(state, kNoMemory);
  if (const long error = copy_expression_raw(state, source, head.state(), nullptr, head.queue()); error != 0) {
    return error;
  }
  const size_t start = meter->head_bytes.size();
  head.DrainInto(&meter->head_bytes);
  meter->own_dimensions.push_back(dimension);
  meter->head_ends.push_back(static_cast<int64_t>(meter->head_bytes.size()));
  std::unique_ptr<ScratchWriter> into_heads;
  if (writer == nullptr && meter->heads != nullptr) {
    into_heads = std::make_unique<ScratchWriter>(state, kScratchFeatures);
    writer = into_heads->state();
    writer_queue = meter->heads;
  }
  if (writer == nullptr) return 0;
  long error = QVPutComposite_(writer, writer_stack, writer_queue, dimension);
  if (error == 0) {
    const int64_t n = static_cast<int64_t>(meter->head_bytes.size() - start);
    if (qvs__putn(writer_stack, writer_queue, meter->head_bytes.data() + start, n, &error) != n && error == 0) {
      error = kNoMemory;
    }
  }
  return error;
}

// Nested functions: a level per function while the limit allows.
long transfer_heads_noting_mdepth_and_mdata_left(qvmeter* meter, read_state* state, Source source,
                                                 write_state* writer, device_kebab* writer_stack,
                                                 _queue* writer_queue, int64_t limit, uint64_t* leaf_type) {
  // What is owed once the whole array has been read: it settles one expression.
  const int64_t owed_after = state->owed > 0 ? state->owed - 1 : 0;
  for (int64_t level = 0;; ++level) {
    int64_t count = 0;
    if (const long error = QVGetRawArgCount_(state, source.stack, source.queues, &count); error != 0) return error;
    if (const long error = TakeLevel(meter, state, source, count, writer, writer_stack, writer_queue); error != 0) {
      return error;
    }
    int64_t leaves = 0;
    if (!LeafCount(meter, &leaves)) return Fail(state, kInconsistent);
    if (count == 0) {
      // The rest of an empty array's skeleton: the other empty sub-arrays.
      *leaf_type = kNoLeafType;
      return QVTakeLast_(state, source.stack, source.queues, owed_after);
    }
    uint64_t next = 0;
    if (const long error = CurrentOrNextType(state, source, &next); error != 0) return error;
    if (level + 1 < limit && next == TOK_ARRAY) {
      if (const long error = missed_packed_array_opportunity(state, source); error != 0) return error;
      next = TOK_FUNCTION;
    }
    if (level + 1 >= limit || next != TOK_FUNCTION) {
      *leaf_type = next;
      return 0;
    }
  }
}

// The heads block of an array token, read from its own queue: levels up to
// the ".", then whatever leaves it carries.
long transfer_heads_filling_mdimensions_and_head_marks(qvmeter* meter, read_state* state,
                                                       qv_queue_stack* link_queues, _queue* block,
                                                       write_state* writer, device_kebab* writer_stack,
                                                       _queue* writer_queue) {
  QueueReader heads_reader(state, link_queues->environment, block);
  if (!heads_reader.ok()) return Fail(state, kNoMemory);
  read_state& reader = *heads_reader.state();
  qv_queue_stack& heads = *heads_reader.queues();
  const Source source{nullptr, &heads};
  long error = 0;
  for (;;) {
    long read_error = 0;
    const int byte = source.Get(&read_error);
    if (byte == kHeadsBlockEnd) break;
    if (byte != TOK_FUNCTION) {
      error = kInconsistent;
      break;
    }
    reader.converter.step = QVREAD_TYPE_READ;
    reader.converter.token = TOK_FUNCTION;
    int64_t count = 0;
    error = QVGetRawArgCount_(&reader, nullptr, &heads, &count);
    if (error == 0) error = TakeLevel(meter, &reader, source, count, writer, writer_stack, writer_queue);
    if (error != 0) break;
  }
  // What follows the "." are leaves: they are read before the stream goes on.
  QVByteVector leaves;
  if (error == 0) {
    qvqk__top(&heads);
    for (int byte; (byte = qvqueue_getc(heads.top)) >= 0;) leaves.push_back(static_cast<unsigned char>(byte));
  }
  if (error != 0) return Fail(state, error);
  meter->leaves_in_heads = static_cast<int64_t>(leaves.size());
  if (!leaves.empty()) {
    if (const long pushed = qvcodec_push_bytes(link_queues, leaves.data(), static_cast<int64_t>(leaves.size()));
        pushed != 0) {
      return Fail(state, pushed);
    }
  }
  return 0;
}

// The block's bytes as they arrive, never sized from its declared length.
long ReadBlock(read_state* state, Source source, _queue** block) {
  int64_t size = 0;
  if (const long error = QVRawBytesToGet_(state, source.stack, source.queues, &size); error != 0) return error;
  *block = qvcodec_new_queue(source.queues);
  if (*block == nullptr) return Fail(state, kNoMemory);
  unsigned char piece[kBlockPiece];
  while (state->converter.wire_left > 0) {
    int64_t got = 0;
    if (const long error = QVGetRawData_(state, source.stack, source.queues, piece, kBlockPiece, &got); error != 0) {
      return error;
    }
    if (qvqueue_putn(*block, piece, got) != got) return Fail(state, kNoMemory);
  }
  if (state->converter.wire_left == 0) return QVGetRawData_(state, source.stack, source.queues, piece, 0, &size);
  return 0;
}

}  // namespace

QueueReader::QueueReader(const read_state* like, qvqk_environment* environment, _queue* queue) {
  useritem_dkt item{queue, nullptr, qvcodec_queue_dispatch};
  if (qvqk__construct(environment, &queues_, &item) != 0) {
    qvqueue_destroy(queue);
    return;
  }
  stacked_ = true;
  ok_ = rs__construct(&state_, like->dispatch, like->text_environment, like->text_factory, &like->memory,
                      like->local_descriptor, like->peer_descriptor, like->string_optimization,
                      like->symbol_dictionary, like->string_dictionary) != 0;
}

QueueReader::~QueueReader() {
  rs__deconstruct(&state_, nullptr);
  if (stacked_) qvqk__deconstruct(&queues_, nullptr);
}

// A heads block passed over: the leaves it carries after its "." are still
// expressions of the array, read before the stream goes on.
long skip_heads_block(read_state* state, Source source) {
  qvmeter scratch;
  _queue* block = nullptr;
  if (const long error = ReadBlock(state, source, &block); error != 0) {
    if (block != nullptr) qvqueue_destroy(block);
    return error;
  }
  return transfer_heads_filling_mdimensions_and_head_marks(&scratch, state, source.queues, block, nullptr, nullptr,
                                                           nullptr);
}

namespace {

long ReadArrayToken(qvmeter* meter, read_state* state, Source source, write_state* writer,
                    device_kebab* writer_stack, _queue* writer_queue, uint64_t* leaf_type, int64_t* leaves) {
  if (const long error = QVGetRawArgCount_(state, source.stack, source.queues, leaves); error != 0) return error;
  uint64_t type = 0;
  if (const long error = QVGetNextRawType_(state, source.stack, source.queues, &type); error != 0) return error;
  if (type != TOK_DIMENSIONS) return Fail(state, kInconsistent);
  _queue* block = nullptr;
  if (const long error = ReadBlock(state, source, &block); error != 0) {
    if (block != nullptr) qvqueue_destroy(block);
    return error;
  }
  if (const long error = transfer_heads_filling_mdimensions_and_head_marks(meter, state, source.queues, block,
                                                                           writer, writer_stack, writer_queue);
      error != 0) {
    return error;
  }
  int64_t product = 0;
  // The leaf count must be what the dimensions say, before any leaf is read.
  if (meter->own_dimensions.empty() || !LeafCount(meter, &product) || product != *leaves) {
    return Fail(state, kInconsistent);
  }
  if (product == 0) {
    *leaf_type = kNoLeafType;
    return 0;
  }
  return CurrentOrNextType(state, source, leaf_type);
}

// Nested form: each new sub-array starts with its function token, whose count
// must be the level's dimension, and its head, which is passed over.
long get_borrow_explicit(qvmeter* meter, int64_t level) {
  read_state* state = meter->reader;
  const Source source{meter->reader_stack, meter->reader_queues};
  uint64_t type = 0;
  long error = CurrentOrNextType(state, source, &type);
  if (error == 0 && type == TOK_ARRAY) error = missed_packed_array_opportunity(state, source), type = TOK_FUNCTION;
  int64_t count = -1;
  if (error == 0 && type != TOK_FUNCTION) error = Fail(state, kOutOfSequence);
  if (error == 0) error = QVGetRawArgCount_(state, source.stack, source.queues, &count);
  if (error == 0 && count != meter->dimensions[level]) error = Fail(state, kOutOfSequence);
  if (error == 0) error = QVNewExpression_(state, source.stack, source.queues, 1);
  meter->error = error;
  return error == 0 ? 1 : 0;
}

struct NumberLeaf {
  unsigned wanted;
  int64_t width;
};

void* ReadOneNumber(qvmeter* meter, void* position) {
  const auto* leaf = static_cast<const NumberLeaf*>(meter->move_context);
  const long error = QVGetBinaryNumber_(meter->reader, meter->reader_stack, meter->reader_queues, position,
                                       leaf->wanted);
  meter->error = error;
  return error == 0 ? static_cast<unsigned char*>(position) + leaf->width : nullptr;
}

// Leaves of the wanted type lying whole in the read window, taken at once as
// a scalar get takes one, up to n. The leaf that empties a sub-array while
// more follow is left to the general path, which starts the next sub-array.
int64_t TakeLeavesInWindow(qvmeter* meter, read_state* state, qv_queue_stack* queues, unsigned char* out, int64_t n,
                           unsigned wanted, int64_t width) {
  int64_t k = std::min(n, meter->leaves_left);
  const int64_t inner = meter->depth - 1;
  if (inner >= 0) {
    const int64_t in_level = meter->counters[inner];
    k = std::min(k, meter->leaves_left > in_level ? in_level - 1 : in_level);
  }
  if (k <= 0) return 0;
  const int64_t got = qvcodec_get_numbers_fast(state, queues, out, k, wanted, width);
  meter->leaves_left -= got;
  if (inner >= 0) meter->counters[inner] -= got;
  return got;
}

// Leaves of nested functions: runs in the window at once, each other leaf
// (and the start of each sub-array) through the meter one at a time.
long ReadNestedLeaves(read_state* state, device_kebab* stack, qv_queue_stack* queues, qvmeter* meter,
                      unsigned char* out, int64_t n, unsigned wanted, int64_t width, int64_t* count) {
  NumberLeaf leaf{wanted, width};
  meter->move_context = &leaf;
  long error = 0;
  while (*count < n) {
    if (out != nullptr) {
      *count += TakeLeavesInWindow(meter, state, queues, out + *count * width, n - *count, wanted, width);
      if (*count >= n || meter->leaves_left <= 0) break;
    }
    int64_t one = 0;
    error = QVGetArrayData_(state, stack, queues, meter, out != nullptr ? out + *count * width : nullptr, 1,
                            ReadOneNumber, &one);
    *count += one;
    if (error != 0 || one == 0) break;
  }
  meter->move_context = nullptr;
  return error;
}

// Each element of a run read so far settled one expression.
void SettleRunElements(read_state* state, int64_t k) {
  state->packed_run -= k;
  state->owed = std::max<int64_t>(state->owed - k, 0);
}

// Elements of the wanted type copied straight from the input; the run's last
// element is left to a single read, which takes its terminator.
long CopyRun(read_state* state, Source source, qvmeter* meter, unsigned char* out, int64_t k, int64_t width) {
  long error = 0;
  if (source.Read(out, k * width, &error) < k * width) return Fail(state, error != 0 ? error : kLost);
  SettleRunElements(state, k);
  if (meter != nullptr) am__spindown(meter, k);
  return 0;
}

// Elements of another binary type converted a batch at a time. Answers the
// elements converted; those of a batch that did not convert go back to the
// input to be read singly.
int64_t ConvertRun(read_state* state, Source source, qvmeter* meter, unsigned char* out, int64_t k, unsigned wanted,
                   unsigned type, int64_t type_width, long* error) {
  unsigned char batch[kConvertBatchBytes];
  *error = 0;
  if (source.Read(batch, k * type_width, error) < k * type_width) {
    *error = Fail(state, *error != 0 ? *error : kLost);
    return 0;
  }
  long converted = k;
  const long answer = state->dispatch(qvne_selector(wanted, type), out, batch, &converted);
  // An overflow reports the elements converted before it; anything else, none.
  if ((answer != 0 && answer != QVNUMERIC_OVERFLOW) || converted < 0 || converted > k) converted = 0;
  if (converted < k) {
    const long pushed = qvcodec_push_bytes(source.queues, batch + converted * type_width, (k - converted) * type_width);
    if (pushed != 0) {
      *error = Fail(state, pushed);
      return 0;
    }
  }
  SettleRunElements(state, converted);
  if (meter != nullptr) am__spindown(meter, converted);
  return converted;
}

}  // namespace

}  // namespace qvcodecread

using namespace qvcodecread;

long QVGetRawArrayType_(write_state* writer, device_kebab* writer_stack, _queue* writer_queue,
                        read_state* state, device_kebab* stack, qv_queue_stack* queues, qvmeter* meter,
                        uint64_t* leaf_type) {
  const Source source{stack, queues};
  const int64_t limit = meter->depth > 0 ? meter->depth : kAnyDepth;
  meter->own_dimensions.clear();
  meter->head_bytes.clear();
  meter->head_ends.clear();
  meter->leaves_in_heads = 0;
  BindReader(meter, state, source);
  uint64_t type = 0;
  if (const long error = CurrentOrNextType(state, source, &type); error != 0) return error;
  uint64_t leaf = 0;
  int64_t declared = -1;
  long error = 0;
  if (type == TOK_ARRAY) {
    error = ReadArrayToken(meter, state, source, writer, writer_stack, writer_queue, &leaf, &declared);
  } else if (type == TOK_FUNCTION) {
    error = transfer_heads_noting_mdepth_and_mdata_left(meter, state, source, writer, writer_stack, writer_queue,
                                                        limit, &leaf);
  } else {
    error = Fail(state, kOutOfSequence);
  }
  if (error != 0) return error;
  meter->depth = static_cast<int64_t>(meter->own_dimensions.size());
  meter->dimensions = meter->own_dimensions.data();
  meter->own_counters.assign(meter->own_dimensions.size(), 0);
  meter->counters = meter->own_counters.data();
  if (am__construct(meter, type == TOK_ARRAY ? nullptr : get_borrow_explicit) != 0) return Fail(state, kInconsistent);
  // An array token's leaf count must be what its dimensions say.
  if (declared >= 0 && declared != meter->leaves_left) return Fail(state, kInconsistent);
  // A "." where a leaf starts would answer the leaf type of an array without leaves.
  if (leaf == kNoLeafType && meter->leaves_left > 0) return Fail(state, kInconsistent);
  meter->leaf_type = leaf;
  *leaf_type = leaf;
  return 0;
}

long QVGetArrayType_(write_state* writer, device_kebab* writer_stack, _queue* writer_queue, read_state* state,
                     device_kebab* stack, qv_queue_stack* queues, qvmeter* meter, uint64_t* leaf_type) {
  if (const long error = QVGetRawArrayType_(writer, writer_stack, writer_queue, state, stack, queues, meter, leaf_type);
      error != 0) {
    return error;
  }
  if (*leaf_type == kNoLeafType) return 0;
  long error = 0;
  *leaf_type = filter_tok(*leaf_type, &error);
  return error == 0 ? 0 : Fail(state, error);
}

long QVGetArrayDimensions_(read_state* state, qvmeter* meter) {
  const int64_t depth = static_cast<int64_t>(meter->own_dimensions.size());
  if (meter->dimensions != nullptr && meter->dimensions != meter->own_dimensions.data()) {
    std::copy(meter->own_dimensions.begin(), meter->own_dimensions.end(), meter->dimensions);
  }
  meter->depth = depth;
  meter->own_counters.assign(static_cast<size_t>(depth), 0);
  meter->counters = meter->own_counters.data();
  const int64_t* saved = meter->dimensions;
  meter->dimensions = meter->own_dimensions.data();
  const long error = am__construct(meter, meter->borrow);
  meter->dimensions = const_cast<int64_t*>(saved);
  return error == 0 ? 0 : Fail(state, error);
}

long QVGetArrayDimensions0_(read_state* state, device_kebab*, qv_queue_stack*, qvmeter* meter) {
  return QVGetArrayDimensions_(state, meter);
}

long QVGetArrayData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, qvmeter* meter,
                     void* position, int64_t n, qvmeter_move_fn move_one, int64_t* count) {
  BindReader(meter, state, Source{stack, queues});
  meter->error = 0;
  n = std::min(n, meter->leaves_left);
  *count = n <= 0 ? 0 : n - am__movedata(meter, position, n, move_one);
  return meter->error;
}

long QVGetBinaryNumberArrayData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, qvmeter* meter,
                                 void* buffer, int64_t n, unsigned wanted, int64_t* count) {
  const Source source{stack, queues};
  *count = 0;
  const int64_t width = WidthOf(state, wanted);
  if (width <= 0 || width > kMaxBinaryBytes || state->dispatch == nullptr) return Fail(state, kOutOfSequence);
  auto* out = static_cast<unsigned char*>(buffer);
  if (meter != nullptr && meter->borrow != nullptr) {
    return ReadNestedLeaves(state, stack, queues, meter, out, n, wanted, width, count);
  }
  if (meter != nullptr) n = std::min(n, meter->leaves_left);
  while (*count < n) {
    if (const int64_t k = qvcodec_get_numbers_fast(state, queues, out + *count * width, n - *count, wanted, width);
        k > 0) {
      *count += k;
      if (meter != nullptr) am__spindown(meter, k);
      continue;
    }
    if (!TokenCurrent(state)) {
      uint64_t next = 0;
      if (const long error = QVGetNextRawType_(state, stack, queues, &next); error != 0) return error;
      if (next == 0) return Fail(state, kLost);
    }
    const auto type = static_cast<unsigned>(state->converter.token);
    const int64_t run = state->converter.step == QVREAD_TYPE_READ ? state->packed_run : 0;
    unsigned char* at = out + *count * width;
    if (run >= 2 && type == wanted) {
      const int64_t k = std::min(n - *count, run - 1);
      if (const long error = CopyRun(state, source, meter, at, k, width); error != 0) return error;
      *count += k;
      continue;
    }
    const int64_t type_width = IsBinary(type) ? WidthOf(state, type) : 0;
    if (run >= 2 && type_width > 0 && type_width <= kMaxBinaryBytes) {
      const int64_t k = std::min({n - *count, kConvertBatchBytes / type_width, run - 1});
      long error = 0;
      const int64_t converted = ConvertRun(state, source, meter, at, k, wanted, type, type_width, &error);
      if (error != 0) return error;
      *count += converted;
      if (converted == k) continue;
      at = out + *count * width;  // the element that did not convert is read singly
    }
    if (const long error = QVGetBinaryNumber_(state, stack, queues, at, wanted); error != 0) return error;
    ++*count;
    if (meter != nullptr) am__spindown(meter, 1);
  }
  return 0;
}

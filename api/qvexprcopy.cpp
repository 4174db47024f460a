// Copying expressions token by token with their bodies as they stand: array
// heads kept to be written again, and leaves moved into a nested form.
#include "api/qvarrayinternal.h"
#include "api/qvcodecqueues.h"
#include "api/qvtokentypes.h"
#include "utilities/qvclibmemory.h"

namespace qvcodecread {

namespace {

constexpr int64_t kCopyPiece = 4096;
constexpr std::initializer_list<unsigned> kOwnTypes = {161, 226, 228, 230, 244, 246, 248};

long CopyData(read_state* state, Source source, write_state* writer, device_kebab* writer_stack,
              _queue* writer_queue, uint64_t type) {
  int64_t size = 0;
  if (const long error = QVRawBytesToGet_(state, source.stack, source.queues, &size); error != 0) return error;
  long error = QVPutType_(writer, writer_stack, writer_queue, static_cast<unsigned>(type));
  if (error == 0) error = QVPutRawSize_(writer, writer_stack, writer_queue, size);
  if (error != 0) return error;
  unsigned char piece[kCopyPiece];
  while (state->converter.wire_left >= 0) {
    int64_t got = 0;
    if (const long read = QVGetRawData_(state, source.stack, source.queues, piece, kCopyPiece, &got); read != 0) {
      return read;
    }
    if (got == 0 && state->converter.wire_left >= 0) return Fail(state, kLost);
    if (const long wrote = QVPutRawData_(writer, writer_stack, writer_queue, piece, got); wrote != 0) return wrote;
  }
  // A body of no bytes still gets its header and newline.
  if (size == 0) return QVPutRawData_(writer, writer_stack, writer_queue, piece, 0);
  return 0;
}

}  // namespace

long copy_expression_raw(read_state* state, Source source, write_state* writer, device_kebab* writer_stack,
                         _queue* writer_queue) {
  int64_t todo = 1;
  while (todo > 0) {
    uint64_t type = state->converter.token;
    if (state->converter.step != QVREAD_TYPE_READ) {
      if (const long error = QVGetNextRawType_(state, source.stack, source.queues, &type); error != 0) return error;
      if (type == 0) return Fail(state, kLost);
    }
    --todo;
    if (type == TOK_ARRAY) {
      if (const long error = missed_packed_array_opportunity(state, source); error != 0) return error;
      type = TOK_FUNCTION;
    }
    if (type == TOK_FUNCTION || type == TOK_OPT_SYMBOL || type == TOK_OPT_STRING) {
      int64_t count = 0;
      if (const long error = QVGetRawArgCount_(state, source.stack, source.queues, &count); error != 0) {
        return error;
      }
      long error = QVPutType_(writer, writer_stack, writer_queue, static_cast<unsigned>(type));
      if (error == 0) error = QVPutArgCount_(writer, writer_stack, writer_queue, count);
      if (error != 0) return error;
      const int64_t more = type == TOK_FUNCTION ? count + 1 : count;
      if (__builtin_add_overflow(todo, more, &todo)) return Fail(state, kInconsistent);
      continue;
    }
    const bool data_token = IsBinary(type) || type == TOK_STRING || type == TOK_SYMBOL || type == TOK_REAL ||
                            type == TOK_INTEGER || type == TOK_OLD_STRING || type == TOK_OLD_SYMBOL ||
                            (type >= 48 && type <= 63);
    if (!data_token) return Fail(state, kInconsistent);
    if (const long error = CopyData(state, source, writer, writer_stack, writer_queue, type); error != 0) {
      return error;
    }
  }
  return 0;
}

ScratchWriter::ScratchWriter(const read_state* reader, uint64_t features) {
  feature_set f{};
  f.features = features;
  for (unsigned type : kOwnTypes) qvfs__set_as_it_stands(f, type);
  f.dispatch = reader->dispatch;
  f.encodings = {0xFE, 0};
  f.text_environment = reader->text_environment;
  f.text_factory = reader->text_factory;
  int error = 0;
  queue_ = qvqueue_new_with_allocators(qvstd_clib_allocator, qvstd_clib_deallocator, nullptr, 0, nullptr, &error);
  ok_ = queue_ != nullptr && f.dispatch != nullptr &&
        ws__construct(&state_, &f, reader->local_descriptor, reader->local_descriptor, 0, nullptr, nullptr) == 1;
}

ScratchWriter::~ScratchWriter() {
  if (ok_) ws__deconstruct(&state_);
  if (queue_ != nullptr) qvqueue_destroy(queue_);
}

bool ScratchWriter::DrainInto(QVByteVector* out) {
  int byte;
  while ((byte = qvqueue_getc(queue_)) >= 0) out->push_back(static_cast<unsigned char>(byte));
  return true;
}

_queue* ScratchWriter::TakeQueue() {
  _queue* queue = queue_;
  queue_ = nullptr;
  return queue;
}

}  // namespace qvcodecread

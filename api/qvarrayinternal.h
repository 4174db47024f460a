// What the array engine's files and the converters share.
#pragma once

#include <cstdint>

#include "api/qvarraymeter.h"
#include "api/qvcodecreadinternal.h"

namespace qvcodecread {

// Copies one expression token by token from a read side to a write side, the
// bodies as they stand. A token already current (its type read) is the first.
long copy_expression_raw(read_state* state, Source source, write_state* writer, device_kebab* writer_stack,
                         _queue* writer_queue);

// A write state over a queue of the codec's own, with the reader's machinery.
class ScratchWriter {
 public:
  ScratchWriter(const read_state* reader, uint64_t features);
  ~ScratchWriter();
  ScratchWriter(const ScratchWriter&) = delete;
  ScratchWriter& operator=(const ScratchWriter&) = delete;
  bool ok() const { return ok_; }
  write_state* state() { return &state_; }
  _queue* queue() { return queue_; }
  // Appends everything written so far to out and empties the queue.
  bool DrainInto(QVByteVector* out);
  // Hands the queue over (the caller owns it then).
  _queue* TakeQueue();

 private:
  write_state state_{};
  _queue* queue_ = nullptr;
  bool ok_ = false;
};

// A read state of the codec's own over one queue (taken over: it goes with
// the queue stack), sharing a reader's numerics, text machinery and
// dictionaries. Both are taken down however the read ends, an exception from
// memory running out included.
class QueueReader {
 public:
  QueueReader(const read_state* like, qvqk_environment* environment, _queue* queue);
  ~QueueReader();
  QueueReader(const QueueReader&) = delete;
  QueueReader& operator=(const QueueReader&) = delete;
  bool ok() const { return ok_; }
  read_state* state() { return &state_; }
  qv_queue_stack* queues() { return &queues_; }

 private:
  qv_queue_stack queues_{};
  read_state state_{};
  bool stacked_ = false;
  bool ok_ = false;
};

}  // namespace qvcodecread

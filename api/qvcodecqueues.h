// Byte queues the codec pushes on a link's queue stack so that a token reads
// in another form: the reader takes their bytes first and falls back to the
// stream beneath when they run out.
#pragma once

#include <cstdint>

#include "datastructures/qvqueuestack.h"

// The dispatcher of a pushed queue: a copy of the queue stack (a mark) forks
// it, dropping the level destroys it.
uint64_t qvcodec_queue_dispatch(int operation, useritem_dkt* item, dup_stack* stack);

// A new queue over the memory of the link's input queue; null when memory runs out.
_queue* qvcodec_new_queue(qv_queue_stack* queues);
// Pushes a queue holding bytes; 0, or 8 when memory runs out (nothing pushed).
long qvcodec_push_bytes(qv_queue_stack* queues, const void* bytes, int64_t n);
// Pushes the given queue (the stack then owns it); 0 or 8 (the queue is destroyed).
long qvcodec_push_queue(qv_queue_stack* queues, _queue* queue);

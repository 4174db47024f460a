// The UTF counter: the scratch store in which one converter builds or takes
// apart a whole text atom, a byte queue with a running byte total, a character
// count and a character that is split across calls.
#pragma once

#include <cstdint>

#include "datastructures/qvqueue.h"
#include "text/qvunicode.h"

struct _qvutfcounter {
  qvqueue_allocate_fn allocate;      // of the converter's character environment
  qvqueue_deallocate_fn deallocate;
  int64_t bytes;                     // running total of the bytes the queue holds
  int64_t characters;                // character count (the put side keeps the atom's declared count)
  int64_t extra[2];                  // start at 0; the converters' own use
  _queue* queue;                     // the bytes
  _qvunicode pending;                // a character split across calls
};

// Null when either function is missing or memory runs out.
_qvutfcounter* qvutfcounter_new(qvqueue_allocate_fn allocate, qvqueue_deallocate_fn deallocate);
// Null does nothing.
void qvutfcounter_destroy(_qvutfcounter* counter);
// A new counter with the same allocator pair, totals, pending character and a
// copy of the queued bytes; the source keeps its bytes. Null when memory runs out.
_qvutfcounter* qvutfcounter_clone(_qvutfcounter* counter);

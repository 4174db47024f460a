#include "text/qvutfcounter.h"

#include <cstring>

_qvutfcounter* qvutfcounter_new(qvqueue_allocate_fn allocate, qvqueue_deallocate_fn deallocate) {
  if (allocate == nullptr || deallocate == nullptr) return nullptr;
  auto* counter = static_cast<_qvutfcounter*>(allocate(sizeof(_qvutfcounter)));
  if (counter == nullptr) return nullptr;
  std::memset(static_cast<void*>(counter), 0, sizeof(*counter));
  counter->allocate = allocate;
  counter->deallocate = deallocate;
  counter->queue = qvqueue_new_with_allocators(allocate, deallocate, nullptr, 0, nullptr, nullptr);
  if (counter->queue == nullptr) {
    deallocate(counter);
    return nullptr;
  }
  return counter;
}

void qvutfcounter_destroy(_qvutfcounter* counter) {
  if (counter == nullptr) return;
  qvqueue_destroy(counter->queue);
  counter->deallocate(counter);
}

_qvutfcounter* qvutfcounter_clone(_qvutfcounter* counter) {
  if (counter == nullptr) return nullptr;
  _qvutfcounter* copy = qvutfcounter_new(counter->allocate, counter->deallocate);
  if (copy == nullptr) return nullptr;
  copy->bytes = counter->bytes;
  copy->characters = counter->characters;
  copy->extra[0] = counter->extra[0];
  copy->extra[1] = counter->extra[1];
  copy->pending = counter->pending;
  // Read the bytes through a sibling, which shares the chunks and has its own
  // read position, so the source is left as it was.
  int error = 0;
  _queue* reader = qvqueue_newfork(counter->queue, nullptr, &error);
  if (reader == nullptr) {
    qvutfcounter_destroy(copy);
    return nullptr;
  }
  unsigned char buffer[4096];
  bool ok = true;
  for (;;) {
    const int64_t n = qvqueue_getn(reader, buffer, sizeof(buffer));
    if (n <= 0) break;
    if (qvqueue_putn(copy->queue, buffer, n) != n) {
      ok = false;
      break;
    }
  }
  qvqueue_destroy(reader);
  if (!ok) {
    qvutfcounter_destroy(copy);
    return nullptr;
  }
  return copy;
}

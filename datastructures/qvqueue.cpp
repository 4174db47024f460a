// Making and ending byte queues, the default buffer callbacks, and the chunk
// list helpers the readers, writers and marks share.
#include "datastructures/qvqueue.h"

#include <cstring>
#include <limits>

#include "datastructures/qvqueue_internal.h"

namespace qvqueue_detail {

void RefreshReadEnd(_queue* q) {
  _chunk* c = q->current_chunk;
  if (c == nullptr || q->read_pointer == nullptr) {
    q->read_end = q->read_pointer;
    return;
  }
  _queue_shared* s = q->shared;
  if (c == s->last_chunk) {
    q->read_end = s->write_pointer != nullptr ? s->write_pointer : q->read_pointer;
  } else {
    q->read_end = ChunkEnd(c);
  }
}

void UpdateQueue(_queue* q) {
  Position(q);
  RefreshReadEnd(q);
}

void FreeChunk(_chunk* c) {
  if (c->return_buffer != nullptr) c->return_buffer(c, c->buffer_start, c->cookie);
  c->deallocate(c);
}

void FreeLeading(_queue_shared* s) {
  while (s->first_chunk != nullptr && s->first_chunk->references == 0) {
    _chunk* c = s->first_chunk;
    s->first_chunk = c->next;
    if (c == s->last_chunk) {
      s->last_chunk = nullptr;
      s->write_pointer = s->write_end = nullptr;
    }
    FreeChunk(c);
  }
}

void LinkChunk(_queue* q, _chunk* c) {
  _queue_shared* s = q->shared;
  c->next = nullptr;
  c->return_buffer = q->return_buffer;
  c->deallocate = q->deallocate;
  c->references = static_cast<uint64_t>(s->siblings) + s->pending;
  s->pending = 0;
  if (s->serial_counter == std::numeric_limits<uint64_t>::max()) {
    c->serial = 0;
    c->serial_overflowed = 1;
  } else {
    c->serial = s->serial_counter++;
    c->serial_overflowed = 0;
  }
  if (s->last_chunk != nullptr) {
    // Whatever was not written stays out of reach of every reader.
    _chunk* last = s->last_chunk;
    if (Within(s->write_pointer, last->buffer_start, ChunkEnd(last))) {
      last->size = s->write_pointer - last->buffer_start;
    }
    last->next = c;
  } else {
    s->first_chunk = c;
    q->current_chunk = c;
    q->read_pointer = nullptr;
    q->read_end = nullptr;
  }
  s->last_chunk = c;
}

void DiscardUnlinkedChunk(_queue* q, _chunk* c, unsigned char* start, void* cookie) {
  if (start != nullptr && q->return_buffer != nullptr) {
    c->buffer_start = start;
    c->cookie = cookie;
    c->return_buffer = q->return_buffer;
    c->deallocate = q->deallocate;
    q->return_buffer(c, start, cookie);
  }
  q->deallocate(c);
}

bool AppendWriteChunk(_queue* q) {
  if (q->new_buffer == nullptr) return false;
  auto* c = static_cast<_chunk*>(q->allocate(sizeof(_chunk)));
  if (c == nullptr) return false;
  std::memset(c, 0, sizeof(*c));
  unsigned char* start = nullptr;
  void* cookie = nullptr;
  int64_t n = q->new_buffer(q, &start, &cookie);
  if (n == -2) {
    q->deallocate(c);
    return false;
  }
  if (n <= 0 || start == nullptr) {
    // A buffer that cannot hold a byte would make writers loop; give it back.
    DiscardUnlinkedChunk(q, c, start, cookie);
    return false;
  }
  c->buffer_start = start;
  c->size = n;
  c->cookie = cookie;
  LinkChunk(q, c);
  q->shared->write_pointer = start;
  q->shared->write_end = start + n;
  return true;
}

void MakeVisible(_queue* q) {
  Position(q);
  if (q->current_chunk != nullptr && q->read_pointer == nullptr) {
    q->read_pointer = q->current_chunk->buffer_start;
  }
  RefreshReadEnd(q);
}

}  // namespace qvqueue_detail

using namespace qvqueue_detail;

namespace {

void InitQueue(_queue* q, _queue_shared* s, qvqueue_allocate_fn allocate,
               qvqueue_deallocate_fn deallocate, uint64_t chunk_size, void* user_data,
               uint16_t in_place) {
  std::memset(q, 0, sizeof(*q));
  std::memset(s, 0, sizeof(*s));
  s->siblings = 1;
  q->allocate = allocate;
  q->deallocate = deallocate;
  q->chunk_size = chunk_size == 0 ? QVQUEUE_DEFAULT_CHUNK_SIZE : chunk_size;
  q->new_buffer = qvqueue_new_buffer;
  q->return_buffer = qvqueue_return_buffer;
  q->shared = s;
  q->user_data = user_data;
  q->in_place = in_place;
  q->magic = QVQUEUE_MAGIC;
  q->borrow_enabled = 1;
}

bool BothBufferCallbacks(const _callback* cb) {
  return cb != nullptr && cb->new_buffer != nullptr && cb->return_buffer != nullptr;
}

void CopyCallbacks(_queue* q, const _callback* cb) {
  q->new_buffer = cb->new_buffer;
  q->return_buffer = cb->return_buffer;
  q->fill = cb->fill;
  q->reserved = cb->reserved;
}

}  // namespace

extern "C" {

_queue_memstruct* qvqueue_new_memstruct(qvqueue_allocate_fn allocate,
                                        qvqueue_deallocate_fn deallocate) {
  if (allocate == nullptr || deallocate == nullptr) return nullptr;
  auto* ms = static_cast<_queue_memstruct*>(allocate(sizeof(_queue_memstruct)));
  if (ms == nullptr) return nullptr;
  ms->allocate = allocate;
  ms->deallocate = deallocate;
  return ms;
}

void qvqueue_destroy_memstruct(_queue_memstruct* ms) {
  if (ms != nullptr) ms->deallocate(ms);
}

_queue* qvqueue_new_with_allocators(qvqueue_allocate_fn allocate, qvqueue_deallocate_fn deallocate,
                                    const _callback* callbacks, uint64_t chunk_size,
                                    void* user_data, int* error) {
  if (allocate == nullptr || deallocate == nullptr) return nullptr;
  auto* q = static_cast<_queue*>(allocate(sizeof(_queue)));
  auto* s = q != nullptr ? static_cast<_queue_shared*>(allocate(sizeof(_queue_shared))) : nullptr;
  if (s == nullptr) {
    if (q != nullptr) deallocate(q);
    if (error != nullptr) *error = QVQUEUE_ERR_NOMEM;
    return nullptr;
  }
  InitQueue(q, s, allocate, deallocate, chunk_size, user_data, 0);
  if (BothBufferCallbacks(callbacks)) {
    CopyCallbacks(q, callbacks);
  } else if (callbacks != nullptr) {
    q->fill = callbacks->fill;
  }
  if (error != nullptr) *error = QVQUEUE_ERR_NONE;
  return q;
}

_queue* qvqueue_new(_queue_memstruct* ms, const _callback* callbacks, uint64_t chunk_size,
                    void* user_data, int* error) {
  if (ms == nullptr) return nullptr;
  return qvqueue_new_with_allocators(ms->allocate, ms->deallocate, callbacks, chunk_size,
                                     user_data, error);
}

int qvqueue_construct(_queue_memstruct* ms, _queue* memory, const _callback* callbacks,
                      uint64_t chunk_size, void* user_data) {
  if (ms == nullptr || memory == nullptr || ms->allocate == nullptr || ms->deallocate == nullptr) {
    return -2;
  }
  auto* s = static_cast<_queue_shared*>(ms->allocate(sizeof(_queue_shared)));
  if (s == nullptr) return -2;
  InitQueue(memory, s, ms->allocate, ms->deallocate, chunk_size, user_data, 1);
  if (BothBufferCallbacks(callbacks)) CopyCallbacks(memory, callbacks);
  return -3;
}

int qvqueue_destroy(_queue* queue) {
  if (queue == nullptr) return 1;
  if (queue->magic != QVQUEUE_MAGIC) return 1;  // already ended (a queue in caller memory)
  if (queue->marks > 0) return 0;
  _queue_shared* s = queue->shared;
  if (--s->siblings <= 0) {
    for (_chunk* c = s->first_chunk; c != nullptr;) {
      _chunk* next = c->next;
      FreeChunk(c);
      c = next;
    }
    queue->deallocate(s);
  } else {
    _chunk* c = queue->current_chunk != nullptr ? queue->current_chunk : s->first_chunk;
    for (; c != nullptr; c = c->next) --c->references;
    FreeLeading(s);
  }
  queue->shared = nullptr;
  queue->magic = 0;
  if (queue->in_place == 0) queue->deallocate(queue);
  return 1;
}

_queue* qvqueue_clear(_queue* queue) {
  if (queue == nullptr || queue->magic != QVQUEUE_MAGIC) return nullptr;
  // A queue that cannot be ended stays as it is.
  if (queue->marks > 0) return nullptr;
  // The settings are taken before the old queue goes, and the new queue is
  // made first so that a failure leaves the caller's queue intact.
  const _callback callbacks = {queue->new_buffer, queue->return_buffer, queue->fill,
                               queue->reserved};
  _queue* fresh = qvqueue_new_with_allocators(queue->allocate, queue->deallocate, &callbacks,
                                              queue->chunk_size, queue->user_data, nullptr);
  if (fresh == nullptr) return nullptr;
  qvqueue_destroy(queue);
  return fresh;
}

_queue* qvqueue_newfork(_queue* queue, void* user_data, int* error) {
  if (queue == nullptr) {
    if (error != nullptr) *error = QVQUEUE_ERR_NOQUEUE;
    return nullptr;
  }
  auto* fork = static_cast<_queue*>(queue->allocate(sizeof(_queue)));
  if (fork == nullptr) {
    if (error != nullptr) *error = QVQUEUE_ERR_NOMEM;
    return nullptr;
  }
  *fork = *queue;
  fork->marks = 0;
  fork->user_data = user_data;
  fork->in_place = 0;  // the fork's record is always ours to free
  fork->borrowed = 0;  // the window, if any, was lent to the original
  fork->magic = QVQUEUE_MAGIC;
  _queue_shared* s = queue->shared;
  ++s->siblings;
  _chunk* c = queue->current_chunk != nullptr ? queue->current_chunk : s->first_chunk;
  for (; c != nullptr; c = c->next) ++c->references;
  if (error != nullptr) *error = QVQUEUE_ERR_NONE;
  return fork;
}

_queue_memstruct* qvqueue_get_memstruct(_queue* queue) {
  // The allocator pair is the first two fields of every queue.
  return reinterpret_cast<_queue_memstruct*>(queue);
}

void* qvqueue_userdata(_queue* queue) { return queue != nullptr ? queue->user_data : nullptr; }

int qvqueue_setuserdata(_queue* queue, void* data) {
  if (queue == nullptr) return 0;
  queue->user_data = data;
  return 1;
}

int64_t qvqueue_sibling_count(_queue* queue) {
  return queue != nullptr ? queue->shared->siblings : -1;
}

int qvqueue_are_siblings(_queue* a, _queue* b) {
  return a != nullptr && b != nullptr && a->shared == b->shared ? 1 : 0;
}

int qvqueue_ok(_queue* queue) {
  if (queue == nullptr || queue->magic != QVQUEUE_MAGIC || queue->shared == nullptr) return 0;
  const _queue_shared* s = queue->shared;
  const _chunk* last = s->last_chunk;
  if (last != nullptr) {
    if (last->next != nullptr) return 0;
    if (s->write_end != ChunkEnd(last)) return 0;
    if (!Within(s->write_pointer, last->buffer_start, s->write_end)) return 0;
  } else if (s->write_pointer != nullptr || s->write_end != nullptr || s->first_chunk != nullptr) {
    return 0;
  }
  if (queue->read_pointer != nullptr) {
    const _chunk* c = queue->current_chunk;
    if (c == nullptr) return 0;
    if (!Within(queue->read_pointer, c->buffer_start, queue->read_end)) return 0;
    if (!Within(queue->read_end, c->buffer_start, ChunkEnd(c))) return 0;
  }
  return 1;
}

int64_t qvqueue_new_buffer(_queue* queue, unsigned char** start, void** cookie) {
  if (queue == nullptr || start == nullptr) return -2;
  if (cookie != nullptr) *cookie = nullptr;
  if (queue->chunk_size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return -2;
  auto* p = static_cast<unsigned char*>(queue->allocate(queue->chunk_size));
  if (p == nullptr) return -2;
  *start = p;
  return static_cast<int64_t>(queue->chunk_size);
}

void qvqueue_return_buffer(_chunk* chunk, unsigned char* start, void* cookie) {
  if (chunk == nullptr || start == nullptr) return;
  chunk->deallocate(start);
}

}  // extern "C"

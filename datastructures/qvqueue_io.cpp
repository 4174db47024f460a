// Writing into and reading from a byte queue, and lending its read window.
#include <algorithm>
#include <cstring>

#include "datastructures/qvqueue.h"
#include "datastructures/qvqueue_internal.h"

namespace qvqueue_detail {

namespace {

// Asks the fill callback for a chunk after the current (last) one.
int FillChunk(_queue* q) {
  if (q->fill == nullptr) return kNothing;
  auto* c = static_cast<_chunk*>(q->allocate(sizeof(_chunk)));
  if (c == nullptr) return kNothing;
  std::memset(c, 0, sizeof(*c));
  unsigned char* start = nullptr;
  void* cookie = nullptr;
  const int64_t n = q->fill(q, &start, &cookie);
  if (n < 0 || start == nullptr) {
    // No data ever again switches filling off; a buffer, if any, goes back.
    // A fill that claims data without a buffer gave nothing.
    if (n < 0) q->fill = nullptr;
    DiscardUnlinkedChunk(q, c, start, cookie);
    return kNothing;
  }
  c->buffer_start = start;
  c->size = n;
  c->cookie = cookie;
  _chunk* old = q->current_chunk;
  LinkChunk(q, c);
  _queue_shared* s = q->shared;
  q->current_chunk = c;
  q->read_pointer = start;
  q->read_end = s->write_pointer = s->write_end = start + n;
  if (old != nullptr) {
    --old->references;
    FreeLeading(s);
  }
  return n > 0 ? kMoved : kEmptyFill;
}

}  // namespace

int Advance(_queue* q) {
  UpdateQueue(q);
  _chunk* c = q->current_chunk;
  if (c == nullptr) return FillChunk(q);  // nothing written yet
  if (q->read_pointer != nullptr && q->read_pointer < q->read_end) return kMoved;
  if (q->read_pointer == nullptr) {
    q->read_pointer = c->buffer_start;
    RefreshReadEnd(q);
    return kMoved;
  }
  if (c->next != nullptr) {
    q->current_chunk = c->next;
    q->read_pointer = c->next->buffer_start;
    RefreshReadEnd(q);
    --c->references;
    FreeLeading(q->shared);
    return kMoved;
  }
  return FillChunk(q);
}

Place ReadPlace(const _queue* q) {
  _chunk* c = q->current_chunk != nullptr ? q->current_chunk : q->shared->first_chunk;
  if (c == nullptr) return {nullptr, nullptr};
  unsigned char* p = (q->current_chunk != nullptr && q->read_pointer != nullptr) ? q->read_pointer
                                                                               : c->buffer_start;
  return {c, p};
}

int64_t BytesFrom(const _queue_shared* s, Place p, int64_t limit) {
  int64_t total = 0;
  for (_chunk* c = p.chunk; c != nullptr; c = c->next) {
    unsigned char* from = c == p.chunk ? p.position : c->buffer_start;
    total += WrittenEnd(s, c) - from;
    if (total >= limit || c == s->last_chunk) break;
  }
  return total;
}

}  // namespace qvqueue_detail

using namespace qvqueue_detail;

namespace {

// Appends n bytes; the number appended (short of n only when no chunk could be added).
int64_t Append(_queue* q, const unsigned char* bytes, int64_t n) {
  _queue_shared* s = q->shared;
  int64_t done = 0;
  while (done < n) {
    if (s->last_chunk == nullptr || s->write_pointer == s->write_end) {
      if (!AppendWriteChunk(q)) break;
    }
    const int64_t k = std::min<int64_t>(s->write_end - s->write_pointer, n - done);
    std::memcpy(s->write_pointer, bytes + done, static_cast<size_t>(k));
    s->write_pointer += k;
    done += k;
  }
  return done;
}

// Kept out of line so that the one-compare fast path of the readers stays small.
[[gnu::noinline]] int ReadSlow(_queue* q, bool consume) {
  if (q == nullptr) return -2;
  for (;;) {
    const int step = Advance(q);
    if (step == kNothing) return -1;
    if (q->read_pointer < q->read_end) return consume ? *q->read_pointer++ : *q->read_pointer;
    if (step == kEmptyFill) return -1;
  }
}

}  // namespace

extern "C" {

int qvqueue_add_chunk(_queue* queue) {
  if (queue == nullptr) return 0;
  return AppendWriteChunk(queue) ? 1 : 0;
}

int64_t qvqueue_putn(_queue* queue, const void* bytes, int64_t n) {
  if (queue == nullptr || bytes == nullptr || n < 0) return -2;
  const int64_t done = Append(queue, static_cast<const unsigned char*>(bytes), n);
  MakeVisible(queue);
  return done == n ? n : -2;
}

int64_t qvqueue_putv(_queue* queue, const void* bytes, int64_t element_size, int64_t count) {
  if (queue == nullptr || bytes == nullptr || element_size < 0 || count < 0) return -2;
  if (element_size == 0) return count;
  int64_t total = 0;
  if (__builtin_mul_overflow(element_size, count, &total)) return -2;
  return qvqueue_putn(queue, bytes, total) == total ? count : -2;
}

int qvqueue_putc(_queue* queue, int byte) {
  if (queue == nullptr) return -2;
  _queue_shared* s = queue->shared;
  if (s->write_pointer == s->write_end || s->last_chunk == nullptr) {
    if (!AppendWriteChunk(queue)) return -2;
  }
  *s->write_pointer++ = static_cast<unsigned char>(byte);
  if (queue->read_pointer != nullptr && queue->current_chunk == s->last_chunk) {
    queue->read_end = s->write_pointer;
  } else {
    MakeVisible(queue);
  }
  return static_cast<unsigned char>(byte);
}

unsigned char* qvqueue_putstart(_queue* queue) {
  if (queue == nullptr) return nullptr;
  _queue_shared* s = queue->shared;
  if (s->last_chunk == nullptr || s->write_pointer == s->write_end) {
    if (!AppendWriteChunk(queue)) return nullptr;
  }
  return s->write_pointer;
}

unsigned char* qvqueue_putend(_queue* queue) {
  if (queue == nullptr) return nullptr;
  _queue_shared* s = queue->shared;
  if (s->last_chunk == nullptr && !AppendWriteChunk(queue)) return nullptr;
  return s->write_end;
}

unsigned char* qvqueue_putstop(_queue* queue, unsigned char* p) {
  if (queue == nullptr || p == nullptr) return nullptr;
  _queue_shared* s = queue->shared;
  // Only forward within the last chunk: moving back would take away bytes a
  // reader may already have had.
  if (s->last_chunk == nullptr || !Within(p, s->write_pointer, s->write_end)) return nullptr;
  s->write_pointer = p;
  MakeVisible(queue);
  return p;
}

int qvqueue_getc(_queue* queue) {
  if (queue != nullptr && queue->read_pointer < queue->read_end) [[likely]] {
    return *queue->read_pointer++;
  }
  return ReadSlow(queue, true);
}

int qvqueue_peekc(_queue* queue) {
  if (queue != nullptr && queue->read_pointer < queue->read_end) [[likely]] {
    return *queue->read_pointer;
  }
  return ReadSlow(queue, false);
}

int qvqueue_ungetc(_queue* queue, int byte) {
  if (queue == nullptr) return -2;
  if (queue->read_pointer == nullptr || queue->current_chunk == nullptr ||
      queue->read_pointer == queue->current_chunk->buffer_start) {
    return -1;
  }
  *--queue->read_pointer = static_cast<unsigned char>(byte);
  return static_cast<unsigned char>(byte);
}

int64_t qvqueue_getn(_queue* queue, void* buffer, int64_t n) {
  if (queue == nullptr || buffer == nullptr || n < 0) return -2;
  if (n == 0) return 0;
  UpdateQueue(queue);
  auto* out = static_cast<unsigned char*>(buffer);
  int64_t done = 0;
  while (done < n) {
    if (queue->read_pointer == nullptr || queue->read_pointer >= queue->read_end) {
      const int step = Advance(queue);
      if (step == kNothing) break;
      if (step == kEmptyFill && !(queue->read_pointer < queue->read_end)) break;
      continue;
    }
    const int64_t k = std::min<int64_t>(queue->read_end - queue->read_pointer, n - done);
    std::memcpy(out + done, queue->read_pointer, static_cast<size_t>(k));
    queue->read_pointer += k;
    done += k;
  }
  return done > 0 ? done : -1;
}

int64_t qvqueue_ungetn(_queue* queue, const void* bytes, int64_t n) {
  if (queue == nullptr || bytes == nullptr) return 0;
  if (n < 0) return -2;
  if (queue->read_pointer == nullptr || queue->current_chunk == nullptr ||
      queue->read_pointer == queue->current_chunk->buffer_start) {
    return -1;
  }
  if (queue->read_pointer - queue->current_chunk->buffer_start < n) return -2;
  queue->read_pointer -= n;
  std::memmove(queue->read_pointer, bytes, static_cast<size_t>(n));
  return n;
}

int qvqueue_next_chunk(_queue* queue) {
  if (queue == nullptr) return 0;
  return Advance(queue) == kNothing ? 0 : 1;
}

int qvqueue_update_queue(_queue* queue) {
  if (queue == nullptr) return 0;
  UpdateQueue(queue);
  return 1;
}

int qvqueue_isempty(_queue* queue) {
  if (queue == nullptr) return -2;
  const Place p = ReadPlace(queue);
  if (p.chunk == nullptr) return 1;
  return BytesFrom(queue->shared, p, 1) == 0 ? 1 : 0;
}

int64_t qvqueue_amount_left_in_queue(_queue* queue) {
  if (queue == nullptr) return -1;
  UpdateQueue(queue);
  if (queue->current_chunk == nullptr) return 0;
  return BytesFrom(queue->shared, ReadPlace(queue), INT64_MAX);
}

unsigned char* qvqueue_tell(_queue* queue) {
  return queue != nullptr ? queue->read_pointer : nullptr;
}

unsigned char* qvqueue_size(_queue* queue) {
  return queue != nullptr ? queue->shared->write_pointer : nullptr;
}

int qvqueue_at_beginning(_queue* queue) {
  if (queue == nullptr) return -1;
  const _chunk* first = queue->shared->first_chunk;
  if (first == nullptr || queue->current_chunk == nullptr) return 1;
  return queue->current_chunk == first &&
                 (queue->read_pointer == nullptr || queue->read_pointer == first->buffer_start)
             ? 1
             : 0;
}

int qvqueue_seektoend(_queue* queue) {
  if (queue == nullptr) return 0;
  _queue_shared* s = queue->shared;
  if (s->last_chunk == nullptr) return 1;
  _chunk* c = queue->current_chunk != nullptr ? queue->current_chunk : s->first_chunk;
  for (; c != s->last_chunk; c = c->next) --c->references;
  queue->current_chunk = s->last_chunk;
  queue->read_pointer = queue->read_end = s->write_pointer;
  FreeLeading(s);
  return 1;
}

unsigned char* qvqueue_get_byte_from_offset(_queue* queue, int64_t offset) {
  if (queue == nullptr || offset < 0) return nullptr;
  UpdateQueue(queue);
  Place at;
  if (queue->current_chunk == nullptr || !Walk(queue->shared, ReadPlace(queue), offset, true, &at)) {
    return queue->read_pointer;
  }
  return at.position;
}

void qvqueue_borrow_some(_queue* queue, unsigned char** start, unsigned char** end) {
  unsigned char* s = nullptr;
  unsigned char* e = nullptr;
  if (queue != nullptr && queue->borrow_enabled != 0) {
    UpdateQueue(queue);
    s = queue->read_pointer;
    e = queue->read_end;
    queue->borrowed = s != nullptr ? 1 : 0;
  }
  if (start != nullptr) *start = s;
  if (end != nullptr) *end = e;
}

void qvqueue_return_rest(_queue* queue, unsigned char* p) {
  if (queue == nullptr) return;
  queue->borrowed = 0;
  if (queue->borrow_enabled == 0 || queue->current_chunk == nullptr ||
      queue->read_pointer == nullptr) {
    return;
  }
  // Only a place inside the readable part of the current chunk is taken.
  if (Within(p, queue->current_chunk->buffer_start, queue->read_end)) queue->read_pointer = p;
}

void qvqueue_disable_borrow(_queue* queue) {
  if (queue != nullptr) queue->borrow_enabled = 0;
}

void qvqueue_enable_borrow(_queue* queue) {
  if (queue != nullptr) queue->borrow_enabled = 1;
}

int qvqueue_borrowed(_queue* queue) { return queue != nullptr && queue->borrowed == 1 ? 1 : 0; }

}  // extern "C"

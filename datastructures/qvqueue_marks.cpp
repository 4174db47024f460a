// Marks (saved read positions) of a byte queue: saving, seeking, comparing,
// counting between them, and moving a marked stretch to another queue.
#include <cstring>

#include "datastructures/qvqueue.h"
#include "datastructures/qvqueue_internal.h"

namespace qvqueue_detail {

Place Normalize(const _queue_shared* s, Place p) {
  while (p.chunk != nullptr && p.chunk->next != nullptr && p.position == ChunkEnd(p.chunk)) {
    p.chunk = p.chunk->next;
    p.position = p.chunk->buffer_start;
  }
  return p;
}

bool Walk(const _queue_shared* s, Place from, int64_t offset, bool byte_semantics, Place* out) {
  if (from.chunk == nullptr || offset < 0) return false;
  _chunk* c = from.chunk;
  unsigned char* p = from.position;
  for (;;) {
    const int64_t avail = WrittenEnd(s, c) - p;
    if (byte_semantics ? offset < avail : offset <= avail) {
      *out = {c, p + offset};
      return true;
    }
    if (c == s->last_chunk || c->next == nullptr) return false;
    offset -= avail;
    c = c->next;
    p = c->buffer_start;
  }
}

int ChunkOrder(const _queue_shared* s, const _chunk* a, const _chunk* b) {
  if (a == b) return 0;
  if (a->serial_overflowed == 0 && b->serial_overflowed == 0) return a->serial < b->serial ? -1 : 1;
  for (const _chunk* c = s->first_chunk; c != nullptr; c = c->next) {
    if (c == a) return -1;
    if (c == b) return 1;
  }
  return -2;
}

void ResolveMark(_mark* m) {
  _queue_shared* s = m->queue->shared;
  if (m->chunk == nullptr && s->first_chunk != nullptr) {
    // The first chunk ever made took over this mark's pending reference, and
    // that reference has kept it at the head of the list.
    m->chunk = s->first_chunk;
    m->position = nullptr;
  }
  if (m->chunk != nullptr && m->position == nullptr) m->position = m->chunk->buffer_start;
}

void MoveTo(_queue* q, Place p) {
  Position(q);
  _queue_shared* s = q->shared;
  _chunk* from = q->current_chunk;
  if (p.chunk == nullptr || from == nullptr) return;
  bool forward = false;
  if (from != p.chunk) {
    const int order = ChunkOrder(s, from, p.chunk);
    if (order == -2) return;  // not in this list: leave the queue alone
    if (order < 0) {
      forward = true;
      for (_chunk* c = from; c != p.chunk; c = c->next) --c->references;
    } else {
      // The queue needs the chunks it moves back over again.
      for (_chunk* c = p.chunk; c != from; c = c->next) ++c->references;
    }
    q->current_chunk = p.chunk;
  }
  q->read_pointer = p.position;
  RefreshReadEnd(q);
  if (forward) FreeLeading(s);
}

void InitMark(_queue* q, _mark* m, uint64_t in_place) {
  UpdateQueue(q);
  m->queue = q;
  m->chunk = q->current_chunk;
  m->position = q->read_pointer;
  m->in_place = in_place;
  if (m->chunk != nullptr) {
    ++m->chunk->references;
  } else {
    ++q->shared->pending;
  }
  ++q->marks;
}

}  // namespace qvqueue_detail

using namespace qvqueue_detail;

namespace {

bool Alive(const _mark* m) { return m != nullptr && m->queue != nullptr; }

// The mark's place, normalized; chunk null only while the list is empty.
Place MarkPlace(_mark* m) {
  ResolveMark(m);
  return Normalize(m->queue->shared, {m->chunk, m->position});
}

int ComparePlaces(const _queue_shared* s, Place a, Place b) {
  if (a.chunk == nullptr || b.chunk == nullptr) {
    if (a.chunk == b.chunk) return 0;
    return a.chunk == nullptr ? -1 : 1;
  }
  if (a.chunk == b.chunk) return a.position < b.position ? -1 : (a.position == b.position ? 0 : 1);
  return ChunkOrder(s, a.chunk, b.chunk);
}

// Bytes from place earlier to place later (later not before earlier).
int64_t BytesBetween(const _queue_shared* s, Place earlier, Place later) {
  if (earlier.chunk == later.chunk) return later.position - earlier.position;
  int64_t total = ChunkEnd(earlier.chunk) - earlier.position;
  for (_chunk* c = earlier.chunk->next; c != nullptr && c != later.chunk; c = c->next) {
    total += c->size;
  }
  return total + (later.position - later.chunk->buffer_start);
}

}  // namespace

extern "C" {

_mark* qvqueue_savemark(_queue* queue) {
  if (queue == nullptr) return nullptr;
  auto* m = static_cast<_mark*>(queue->allocate(sizeof(_mark)));
  if (m == nullptr) return nullptr;
  InitMark(queue, m, 0);
  return m;
}

_mark* qvqueue_construct_and_savemark(_queue* queue, _mark* memory) {
  if (queue == nullptr || memory == nullptr) return nullptr;
  InitMark(queue, memory, 1);
  return memory;
}

_mark* qvqueue_savemark_from_offset(_queue* queue, int64_t offset) {
  if (queue == nullptr || offset < 0) return nullptr;
  UpdateQueue(queue);
  if (queue->current_chunk == nullptr) return offset == 0 ? qvqueue_savemark(queue) : nullptr;
  Place at;
  if (!Walk(queue->shared, ReadPlace(queue), offset, false, &at)) return nullptr;
  auto* m = static_cast<_mark*>(queue->allocate(sizeof(_mark)));
  if (m == nullptr) return nullptr;
  m->queue = queue;
  m->chunk = at.chunk;
  m->position = at.position;
  m->in_place = 0;
  ++at.chunk->references;
  ++queue->marks;
  return m;
}

int qvqueue_seek(_mark* mark) {
  if (!Alive(mark)) return 0;
  _queue* q = mark->queue;
  UpdateQueue(q);
  ResolveMark(mark);
  MoveTo(q, {mark->chunk, mark->position});
  return 1;
}

int qvqueue_seek_to_offset(_mark* mark, int64_t offset) {
  if (!Alive(mark) || offset < 0) return 0;
  _queue* q = mark->queue;
  ResolveMark(mark);
  if (mark->chunk == nullptr) return offset == 0 ? 1 : 0;
  // Found before anything moves, so a failure leaves the read position as it was.
  Place at;
  if (!Walk(q->shared, {mark->chunk, mark->position}, offset, false, &at)) return 0;
  qvqueue_seek(mark);
  MoveTo(q, at);
  return 1;
}

int qvqueue_discardmark(_mark* mark) {
  if (!Alive(mark)) return 0;
  _queue* q = mark->queue;
  _queue_shared* s = q->shared;
  ResolveMark(mark);
  if (mark->chunk != nullptr) {
    --mark->chunk->references;
  } else {
    --s->pending;
  }
  FreeLeading(s);
  --q->marks;
  mark->queue = nullptr;
  if (mark->in_place == 0) q->deallocate(mark);
  return 1;
}

int qvqueue_compare_marks(_mark* a, _mark* b) {
  if (!Alive(a) || !Alive(b) || a->queue != b->queue) return -2;
  const _queue_shared* s = a->queue->shared;
  return ComparePlaces(s, MarkPlace(a), MarkPlace(b));
}

int qvqueue_mark_is_on_next_byte(_mark* mark) {
  if (!Alive(mark)) return -1;
  const _queue* q = mark->queue;
  const Place here = Normalize(q->shared, ReadPlace(q));
  return ComparePlaces(q->shared, MarkPlace(mark), here) == 0 ? 1 : 0;
}

int64_t qvqueue_amount_between_marks(_mark* later, _mark* earlier) {
  if (!Alive(later) || !Alive(earlier) || later->queue != earlier->queue) return -1;
  const _queue_shared* s = later->queue->shared;
  const Place l = MarkPlace(later);
  const Place e = MarkPlace(earlier);
  const int order = ComparePlaces(s, l, e);
  if (order < 0) return -1;  // also -2: not in the list
  if (order == 0 || l.chunk == nullptr) return 0;
  const int64_t n = BytesBetween(s, e, l);
  return n < 0 ? -1 : n;
}

int64_t qvqueue_outstanding_marks(_queue* queue) { return queue != nullptr ? queue->marks : 0; }

int qvqueue_transfer(_queue* destination, _queue* source, _mark* mark) {
  if (destination == nullptr || source == nullptr || !Alive(mark) || mark->queue != source) {
    return 0;
  }
  UpdateQueue(source);
  // A source that was never positioned has no read position to move from,
  // however few bytes the mark would take.
  if (source->current_chunk == nullptr || source->read_pointer == nullptr) return 0;
  _mark here;
  qvqueue_construct_and_savemark(source, &here);
  const int64_t amount = qvqueue_amount_between_marks(mark, &here);
  bool ok = amount >= 0;
  int64_t left = ok ? amount : 0;
  while (ok && left > 0) {
    if (!(source->read_pointer < source->read_end)) {
      const int step = Advance(source);
      if (step == kNothing || (step == kEmptyFill && !(source->read_pointer < source->read_end))) {
        ok = false;
      }
      continue;
    }
    int64_t k = source->read_end - source->read_pointer;
    if (k > left) k = left;
    if (qvqueue_putn(destination, source->read_pointer, k) != k) {
      ok = false;
      break;
    }
    source->read_pointer += k;
    left -= k;
  }
  if (!ok) qvqueue_seek(&here);
  qvqueue_discardmark(&here);
  return ok ? 1 : 0;
}

}  // extern "C"

// Helpers shared by the byte queue's source files. Not part of the interface.
//
// Invariants the helpers keep (beyond those of the records):
// - the read end is null whenever the read pointer is null, so the one-compare
//   fast path of the readers never dereferences an unset pointer;
// - a queue whose current chunk is null holds its references from the first
//   chunk on (it is positioned before the first byte);
// - a chunk that stops being the last has its size cut to the bytes written
//   into it, so every non-last chunk is readable to its end.
#pragma once

#include <cstdint>

#include "datastructures/qvqueue.h"

namespace qvqueue_detail {

inline unsigned char* ChunkEnd(const _chunk* c) { return c->buffer_start + c->size; }

// p lies in [lo, hi]; compares addresses so that unrelated buffers are safe.
inline bool Within(const void* p, const void* lo, const void* hi) {
  auto a = reinterpret_cast<uintptr_t>(p);
  return a >= reinterpret_cast<uintptr_t>(lo) && a <= reinterpret_cast<uintptr_t>(hi);
}

// End of the bytes written in c: the write pointer for the last chunk.
inline unsigned char* WrittenEnd(const _queue_shared* s, const _chunk* c) {
  return c == s->last_chunk ? s->write_pointer : ChunkEnd(c);
}

// A place in the chunk list; position never null once resolved.
struct Place {
  _chunk* chunk;
  unsigned char* position;
};

// Seats a queue without a current chunk on the first chunk (read pointer stays unset).
inline void Position(_queue* q) {
  if (q->current_chunk == nullptr && q->shared->first_chunk != nullptr) {
    q->current_chunk = q->shared->first_chunk;
    q->read_pointer = nullptr;
  }
}

void RefreshReadEnd(_queue* q);
void UpdateQueue(_queue* q);
// Frees chunks from the head of the list while nobody holds them.
void FreeLeading(_queue_shared* s);
void FreeChunk(_chunk* c);
// Appends c (already filled in with buffer and size) to the list; takes the
// sibling and pending references. Cuts the old last chunk to what was written.
void LinkChunk(_queue* q, _chunk* c);
// Drops a chunk that was allocated but never linked, handing back the buffer
// a provider gave with it, if any.
void DiscardUnlinkedChunk(_queue* q, _chunk* c, unsigned char* start, void* cookie);
// Appends an empty chunk from new_buffer and moves the write window into it.
bool AppendWriteChunk(_queue* q);
// Read pointer set when unset, read end brought up to date.
void MakeVisible(_queue* q);

enum Advance : int { kNothing = 0, kMoved = 1, kEmptyFill = 2 };
// The steps of moving on for reading; kEmptyFill when a fill gave a chunk
// without bytes (callers that loop stop there).
int Advance(_queue* q);

// The queue's read place: its current chunk (or the first) and read pointer
// (or that chunk's start). chunk null only for an empty list.
Place ReadPlace(const _queue* q);
// A place at the end of a chunk that has a next is the same byte place as the
// start of the next; this moves such places forward so they compare equal.
Place Normalize(const _queue_shared* s, Place p);
// Walks offset bytes forward from p over written bytes. byte_semantics: the
// result must be a byte that exists (offset < bytes available); otherwise the
// place offset bytes on (offset <= bytes available). False when out of reach.
bool Walk(const _queue_shared* s, Place from, int64_t offset, bool byte_semantics, Place* out);
// Bytes written from p up to the write pointer, stopping early once limit is reached.
int64_t BytesFrom(const _queue_shared* s, Place p, int64_t limit);
// -1 when chunk a lies before b, 0 same, 1 after, -2 when not found.
int ChunkOrder(const _queue_shared* s, const _chunk* a, const _chunk* b);
// Gives a mark saved before any chunk existed its place on the first chunk
// (the chunk that took over its pending reference).
void ResolveMark(_mark* m);
// Moves the queue's read position to place p, adjusting references.
void MoveTo(_queue* q, Place p);
// Shared body of the two mark makers.
void InitMark(_queue* q, _mark* m, uint64_t in_place);

}  // namespace qvqueue_detail

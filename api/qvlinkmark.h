// Saved read positions of a link and the copying of expressions from one
// link's read side to another link's write side.
//
// A mark holds either one queue mark on its own fork of the top queue of the
// link's queue stack (kind 0, when nothing is pushed above the bottom level;
// the link's queues never carry it, so they can always be destroyed), or a
// copy of the whole queue stack (kind 1, when the codec has pushed levels that
// must be read again), and in both cases a copy of the read state. Mark records come
// from the class-object allocator (QVGetNewMark_) or from a link's mark pool
// (QVGetFreeMark_); either way QVConstructMark_ fills them and
// QVDeconstructMark_ empties them.
//
// Like every codec operation, the ones below answer 0 or a link error code,
// which they also store in the read or write state. Marks answer -1 when a
// queue mark cannot be made or a seek fails. No operation throws.
#pragma once

#include <cstdint>

#include "api/qvreadstate.h"
#include "api/qvwritestate.h"
#include "datastructures/qvdevicestack.h"
#include "datastructures/qvqueue.h"
#include "datastructures/qvqueuestack.h"
#include "utilities/qvobject.h"

namespace Quorvane {
class QVMemoryPool;
}

enum : uint64_t {
  QVMARK_QUEUE_MARK = 0,   // one queue mark on the top queue
  QVMARK_QUEUE_STACK = 1,  // a copy of the whole queue stack
};

class QVLinkMark : public Quorvane::QVObject {
 public:
  QVLinkMark() = default;
  // Gives up whatever position the mark still holds.
  ~QVLinkMark() override;
  QVLinkMark(const QVLinkMark&) = delete;
  QVLinkMark& operator=(const QVLinkMark&) = delete;

  uint64_t kind = QVMARK_QUEUE_MARK;
  _mark queue_mark{};         // built in place for kind 0
  _mark* mark = nullptr;      // &queue_mark while it is set
  uint64_t pool_token = 0;    // the mark pool's token; 0 for a mark from the allocator
  qv_queue_stack queues{};    // kind 1: the saved queue stack (its magic says it is set)
  read_state state;           // the saved read state (its marker says it is set)
};

// A mark record from the class-object allocator; null when memory runs out.
QVLinkMark* QVGetNewMark_();
// A mark record built in a block of the pool (which grows when it has no free
// block); null when the pool cannot give a block that holds a mark.
QVLinkMark* QVGetFreeMark_(Quorvane::QVMemoryPool* pool);
// Destroys a pooled mark in place and gives its block back; nulls ignored.
void QVReleaseMark_(Quorvane::QVMemoryPool* pool, QVLinkMark* mark);
// Destroys and frees a mark from the allocator; null ignored.
void QVDestroyMark_(QVLinkMark* mark);

// Saves the current read position in the mark (releasing one it held): 0, -1
// when the queue mark or the queue-stack copy cannot be made, 8 when the read
// state cannot be copied.
long QVConstructMark_(QVLinkMark* mark, read_state* state, qv_queue_stack* queues);
// Releases what the mark holds; the record stays usable.
void QVDeconstructMark_(qv_queue_stack* queues, QVLinkMark* mark);
// Goes back to the mark, then skips n expressions: 0, -1 when the position
// cannot be restored (the queue stack is then popped to its bottom), 8 when
// the read state cannot be restored, or the error of the skip.
long QVSeek_(read_state* state, device_kebab* stack, qv_queue_stack* queues, QVLinkMark* mark, int64_t n);
// Drops every pushed level and all input the top queue holds, and starts the
// read state afresh between packets; 0, -1, or 8.
long QVSeekToEnd_(read_state* state, device_kebab* stack, qv_queue_stack* queues);

// Copies n expressions token by token from a read side to a write side,
// converting numbers and texts for the writer's peer. On failure the answer is
// the write side's error when it has one, else the read side's.
long QVTransferExpression_(write_state* writer, device_kebab* writer_stack, _queue* writer_queue,
                           read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t n);
// Copies the source's raw bytes up to the end mark (on its bottom queue) when
// both sides stand at the same point of the same token; the source state then
// becomes end_state (or a fresh one) and the writer takes over its position.
// 5 when the two states do not agree, 8 when a mark cannot be made.
long QVTransfer_(write_state* writer, device_kebab* writer_stack, _queue* writer_queue, read_state* state,
                 device_kebab* stack, qv_queue_stack* queues, _mark* end, const read_state* end_state);

// Mark records, saving a read position and going back to it.
#include <cstdint>
#include <new>

#include "api/qvcodecread.h"
#include "api/qvlinkmark.h"
#include "api/qvstream.h"
#include "utilities/qvmemorypool.h"

namespace {

constexpr long kMarkFailed = -1;
constexpr long kNoMemory = 8;

bool HasPushedLevels(qv_queue_stack* queues) { return dk__depth(&queues->stack) > 0; }

// Levels the codec pushed must be read again from the mark, and so must bytes
// still in a borrowed window: either needs the whole stack copied.
bool NeedsStackCopy(qv_queue_stack* queues) { return HasPushedLevels(queues) || queues->window != nullptr; }

void ReleasePosition(QVLinkMark* mark) {
  if (mark->mark != nullptr) {
    _queue* held = mark->mark->queue;
    qvqueue_discardmark(mark->mark);
    mark->mark = nullptr;
    qvqueue_destroy(held);
  }
  if (mark->queues.magic == QVQK_MAGIC) qvqk__deconstruct(&mark->queues, nullptr);
  mark->queues = qv_queue_stack{};
  rs__deconstruct(&mark->state, nullptr);
  mark->kind = QVMARK_QUEUE_MARK;
}

bool PopToBottom(qv_queue_stack* queues) {
  while (HasPushedLevels(queues)) {
    if (qvqk__pop(queues) != 0) return false;
  }
  qvqk__top(queues);
  return true;
}

// The bottom item gets a new fork of the marked queue (a sibling of the
// link's input), positioned at the mark, in place of the queue it held; the
// marked queue keeps its read position.
bool RebaseOnMark(qv_queue_stack* queues, _mark* mark) {
  _queue* const current = queues->top;
  _queue* const marked = mark->queue;
  if (marked == nullptr || qvqueue_are_siblings(current, marked) != 1) return false;
  _mark here{};
  if (qvqueue_construct_and_savemark(marked, &here) == nullptr) return false;
  qvqueue_seek(mark);
  int error = 0;
  _queue* fork = qvqueue_newfork(marked, qvqueue_userdata(current), &error);
  qvqueue_seek(&here);
  qvqueue_discardmark(&here);
  if (fork == nullptr) return false;
  useritem_dkt* bottom = dk__top(&queues->stack);
  bottom->value = fork;
  queues->top = queues->base = fork;
  qvqueue_destroy(current);
  return true;
}

// The link reads on from a new fork of the mark's own queue.
long SeekQueueMark(qv_queue_stack* queues, QVLinkMark* mark) {
  if (mark->mark == nullptr || !PopToBottom(queues)) return kMarkFailed;
  return RebaseOnMark(queues, mark->mark) ? 0 : kMarkFailed;
}

long SeekQueueStack(qv_queue_stack* queues, QVLinkMark* mark) {
  if (mark->queues.magic != QVQK_MAGIC) return kMarkFailed;
  if (qvqk__assign(queues, &mark->queues) == 0) return 0;
  PopToBottom(queues);
  return kMarkFailed;
}

// The read state takes the saved one, keeping its own memory stack; a view it
// handed out ends here.
long RestoreState(read_state* state, const read_state* saved) {
  QVCloseView_(state);
  const rs_memory_stack memory = state->memory;
  return rs__assign(state, saved, &memory) == 1 ? 0 : kNoMemory;
}

}  // namespace

QVLinkMark::~QVLinkMark() { ReleasePosition(this); }

QVLinkMark* QVGetNewMark_() {
  try {
    return new QVLinkMark();
  } catch (...) {
    return nullptr;
  }
}

QVLinkMark* QVGetFreeMark_(Quorvane::QVMemoryPool* pool) {
  if (pool == nullptr) return nullptr;
  try {
    const uint64_t token = pool->getTokenForFreeMemoryObject();
    unsigned char* block = pool->getMemoryForToken(token);
    // A pool sized for something else must not have a mark built over its end.
    if (block == nullptr || pool->getNumberOfBytesInPoolObject() < sizeof(QVLinkMark) ||
        reinterpret_cast<uintptr_t>(block) % alignof(QVLinkMark) != 0) {
      pool->releaseObject(token);
      return nullptr;
    }
    auto* mark = new (block) QVLinkMark();
    mark->pool_token = token;
    return mark;
  } catch (...) {
    return nullptr;
  }
}

void QVReleaseMark_(Quorvane::QVMemoryPool* pool, QVLinkMark* mark) {
  if (pool == nullptr || mark == nullptr) return;
  const uint64_t token = mark->pool_token;
  mark->~QVLinkMark();
  try {
    pool->releaseObject(token);
  } catch (...) {
    // The block stays taken: a leak, never a second owner.
  }
}

void QVDestroyMark_(QVLinkMark* mark) { delete mark; }

long QVConstructMark_(QVLinkMark* mark, read_state* state, qv_queue_stack* queues) {
  if (mark == nullptr || state == nullptr || queues == nullptr) return kMarkFailed;
  ReleasePosition(mark);
  // A look at the next byte drops pushed levels that are used up.
  long ignored = 0;
  qvqk_peekc_inline(nullptr, queues, &ignored);
  if (NeedsStackCopy(queues)) {
    if (qvqk__copy_construct(&mark->queues, queues) != 0) {
      mark->queues = qv_queue_stack{};
      return rs__set_error(state, kMarkFailed);
    }
    mark->kind = QVMARK_QUEUE_STACK;
  } else {
    // The queue mark goes on a fork of the top queue that the mark owns. On
    // the link's own queue it would keep that queue from being destroyed when
    // the link lets it go (a seek to a copy, a copy sharing it released), and
    // nothing would destroy it after the mark: it and all input after it
    // would stay for good.
    _queue* top = qvqk__top(queues);
    int error = 0;
    _queue* held = top != nullptr ? qvqueue_newfork(top, qvqueue_userdata(top), &error) : nullptr;
    if (held == nullptr) return rs__set_error(state, kMarkFailed);
    mark->mark = qvqueue_construct_and_savemark(held, &mark->queue_mark);
    if (mark->mark == nullptr) {
      qvqueue_destroy(held);
      return rs__set_error(state, kMarkFailed);
    }
    mark->kind = QVMARK_QUEUE_MARK;
  }
  if (rs__copy_construct(&mark->state, state, nullptr) != 1) {
    ReleasePosition(mark);
    return rs__set_error(state, kNoMemory);
  }
  return 0;
}

void QVDeconstructMark_(qv_queue_stack*, QVLinkMark* mark) {
  if (mark != nullptr) ReleasePosition(mark);
}

long QVSeek_(read_state* state, device_kebab* stack, qv_queue_stack* queues, QVLinkMark* mark, int64_t n) {
  if (state == nullptr || queues == nullptr) return kMarkFailed;
  if (mark == nullptr || mark->state.marker != kReadStateMarker) return rs__set_error(state, kMarkFailed);
  const long placed =
      mark->kind == QVMARK_QUEUE_STACK ? SeekQueueStack(queues, mark) : SeekQueueMark(queues, mark);
  if (placed != 0) return rs__set_error(state, placed);
  if (const long restored = RestoreState(state, &mark->state); restored != 0) return rs__set_error(state, restored);
  for (int64_t i = 0; i < n; ++i) {
    if (const long error = QVNewExpression_(state, stack, queues, 1); error != 0) return error;
  }
  return 0;
}

long QVSeekToEnd_(read_state* state, device_kebab* stack, qv_queue_stack* queues) {
  if (state == nullptr || queues == nullptr) return kMarkFailed;
  if (!PopToBottom(queues) || qvs__seektoend(stack, queues->top) != 1) return rs__set_error(state, kMarkFailed);
  read_state fresh;
  if (rs__construct(&fresh, state->dispatch, state->text_environment, state->text_factory, &state->memory,
                    state->local_descriptor, state->peer_descriptor, state->string_optimization,
                    state->symbol_dictionary, state->string_dictionary) != 1) {
    return rs__set_error(state, kNoMemory);
  }
  const long restored = RestoreState(state, &fresh);
  rs__deconstruct(&fresh, nullptr);
  return restored == 0 ? 0 : rs__set_error(state, restored);
}

// The queue stack: a stack of byte queues read as one input. The bottom level
// is the link's own input queue, filled from the device; upper levels hold
// bytes to be read before the input continues, and a read that exhausts one
// falls through to the level below. It is a dup stack whose items are queues,
// so it copies cheaply (lower levels shared until a pop reaches them) and can
// be pushed whole as one level. For speed, readers take bytes straight from a
// window borrowed from the top queue (qvqk_getc_inline) and call the slow
// paths below only when it is empty.
//
// Queue item: value = the _queue*, data = the owner's word, dispatch = the
// owner's queue dispatcher, which must call qvqk__dispatch first.
#pragma once

#include <cstdint>

#include "datastructures/qvdupstack.h"
#include "datastructures/qvqueue.h"

class device_kebab;

typedef void* (*qvqk_allocate_fn)(void* context, uint64_t size);
typedef void (*qvqk_deallocate_fn)(void* context, void* block);

struct qvqk_allocator {
  qvqk_allocate_fn allocate;
  qvqk_deallocate_fn deallocate;
  void* context;
};

// One per environment: its allocator pair and the kit of its dup stacks, whose
// pushed levels are whole queue stacks.
struct qvqk_environment {
  qvqk_allocate_fn allocate;
  qvqk_deallocate_fn deallocate;
  void* context;
  globals_dkt* kit;
};

enum : uint64_t { QVQK_MAGIC = 0x0FEEDB0B };

struct qv_queue_stack {
  _queue* base;     // the bottom item's queue
  dup_stack stack;  // of queue items
  _queue* top;      // the top item's queue
  // The unread rest of a window borrowed from the top queue; bytes taken from
  // it leave the queue only when it is given back. Both null when none.
  unsigned char* window;
  unsigned char* window_end;
  qvqk_environment* environment;
  uint64_t magic;
  uint64_t reserved;
};

// Null when the argument or either function is missing or memory runs out.
qvqk_environment* qvqk__begin(const qvqk_allocator* allocator);
void qvqk__end(qvqk_environment* environment);
qvqk_allocator* qvqk__mempool(const qv_queue_stack* stack, qvqk_allocator* out);

// The operations below answer 0 or the dup stack's error (8 for memory, or a
// dispatcher's code); -1 for a missing stack. Each gives back the window first.
long qvqk__construct(qvqk_environment* environment, qv_queue_stack* stack, const useritem_dkt* bottom);
// Forks only the top queue; lower levels are shared until a pop reaches them.
long qvqk__copy_construct(qv_queue_stack* destination, qv_queue_stack* source);
long qvqk__assign(qv_queue_stack* destination, qv_queue_stack* source);
// Pushes the item prepared with dk__push_preflight on stack->stack.
long qvqk__push(qv_queue_stack* stack);
// Pushes the whole stack as one level; with out, the caller holds that level
// as a queue stack of its own (one reference, ended by qvqk__deconstruct).
long qvqk__pushstack(qv_queue_stack* stack, qv_queue_stack** out);
// Pops one item (its queue is released by its dispatcher); -1 when only the
// bottom item is left.
long qvqk__pop(qv_queue_stack* stack);
// The bottom item goes to out when given. A held level may be freed here.
void qvqk__deconstruct(qv_queue_stack* stack, useritem_dkt* out);
_queue* qvqk__top(qv_queue_stack* stack);
// Dispatcher hook: gives back the window of the queue stack embedding dup; 0.
uint64_t qvqk__dispatch(int operation, useritem_dkt* item, dup_stack* dup);
// Marks still set on the queues of all levels; -1 for a missing stack.
int64_t qvqk__outstanding_marks(qv_queue_stack* stack);
void* qvqk__cast_(void* pointer);

// The slow paths behind the inline readers: they give back the window, read,
// and borrow a new window. Only the bottom level reads through the device
// stack; an exhausted upper level is popped and the read goes on below.
int __qvqk__getc(device_kebab* device, qv_queue_stack* stack, long* error);
int __qvqk__peekc(device_kebab* device, qv_queue_stack* stack, long* error);
int64_t __qvqk__getn(device_kebab* device, qv_queue_stack* stack, void* buffer, int64_t count,
                     long* error);
// With only the bottom level left, qvs__take on its queue (-1 otherwise): a
// reader that takes bytes where they lie reads the device's window itself.
int64_t __qvqk__take(device_kebab* device, qv_queue_stack* stack, int64_t (*take)(void*, unsigned char*, int64_t),
                     void* cookie, long* error);
// The working halves, called by the slow paths with no window borrowed.
int _qvqk__getc(device_kebab* device, qv_queue_stack* stack, long* error);
int _qvqk__peekc(device_kebab* device, qv_queue_stack* stack, long* error);
int64_t _qvqk__getn(device_kebab* device, qv_queue_stack* stack, void* buffer, int64_t count,
                    long* error);
// Emptiness of the top level alone, as the stream tests it.
int _qvqk__isempty(device_kebab* device, qv_queue_stack* stack);

// The byte reader: from the borrowed window while it has bytes.
inline int qvqk_getc_inline(device_kebab* device, qv_queue_stack* stack, long* error) {
  if (stack->window != stack->window_end) [[likely]] return *stack->window++;
  return __qvqk__getc(device, stack, error);
}

inline int qvqk_peekc_inline(device_kebab* device, qv_queue_stack* stack, long* error) {
  if (stack->window != stack->window_end) [[likely]] return *stack->window;
  return __qvqk__peekc(device, stack, error);
}

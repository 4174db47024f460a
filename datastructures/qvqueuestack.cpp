// Levels of byte queues over a dup stack, the borrowed read window, and reads
// that fall through exhausted levels.
#include "datastructures/qvqueuestack.h"

#include <cstddef>
#include <cstring>

#include "api/qvstream.h"

namespace {

constexpr long kNothingArrives = 25;

qv_queue_stack* Enclosing(dup_stack* dup) {
  return reinterpret_cast<qv_queue_stack*>(reinterpret_cast<char*>(dup) -
                                           offsetof(qv_queue_stack, stack));
}

qvqk_environment* EnvironmentOf(void* context) { return static_cast<qvqk_environment*>(context); }

void* CellAllocate(void* context, uint64_t size) {
  qvqk_environment* e = EnvironmentOf(context);
  return e->allocate(e->context, size);
}

void CellDeallocate(void* context, void* block) {
  qvqk_environment* e = EnvironmentOf(context);
  e->deallocate(e->context, block);
}

// A pushed level is a whole queue stack; the dup stack sees its header.
void* HeaderAllocate(void* context, uint64_t) {
  qvqk_environment* e = EnvironmentOf(context);
  auto* level = static_cast<qv_queue_stack*>(e->allocate(e->context, sizeof(qv_queue_stack)));
  if (level == nullptr) return nullptr;
  std::memset(static_cast<void*>(level), 0, sizeof(*level));
  return &level->stack;
}

void HeaderDeallocate(void* context, void* block) {
  qvqk_environment* e = EnvironmentOf(context);
  e->deallocate(e->context, Enclosing(static_cast<dup_stack*>(block)));
}

int SetError(long* error, long code) {
  if (error != nullptr) *error = code;
  return -1;
}

void GiveBack(qv_queue_stack* s) {
  if (s->window != nullptr) qvqueue_return_rest(s->top, s->window);
  s->window = s->window_end = nullptr;
}

// An empty window is handed straight back, so the inline reader never holds one.
void Borrow(qv_queue_stack* s) {
  unsigned char* start = nullptr;
  unsigned char* end = nullptr;
  qvqueue_borrow_some(s->top, &start, &end);
  if (start != nullptr && start == end) {
    qvqueue_return_rest(s->top, start);
    start = end = nullptr;
  }
  s->window = start;
  s->window_end = end;
}

_queue* QueueOf(const useritem_dkt* item) {
  return item != nullptr ? static_cast<_queue*>(item->value) : nullptr;
}

void Refresh(qv_queue_stack* s) {
  s->top = QueueOf(dk__top(&s->stack));
  s->base = QueueOf(dk__bottom(&s->stack));
}

bool Constructed(const qv_queue_stack* s) {
  return s != nullptr && s->magic == QVQK_MAGIC && s->stack.magic == DK_MAGIC;
}

bool AtBottom(const qv_queue_stack* s) {
  return s->stack.chain == nullptr && s->stack.parent == nullptr;
}

device_kebab* LevelDevice(device_kebab* device, const qv_queue_stack* s) {
  return AtBottom(s) ? device : nullptr;
}

void Complete(qv_queue_stack* s, qvqk_environment* environment) {
  s->environment = environment;
  Refresh(s);
  s->window = s->window_end = nullptr;
  s->magic = QVQK_MAGIC;
  s->reserved = 0;
}

// After a read served by the bottom level: the notifier is reset once the
// link's input is drained. Upper levels leave it alone, since bytes may
// still wait below them.
void AfterBottomRead(device_kebab* device, qv_queue_stack* s) {
  GiveBack(s);
  if (qvs__isempty(device, s->top) != 0) qvdk__reset_has_data(device);
}

// A slow path: the window goes back before the read and a new one is
// borrowed after it.
template <typename Read>
auto AroundWindow(qv_queue_stack* s, Read read) {
  GiveBack(s);
  const auto result = read();
  Borrow(s);
  return result;
}

void AddMarks(useritem_dkt* item, void* context) {
  *static_cast<int64_t*>(context) += qvqueue_outstanding_marks(QueueOf(item));
}

}  // namespace

qvqk_environment* qvqk__begin(const qvqk_allocator* allocator) {
  if (allocator == nullptr || allocator->allocate == nullptr || allocator->deallocate == nullptr) {
    return nullptr;
  }
  auto* e = static_cast<qvqk_environment*>(
      allocator->allocate(allocator->context, sizeof(qvqk_environment)));
  if (e == nullptr) return nullptr;
  *e = {allocator->allocate, allocator->deallocate, allocator->context, nullptr};
  const mempool_dkt pool = {CellAllocate, CellDeallocate, HeaderAllocate, HeaderDeallocate, e};
  e->kit = dk__begin(&pool);
  if (e->kit == nullptr) {
    allocator->deallocate(allocator->context, e);
    return nullptr;
  }
  return e;
}

void qvqk__end(qvqk_environment* environment) {
  if (environment == nullptr) return;
  dk__end(environment->kit);
  environment->deallocate(environment->context, environment);
}

qvqk_allocator* qvqk__mempool(const qv_queue_stack* stack, qvqk_allocator* out) {
  if (stack == nullptr || stack->environment == nullptr || out == nullptr) return out;
  const qvqk_environment* e = stack->environment;
  *out = {e->allocate, e->deallocate, e->context};
  return out;
}

long qvqk__construct(qvqk_environment* environment, qv_queue_stack* stack,
                     const useritem_dkt* bottom) {
  if (environment == nullptr || stack == nullptr || bottom == nullptr) return -1;
  std::memset(static_cast<void*>(stack), 0, sizeof(*stack));
  useritem_dkt* item = dk__construct(environment->kit, &stack->stack);
  if (item == nullptr) return stack->stack.error;
  *item = *bottom;
  Complete(stack, environment);
  return 0;
}

long qvqk__copy_construct(qv_queue_stack* destination, qv_queue_stack* source) {
  if (destination == nullptr || !Constructed(source)) return -1;
  GiveBack(source);
  std::memset(static_cast<void*>(destination), 0, sizeof(*destination));
  if (dk__copy_construct(&destination->stack, &source->stack) == nullptr) {
    return destination->stack.error;
  }
  Complete(destination, source->environment);
  return 0;
}

long qvqk__assign(qv_queue_stack* destination, qv_queue_stack* source) {
  if (destination == nullptr || !Constructed(source)) return -1;
  GiveBack(destination);
  GiveBack(source);
  if (dk__assign(&destination->stack, &source->stack) == nullptr) return destination->stack.error;
  Complete(destination, source->environment);
  return 0;
}

long qvqk__push(qv_queue_stack* stack) {
  if (!Constructed(stack)) return -1;
  GiveBack(stack);
  if (dk__push(&stack->stack) == nullptr) return stack->stack.error;
  Refresh(stack);
  return 0;
}

long qvqk__pushstack(qv_queue_stack* stack, qv_queue_stack** out) {
  if (!Constructed(stack)) return -1;
  GiveBack(stack);
  dup_stack* held = nullptr;
  if (dk__pushstack(&stack->stack, out != nullptr ? &held : nullptr) == nullptr) {
    return stack->stack.error;
  }
  Complete(Enclosing(stack->stack.parent), stack->environment);
  Refresh(stack);
  if (out != nullptr) *out = Enclosing(held);
  return 0;
}

long qvqk__pop(qv_queue_stack* stack) {
  if (!Constructed(stack) || AtBottom(stack)) return -1;
  GiveBack(stack);
  if (dk__pop(&stack->stack) == nullptr) return stack->stack.error;
  Refresh(stack);
  return 0;
}

void qvqk__deconstruct(qv_queue_stack* stack, useritem_dkt* out) {
  if (!Constructed(stack)) {
    clearUserItem(out);
    return;
  }
  GiveBack(stack);
  stack->magic = 0;
  stack->top = stack->base = nullptr;
  dk__deconstruct(&stack->stack, out);  // may free a held level's whole record
}

_queue* qvqk__top(qv_queue_stack* stack) {
  if (!Constructed(stack)) return nullptr;
  GiveBack(stack);
  return stack->top;
}

uint64_t qvqk__dispatch(int operation, useritem_dkt* item, dup_stack* dup) {
  if (dup != nullptr) GiveBack(Enclosing(dup));
  return 0;
}

// Counted on the levels themselves: a copy's queues are fresh forks, which
// carry none of the marks set on the queues they were forked from.
int64_t qvqk__outstanding_marks(qv_queue_stack* stack) {
  if (!Constructed(stack)) return -1;
  GiveBack(stack);
  int64_t marks = 0;
  dk__visit(&stack->stack, AddMarks, &marks);
  return marks;
}

void* qvqk__cast_(void* pointer) { return pointer; }

int _qvqk__getc(device_kebab* device, qv_queue_stack* stack, long* error) {
  for (;;) {
    long code = 0;
    const int c = qvs__getc(LevelDevice(device, stack), stack->top, &code);
    if (c >= 0) {
      if (AtBottom(stack)) AfterBottomRead(device, stack);
      return c;
    }
    if (AtBottom(stack) || code != kNothingArrives) return SetError(error, code);
    const long popped = qvqk__pop(stack);
    if (popped != 0) return SetError(error, popped);
  }
}

int _qvqk__peekc(device_kebab* device, qv_queue_stack* stack, long* error) {
  for (;;) {
    long code = 0;
    const int c = qvs__peekc(LevelDevice(device, stack), stack->top, &code);
    if (c >= 0) return c;
    if (AtBottom(stack) || code != kNothingArrives) return SetError(error, code);
    const long popped = qvqk__pop(stack);
    if (popped != 0) return SetError(error, popped);
  }
}

int64_t _qvqk__getn(device_kebab* device, qv_queue_stack* stack, void* buffer, int64_t count,
                    long* error) {
  if (buffer == nullptr || count <= 0) return 0;
  auto* out = static_cast<unsigned char*>(buffer);
  int64_t total = 0;
  for (;;) {
    long code = 0;
    total += qvs__getn(LevelDevice(device, stack), stack->top, out + total, count - total, &code);
    if (total >= count) {
      if (AtBottom(stack)) AfterBottomRead(device, stack);
      return total;
    }
    if (AtBottom(stack) || code != kNothingArrives) {
      SetError(error, code);
      return total;
    }
    const long popped = qvqk__pop(stack);
    if (popped != 0) {
      SetError(error, popped);
      return total;
    }
  }
}

int _qvqk__isempty(device_kebab* device, qv_queue_stack* stack) {
  if (!Constructed(stack)) return 1;
  GiveBack(stack);
  return qvs__isempty(LevelDevice(device, stack), stack->top);
}

int __qvqk__getc(device_kebab* device, qv_queue_stack* stack, long* error) {
  if (!Constructed(stack)) return SetError(error, kNothingArrives);
  return AroundWindow(stack, [&] { return _qvqk__getc(device, stack, error); });
}

int64_t __qvqk__take(device_kebab* device, qv_queue_stack* stack, int64_t (*take)(void*, unsigned char*, int64_t),
                     void* cookie, long* error) {
  if (!Constructed(stack) || !AtBottom(stack)) return -1;
  return AroundWindow(stack, [&] { return qvs__take(device, stack->top, take, cookie, error); });
}

int __qvqk__peekc(device_kebab* device, qv_queue_stack* stack, long* error) {
  if (!Constructed(stack)) return SetError(error, kNothingArrives);
  return AroundWindow(stack, [&] { return _qvqk__peekc(device, stack, error); });
}

int64_t __qvqk__getn(device_kebab* device, qv_queue_stack* stack, void* buffer, int64_t count,
                     long* error) {
  if (!Constructed(stack)) {
    SetError(error, kNothingArrives);
    return 0;
  }
  return AroundWindow(stack, [&] { return _qvqk__getn(device, stack, buffer, count, error); });
}

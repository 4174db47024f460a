// The copy-on-write item stack: cells, pops that copy shared cells, levels
// pushed whole and their reference counts.
#include "datastructures/qvdupstack.h"

#include <cstring>

namespace {

bool Constructed(const dup_stack* s) {
  return s != nullptr && s->magic == DK_MAGIC && s->top != nullptr;
}

useritem_dkt* Fail(dup_stack* s, long code) {
  s->error = code;
  return nullptr;
}

dk_cell* NewCell(globals_dkt* kit) {
  auto* c = static_cast<dk_cell*>(kit->cell_allocate(kit->context, sizeof(dk_cell)));
  if (c != nullptr) {
    std::memset(c, 0, sizeof(*c));
    c->references = 1;
  }
  return c;
}

void FreeCell(globals_dkt* kit, dk_cell* c) { kit->cell_deallocate(kit->context, c); }

// An item without a dispatch function counts as holding something.
bool Release(useritem_dkt* item, dup_stack* s) {
  return item->dispatch == nullptr || item->dispatch(DK_RELEASE, item, s) != 0;
}

void Dispose(useritem_dkt* item, dup_stack* s) {
  if (item->dispatch != nullptr) item->dispatch(DK_DISPOSE, item, s);
}

void ReleaseAndDispose(useritem_dkt* item, dup_stack* s) {
  if (Release(item, s)) Dispose(item, s);
}

long Copy(useritem_dkt* item, const dup_stack* source) {
  if (item->dispatch == nullptr) return 0;
  return static_cast<long>(item->dispatch(DK_COPY, item, const_cast<dup_stack*>(source)));
}

void FreeSpares(dup_stack* s) {
  dk_cell* c = s->top->link;
  s->top->link = nullptr;
  while (c != nullptr) {
    dk_cell* next = c->link;
    Dispose(&c->item, s);
    FreeCell(s->kit, c);
    c = next;
  }
}

// Drops one reference from a chain; cells nobody leads to any more go.
void DropChain(dup_stack* s, dk_cell* c) {
  while (c != nullptr && --c->references == 0) {
    dk_cell* next = c->link;
    ReleaseAndDispose(&c->item, s);
    FreeCell(s->kit, c);
    c = next;
  }
}

// Drops one reference from a pushed level; the last one takes it down
// without allocating (nothing is handed out, so nothing needs copying).
void DropHeader(dup_stack* h) {
  while (h != nullptr) {
    if (h->references > 1) {
      --h->references;
      return;
    }
    ReleaseAndDispose(&h->top->item, h);
    FreeSpares(h);
    FreeCell(h->kit, h->top);
    DropChain(h, h->chain);
    dup_stack* parent = h->parent;
    globals_dkt* kit = h->kit;
    h->magic = 0;
    kit->header_deallocate(kit->context, h);
    h = parent;
  }
}

// The released old top either becomes the first spare (item and all, its own
// spares behind it) or goes, its spares passing to the new top.
void SettleOldTop(dup_stack* s, dk_cell* old, bool held) {
  if (held && s->prepared == 0) {
    s->top->link = old;
    return;
  }
  s->top->link = old->link;
  if (held) Dispose(&old->item, s);
  FreeCell(s->kit, old);
}

// The next cell is shared with another chain: this stack takes a copy. The
// copy is made before anything is released, so a failure changes nothing.
useritem_dkt* PopSharedCell(dup_stack* s) {
  dk_cell* b = s->chain;
  dk_cell* n = NewCell(s->kit);
  if (n == nullptr) return Fail(s, DK_ERR_NOMEM);
  n->item = b->item;
  const long code = Copy(&n->item, nullptr);
  if (code != 0) {
    FreeCell(s->kit, n);
    return Fail(s, code);
  }
  --b->references;
  s->chain = b->link;
  if (s->chain != nullptr) ++s->chain->references;  // n's chain now leads there too
  dk_cell* old = s->top;
  s->top = n;
  SettleOldTop(s, old, Release(&old->item, s));
  return &n->item;
}

useritem_dkt* PopChain(dup_stack* s) {
  dk_cell* b = s->chain;
  if (b->references > 1) return PopSharedCell(s);
  s->chain = b->link;
  dk_cell* old = s->top;
  s->top = b;
  SettleOldTop(s, old, Release(&old->item, s));
  return &b->item;
}

void DropOldTop(dup_stack* s, dk_cell* old) {
  ReleaseAndDispose(&old->item, s);
  FreeCell(s->kit, old);
}

// The parent level is held by this stack alone: its header's fields move here.
useritem_dkt* TakeOverParent(dup_stack* s) {
  dup_stack* p = s->parent;
  dk_cell* spares = s->top->link;
  s->top->link = nullptr;
  DropOldTop(s, s->top);
  FreeSpares(p);
  s->top = p->top;
  s->chain = p->chain;
  s->kit = p->kit;
  s->parent = p->parent;
  s->top->link = spares;
  p->magic = 0;
  p->kit->header_deallocate(p->kit->context, p);
  return &s->top->item;
}

// The parent level is shared: copy its top, share its chain and parent.
useritem_dkt* CopyParentTop(dup_stack* s) {
  dup_stack* p = s->parent;
  dk_cell* n = NewCell(s->kit);
  if (n == nullptr) return Fail(s, DK_ERR_NOMEM);
  n->item = p->top->item;
  const long code = Copy(&n->item, p);
  if (code != 0) {
    FreeCell(s->kit, n);
    return Fail(s, code);
  }
  n->link = s->top->link;
  s->top->link = nullptr;
  DropOldTop(s, s->top);
  s->top = n;
  s->chain = p->chain;
  if (s->chain != nullptr) ++s->chain->references;
  s->parent = p->parent;
  if (s->parent != nullptr) ++s->parent->references;
  s->kit = p->kit;
  DropHeader(p);
  return &n->item;
}

void HandOverBottom(dup_stack* s, useritem_dkt* out) {
  if (out != nullptr) {
    *out = s->top->item;
  } else {
    ReleaseAndDispose(&s->top->item, s);
  }
}

}  // namespace

globals_dkt* dk__begin(const mempool_dkt* pool) {
  if (pool == nullptr || pool->cell_allocate == nullptr || pool->cell_deallocate == nullptr) {
    return nullptr;
  }
  auto* kit = static_cast<globals_dkt*>(pool->cell_allocate(pool->context, sizeof(globals_dkt)));
  if (kit == nullptr) return nullptr;
  static_cast<mempool_dkt&>(*kit) = *pool;
  return kit;
}

void dk__end(globals_dkt* kit) {
  if (kit != nullptr) kit->cell_deallocate(kit->context, kit);
}

mempool_dkt* dk__mempool(const globals_dkt* kit, mempool_dkt* out) {
  if (kit != nullptr && out != nullptr) *out = *kit;
  return out;
}

globals_dkt* dk__context(const dup_stack* stack) { return stack != nullptr ? stack->kit : nullptr; }

useritem_dkt* dk__construct(globals_dkt* kit, dup_stack* stack) {
  if (stack == nullptr) return nullptr;
  *stack = dup_stack{};
  if (kit == nullptr) return Fail(stack, DK_ERR_NOMEM);
  dk_cell* c = NewCell(kit);
  if (c == nullptr) return Fail(stack, DK_ERR_NOMEM);
  stack->top = c;
  stack->kit = kit;
  stack->magic = DK_MAGIC;
  return &c->item;
}

useritem_dkt* dk__copy_construct(dup_stack* destination, const dup_stack* source) {
  if (destination == nullptr) return nullptr;
  *destination = dup_stack{};
  if (!Constructed(source)) return Fail(destination, DK_ERR_NOMEM);
  dk_cell* n = NewCell(source->kit);
  if (n == nullptr) return Fail(destination, DK_ERR_NOMEM);
  n->item = source->top->item;
  const long code = Copy(&n->item, source);
  if (code != 0) {
    source->kit->cell_deallocate(source->kit->context, n);
    return Fail(destination, code);
  }
  destination->kit = source->kit;
  destination->top = n;
  destination->chain = source->chain;
  if (destination->chain != nullptr) ++destination->chain->references;
  destination->parent = source->parent;
  if (destination->parent != nullptr) ++destination->parent->references;
  destination->magic = DK_MAGIC;
  return &n->item;
}

useritem_dkt* dk__assign(dup_stack* destination, const dup_stack* source) {
  if (destination == nullptr) return nullptr;
  dup_stack copy;
  if (dk__copy_construct(&copy, source) == nullptr) return Fail(destination, copy.error);
  const uint64_t references = destination->references;
  destination->references = 0;  // the header itself stays where it is
  dk__deconstruct(destination, nullptr);
  *destination = copy;
  destination->references = references;
  return &destination->top->item;
}

void dk__deconstruct(dup_stack* stack, useritem_dkt* out) {
  if (!Constructed(stack)) {
    clearUserItem(out);
    return;
  }
  if (stack->references >= 2) {  // also somebody's lower level: that one keeps it
    --stack->references;
    FreeSpares(stack);
    stack->prepared = 0;
    clearUserItem(out);
    return;
  }
  bool failed = false;
  while (!failed && (stack->chain != nullptr || stack->parent != nullptr)) {
    failed = dk__pop(stack) == nullptr;
  }
  FreeSpares(stack);
  if (failed) {
    ReleaseAndDispose(&stack->top->item, stack);
    clearUserItem(out);
    DropChain(stack, stack->chain);
    DropHeader(stack->parent);
  } else {
    HandOverBottom(stack, out);
  }
  globals_dkt* kit = stack->kit;
  const bool free_header = stack->references == 1;
  FreeCell(kit, stack->top);
  stack->top = nullptr;
  stack->chain = nullptr;
  stack->parent = nullptr;
  stack->magic = 0;
  if (free_header) kit->header_deallocate(kit->context, stack);
}

useritem_dkt* dk__push_preflight(dup_stack* stack) {
  if (!Constructed(stack)) return nullptr;
  if (stack->top->link == nullptr) {
    dk_cell* c = NewCell(stack->kit);
    if (c == nullptr) return Fail(stack, DK_ERR_NOMEM);
    stack->top->link = c;
  }
  stack->prepared = 1;
  return &stack->top->link->item;
}

useritem_dkt* dk__push(dup_stack* stack) {
  if (!Constructed(stack)) return nullptr;
  dk_cell* spare = stack->top->link;
  if (spare == nullptr) {
    spare = NewCell(stack->kit);
    if (spare == nullptr) return Fail(stack, DK_ERR_NOMEM);
  }
  dk_cell* old = stack->top;
  old->link = stack->chain;
  old->references = 1;
  stack->chain = old;
  stack->top = spare;  // the rest of the spares stay behind it
  stack->prepared = 0;
  return &spare->item;
}

useritem_dkt* dk__pushstack(dup_stack* stack, dup_stack** out) {
  if (!Constructed(stack)) return nullptr;
  globals_dkt* kit = stack->kit;
  if (kit->header_allocate == nullptr || kit->header_deallocate == nullptr) {
    return Fail(stack, DK_ERR_NOMEM);
  }
  auto* lower = static_cast<dup_stack*>(kit->header_allocate(kit->context, sizeof(dup_stack)));
  if (lower == nullptr) return Fail(stack, DK_ERR_NOMEM);
  dk_cell* spare = stack->top->link;
  if (spare == nullptr) spare = NewCell(kit);
  if (spare == nullptr) {
    kit->header_deallocate(kit->context, lower);
    return Fail(stack, DK_ERR_NOMEM);
  }
  *lower = *stack;
  lower->references = 1;
  lower->prepared = 0;
  lower->top->link = nullptr;
  // The stack keeps its own reference count: its holders have not changed.
  stack->chain = nullptr;
  stack->parent = lower;
  stack->top = spare;
  stack->magic = DK_MAGIC;
  if (out != nullptr) {
    *out = lower;
    ++lower->references;
  }
  return &spare->item;
}

useritem_dkt* dk__pop(dup_stack* stack) {
  if (!Constructed(stack)) return nullptr;
  if (stack->chain != nullptr) return PopChain(stack);
  if (stack->parent == nullptr) return nullptr;
  if (stack->parent->references < 2) return TakeOverParent(stack);
  return CopyParentTop(stack);
}

useritem_dkt* dk__top(dup_stack* stack) {
  return Constructed(stack) ? &stack->top->item : nullptr;
}

useritem_dkt* dk__bottom(dup_stack* stack) {
  if (!Constructed(stack)) return nullptr;
  dup_stack* level = stack;
  while (level->parent != nullptr) level = level->parent;
  dk_cell* c = level->top;
  for (dk_cell* n = level->chain; n != nullptr; n = n->link) c = n;
  return &c->item;
}

long dk__depth(const dup_stack* stack) {
  if (!Constructed(stack)) return -1;
  long depth = 0;
  for (const dup_stack* level = stack; level != nullptr; level = level->parent) {
    if (level != stack) ++depth;
    for (const dk_cell* c = level->chain; c != nullptr; c = c->link) ++depth;
  }
  return depth;
}

void dk__visit(dup_stack* stack, void (*visit)(useritem_dkt* item, void* context), void* context) {
  if (!Constructed(stack) || visit == nullptr) return;
  for (dup_stack* level = stack; level != nullptr; level = level->parent) {
    visit(&level->top->item, context);
    for (dk_cell* c = level->chain; c != nullptr; c = c->link) visit(&c->item, context);
  }
}

void clearUserItem(useritem_dkt* item) {
  if (item != nullptr) *item = useritem_dkt{};
}

int hasValue(const useritem_dkt* item) { return item != nullptr && item->value != nullptr ? 1 : 0; }

void freeItem(useritem_dkt* item) {
  if (item != nullptr) ReleaseAndDispose(item, nullptr);
}

// A stack of two-word user items whose lower cells are shared, copy-on-write,
// between copies of the stack, and which can push its whole self as one lower
// level. Each item carries a dispatch function that the stack calls when the
// item is copied, leaves the stack or is disposed of. Procedural: it allocates
// only through its kit, takes no locks and reports failures through the error
// word of the header (8 for memory, or what a dispatch function answered).
#pragma once

#include <cstdint>

typedef void* (*qvdk_allocate_fn)(void* context, uint64_t size);
typedef void (*qvdk_deallocate_fn)(void* context, void* block);

// The allocator kit: cells, headers of pushed levels, and the context word
// handed to all four functions.
struct mempool_dkt {
  qvdk_allocate_fn cell_allocate;
  qvdk_deallocate_fn cell_deallocate;
  qvdk_allocate_fn header_allocate;  // may be null: no level can then be pushed
  qvdk_deallocate_fn header_deallocate;
  void* context;
};
// The kit a stack allocates from: the same five fields, in a block of its own.
struct globals_dkt : mempool_dkt {};

struct dup_stack;
struct useritem_dkt;

// (operation, item, stack) -> 0 or an error code for DK_COPY; for DK_RELEASE
// nonzero when the item still holds something DK_DISPOSE must dispose of.
typedef uint64_t (*qvdk_dispatch_fn)(int operation, useritem_dkt* item, dup_stack* stack);

enum : int {
  // The item was just copied into a new cell and must make itself independent.
  // The stack argument is the stack copied from when a top or a whole level is
  // copied, null when a shared cell is copied on write. On failure the item
  // must hold nothing the stack would have to release.
  DK_COPY = 0,
  DK_RELEASE = 1,  // the item leaves the stack
  DK_DISPOSE = 2,  // final disposal of an item a release left holding something
};
enum : uint64_t { DK_MAGIC = 0x0DABF00D };
enum : long { DK_ERR_NOMEM = 8 };

// One item as callers see it. A nonzero value means the item holds something.
struct useritem_dkt {
  void* value;
  void* data;
  qvdk_dispatch_fn dispatch;
};

struct dk_cell {
  dk_cell* link;  // toward the bottom; for a top cell, the first spare cell
  uint64_t references;  // chains (and cells) that lead to this cell
  useritem_dkt item;
};

struct dup_stack {
  dk_cell* top;    // its link heads the spare cells kept for the next push
  dk_cell* chain;  // the cells below the top on this level, nearest first
  globals_dkt* kit;
  uint64_t references;  // 0 when embedded in its owner; holders of a pushed level
  dup_stack* parent;    // the level pushed below this one as a whole
  uint8_t prepared;     // a spare was prepared for the next push
  long error;           // the last failure; never cleared by the stack
  uint64_t magic;       // DK_MAGIC while constructed
};

// The kit: a copy of pool made through pool's own cell allocator; null when
// pool or either cell function is missing or the allocation fails.
globals_dkt* dk__begin(const mempool_dkt* pool);
void dk__end(globals_dkt* kit);
mempool_dkt* dk__mempool(const globals_dkt* kit, mempool_dkt* out);
globals_dkt* dk__context(const dup_stack* stack);

// One zeroed bottom item; null with error 8.
useritem_dkt* dk__construct(globals_dkt* kit, dup_stack* stack);
// destination becomes a copy of source: the top item is copied (DK_COPY with
// source), everything below is shared. Null with the error in destination,
// which is then not constructed.
useritem_dkt* dk__copy_construct(dup_stack* destination, const dup_stack* source);
// The copy is made first, so a failure leaves destination as it was (with the
// error recorded). destination must be a stack of its own, not a held level.
useritem_dkt* dk__assign(dup_stack* destination, const dup_stack* source);
// Tears the stack down; the bottom item goes to out when given (the caller
// then owns it), else it is released. Out is cleared when nothing is handed.
void dk__deconstruct(dup_stack* stack, useritem_dkt* out);

// Prepares a spare cell for the next push and returns its item to fill (it may
// still hold an item a pop kept: the caller reuses or disposes of it).
useritem_dkt* dk__push_preflight(dup_stack* stack);
// New top: the first spare cell (item as it is) or a zeroed cell; null with error 8.
useritem_dkt* dk__push(dup_stack* stack);
// The whole stack becomes one lower level under a new top; with out, the
// caller also holds that level (one reference) as a stack of its own.
useritem_dkt* dk__pushstack(dup_stack* stack, dup_stack** out);
// The new top item; null with the error set, the stack as it was. A stack
// with nothing below its top answers null and records nothing.
useritem_dkt* dk__pop(dup_stack* stack);

useritem_dkt* dk__top(dup_stack* stack);
useritem_dkt* dk__bottom(dup_stack* stack);
// Items below the top across all levels; -1 for a null or ended stack.
long dk__depth(const dup_stack* stack);
// Calls visit with every item, top to bottom, without changing anything.
void dk__visit(dup_stack* stack, void (*visit)(useritem_dkt* item, void* context), void* context);

void clearUserItem(useritem_dkt* item);
int hasValue(const useritem_dkt* item);
// Release, then dispose when the release left something (null-safe).
void freeItem(useritem_dkt* item);

// A link's symbol-name replacements. A replacement pairs a from-name with a
// to-name, both context names: a symbol put whose context (the characters
// before the first backquote) is the from-name goes onto the link with the
// to-name instead; a symbol read whose context is the to-name reaches the
// caller with the from-name.
//
// A table keeps its first replacement in one slot without a lock; the second
// moves it to an ordered map from index to replacement with a mutex of its
// own; a removal that leaves one entry moves it back. Duplicated links share
// replacement records (counted); records never change once made.
//
// Names are 7-bit ASCII: each is kept ready in all six encodings, so
// replacing converts nothing but the UTF-16 and UTF-32 names it is given.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>

#include "api/qvmempool.h"
#include "utilities/qvobject.h"

class qv_environment;

namespace Quorvane {
class QVMutexHandle;
}

// One name in every encoding, each form with its length in units (always the
// name's byte count); the 7-bit and byte forms end with a NUL besides.
struct _qvsymbol_variant {
  char* ascii;
  int64_t ascii_length;
  char* bytes;
  int64_t bytes_length;
  uint16_t* ucs2;
  int64_t ucs2_length;
  unsigned char* utf8;
  int64_t utf8_length;
  uint16_t* utf16;
  int64_t utf16_length;
  uint32_t* utf32;
  int64_t utf32_length;
  int64_t length;
};

struct _qvsymbol_replacement {
  _qvsymbol_variant* from;
  _qvsymbol_variant* to;
  // Tables holding the record; tables of duplicated links may drop their
  // share from different threads.
  std::atomic<int64_t> shares;
};

class QVSymbolReplacementMap : public Quorvane::QVObject {
 public:
  std::map<int64_t, _qvsymbol_replacement*, std::less<int64_t>,
           Quorvane::QVStdAllocator<std::pair<const int64_t, _qvsymbol_replacement*>>>
      entries;
};

struct _qvsymbol_variant_env {
  qv_environment* environment;
  qvmempool_allocate_fn allocate;
  qvmempool_deallocate_fn deallocate;
  Quorvane::QVMutexHandle* lock;  // made when the table first enters map mode
  QVSymbolReplacementMap* map;    // likewise; kept, maybe empty, once made
  // Map mode: the index the next replacement gets. Single mode: the index of
  // the replacement in the slot (or of the next one placed there).
  int64_t next_index;
  _qvsymbol_replacement* slot;
  uint16_t single;  // 1 in single mode, 0 in map mode
};

// Directions of QVSymbolReplace.
enum : int { QVSYMBOL_PUT = 0, QVSYMBOL_GET = 1 };

// A new empty table with the environment's allocator pair, or null.
_qvsymbol_variant_env* QVNewSymbolVariantEnv(qv_environment* environment);
// A copy sharing the records (and their indexes), or null.
_qvsymbol_variant_env* QVDuplicateSymbolVariantEnv(_qvsymbol_variant_env* table);
void QVDestroySymbolVariantEnv(_qvsymbol_variant_env* table);
// Drops every replacement; the mode, lock and next index stay.
void QVClearSymbolVariantEnv(_qvsymbol_variant_env* table);
int QVSymbolVariantEnvHasReplacement(_qvsymbol_variant_env* table);

// The index of the new replacement, or -1: a null table or name, a negative
// length, a byte above 127 in either name, or no memory.
long QVSymbolVariantAddReplacement(_qvsymbol_variant_env* table, const char* from, long from_length,
                                   const char* to, long to_length);
// 1 whether or not the index was held; 0 for a null table.
long QVSymbolVariantRemoveReplacement(_qvsymbol_variant_env* table, long index);

// The name *name (byte count *bytes, character count *characters, in the
// encoding, a text_encoding value) with its context replaced, as a new text
// from the table's allocator; null when no replacement applies, for bad
// arguments or when memory runs out. Only a new text changes the two counts,
// which then describe it. UTF-16 and UTF-32 names without a byte-order mark
// are read high byte first; their results begin with the mark in this
// machine's order, counted in both counts. Direction: QVSYMBOL_PUT or _GET.
void* QVSymbolReplace(_qvsymbol_variant_env* table, void** name, long* bytes, long* characters, int encoding,
                      int direction);
void QVFreeReplacedSymbol(_qvsymbol_variant_env* table, void* name);

// A variant of n bytes, or null (null table or bytes, no memory).
_qvsymbol_variant* make_new_symbol_variant(_qvsymbol_variant_env* table, const char* bytes, int64_t n);
void free_symbol_variant(_qvsymbol_variant_env* table, _qvsymbol_variant* variant);

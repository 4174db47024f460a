// The vocabulary of link command lines: the link options, the link modes, the
// option words of "-linkoptions", and the options of the handshake's feature
// lines. The tables are read-only; a parse binds the destinations of its
// values in a copy of its own, so parses never share state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/qvmessages.h"

enum : int64_t {
  QVOPTION_FLAG = 0,  // counts into a 64-bit counter (destination may be null)
  QVOPTION_TEXT = 1,  // the value's text pointer goes to a const char*
  QVOPTION_LIST = 2,  // option words or numbers change an unsigned 64-bit value
  QVOPTION_WORD = 3,  // one word of a mode table gives an unsigned 64-bit value
};

// One option. Rows are read in order; a row whose name is null ends a table.
struct qvoption_row {
  const char* name;  // compared without regard to ASCII case
  int64_t kind;
  int64_t result;     // the parse's result once the row is recognised; 0 keeps it
  const void* table;  // kind 3: qvmode_row[]; kind 2: qvoptionword_row[] or null (numbers only)
  void* destination;
};
static_assert(sizeof(qvoption_row) == 40, "option rows are looked up by a row size of 40");

// A link mode word; a value of -1 never matches.
struct qvmode_row {
  const char* name;
  int64_t value;
};

// An option word: the value becomes (value & ~mask) | word value.
struct qvoptionword_row {
  const char* name;
  uint64_t mask;
  uint64_t value;
};

inline constexpr int kLinkOptionRows = 11;
inline constexpr int kLinkModeRows = 8;
inline constexpr int kLinkOptionWordRows = 16;
inline constexpr int kFormatArgumentRows = 6;

// Rows of linkopen_arguments.
enum : int {
  QVLINKOPT_QUORVANE = 0,
  QVLINKOPT_NAME = 1,
  QVLINKOPT_PROTOCOL = 2,
  QVLINKOPT_MODE = 3,
  QVLINKOPT_HOST = 4,
  QVLINKOPT_OPTIONS = 5,
  QVLINKOPT_LAUNCH = 6,
  QVLINKOPT_CREATE = 7,
  QVLINKOPT_CONNECT = 8,
  QVLINKOPT_AUTHENTICATION = 9,
  QVLINKOPT_DEVICE = 10,
};

// Link mode bits.
enum : uint64_t {
  QVLINKMODE_LOOPBACK = 1,
  QVLINKMODE_LISTEN = 2,
  QVLINKMODE_CONNECT = 4,
  QVLINKMODE_LAUNCH = 8,
  QVLINKMODE_PARENTCONNECT = 16,
  QVLINKMODE_READ = 32,
  QVLINKMODE_WRITE = 64,
  QVLINKMODE_SERVER = 128,
};

// Option bits the link core itself reads.
inline constexpr uint64_t kLinkOptionDontInteract = 0x100;

// Each table ends with a row whose name is null. Destinations are all null:
// a parse binds them in its own copy.
extern const qvoption_row linkopen_arguments[kLinkOptionRows + 1];
extern const qvmode_row linkmode_enum[kLinkModeRows + 1];
extern const qvoptionword_row linkoption_keys[kLinkOptionWordRows + 1];
extern const qvoption_row format_arguments[kFormatArgumentRows + 1];

// Points the three handles at linkopen_arguments, linkmode_enum and
// linkoption_keys (made with the pair, no id) and answers 11, the row count
// an environment keeps. deinit_argdicts has nothing to undo.
long init_argdicts(qvmempool_allocate_fn allocate, qvmempool_deallocate_fn deallocate, dictionary* options,
                   dictionary* modes, dictionary* words);
void deinit_argdicts(dictionary* options, dictionary* modes, dictionary* words);

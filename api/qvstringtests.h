// The comparisons below the string tests and the checks of a name.
#pragma once

#include <cstdint>

#include "api/qvgetcontainer.h"
#include "api/qvmempool.h"
#include "api/qvreadstate.h"
#include "datastructures/qvdevicestack.h"
#include "datastructures/qvqueuestack.h"

struct _qvsymbol_variant_env;

// 0 when the next atom's text is the caller's (bytes of the encoding; 7-bit
// text up to its zero byte, escapes as they stand); 3 for another text,
// stored in the read state; a dictionary-coded string whose code is unknown
// or that has not exactly one argument is 2. The atom is read either way.
long QVTestStringData_(Quorvane::QVGetContainer* container, const void* text, int64_t bytes, unsigned encoding);

// Reads the next atom, which must be of the public type wanted (else 3), and
// compares its 7-bit text, replaced for reading when replace is 1, with the
// escaped name [start, end) (end null: up to the zero byte) character by
// character, so that two escapes of one character agree: 0 or 3. A null
// name reads the atom and accepts it. The atom is consumed either way.
long QVCheckData_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues, uint64_t wanted,
                  const char* start, const char* end, _qvsymbol_variant_env* variants, int replace);

// The write side of the token codec: token types, sizes, data, text, numbers
// and packet ends, written into the device's write window (or, without a
// device stack, onto the end of the given queue). Every operation answers 0 or
// a link error code that it has also stored in the write state.
#pragma once

#include <cstdint>
#include <cstring>

#include "api/qvtokentypes.h"
#include "api/qvwritestate.h"
#include "datastructures/qvdevicestack.h"
#include "datastructures/qvqueue.h"

long QVPutType_(write_state* state, device_kebab* stack, _queue* queue, unsigned type);
long QVPutRawSize_(write_state* state, device_kebab* stack, _queue* queue, int64_t size);
long QVPutRawData_(write_state* state, device_kebab* stack, _queue* queue, const void* bytes, int64_t n);
// counted: characters of this token already put; piece: those in [start, end).
long QVPutCharacters_(write_state* state, device_kebab* stack, _queue* queue, int64_t counted,
                      const void* start, const void* end, int64_t piece, unsigned encoding);
// Abandons the text token in progress: nothing more of it is written and the
// writer is back between tokens.
void QVAbandonText_(write_state* state);
long QVPutCharCount_(write_state* state, device_kebab* stack, _queue* queue, int64_t count);
long QVPutArgCount_(write_state* state, device_kebab* stack, _queue* queue, int64_t count);
long QVPutComposite_(write_state* state, device_kebab* stack, _queue* queue, int64_t count);
long QVPutBinaryNumber_(write_state* state, device_kebab* stack, _queue* queue, const void* number,
                        unsigned type);
// The common case of QVPutBinaryNumber_, made where the number is put: a type
// the peer reads as it stands, written between tokens into a device window
// with room for the whole token (type byte, size bytes, terminator). Leaves
// the writer as the general path does and answers true; answers false, having
// written nothing, when any of that does not hold, and the general path then
// does the work. size is the type's wire size; a constant makes the copy one
// move.
inline bool qvcodec_put_number_fast(write_state* state, device_kebab* stack, const void* number, unsigned type,
                                    int64_t size) {
  three_state& c = state->converter;
  const bool between = c.step == QVWRITE_BETWEEN_TOKENS || (c.step == QVWRITE_INSIDE_TOKEN && c.wire_left < 0);
  if (!between || stack == nullptr || stack->room < size + 2 || state->features.dispatch == nullptr ||
      !qvfs__writes_as_it_stands(state->features, type)) {
    return false;
  }
  unsigned char* const at = stack->cursor;
  at[0] = static_cast<unsigned char>(type);
  std::memcpy(at + 1, number, static_cast<size_t>(size));
  at[size + 1] = kTokenTerminator;
  stack->cursor = at + size + 2;
  stack->room -= size + 2;
  c.step = QVWRITE_BETWEEN_TOKENS;
  c.token = type;
  c.characters = -1;
  c.token_count = -1;
  c.wire_left = -1;
  return true;
}

long QVBytesToPut_(write_state* state, device_kebab* stack, _queue* queue, int64_t* count);
int QVCanPutOptimizedType_(write_state* state, device_kebab* stack, _queue* queue, unsigned type);
long QVEndPacket_(write_state* state, device_kebab* stack, _queue* queue);
long QVFlush_(write_state* state, device_kebab* stack, _queue* queue);

// Before a transfer: back between tokens, or 5 (a token is open), 999 (a state
// that cannot be).
long change_wstate_to_TOKEN_STATE(write_state* state);

// A length field written backwards to end just before end; its first byte.
// The one-byte form only when allowed and the value is below 64.
unsigned char* encode_len_(uint64_t value, unsigned char* end, bool short_form);
// Writes one length field; false when not all of it went out (*error says why).
bool encode_len(device_kebab* stack, _queue* queue, uint64_t value, bool short_form, long* error);

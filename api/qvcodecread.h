// The read side of the token codec: token types, lengths, data, text and
// numbers read from a link's queue stack (which refills from the device), the
// count of expressions owed in the current packet, and skipping. Every
// operation answers 0 or a link error code that it has also stored in the
// read state.
#pragma once

#include <cstdint>
#include <cstring>

#include "api/qvreadstate.h"
#include "datastructures/qvdevicestack.h"
#include "datastructures/qvqueuestack.h"

long QVGetNextRawType_(read_state* state, device_kebab* stack, qv_queue_stack* queues, uint64_t* type);
long QVGetNextType_(read_state* state, device_kebab* stack, qv_queue_stack* queues, uint64_t* type);
long QVGetRawType_(read_state* state, device_kebab* stack, qv_queue_stack* queues, uint64_t* type);
long QVGetType_(read_state* state, device_kebab* stack, qv_queue_stack* queues, uint64_t* type);

// Up to n data bytes of the current token into buffer (null skips them).
long QVGetRawData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, void* buffer, int64_t n,
                   int64_t* count);
// Text of the current atom into [start, end) in the target encoding; *count is
// what this call delivered, *state_byte goes in and comes back.
long QVGetCharacters_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count,
                      void* start, void* end, uint8_t* state_byte, unsigned target);
// One number of the wanted binary type, whatever number token arrives.
long QVGetBinaryNumber_(read_state* state, device_kebab* stack, qv_queue_stack* queues, void* destination,
                        unsigned wanted);

long QVRawBytesToGet_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count);
long QVBytesToGet_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count);
long QVBytesToGetTrap_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count);
long QVGetRawArgCount_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count);
long QVGetArgCount_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count);
long QVExpressionsToGet_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count);
long QVGetEmptyString_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int* empty);

// All data bytes left, then the terminator. A token with more data than the
// buffer's capacity is refused with 2 before anything is read.
long QVGetAllTheData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, void* buffer,
                      int64_t capacity);
long QVNoteSizeGetAllTheData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, void* buffer,
                              int64_t capacity, int64_t* size);
// The whole data of the current token: in place when the bytes and their
// terminator lie in the read window, else copied. Valid until QVCloseView_
// or the next read.
long QVViewData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, const unsigned char** data,
                 int64_t* length);
void QVCloseView_(read_state* state);

long QVNewExpression_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t n);
long QVNewPacket_(read_state* state, device_kebab* stack, qv_queue_stack* queues);
long QVTakeLast_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t n);
// 0 when a token is ready to be read; else the byte source's error, or 16.
long QVReady_(read_state* state, device_kebab* stack, qv_queue_stack* queues);
long QVFill_(read_state* state, device_kebab* stack, qv_queue_stack* queues);

// The public type of a raw token type; 0 with *error set for a byte that is no token.
uint64_t filter_tok(uint64_t type, long* error);

// The bytes that end a token's data.
inline bool qvcodec_is_terminator(int byte) { return byte == 10 || byte == 13 || byte == 44; }

// An atom's length is read: one expression fewer owed in the packet (between
// packets, 0 stands for the one being read).
inline void qvcodec_count_atom(read_state* state) {
  const int64_t base = state->owed != 0 ? state->owed : 1;
  __builtin_sub_overflow(base, 1, &state->owed);
}

// n atoms read: qvcodec_count_atom n times.
inline void qvcodec_count_atoms(read_state* state, int64_t n) {
  if (state->owed > 0) {
    state->owed = state->owed > n ? state->owed - n : 0;
    return;
  }
  for (; n > 0 && state->owed != 0; --n) qvcodec_count_atom(state);
}

// Whether the reader may take numbers straight from the read window: between
// tokens and outside a packed run.
inline bool qvcodec_may_take_numbers(const read_state* state) {
  const three_state& c = state->converter;
  const bool between = c.step == QVREAD_BETWEEN_TOKENS || (c.step == QVREAD_INSIDE_TOKEN && c.wire_left < 0);
  return between && state->packed_run == 0 && state->dispatch != nullptr;
}

// Whether the bytes at `at` are one whole number token of the wanted type
// (size its wire size), terminator included, before end.
inline bool qvcodec_number_at(const unsigned char* at, const unsigned char* end, unsigned wanted, int64_t size) {
  return end - at >= size + 2 && at[0] == wanted && qvcodec_is_terminator(at[size + 1]);
}

// k numbers of the wanted type were taken from the window: the reader is left
// as the general path leaves it after the last of them.
inline void qvcodec_settle_numbers(read_state* state, unsigned wanted, int64_t k) {
  three_state& c = state->converter;
  c.step = QVREAD_BETWEEN_TOKENS;
  c.token = wanted;
  c.wire_left = -1;
  c.token_count = 0;
  c.delivered = -1;
  qvcodec_count_atoms(state, k);
}

// The common case of QVGetBinaryNumber_, made where the number is got: between
// tokens and outside a packed run, the next token is a number of the wanted
// type whose bytes and terminator all lie in the read window. Copies the
// number, leaves the reader as the general path does and answers true;
// answers false, having read nothing, when any of that does not hold, and the
// general path then does the work. size is the type's wire size; a constant
// makes the copy one move.
inline bool qvcodec_get_number_fast(read_state* state, qv_queue_stack* queues, void* destination, unsigned wanted,
                                    int64_t size) {
  const unsigned char* const at = queues->window;
  if (!qvcodec_may_take_numbers(state) || destination == nullptr || size <= 0 ||
      !qvcodec_number_at(at, queues->window_end, wanted, size)) {
    return false;
  }
  std::memcpy(destination, at + 1, static_cast<size_t>(size));
  queues->window += size + 2;
  qvcodec_settle_numbers(state, wanted, 1);
  return true;
}

// The same for a run of up to n numbers one after another in the window, into
// out at size bytes apart: answers how many were taken (0 when the first is
// not there whole); the general path reads the one after. Size 0 takes the
// size from the argument.
template <int64_t Size>
int64_t qvcodec_get_numbers_fast_sized(read_state* state, qv_queue_stack* queues, unsigned char* out, int64_t n,
                                       unsigned wanted, int64_t any_size = 0) {
  const int64_t size = Size > 0 ? Size : any_size;
  if (!qvcodec_may_take_numbers(state) || out == nullptr || size <= 0) return 0;
  // The window in locals: stores through out may alias anything.
  const unsigned char* at = queues->window;
  const unsigned char* const end = queues->window_end;
  int64_t k = 0;
  for (; k < n && qvcodec_number_at(at, end, wanted, size); ++k, at += size + 2) {
    std::memcpy(out + k * size, at + 1, static_cast<size_t>(size));
  }
  if (k == 0) return 0;
  queues->window += at - queues->window;
  qvcodec_settle_numbers(state, wanted, k);
  return k;
}

inline int64_t qvcodec_get_numbers_fast(read_state* state, qv_queue_stack* queues, unsigned char* out, int64_t n,
                                        unsigned wanted, int64_t size) {
  switch (size) {
    case 1: return qvcodec_get_numbers_fast_sized<1>(state, queues, out, n, wanted);
    case 2: return qvcodec_get_numbers_fast_sized<2>(state, queues, out, n, wanted);
    case 4: return qvcodec_get_numbers_fast_sized<4>(state, queues, out, n, wanted);
    case 8: return qvcodec_get_numbers_fast_sized<8>(state, queues, out, n, wanted);
    case 16: return qvcodec_get_numbers_fast_sized<16>(state, queues, out, n, wanted);
    default: return qvcodec_get_numbers_fast_sized<0>(state, queues, out, n, wanted, size);
  }
}

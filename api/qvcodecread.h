// The read side of the token codec: token types, lengths, data, text and
// numbers read from a link's queue stack (which refills from the device), the
// count of expressions owed in the current packet, and skipping. Every
// operation answers 0 or a link error code that it has also stored in the
// read state.
#pragma once

#include <cstdint>

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

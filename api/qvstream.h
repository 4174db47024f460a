// The stream: the only code that moves a link's bytes between its queues and
// its device. Output goes straight into the device's write window held in the
// device stack and is handed on by a flush; input is read from the device
// into the link's bottom queue by a fill. A loopback link's window is a buffer
// of its own whose flush appends to the link's own input queue. Every function
// accepts a null device stack: reads then take only what the queue holds and
// writes go into the queue. No locks, no threads; callers serialise.
//
// Error codes: 25 nothing can arrive (no device, an idle loopback link, or
// aborted), 11 the peer closed, 1 any other device read error, 8 a queue
// refused bytes; write and write-window errors come back as the device gave them.
#pragma once

#include <cstdint>

#include "datastructures/qvdevicestack.h"
#include "datastructures/qvqueue.h"

// 0, or an error (nothing written).
long qvs__putc(device_kebab* stack, _queue* queue, int byte);
// The number of bytes placed; on a failed flush the error goes to *error.
int64_t qvs__putn(device_kebab* stack, _queue* queue, const void* bytes, int64_t count,
                  long* error);
// The number of whole elements placed; count when element_size is 0. A size
// whose byte total does not fit 64 bits is refused with 8 and nothing written.
int64_t qvs__putv(device_kebab* stack, _queue* queue, const void* bytes, int64_t element_size,
                  int64_t count, long* error);
// Makes a device's write window the one the codec writes into: at most the
// first kQVSWritePiece bytes of it, so that a reader takes one piece while
// the next is written.
inline constexpr int64_t kQVSWritePiece = 65536;
void qvs__use_device_window(device_kebab* stack, unsigned char* start, int64_t size);
// A read this long that finds the queue empty goes from the device's window
// straight to the caller, not through the queue first.
inline constexpr int64_t kQVSStraightLeast = 4096;
// Hands the pending output on. A device link always has a window with room
// afterwards, or an error; bytes count as flushed only once handed on.
long qvs__flush_(device_kebab* stack, _queue* queue);
// Moves input from the device into the queue (loopback: flushes).
long qvs__fill(device_kebab* stack, _queue* queue);

// Next byte (0 to 255), or -1 with *error set. A read that must wait for the
// device first sends all pending output.
int qvs__getc(device_kebab* stack, _queue* queue, long* error);
// Next byte without consuming it; never blocks. -1 with *error 0 when nothing
// is there yet.
int qvs__peekc(device_kebab* stack, _queue* queue, long* error);
// Bytes stored in buffer; short only on an error, which goes to *error.
int64_t qvs__getn(device_kebab* stack, _queue* queue, void* buffer, int64_t count, long* error);
// A reader that takes bytes from a window as they lie (a text converter, say)
// and answers how many it took.
typedef int64_t (*qvs_take_fn)(void* cookie, unsigned char* bytes, int64_t size);
// When the queue may be passed by (empty, unmarked, unshared, nothing pending
// to send), reads one window from the device and lets take() consume bytes
// straight from it; the bytes it leaves go to the queue, as a fill would
// have put them. Answers the bytes taken (with *error set when the queue
// refused what was left: those bytes are lost); 0 with *error set when the
// device failed or reported the end with nothing to give, and 0 with no error
// when its window was empty (a wait its yield function ended) or take took
// nothing; or -1 when the queue may not be passed by now (the caller then
// reads through the queue).
int64_t qvs__take(device_kebab* stack, _queue* queue, qvs_take_fn take, void* cookie, long* error);
// 1 when nothing can be read from the queue now (pending output is flushed
// first, which for loopback refills the queue), else 0.
int qvs__isempty(device_kebab* stack, _queue* queue);
// The output position: bytes flushed plus pending; 0 without a device stack.
uint64_t qvs__size(const device_kebab* stack);
// 1 once the queue's read position has reached the mark, 0 on a read error or
// when the position cannot be compared with the mark.
int qvs__seek(device_kebab* stack, _queue* queue, _mark* mark);
int qvs__seektoend(device_kebab* stack, _queue* queue);
// Copies the source's bytes from its read position up to the end mark to the
// destination. With a device destination and nothing before the mark, copies
// what the source device holds now instead, then flushes the destination.
// 0 or an error code.
long qvs__transfer(device_kebab* destination, _queue* destination_queue, device_kebab* source,
                   _queue* source_queue, _mark* end);
// Answers code and does nothing else.
long qvs__set_error(long stack, long queue, long code);

// The common case of qvs__putc: the window has room.
inline long qvs__putc_fast(device_kebab* stack, _queue* queue, int byte) {
  if (stack == nullptr) return qvs__putc(stack, queue, byte);
  const int64_t room = stack->room;
  unsigned char* const at = stack->cursor;
  if (room <= 0) [[unlikely]] return qvs__putc(stack, queue, byte);
  // The byte goes first: a store through a byte pointer may alias the
  // fields, and written after it the fields stay in registers in a loop.
  *at = static_cast<unsigned char>(byte);
  stack->cursor = at + 1;
  stack->room = room - 1;
  return 0;
}

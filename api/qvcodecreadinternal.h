// What the read side's files share: the byte source, the link error codes,
// and the helpers that read lengths and end tokens.
#pragma once

#include <cstdint>

#include "api/qvcodecread.h"

namespace qvcodecread {

enum : long {
  kLost = 1,
  kInconsistent = 2,
  kOutOfSequence = 3,
  kOverflow = 7,
  kNoMemory = 8,
  kNotReady = 16,
  kUnexpectedEnd = 24,
  kAborted = 25,
  kCannotConvertText = 49,
  kImpossibleState = 999,
};

// Where the reader takes its bytes: the queue stack, refilled from the device.
struct Source {
  device_kebab* stack;
  qv_queue_stack* queues;

  int Get(long* error) const { return qvqk_getc_inline(stack, queues, error); }
  int Peek(long* error) const { return qvqk_peekc_inline(stack, queues, error); }
  // Bytes copied into buffer; short only when the source failed (*error).
  int64_t Read(void* buffer, int64_t n, long* error) const;
  // Bytes passed over; short only when the source failed (*error).
  int64_t Skip(int64_t n, long* error) const;
};

// The top queue's read window: the bytes that can be taken without a call.
struct ReadWindow {
  unsigned char* start;
  unsigned char* end;
};
inline ReadWindow get_window(const qv_queue_stack* queues) { return {queues->window, queues->window_end}; }
// The read position moves on to at, a byte of the window; the bytes consumed.
inline int64_t get_complete(qv_queue_stack* queues, unsigned char* at) {
  const int64_t consumed = at - queues->window;
  queues->window = at;
  return consumed;
}

inline long Fail(read_state* state, long code) { return rs__set_error(state, code); }

inline bool IsBinary(uint64_t type) { return type >= 128 && type <= 255; }
inline bool IsComposite(uint64_t type) { return type == 65 || type == 70; }
inline bool IsNumberText(uint64_t type) { return type == 42 || type == 43 || type == 73 || type == 82; }

// The position just after a token's type byte.
void BeginToken(read_state* state, uint64_t type);
// A token is current when its type is read and its data not yet finished.
bool TokenCurrent(const read_state* state);

// One length field, or -1 when it is bad or the source failed (*error).
int64_t decode_len(Source source, long* error);
// Reads the current token's length (state 1 -> 2).
long getlen(read_state* state, Source source);
// Ends a token's data: the terminator, or the next element of a packed run.
long checkdone(read_state* state, Source source);
// Finishes the current token whatever its position; state 0 after.
long skiptotok(read_state* state, Source source);
// n data bytes are read: when none are left, the token's data ends.
long change_rstate_rleft(read_state* state, Source source, int64_t n);

// Buffers of the memory stack that grow as bytes arrive.
class GrowingBuffer {
 public:
  explicit GrowingBuffer(const rs_memory_stack& memory) : memory_(memory) {}
  ~GrowingBuffer();
  GrowingBuffer(const GrowingBuffer&) = delete;
  GrowingBuffer& operator=(const GrowingBuffer&) = delete;
  // Room for at least n more bytes after size(); false when memory ran out.
  bool Reserve(int64_t n);
  unsigned char* data() { return data_; }
  unsigned char* end() { return data_ + size_; }
  int64_t size() const { return size_; }
  int64_t capacity() const { return capacity_; }
  void Grow(int64_t n) { size_ += n; }
  // Hands the block over; the caller releases it through the memory stack.
  unsigned char* Release();

 private:
  rs_memory_stack memory_;
  unsigned char* data_ = nullptr;
  int64_t size_ = 0;
  int64_t capacity_ = 0;
};

// The forms the array and older-token engine re-frames. Until it is there,
// each answers a clean error and leaves nothing allocated.
long convert_old_number_text(read_state* state, Source source, uint64_t* type);
long missed_binary_number_opportunity(read_state* state, Source source);
long cook_atom_to_ascii_string(read_state* state, Source source);
long missed_packed_array_opportunity(read_state* state, Source source);
// After a number did not fit: the token's body is given back so that it
// reads again (as a string, say), and error is answered; run_before is the
// packed run as it stood before the token was read. For number text the body
// is its characters, for a binary number its bytes.
long character_number_overflow(read_state* state, Source source, long error, uint64_t type,
                               const unsigned char* text, int64_t n, int64_t run_before);
long binary_number_overflow(read_state* state, Source source, long error, uint64_t type,
                            const unsigned char* bytes, int64_t n, int64_t run_before);
// Passes over a heads block whose type was just read; leaves it carries are
// pushed to be read next.
long skip_heads_block(read_state* state, Source source);
// The older string forms read as a string or symbol token.
long convert_old_string(read_state* state, Source source, uint64_t* type);

}  // namespace qvcodecread

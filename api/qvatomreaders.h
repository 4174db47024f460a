// Readers that take the current atom of a link (a string, symbol or number
// token) whole into a fresh atom block of the link's pool, in one of six
// encodings. The block grows as characters arrive, never to a count the peer
// declares, and ends with two zero units of the encoding's width. Each reader
// answers 0 or a link error code, also stored in the read state; on failure
// the text is null, the counts are 0 and nothing stays allocated.
#pragma once

#include <cstdint>

#include "api/qvmempool.h"
#include "api/qvreadstate.h"
#include "datastructures/qvdevicestack.h"
#include "datastructures/qvqueuestack.h"

// hint: the first capacity in characters (the reader's own when 0 or less).
// UCS-2: *bytes = 2 * *characters (units).
long QVGetUCS2Atom_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                    uint16_t** text, int64_t* bytes, int64_t* characters, int64_t hint);
// *characters: code points.
long QVGetUTF8Atom_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                    unsigned char** text, int64_t* bytes, int64_t* characters, int64_t hint);
// The text begins with a byte-order mark in this machine's order: *bytes
// counts it, *characters (code points) does not.
long QVGetUTF16Atom_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                     uint16_t** text, int64_t* bytes, int64_t* characters, int64_t hint);
long QVGetUTF32Atom_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                     uint32_t** text, int64_t* bytes, int64_t* characters, int64_t hint);
// Characters above 255 become the byte missing. *bytes = *characters.
long QVGet8BitAtom_(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                    unsigned char** text, int64_t* bytes, int64_t* characters, long missing, int64_t hint);
// Escaped 7-bit text, *length in bytes. An atom no longer readable piece by
// piece (its size was asked for as escaped text) is read whole instead.
// context is not used.
long QVGet7BitAtom_1(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                     char** text, int64_t* length, void* context);
// The current atom's escaped text read whole, in bytes.
long QVGet7BitAtom_2(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues,
                     char** text, int64_t* length);

namespace qvatom {

// The first capacities the string gets and tests give the readers, in characters.
inline constexpr int64_t kUCS2Hint = 16;
inline constexpr int64_t kUTF16Hint = 40;
inline constexpr int64_t kUTF32Hint = 32;
inline constexpr int64_t kBytesHint = 20;

// The current atom read whole in the encoding (a text_encoding value) by the
// encoding's reader with its first capacity: *text is an atom of the pool or
// null. 7-bit and byte text count characters as bytes.
long ReadAtom(mempool_qvt* pool, read_state* state, device_kebab* stack, qv_queue_stack* queues, unsigned encoding,
              long missing, void** text, int64_t* bytes, int64_t* characters);

// An atom block of a pool, given back unless handed out.
class Block {
 public:
  explicit Block(mempool_qvt* pool) : pool_(pool) {}
  ~Block() { DeallocAtom(pool_, data_, nullptr); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  // Capacity of at least bytes, keeping what is held; false when no memory.
  bool Reserve(uint64_t bytes);
  unsigned char* data() const { return data_; }
  uint64_t capacity() const { return capacity_; }
  // Takes over an atom of the pool (null: none), giving back any held before.
  void Adopt(void* atom) {
    DeallocAtom(pool_, data_, nullptr);
    data_ = static_cast<unsigned char*>(atom);
    capacity_ = atom == nullptr ? 0 : AtomCapacity(atom);
  }
  // The block is the caller's now.
  template <class T>
  T* Release() {
    T* out = reinterpret_cast<T*>(data_);
    data_ = nullptr;
    capacity_ = 0;
    return out;
  }

 private:
  mempool_qvt* pool_;
  unsigned char* data_ = nullptr;
  uint64_t capacity_ = 0;
};

}  // namespace qvatom

// The out-of-band message record: code then argument, each an unsigned
// 32-bit big-endian word. A reader gathers a record cut across reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvane {

inline constexpr size_t kMessageRecordSize = 8;

// The low 32 bits of each value, in network order.
void QVEncodeMessageRecord(uint64_t code, uint64_t argument, unsigned char out[kMessageRecordSize]) noexcept;

class QVMessageRecordReader {
 public:
  // Takes bytes up to the end of the record and answers how many it took.
  size_t take(const unsigned char* bytes, size_t length) noexcept;
  bool completeQ() const noexcept { return have_ == kMessageRecordSize; }
  size_t have() const noexcept { return have_; }
  // Room left in the record, where the next bytes go.
  unsigned char* rest() noexcept { return bytes_ + have_; }
  size_t restLength() const noexcept { return kMessageRecordSize - have_; }
  void advance(size_t count) noexcept;
  // The values of a complete record, zero-extended.
  void decode(uint64_t* code, uint64_t* argument) const noexcept;
  void reset() noexcept { have_ = 0; }

 private:
  unsigned char bytes_[kMessageRecordSize] = {};
  size_t have_ = 0;
};

}  // namespace Quorvane

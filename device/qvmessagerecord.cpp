#include "device/qvmessagerecord.h"

#include <cstring>

namespace Quorvane {

namespace {

void PutWord(uint64_t value, unsigned char* out) {
  out[0] = static_cast<unsigned char>(value >> 24);
  out[1] = static_cast<unsigned char>(value >> 16);
  out[2] = static_cast<unsigned char>(value >> 8);
  out[3] = static_cast<unsigned char>(value);
}

uint64_t GetWord(const unsigned char* in) {
  return (uint64_t{in[0]} << 24) | (uint64_t{in[1]} << 16) | (uint64_t{in[2]} << 8) | uint64_t{in[3]};
}

}  // namespace

void QVEncodeMessageRecord(uint64_t code, uint64_t argument, unsigned char out[kMessageRecordSize]) noexcept {
  PutWord(code, out);
  PutWord(argument, out + 4);
}

size_t QVMessageRecordReader::take(const unsigned char* bytes, size_t length) noexcept {
  const size_t count = length < restLength() ? length : restLength();
  if (count > 0) std::memcpy(rest(), bytes, count);
  have_ += count;
  return count;
}

void QVMessageRecordReader::advance(size_t count) noexcept {
  have_ = count < restLength() ? have_ + count : kMessageRecordSize;
}

void QVMessageRecordReader::decode(uint64_t* code, uint64_t* argument) const noexcept {
  *code = GetWord(bytes_);
  *argument = GetWord(bytes_ + 4);
}

}  // namespace Quorvane

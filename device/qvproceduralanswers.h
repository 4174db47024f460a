// Answers the procedural worlds (Pipes, TCP) write through a selector's
// untyped arguments.
#pragma once

#include <cstring>

namespace Quorvane::procedural {

inline long* Word(void* pointer) { return static_cast<long*>(pointer); }

// The text, cut to the capacity, with a zero byte when there is room; the
// copied length to *capacity.
inline long CopyTruncated(const char* text, void* buffer, void* capacity) {
  if (buffer == nullptr || capacity == nullptr || *Word(capacity) < 0) return -1;
  const long room = *Word(capacity);
  const long length = static_cast<long>(std::strlen(text));
  const long copied = length < room ? length : room;
  std::memcpy(buffer, text, static_cast<size_t>(copied));
  if (copied < room) static_cast<char*>(buffer)[copied] = '\0';
  *Word(capacity) = copied;
  return 0;
}

// A text with its terminating zero byte, and its length to *length: 8 (the
// link error of a buffer too small) when the buffer cannot hold both.
inline long CopyWhole(const char* text, char* buffer, long* length) {
  if (buffer == nullptr || length == nullptr) return -1;
  const long size = static_cast<long>(std::strlen(text));
  if (*length < size + 1) return 8;
  std::memcpy(buffer, text, static_cast<size_t>(size) + 1);
  *length = size;
  return 0;
}

// A number to *word, and 8 (its width) to *width when that is asked for.
inline long StoreWord(long value, void* word, void* width) {
  if (word == nullptr) return -1;
  *Word(word) = value;
  if (width != nullptr) *Word(width) = 8;
  return 0;
}

// A fixed-size answer (a process id, an address, a port) copied to the
// buffer, which need not be aligned: -1 without a buffer, or when the
// capacity, where the caller gives one, cannot hold it.
template <typename T>
long StoreFixed(const T& value, void* buffer, void* capacity) {
  if (buffer == nullptr) return -1;
  if (capacity != nullptr && *Word(capacity) < static_cast<long>(sizeof(T))) return -1;
  std::memcpy(buffer, &value, sizeof(T));
  return 0;
}

}  // namespace Quorvane::procedural

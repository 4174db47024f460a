#include "device/qvintraprocessstream.h"

namespace Quorvane {

void QVIntraStream::putWindow(char** start, char** end) {
  if (start == nullptr || end == nullptr) return;
  std::lock_guard<std::mutex> lock(handle);
  if (chunks.empty() || chunks.back().filled == kChunkSize) {
    chunks.push_back(Chunk{std::make_unique<char[]>(kChunkSize), 0});
  }
  Chunk& last = chunks.back();
  *start = last.bytes.get() + last.filled;
  *end = last.bytes.get() + kChunkSize;
}

char* QVIntraStream::putWindowStart() {
  char* start = nullptr;
  char* end = nullptr;
  putWindow(&start, &end);
  return start;
}

char* QVIntraStream::putWindowEnd() {
  char* start = nullptr;
  char* end = nullptr;
  putWindow(&start, &end);
  return end;
}

void QVIntraStream::releasePutWindow(char* end) {
  if (end == nullptr) return;
  std::lock_guard<std::mutex> lock(handle);
  if (chunks.empty()) return;
  Chunk& last = chunks.back();
  char* base = last.bytes.get();
  // Only a point inside the last chunk's free space commits anything.
  if (end < base + last.filled || end > base + kChunkSize) return;
  last.filled = static_cast<size_t>(end - base);
}

void QVIntraStream::getWindow(char** start, char** end) {
  std::lock_guard<std::mutex> lock(handle);
  // A drained full chunk with a successor is left for good; the writer is
  // already in a later chunk, and the reader's last window was consumed.
  while (chunks.size() > 1 && readOffset == chunks.front().filled) {
    chunks.pop_front();
    readOffset = 0;
  }
  if (chunks.empty()) {
    *start = *end = nullptr;
    return;
  }
  Chunk& front = chunks.front();
  *start = front.bytes.get() + readOffset;
  *end = front.bytes.get() + front.filled;
}

char* QVIntraStream::getWindowStart() {
  char* start = nullptr;
  char* end = nullptr;
  getWindow(&start, &end);
  return start;
}

char* QVIntraStream::getWindowEnd() {
  char* start = nullptr;
  char* end = nullptr;
  getWindow(&start, &end);
  return end;
}

void QVIntraStream::releaseGetWindow(char* end) {
  if (end == nullptr) return;
  std::lock_guard<std::mutex> lock(handle);
  if (chunks.empty()) return;
  Chunk& front = chunks.front();
  char* base = front.bytes.get();
  if (readOffset == front.filled) return;
  if (end < base + readOffset || end > base + front.filled) return;
  readOffset = static_cast<size_t>(end - base);
}

bool QVIntraStream::emptyLocked() const {
  if (chunks.empty()) return true;
  if (readOffset < chunks.front().filled) return false;
  for (size_t i = 1; i < chunks.size(); ++i) {
    if (chunks[i].filled > 0) return false;
  }
  return true;
}

bool QVIntraStream::emptyQ() const {
  std::lock_guard<std::mutex> lock(handle);
  return emptyLocked();
}

void QVIntraStream::printStream(std::ostream& os) const {
  std::lock_guard<std::mutex> lock(handle);
  os << "<QVIntraStream><TheStream><chunks>" << chunks.size() << "</chunks><readOffset>" << readOffset
     << "</readOffset></TheStream><TheHandle>" << static_cast<const void*>(&handle)
     << "</TheHandle></QVIntraStream>";
}

}  // namespace Quorvane

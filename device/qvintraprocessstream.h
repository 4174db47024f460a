// One direction of an in-process link: a byte stream kept as a list of
// fixed-size chunks. The writer fills the free end of the last chunk and
// commits; the reader takes the unread bytes of its current chunk and
// consumes them. Every operation takes the stream's own lock; the bytes of a
// window are touched outside it, which is safe because a window is only
// handed out once and a chunk is dropped only after the reader has left it.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>

#include "utilities/qvobject.h"

namespace Quorvane {

class QVIntraStream : public QVObject {
 public:
  static constexpr size_t kChunkSize = 5120;

  QVIntraStream() = default;
  QVIntraStream(const QVIntraStream&) = delete;
  QVIntraStream& operator=(const QVIntraStream&) = delete;
  ~QVIntraStream() override = default;

  // The free space at the end of the last chunk; a chunk is appended first
  // when there is none or the last one is full.
  void putWindow(char** start, char** end);
  // Each end of that window alone.
  char* putWindowStart();
  char* putWindowEnd();
  // Commits the bytes written up to end, which lies in the last put window.
  void releasePutWindow(char* end);
  // The unread bytes of the reader's current chunk (empty when there are
  // none), moving to the next chunk first when the current one is drained.
  void getWindow(char** start, char** end);
  // Each end of that window alone.
  char* getWindowStart();
  char* getWindowEnd();
  // Consumes the current chunk's bytes up to end.
  void releaseGetWindow(char* end);
  bool emptyQ() const;

  void printStream(std::ostream& os) const;

 private:
  struct Chunk {
    std::unique_ptr<char[]> bytes;
    size_t filled = 0;  // committed bytes
  };

  bool emptyLocked() const;

  mutable std::mutex handle;
  std::deque<Chunk> chunks;
  size_t readOffset = 0;  // into chunks.front()
};

}  // namespace Quorvane

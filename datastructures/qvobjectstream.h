// A first-in first-out byte stream kept in a list of fixed-size chunks. The
// writer appends at the shared write position (also directly through a write
// window); the reader walks NextOut up to OutLimit and moves on chunk by chunk,
// freeing the chunks every sharer has read past. No locks: users guard it.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <ostream>

#include "utilities/qvexception.h"
#include "utilities/qvobject.h"

namespace Quorvane {

namespace detail {
constexpr char kObjectStreamSourceFile[] = "datastructures/qvobjectstream";

// Writes the valid bytes from p up to end as text (nothing for a null p).
template <typename T>
void PrintStreamBytes(std::ostream& os, const T* p, const T* end) {
  if (p == nullptr || end == nullptr || end <= p) return;
  os.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>((end - p) * sizeof(T)));
}
}  // namespace detail

template <typename T>
class QVObjectStreamChunk : public QVObject {
 public:
  QVObjectStreamChunk(uint64_t size, uint64_t refCount, uint64_t id)
      : Buffer(new T[size]), Size(size), RefCount(refCount), Id(id) {}
  ~QVObjectStreamChunk() override { delete[] Buffer; }
  QVObjectStreamChunk(const QVObjectStreamChunk&) = delete;
  QVObjectStreamChunk& operator=(const QVObjectStreamChunk&) = delete;

  T* End() const { return Buffer + Size; }

  // validEnd bounds the printed bytes of a chunk still being written (null: all
  // of the buffer is valid).
  void PrintChunk(std::ostream& os, const T* validEnd = nullptr) const {
    os << "<QVObjectStreamChunk><Next>" << static_cast<const void*>(Next) << "</Next><Buffer>";
    detail::PrintStreamBytes(os, Buffer, validEnd != nullptr ? validEnd : End());
    os << "</Buffer><Size>" << Size << "</Size><RefCount>" << RefCount << "</RefCount><Id>" << Id
       << "</Id></QVObjectStreamChunk>";
  }

  QVObjectStreamChunk* Next = nullptr;
  T* Buffer;
  uint64_t Size;
  uint64_t RefCount;
  uint64_t Id;
};

template <typename T>
class QVObjectStreamShared : public QVObject {
 public:
  using Chunk = QVObjectStreamChunk<T>;

  QVObjectStreamShared() = default;
  ~QVObjectStreamShared() override {
    while (Head != nullptr) {
      Chunk* next = Head->Next;
      delete Head;
      Head = next;
    }
  }
  QVObjectStreamShared(const QVObjectStreamShared&) = delete;
  QVObjectStreamShared& operator=(const QVObjectStreamShared&) = delete;

  // The end of the valid bytes of a chunk of this list.
  const T* ValidEnd(const Chunk* chunk) const { return chunk == In ? NextIn : chunk->End(); }

  void PrintShared(std::ostream& os) const {
    os << "<QVObjectStreamShared>";
    if (Head != nullptr) {
      os << "<Head>";
      Head->PrintChunk(os, ValidEnd(Head));
      os << "</Head>";
    }
    if (In != nullptr && In != Head) {
      os << "<In>";
      In->PrintChunk(os, NextIn);
      os << "</In>";
    }
    // Nothing valid lies at or after the write position.
    os << "<NextIn></NextIn><InLimit></InLimit><RefCount>" << RefCount << "</RefCount><EOQRefCount>"
       << EOQRefCount << "</EOQRefCount><NextChunkId>" << NextChunkId
       << "</NextChunkId></QVObjectStreamShared>";
  }

  Chunk* Head = nullptr;
  Chunk* In = nullptr;
  T* NextIn = nullptr;
  T* InLimit = nullptr;
  uint64_t RefCount = 1;
  // References of the further sharers of this record: each of them holds every
  // chunk added from now on, so a new chunk starts with 1 + EOQRefCount.
  uint64_t EOQRefCount = 0;
  uint64_t NextChunkId = 1;
};

// Saved position; no operation of the stream makes one.
class QVObjectStreamMark : public QVObject {};

template <typename T>
class QVObjectStream : public QVObject {
 public:
  using Chunk = QVObjectStreamChunk<T>;
  using Shared = QVObjectStreamShared<T>;
  using MarkMap = std::map<uint64_t, QVObjectStreamMark*, std::less<uint64_t>,
                           QVStdAllocator<std::pair<const uint64_t, QVObjectStreamMark*>>>;

  QVObjectStream() : Sd(new Shared) {}

  // Copies share the chunk list, as assignment does.
  QVObjectStream(const QVObjectStream& other) : Sd(nullptr) { ShareFrom(other); }

  QVObjectStream& operator=(const QVObjectStream& other) {
    if (this == &other) return *this;
    GiveUpShare();
    ShareFrom(other);
    return *this;
  }

  ~QVObjectStream() override { GiveUpShare(); }

  bool AddChunk() {
    if (ChunkSize == 0) return false;
    auto* chunk = new Chunk(ChunkSize, 1 + Sd->EOQRefCount, Sd->NextChunkId);
    ++Sd->NextChunkId;
    if (Sd->Head == nullptr) {
      Sd->Head = chunk;
      Sd->In = chunk;
      if (Out == nullptr) Out = chunk;
    } else {
      Sd->In->Next = chunk;
      Sd->In = chunk;
    }
    Sd->NextIn = chunk->Buffer;
    Sd->InLimit = chunk->End();
    return true;
  }

  unsigned long PutN(T* buffer, unsigned long n) {
    if (n == 0) return 0;
    if (buffer == nullptr) {
      throw QVException("Invalid argument, buffer should not be NULL.",
                        detail::kObjectStreamSourceFile, __LINE__, qvexceptiontype::streamChunk, 0);
    }
    unsigned long left = n;
    const T* from = buffer;
    while (left > 0) {
      if (Sd->In == nullptr || Sd->NextIn == Sd->InLimit) {
        if (!AddChunk()) {
          UpdateQueue();  // bytes copied so far stay readable
          throw QVException("Unable to create new queue chunk object.",
                            detail::kObjectStreamSourceFile, __LINE__,
                            qvexceptiontype::streamChunk, 0);
        }
      }
      auto room = static_cast<unsigned long>(Sd->InLimit - Sd->NextIn);
      unsigned long step = left < room ? left : room;
      std::memcpy(Sd->NextIn, from, step * sizeof(T));
      Sd->NextIn += step;
      from += step;
      left -= step;
    }
    UpdateQueue();
    return n;
  }

  T GetC() {
    if (NextOut == OutLimit || NextOut == nullptr) {
      if (!NextChunk() || NextOut == OutLimit) {
        throw QVException("At the end of the queue.", detail::kObjectStreamSourceFile, __LINE__,
                          qvexceptiontype::endOfStream, 0);
      }
    }
    return *NextOut++;
  }

  T* PutWindowStart() {
    if (!EnsureWritableChunk()) {
      throw QVException("Unable to create new chunk object.", detail::kObjectStreamSourceFile,
                        __LINE__, qvexceptiontype::streamChunk, 0);
    }
    return Sd->NextIn;
  }

  void PutWindow(T** start, T** end) {
    if (start == nullptr || end == nullptr) return;
    if (!EnsureWritableChunk()) {
      throw QVException("Unable to create a new chunk object.", detail::kObjectStreamSourceFile,
                        __LINE__, qvexceptiontype::streamChunk, 0);
    }
    *start = Sd->NextIn;
    *end = Sd->InLimit;
  }

  void UpdateQueue() {
    if (Out == nullptr) {
      if (Sd->Head == nullptr) return;
      Out = Sd->Head;
      NextOut = Out->Buffer;
    }
    if (NextOut == nullptr && OutLimit == nullptr) NextOut = Out->Buffer;
    OutLimit = Out == Sd->In ? Sd->NextIn : Out->End();
  }

  bool NextChunk() {
    UpdateQueue();
    if (Out == nullptr) return false;  // no chunk at all
    if (NextOut != OutLimit) return true;
    if (Out->Next == nullptr) return false;
    Chunk* left = Out;
    Out = Out->Next;
    NextOut = Out->Buffer;
    OutLimit = Out == Sd->In ? Sd->NextIn : Out->End();
    --left->RefCount;
    DeleteUnreferencedHead();
    return true;
  }

  void PrintQueue(std::ostream& os) const {
    os << "<QVObjectStream><Out>";
    if (Out != nullptr) {
      Out->PrintChunk(os, Sd->ValidEnd(Out));
    } else {
      os << static_cast<const void*>(Out);
    }
    os << "</Out><NextOut>";
    if (Out != nullptr) detail::PrintStreamBytes(os, NextOut, Sd->ValidEnd(Out));
    os << "</NextOut><OutLimit>";
    if (Out != nullptr) detail::PrintStreamBytes(os, OutLimit, Sd->ValidEnd(Out));
    os << "</OutLimit><Sd>";
    if (Sd != nullptr) {
      Sd->PrintShared(os);
    } else {
      os << static_cast<const void*>(Sd);
    }
    os << "</Sd><MarkTable>" << static_cast<const void*>(MarkTable) << "</MarkTable><ChunkSize>"
       << ChunkSize << "</ChunkSize><NextMarkNumber>" << NextMarkNumber
       << "</NextMarkNumber><Marks>" << Marks << "</Marks></QVObjectStream>";
  }

  Chunk* Out = nullptr;
  T* NextOut = nullptr;
  T* OutLimit = nullptr;
  Shared* Sd;
  MarkMap* MarkTable = nullptr;
  uint64_t ChunkSize = 5120;
  uint64_t NextMarkNumber = 0;
  uint64_t Marks = 0;

 private:
  bool EnsureWritableChunk() {
    if (Sd->In == nullptr || Sd->NextIn == Sd->InLimit) return AddChunk();
    return true;
  }

  void DeleteUnreferencedHead() {
    while (Sd->Head != nullptr && Sd->Head->RefCount == 0) {
      Chunk* next = Sd->Head->Next;
      if (Sd->Head == Sd->In) {
        // Every byte was read by every sharer: keep the list usable.
        Sd->In = nullptr;
        Sd->NextIn = nullptr;
        Sd->InLimit = nullptr;
      }
      delete Sd->Head;
      Sd->Head = next;
    }
  }

  // Each sharer holds one reference on every chunk from its own read chunk
  // (the head when it has not read yet) to the last, plus one on every chunk
  // added later through the shared EOQRefCount.
  void ShareFrom(const QVObjectStream& other) {
    Sd = other.Sd;
    Out = other.Out;
    NextOut = other.NextOut;
    OutLimit = other.OutLimit;
    ChunkSize = other.ChunkSize;
    MarkTable = nullptr;
    NextMarkNumber = 0;
    Marks = 0;
    for (Chunk* c = Out != nullptr ? Out : Sd->Head; c != nullptr; c = c->Next) ++c->RefCount;
    ++Sd->RefCount;
    ++Sd->EOQRefCount;
  }

  void GiveUpShare() noexcept {
    if (Sd != nullptr) {
      if (--Sd->RefCount == 0) {
        delete Sd;
      } else {
        for (Chunk* c = Out != nullptr ? Out : Sd->Head; c != nullptr; c = c->Next) --c->RefCount;
        --Sd->EOQRefCount;
        DeleteUnreferencedHead();
      }
    }
    Sd = nullptr;
    Out = nullptr;
    NextOut = nullptr;
    OutLimit = nullptr;
    if (MarkTable != nullptr) {
      for (auto& entry : *MarkTable) delete entry.second;
      delete MarkTable;
      MarkTable = nullptr;
    }
  }
};

}  // namespace Quorvane

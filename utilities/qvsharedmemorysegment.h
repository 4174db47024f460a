// A named block of memory that two processes map at once, over POSIX or
// System V shared memory (whichever the system offers, probed on each factory
// call). The class knows nothing of the layout inside the block.
#pragma once

#include <cstdint>
#include <ostream>

#include "utilities/qvsmartpointer.h"

namespace Quorvane {

// Result codes of create and connect.
enum : int {
  kSegmentExists = 1,        // create only
  kSegmentAccessDenied = 2,  // POSIX connect only
  kSegmentMissing = 3,       // POSIX connect only
  kSegmentMapped = 4,
  kSegmentFailed = 5,
};

// Kinds found by the probe.
enum : int {
  kPosixSharedMemory = 1,
  kSystemVSharedMemory = 2,
  kNoSharedMemory = 99,
};

class QVSharedMemorySegment : public QVObject {
 public:
  QVSharedMemorySegment() = default;
  QVSharedMemorySegment(const QVSharedMemorySegment& other) = default;
  QVSharedMemorySegment(const QVString& segmentName, uint64_t size)
      : name(segmentName), length(size) {}
  explicit QVSharedMemorySegment(const QVString& segmentName) : name(segmentName) {}
  // Frees the names only: the owner detaches (and removes) first.
  ~QVSharedMemorySegment() override = default;

  // Copies name, shmName, bytes and length; a kind's own fields stay.
  virtual QVSharedMemorySegment& operator=(const QVSharedMemorySegment& other);
  // Same name, address and length (kinds and descriptors are not compared).
  virtual bool operator==(const QVSharedMemorySegment& other) const;
  virtual bool operator!=(const QVSharedMemorySegment& other) const { return !(*this == other); }

  // Make the segment and map it / map an existing one: result codes above.
  // Without a usable kind both answer 5.
  virtual int create() { return kSegmentFailed; }
  virtual int connect() { return kSegmentFailed; }
  // 0 when every step succeeded, else -1 with errno of the first step that failed.
  virtual int detachSegmentAndRemoveFromOS() { return 0; }
  virtual int detachSegment() { return 0; }
  virtual int removeFromOS() { return 0; }

  virtual void print(std::ostream& os) const;

  // A segment of the probed kind; nothing is made in the system yet.
  static QVSmartPointer<QVSharedMemorySegment> initWithNameAndSize(const QVString& name,
                                                                   uint64_t size);
  // The same from a name alone (length 0): good only for removeFromOS.
  static QVSmartPointer<QVSharedMemorySegment> initWithName(const QVString& name);
  // 1 POSIX shared memory works, 2 System V works, 99 neither.
  static int determineSharedMemoryType();

  const QVString& getName() const { return name; }
  const QVString& getShmName() const { return shmName; }
  void* getBytes() const { return bytes; }
  uint64_t getLength() const { return length; }

 protected:
  void PrintAttributes(std::ostream& os) const;

  QVString name;
  QVString shmName;
  void* bytes = nullptr;
  uint64_t length = 0;
};

class QVPosixSharedMemorySegment : public QVSharedMemorySegment {
 public:
  QVPosixSharedMemorySegment() = default;
  QVPosixSharedMemorySegment(const QVPosixSharedMemorySegment& other) = default;
  QVPosixSharedMemorySegment(const QVString& name, uint64_t size)
      : QVSharedMemorySegment(name, size) {}
  explicit QVPosixSharedMemorySegment(const QVString& name);
  QVPosixSharedMemorySegment& operator=(const QVPosixSharedMemorySegment& other) = default;
  QVPosixSharedMemorySegment& operator=(const QVSharedMemorySegment& other) override;

  int create() override;
  // Refuses (5) a segment smaller than the length instead of mapping past its end.
  int connect() override;
  int detachSegmentAndRemoveFromOS() override;
  int detachSegment() override;
  int removeFromOS() override;
  void print(std::ostream& os) const override;

  int getHandle() const { return handle; }

 private:
  void NameFrom(const QVString& ipcName);

  // shmName as the system knows it.
  QVString systemName;
  int handle = -1;
};

class QVSYSVSharedMemorySegment : public QVSharedMemorySegment {
 public:
  QVSYSVSharedMemorySegment() = default;
  QVSYSVSharedMemorySegment(const QVSYSVSharedMemorySegment& other) = default;
  QVSYSVSharedMemorySegment(const QVString& name, uint64_t size)
      : QVSharedMemorySegment(name, size) {}
  explicit QVSYSVSharedMemorySegment(const QVString& name);
  using QVSharedMemorySegment::operator=;

  int create() override;
  // Makes the segment when it is missing.
  int connect() override;
  int detachSegmentAndRemoveFromOS() override;
  int detachSegment() override;
  int removeFromOS() override;
  void print(std::ostream& os) const override;

  int getKey() const { return shmKey; }
  int getHandle() const { return handle; }

 private:
  int MakeKey();
  int Attach();

  int shmKey = -1;
  int handle = -1;
};

std::ostream& operator<<(std::ostream& os, const QVSharedMemorySegment& segment);

}  // namespace Quorvane

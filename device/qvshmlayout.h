// One side's view of a shared-memory link segment: a header, a data block of
// connection flags, and two ring queues, one per direction. Both processes
// map the same bytes, so every field is read and written at its fixed offset
// as one whole aligned word in native order; nothing here casts the segment
// to a structure.
#pragma once

#include <cstdint>
#include <ostream>
#include <utility>

#include "utilities/qvobject.h"

namespace Quorvane {

class QVSharedMemorySegment;

// Side of a shared-memory link: the listener writes queue A, the connector
// queue B.
enum qvdeviceconnectionside : int32_t {
  QVListenerSide = 0,
  QVConnectorSide = 1,
};

// The header every segment starts with, as six values in memory.
struct QVSHMLayoutHeader {
  uint32_t layoutVersion = 0;
  uint32_t layoutHeaderLength = 0;
  uint32_t dataLength = 0;
  uint32_t totalLength = 0;
  uint32_t bufferLength = 0;
  uint32_t queueHeaderLength = 0;

  // The header a creating side writes.
  static QVSHMLayoutHeader standard();
  // Every field of a header its maker has finished is non-zero; the maker
  // writes them one at a time into a zeroed object, so a zero field means
  // the header is still being written.
  bool writtenQ() const;
  bool operator==(const QVSHMLayoutHeader&) const = default;
  void print(std::ostream& os) const;
};

// The data block's fields as one side read them.
struct QVSHMLayoutData {
  int16_t listenerPending = 0;
  int16_t listenerConnected = 0;
  int16_t connectorConnected = 0;
  int16_t listenerSyncObjectsReady = 0;
  int16_t connectorSyncObjectsReady = 0;
  uint32_t listenerMagicInitializer = 0;
  uint32_t connectorMagicInitializer = 0;
  uint32_t listenerPort = 0;
  uint32_t listenerRevision = 0;
  uint32_t connectorRevision = 0;

  void print(std::ostream& os) const;
};

// A queue header's fields as one side read them.
struct QVSHMQueueHeader {
  uint32_t value = 0;
  uint32_t arg = 0;
  uint32_t readOffset = 0;
  uint32_t writeOffset = 0;
  uint32_t freeSpace = 0;
  uint32_t processID = 0;

  void print(std::ostream& os) const;
};

std::ostream& operator<<(std::ostream& os, const QVSHMLayoutHeader& header);
std::ostream& operator<<(std::ostream& os, const QVSHMLayoutData& data);
std::ostream& operator<<(std::ostream& os, const QVSHMQueueHeader& header);

// Fixed places and values of the format.
namespace shmlayout {
constexpr uint32_t kLayoutVersion = 4;
constexpr uint32_t kLayoutHeaderLength = 28;
constexpr uint32_t kDataLength = 36;
constexpr uint32_t kBufferLength = 100000;
constexpr uint32_t kQueueHeaderLength = 28;
constexpr uint32_t kTotalLength =
    kLayoutHeaderLength + kDataLength + 2 * (kQueueHeaderLength + kBufferLength);

constexpr uint32_t kListenerMagic = 39875;
constexpr uint32_t kConnectorMagic = 39876;
constexpr uint32_t kRevision = 2;
constexpr uint32_t kClosingNotice = 9;

// Header fields.
constexpr uint32_t kVersionAt = 0;
constexpr uint32_t kHeaderLengthAt = 4;
constexpr uint32_t kDataLengthAt = 8;
constexpr uint32_t kTotalLengthAt = 12;
constexpr uint32_t kBufferLengthAt = 16;
constexpr uint32_t kQueueHeaderLengthAt = 20;
constexpr uint32_t kHeaderFieldsLength = 24;  // the reserved word is never written

// Queue header fields, from the queue header's start.
constexpr uint32_t kValueAt = 0;
constexpr uint32_t kArgAt = 4;
constexpr uint32_t kReadOffsetAt = 8;
constexpr uint32_t kWriteOffsetAt = 12;
constexpr uint32_t kFreeSpaceAt = 16;
constexpr uint32_t kProcessIDAt = 20;
// The queue header's last word, which builds before this one never read or
// write (it stays 0 for them): the queue's reader tells its writer there how
// it counts and whether it needs a wake-up.
constexpr uint32_t kReaderStateAt = 24;

// Reader states. Each also says that the reader changes freeSpace only by
// atomic adds, so that its writer may subtract without the queue's lock.
constexpr uint32_t kReaderWantsWakeUps = 0x51A70001;  // may wait on its condition: signal each edge
constexpr uint32_t kReaderLooking = 0x51A70002;       // spinning on the ring: no signal needed
constexpr uint32_t kReaderSleeping = 0x51A70003;      // asleep on this word: wake the word
inline bool CountsFreelyQ(uint32_t readerState) {
  return readerState == kReaderWantsWakeUps || readerState == kReaderLooking || readerState == kReaderSleeping;
}
}  // namespace shmlayout

// The 16-bit flags of the data block, by their place in it.
enum class QVSHMFlag : uint32_t {
  listenerPending = 0,
  listenerConnected = 2,
  connectorConnected = 4,
  listenerSyncObjectsReady = 6,
  connectorSyncObjectsReady = 8,
};

// The 32-bit words of the data block, by their place in it.
enum class QVSHMWord : uint32_t {
  listenerMagicInitializer = 12,
  connectorMagicInitializer = 16,
  listenerPort = 20,
  listenerRevision = 24,
  connectorRevision = 28,
};

// Why a segment is not taken for one of ours.
enum class QVSHMSegmentCheck {
  recognized,
  noSegment,          // no address, or not aligned for whole words
  tooShort,           // shorter than a header and data block
  wrongConstants,     // version or a header, data or queue-header length
  wrongLength,        // totalLength is not what the lengths add up to
  wrongMappedLength,  // totalLength is not the size that is mapped
  objectTooSmall,     // the object behind the mapping is smaller than the mapping
};

// A contiguous piece of a ring buffer.
struct QVSHMWindow {
  unsigned char* bytes = nullptr;
  uint32_t length = 0;
};

class QVSHMLayout : public QVObject {
 public:
  // An empty view: every window is 0 and nothing is read or written.
  QVSHMLayout() = default;
  // A segment another process made (or may have made): refused with type 59
  // unless checkSegment recognises it.
  QVSHMLayout(void* start, uint64_t mappedLength, qvdeviceconnectionside side);
  // The creator's form: writes the header's six fields first (nothing when the
  // header is already at the start), then views the segment as above; a
  // header that does not describe mappedLength is refused with type 1.
  QVSHMLayout(void* start, uint64_t mappedLength, qvdeviceconnectionside side,
              const QVSHMLayoutHeader& header);
  QVSHMLayout(const QVSHMLayout&) = default;
  QVSHMLayout& operator=(const QVSHMLayout&) = default;
  ~QVSHMLayout() override = default;

  // Whether the bytes are a segment of this format of exactly mappedLength.
  static QVSHMSegmentCheck checkSegment(const void* start, uint64_t mappedLength);
  // The same for a mapped segment, also asking the system how large the
  // object behind the mapping is now.
  static QVSHMSegmentCheck checkSegment(const QVSharedMemorySegment& segment);
  // The header as it stands, before the segment is recognised (a segment
  // mapped with the wrong length tells its own this way); all zero when the
  // mapping cannot hold one.
  static QVSHMLayoutHeader peekHeader(const void* start, uint64_t mappedLength);

  bool emptyQ() const { return start_ == nullptr; }
  qvdeviceconnectionside side() const { return side_; }

  QVSHMLayoutHeader header() const;
  QVSHMLayoutData data() const;
  QVSHMQueueHeader readQueueHeader() const;
  QVSHMQueueHeader writeQueueHeader() const;
  // Byte offsets from the segment's start.
  uint32_t dataOffset() const { return dataAt_; }
  uint32_t readQueueHeaderOffset() const { return readQueueAt_; }
  uint32_t writeQueueHeaderOffset() const { return writeQueueAt_; }
  uint32_t readBufferOffset() const { return readQueueAt_ + queueHeaderLength_; }
  uint32_t writeBufferOffset() const { return writeQueueAt_ + queueHeaderLength_; }
  uint32_t bufferLength() const { return bufferLength_; }

  int16_t flag(QVSHMFlag which) const;
  void setFlag(QVSHMFlag which, int16_t value);
  uint32_t word(QVSHMWord which) const;
  void setWord(QVSHMWord which, uint32_t value);
  // The port travels zero-extended; a reader takes its low 16 bits.
  uint16_t listenerPort() const;
  void setListenerPort(uint16_t port);

  // The message slot of the queue this side writes, and of the one it reads.
  void putMessage(uint32_t value, uint32_t arg);
  std::pair<uint32_t, uint32_t> readMessage() const;
  // The value still in the slot this side writes: 0 once the peer took it.
  uint32_t unreadMessage() const;
  // Empties the slot of the queue this side reads once its message is taken.
  void clearReadMessage();
  // The id of each queue's writer.
  void setWriteQueueProcessID(uint32_t pid);
  uint32_t writeQueueProcessID() const;
  uint32_t readQueueProcessID() const;

  // One look at a queue's freeSpace without its lock: a hint for a waiter,
  // never a ground to change the queue (that takes the lock).
  uint32_t readQueueFreeSpace() const;
  uint32_t writeQueueFreeSpace() const;

  // The state word of the queue this side reads, and the peer's word in the
  // queue this side writes (0 from a peer that never writes it). Sequentially
  // consistent, as the wake-up handshake needs.
  void setReaderState(uint32_t state);
  uint32_t peerReaderState() const;
  // Sleeps while this side's state word says sleeping (time-out in
  // microseconds); wakes this side's or the peer's reader if it sleeps on
  // its word, setting the word to kReaderWantsWakeUps first, so that a
  // reader on its way to sleep does not.
  void sleepWhileReaderSleeps(long microseconds);
  void wakeSleepingReader(bool peer);

  // The ring by its counter alone, for two sides that both count with atomic
  // adds: each side reads only its own offset and freeSpace, so no lock is
  // needed to see a consistent queue. Windows are bounded by the buffer
  // whatever the peer wrote. The commit and release answer freeSpace as it
  // stood just before them; they refuse (type 1, nothing changed) a count
  // beyond the window and a commit into a full queue.
  QVSHMWindow writeWindowFromCount() const;
  QVSHMWindow readWindowFromCount() const;
  uint32_t countWritten(uint32_t n);
  uint32_t countRead(uint32_t n);

  // Empty queues, offsets 0; the message slot and process id stay.
  void initializeQueues();
  void resetWriteQueue();
  void resetReadQueue();

  // A queue is sound when its offsets lie inside the buffer and freeSpace
  // agrees with them. Only then does a window or a commit touch it.
  bool writeQueueSoundQ() const;
  bool readQueueSoundQ() const;

  // Contiguous bytes free at the write offset: 0 when the queue is full or
  // not sound.
  uint32_t bytesAvailableToWrite() const;
  // Contiguous bytes waiting at the read offset: 0 when the queue is empty or
  // not sound.
  uint32_t bytesAvailableToRead() const;
  // Commit n written / release n read bytes. 0 does nothing; more than the
  // current window (or any n on an unsound queue) is refused with type 1 and
  // leaves the queue as it was.
  void wroteThisManyBytes(uint32_t n);
  void readThisManyBytes(uint32_t n);

  // Where the window starts and how long it is, from one look at the queue
  // header (a peer that rewrites our offsets cannot stretch it past the
  // buffer); null and 0 when there is no room or nothing to read.
  QVSHMWindow writeWindow() const;
  QVSHMWindow readWindow() const;

  void print(std::ostream& os) const;

 private:
  void View(void* start, qvdeviceconnectionside side);
  uint32_t Load32(uint32_t at) const;
  void Store32(uint32_t at, uint32_t value);
  QVSHMQueueHeader QueueHeaderAt(uint32_t at) const;
  bool SoundQ(const QVSHMQueueHeader& q) const;
  uint32_t WriteRoom(const QVSHMQueueHeader& q) const;
  uint32_t ReadRoom(const QVSHMQueueHeader& q) const;
  void ResetQueue(uint32_t at);

  unsigned char* start_ = nullptr;
  qvdeviceconnectionside side_ = QVListenerSide;
  uint32_t dataAt_ = 0;
  uint32_t readQueueAt_ = 0;
  uint32_t writeQueueAt_ = 0;
  uint32_t queueHeaderLength_ = 0;
  uint32_t bufferLength_ = 0;
};

std::ostream& operator<<(std::ostream& os, const QVSHMLayout& layout);

}  // namespace Quorvane

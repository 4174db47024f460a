#include "device/qvshmlayout.h"

#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>

#include "utilities/platform/qvwordwait.h"
#include "utilities/qvexception.h"
#include "utilities/qvsharedmemorysegment.h"

namespace Quorvane {

namespace {

using namespace shmlayout;

constexpr char kSourceFile[] = "device/qvshmlayout";
constexpr uint32_t kMinimumSegment = kLayoutHeaderLength + kDataLength;

// Whole aligned words, never torn: the peer polls them without a lock.
template <typename Word>
Word LoadWord(const unsigned char* at) {
  return std::atomic_ref<Word>(*reinterpret_cast<Word*>(const_cast<unsigned char*>(at)))
      .load(std::memory_order_acquire);
}

template <typename Word>
void StoreWord(unsigned char* at, Word value) {
  std::atomic_ref<Word>(*reinterpret_cast<Word*>(at)).store(value, std::memory_order_release);
}

// Changes freeSpace in one step, also for the peer counting at the same time.
// Answers the value before.
uint32_t AddToWord(unsigned char* at, int64_t delta) {
  std::atomic_ref<uint32_t> word(*reinterpret_cast<uint32_t*>(at));
  return delta >= 0 ? word.fetch_add(static_cast<uint32_t>(delta), std::memory_order_seq_cst)
                    : word.fetch_sub(static_cast<uint32_t>(-delta), std::memory_order_seq_cst);
}

QVSHMLayoutHeader HeaderAt(const unsigned char* start) {
  QVSHMLayoutHeader header;
  header.layoutVersion = LoadWord<uint32_t>(start + kVersionAt);
  header.layoutHeaderLength = LoadWord<uint32_t>(start + kHeaderLengthAt);
  header.dataLength = LoadWord<uint32_t>(start + kDataLengthAt);
  header.totalLength = LoadWord<uint32_t>(start + kTotalLengthAt);
  header.bufferLength = LoadWord<uint32_t>(start + kBufferLengthAt);
  header.queueHeaderLength = LoadWord<uint32_t>(start + kQueueHeaderLengthAt);
  return header;
}

// The lengths of a header against the format and the mapping. The buffer
// length is the only free one; it stays a multiple of 4 so that queue B's
// fields are aligned words too.
QVSHMSegmentCheck CheckHeader(const QVSHMLayoutHeader& header, uint64_t mappedLength) {
  if (header.layoutVersion != kLayoutVersion || header.layoutHeaderLength != kLayoutHeaderLength ||
      header.dataLength != kDataLength || header.queueHeaderLength != kQueueHeaderLength ||
      header.bufferLength == 0 || header.bufferLength % 4 != 0) {
    return QVSHMSegmentCheck::wrongConstants;
  }
  const uint64_t expected =
      uint64_t{kMinimumSegment} + 2 * (uint64_t{kQueueHeaderLength} + header.bufferLength);
  if (header.totalLength != expected) return QVSHMSegmentCheck::wrongLength;
  if (header.totalLength != mappedLength) return QVSHMSegmentCheck::wrongMappedLength;
  return QVSHMSegmentCheck::recognized;
}

// Size of the object behind a mapped segment now, or -1 when it cannot be had.
int64_t ObjectSize(const QVSharedMemorySegment& segment) {
  if (const auto* posix = dynamic_cast<const QVPosixSharedMemorySegment*>(&segment)) {
    struct stat st = {};
    if (posix->getHandle() < 0 || fstat(posix->getHandle(), &st) != 0) return -1;
    return st.st_size;
  }
  if (const auto* sysv = dynamic_cast<const QVSYSVSharedMemorySegment*>(&segment)) {
    struct shmid_ds ds = {};
    if (sysv->getHandle() < 0 || shmctl(sysv->getHandle(), IPC_STAT, &ds) != 0) return -1;
    return static_cast<int64_t>(ds.shm_segsz);
  }
  return -1;
}

[[noreturn]] void QueueError(const char* message, unsigned int line) {
  throw QVException(message, kSourceFile, line, qvexceptiontype::internalError, 0);
}

void PrintElement(std::ostream& os, const char* tag, int64_t value) {
  os << '<' << tag << '>' << value << "</" << tag << '>';
}

}  // namespace

// ---- value types ----

QVSHMLayoutHeader QVSHMLayoutHeader::standard() {
  QVSHMLayoutHeader header;
  header.layoutVersion = kLayoutVersion;
  header.layoutHeaderLength = kLayoutHeaderLength;
  header.dataLength = kDataLength;
  header.totalLength = kTotalLength;
  header.bufferLength = kBufferLength;
  header.queueHeaderLength = kQueueHeaderLength;
  return header;
}

bool QVSHMLayoutHeader::writtenQ() const {
  return layoutVersion != 0 && layoutHeaderLength != 0 && dataLength != 0 && totalLength != 0 &&
         bufferLength != 0 && queueHeaderLength != 0;
}

void QVSHMLayoutHeader::print(std::ostream& os) const {
  os << "<QVSHMLayoutHeader>";
  PrintElement(os, "layoutVersion", layoutVersion);
  PrintElement(os, "layoutHeaderLength", layoutHeaderLength);
  PrintElement(os, "dataLength", dataLength);
  PrintElement(os, "totalLength", totalLength);
  PrintElement(os, "bufferLength", bufferLength);
  PrintElement(os, "queueHeaderLength", queueHeaderLength);
  os << "</QVSHMLayoutHeader>";
}

void QVSHMLayoutData::print(std::ostream& os) const {
  os << "<QVSHMLayoutData>";
  PrintElement(os, "listenerPending", listenerPending);
  PrintElement(os, "listenerConnected", listenerConnected);
  PrintElement(os, "connectorConnected", connectorConnected);
  PrintElement(os, "listenerSyncObjectsReady", listenerSyncObjectsReady);
  PrintElement(os, "connectorSyncObjectsReady", connectorSyncObjectsReady);
  PrintElement(os, "listenerMagicInitializer", listenerMagicInitializer);
  PrintElement(os, "connectorMagicInitializer", connectorMagicInitializer);
  PrintElement(os, "listenerPort", listenerPort);
  os << "</QVSHMLayoutData>";
}

void QVSHMQueueHeader::print(std::ostream& os) const {
  os << "<QVSHMQueueHeader>\n<message>";
  PrintElement(os, "value", value);
  PrintElement(os, "arg", arg);
  os << "</message>";
  PrintElement(os, "readOffset", readOffset);
  PrintElement(os, "writeOffset", writeOffset);
  PrintElement(os, "freeSpace", freeSpace);
  PrintElement(os, "processID", processID);
  os << "</QVSHMQueueHeader>\n";
}

std::ostream& operator<<(std::ostream& os, const QVSHMLayoutHeader& header) {
  header.print(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const QVSHMLayoutData& data) {
  data.print(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const QVSHMQueueHeader& header) {
  header.print(os);
  return os;
}

// ---- recognising a segment ----

QVSHMSegmentCheck QVSHMLayout::checkSegment(const void* start, uint64_t mappedLength) {
  if (start == nullptr || reinterpret_cast<uintptr_t>(start) % alignof(uint32_t) != 0) {
    return QVSHMSegmentCheck::noSegment;
  }
  if (mappedLength < kMinimumSegment) return QVSHMSegmentCheck::tooShort;
  return CheckHeader(HeaderAt(static_cast<const unsigned char*>(start)), mappedLength);
}

QVSHMSegmentCheck QVSHMLayout::checkSegment(const QVSharedMemorySegment& segment) {
  if (segment.getBytes() == nullptr) return QVSHMSegmentCheck::noSegment;
  // A mapping past the object's end faults on first touch: the object must
  // still cover all of it.
  const int64_t size = ObjectSize(segment);
  if (size < 0 || static_cast<uint64_t>(size) < segment.getLength()) {
    return QVSHMSegmentCheck::objectTooSmall;
  }
  return checkSegment(segment.getBytes(), segment.getLength());
}

QVSHMLayoutHeader QVSHMLayout::peekHeader(const void* start, uint64_t mappedLength) {
  if (start == nullptr || reinterpret_cast<uintptr_t>(start) % alignof(uint32_t) != 0 ||
      mappedLength < kHeaderFieldsLength) {
    return QVSHMLayoutHeader();
  }
  return HeaderAt(static_cast<const unsigned char*>(start));
}

// ---- construction ----

QVSHMLayout::QVSHMLayout(void* start, uint64_t mappedLength, qvdeviceconnectionside side) {
  if (checkSegment(start, mappedLength) != QVSHMSegmentCheck::recognized) {
    throw QVException("Unrecognized shared-memory segment.", kSourceFile, __LINE__,
                      qvexceptiontype::nameInUse, 0);
  }
  View(start, side);
}

QVSHMLayout::QVSHMLayout(void* start, uint64_t mappedLength, qvdeviceconnectionside side,
                         const QVSHMLayoutHeader& header) {
  if (start == nullptr || reinterpret_cast<uintptr_t>(start) % alignof(uint32_t) != 0 ||
      mappedLength < kMinimumSegment ||
      CheckHeader(header, mappedLength) != QVSHMSegmentCheck::recognized) {
    throw QVException("Layout header does not describe the segment.", kSourceFile, __LINE__,
                      qvexceptiontype::internalError, 0);
  }
  auto* bytes = static_cast<unsigned char*>(start);
  if (static_cast<void*>(bytes) != static_cast<const void*>(&header)) {
    StoreWord<uint32_t>(bytes + kVersionAt, header.layoutVersion);
    StoreWord<uint32_t>(bytes + kHeaderLengthAt, header.layoutHeaderLength);
    StoreWord<uint32_t>(bytes + kDataLengthAt, header.dataLength);
    StoreWord<uint32_t>(bytes + kTotalLengthAt, header.totalLength);
    StoreWord<uint32_t>(bytes + kBufferLengthAt, header.bufferLength);
    StoreWord<uint32_t>(bytes + kQueueHeaderLengthAt, header.queueHeaderLength);
  }
  View(start, side);
}

// Places from the header, which the constructors have checked.
void QVSHMLayout::View(void* start, qvdeviceconnectionside side) {
  start_ = static_cast<unsigned char*>(start);
  side_ = side;
  const QVSHMLayoutHeader header = HeaderAt(start_);
  bufferLength_ = header.bufferLength;
  queueHeaderLength_ = header.queueHeaderLength;
  dataAt_ = header.layoutHeaderLength;
  const uint32_t queueA = dataAt_ + header.dataLength;
  const uint32_t queueB = queueA + queueHeaderLength_ + bufferLength_;
  writeQueueAt_ = side == QVListenerSide ? queueA : queueB;
  readQueueAt_ = side == QVListenerSide ? queueB : queueA;
}

// ---- fields ----

uint32_t QVSHMLayout::Load32(uint32_t at) const {
  return start_ == nullptr ? 0 : LoadWord<uint32_t>(start_ + at);
}

void QVSHMLayout::Store32(uint32_t at, uint32_t value) {
  if (start_ != nullptr) StoreWord<uint32_t>(start_ + at, value);
}

uint32_t QVSHMLayout::readQueueFreeSpace() const { return Load32(readQueueAt_ + kFreeSpaceAt); }

uint32_t QVSHMLayout::writeQueueFreeSpace() const { return Load32(writeQueueAt_ + kFreeSpaceAt); }

QVSHMLayoutHeader QVSHMLayout::header() const {
  return start_ == nullptr ? QVSHMLayoutHeader() : HeaderAt(start_);
}

QVSHMLayoutData QVSHMLayout::data() const {
  QVSHMLayoutData data;
  data.listenerPending = flag(QVSHMFlag::listenerPending);
  data.listenerConnected = flag(QVSHMFlag::listenerConnected);
  data.connectorConnected = flag(QVSHMFlag::connectorConnected);
  data.listenerSyncObjectsReady = flag(QVSHMFlag::listenerSyncObjectsReady);
  data.connectorSyncObjectsReady = flag(QVSHMFlag::connectorSyncObjectsReady);
  data.listenerMagicInitializer = word(QVSHMWord::listenerMagicInitializer);
  data.connectorMagicInitializer = word(QVSHMWord::connectorMagicInitializer);
  data.listenerPort = word(QVSHMWord::listenerPort);
  data.listenerRevision = word(QVSHMWord::listenerRevision);
  data.connectorRevision = word(QVSHMWord::connectorRevision);
  return data;
}

QVSHMQueueHeader QVSHMLayout::QueueHeaderAt(uint32_t at) const {
  QVSHMQueueHeader header;
  header.value = Load32(at + kValueAt);
  header.arg = Load32(at + kArgAt);
  header.readOffset = Load32(at + kReadOffsetAt);
  header.writeOffset = Load32(at + kWriteOffsetAt);
  header.freeSpace = Load32(at + kFreeSpaceAt);
  header.processID = Load32(at + kProcessIDAt);
  return header;
}

QVSHMQueueHeader QVSHMLayout::readQueueHeader() const { return QueueHeaderAt(readQueueAt_); }

QVSHMQueueHeader QVSHMLayout::writeQueueHeader() const { return QueueHeaderAt(writeQueueAt_); }

int16_t QVSHMLayout::flag(QVSHMFlag which) const {
  if (start_ == nullptr) return 0;
  return LoadWord<int16_t>(start_ + dataAt_ + static_cast<uint32_t>(which));
}

void QVSHMLayout::setFlag(QVSHMFlag which, int16_t value) {
  if (start_ != nullptr) StoreWord<int16_t>(start_ + dataAt_ + static_cast<uint32_t>(which), value);
}

uint32_t QVSHMLayout::word(QVSHMWord which) const {
  return Load32(dataAt_ + static_cast<uint32_t>(which));
}

void QVSHMLayout::setWord(QVSHMWord which, uint32_t value) {
  Store32(dataAt_ + static_cast<uint32_t>(which), value);
}

uint16_t QVSHMLayout::listenerPort() const {
  return static_cast<uint16_t>(word(QVSHMWord::listenerPort) & 0xFFFFu);
}

void QVSHMLayout::setListenerPort(uint16_t port) { setWord(QVSHMWord::listenerPort, port); }

void QVSHMLayout::putMessage(uint32_t value, uint32_t arg) {
  Store32(writeQueueAt_ + kValueAt, value);
  Store32(writeQueueAt_ + kArgAt, arg);
}

std::pair<uint32_t, uint32_t> QVSHMLayout::readMessage() const {
  return {Load32(readQueueAt_ + kValueAt), Load32(readQueueAt_ + kArgAt)};
}

uint32_t QVSHMLayout::unreadMessage() const { return Load32(writeQueueAt_ + kValueAt); }

void QVSHMLayout::clearReadMessage() {
  Store32(readQueueAt_ + kValueAt, 0);
  Store32(readQueueAt_ + kArgAt, 0);
}

void QVSHMLayout::setWriteQueueProcessID(uint32_t pid) {
  Store32(writeQueueAt_ + kProcessIDAt, pid);
}

uint32_t QVSHMLayout::writeQueueProcessID() const { return Load32(writeQueueAt_ + kProcessIDAt); }

uint32_t QVSHMLayout::readQueueProcessID() const { return Load32(readQueueAt_ + kProcessIDAt); }

void QVSHMLayout::setReaderState(uint32_t state) {
  if (start_ == nullptr) return;
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(start_ + readQueueAt_ + kReaderStateAt))
      .store(state, std::memory_order_seq_cst);
}

uint32_t QVSHMLayout::peerReaderState() const {
  if (start_ == nullptr) return 0;
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(start_ + writeQueueAt_ + kReaderStateAt))
      .load(std::memory_order_seq_cst);
}

void QVSHMLayout::sleepWhileReaderSleeps(long microseconds) {
  if (start_ == nullptr) return;
  platform::WaitWhileWordIs(reinterpret_cast<uint32_t*>(start_ + readQueueAt_ + kReaderStateAt), kReaderSleeping,
                            microseconds);
}

void QVSHMLayout::wakeSleepingReader(bool peer) {
  if (start_ == nullptr) return;
  auto* word = reinterpret_cast<uint32_t*>(start_ + (peer ? writeQueueAt_ : readQueueAt_) + kReaderStateAt);
  uint32_t sleeping = kReaderSleeping;
  if (std::atomic_ref<uint32_t>(*word).compare_exchange_strong(sleeping, kReaderWantsWakeUps,
                                                               std::memory_order_seq_cst)) {
    platform::WakeWordSleepers(word);
  }
}

// ---- ring queues ----

void QVSHMLayout::ResetQueue(uint32_t at) {
  Store32(at + kReadOffsetAt, 0);
  Store32(at + kWriteOffsetAt, 0);
  Store32(at + kFreeSpaceAt, bufferLength_);
}

void QVSHMLayout::initializeQueues() {
  ResetQueue(writeQueueAt_);
  ResetQueue(readQueueAt_);
}

void QVSHMLayout::resetWriteQueue() { ResetQueue(writeQueueAt_); }

void QVSHMLayout::resetReadQueue() { ResetQueue(readQueueAt_); }

// The ring keeps no gap byte: equal offsets are empty or full, and freeSpace
// tells which; otherwise the bytes between them are the used ones. Every
// decision below works on one snapshot of the header.
bool QVSHMLayout::SoundQ(const QVSHMQueueHeader& q) const {
  const uint32_t size = bufferLength_;
  if (start_ == nullptr || size == 0) return false;
  if (q.readOffset >= size || q.writeOffset >= size || q.freeSpace > size) return false;
  if (q.freeSpace == size || q.freeSpace == 0) return q.readOffset == q.writeOffset;
  const uint32_t used = (q.writeOffset + size - q.readOffset) % size;
  return used == size - q.freeSpace;
}

uint32_t QVSHMLayout::WriteRoom(const QVSHMQueueHeader& q) const {
  if (!SoundQ(q) || q.freeSpace == 0) return 0;  // full: equal offsets are no room
  if (q.readOffset > q.writeOffset) return q.readOffset - q.writeOffset;
  return bufferLength_ - q.writeOffset;
}

uint32_t QVSHMLayout::ReadRoom(const QVSHMQueueHeader& q) const {
  if (!SoundQ(q) || q.freeSpace == bufferLength_) return 0;
  if (q.writeOffset > q.readOffset) return q.writeOffset - q.readOffset;
  return bufferLength_ - q.readOffset;
}

bool QVSHMLayout::writeQueueSoundQ() const { return SoundQ(writeQueueHeader()); }

bool QVSHMLayout::readQueueSoundQ() const { return SoundQ(readQueueHeader()); }

uint32_t QVSHMLayout::bytesAvailableToWrite() const { return WriteRoom(writeQueueHeader()); }

uint32_t QVSHMLayout::bytesAvailableToRead() const { return ReadRoom(readQueueHeader()); }

QVSHMWindow QVSHMLayout::writeWindow() const {
  const QVSHMQueueHeader q = writeQueueHeader();
  const uint32_t length = WriteRoom(q);
  if (length == 0) return {};
  return {start_ + writeBufferOffset() + q.writeOffset, length};
}

QVSHMWindow QVSHMLayout::readWindow() const {
  const QVSHMQueueHeader q = readQueueHeader();
  const uint32_t length = ReadRoom(q);
  if (length == 0) return {};
  return {start_ + readBufferOffset() + q.readOffset, length};
}

// Checked first, changed after: a refused commit leaves every field as it was.
void QVSHMLayout::wroteThisManyBytes(uint32_t n) {
  if (n == 0) return;
  const QVSHMQueueHeader q = writeQueueHeader();
  if (!SoundQ(q)) QueueError("Internal queue error.  Queue header is out of range.", __LINE__);
  if (q.freeSpace == 0) {
    QueueError("Internal queue error.  Freespace cannot be zero and then decremented.", __LINE__);
  }
  if (n > WriteRoom(q)) {
    QueueError("Internal queue error.  Commit is larger than the write window.", __LINE__);
  }
  const uint32_t next = q.writeOffset + n;
  Store32(writeQueueAt_ + kFreeSpaceAt, q.freeSpace - n);
  Store32(writeQueueAt_ + kWriteOffsetAt, next == bufferLength_ ? 0 : next);
}

void QVSHMLayout::readThisManyBytes(uint32_t n) {
  if (n == 0) return;
  const QVSHMQueueHeader q = readQueueHeader();
  if (!SoundQ(q)) QueueError("Internal queue error.  Queue header is out of range.", __LINE__);
  if (n > ReadRoom(q)) {
    QueueError("Internal queue error.  Release is larger than the read window.", __LINE__);
  }
  const uint32_t next = q.readOffset + n;
  Store32(readQueueAt_ + kReadOffsetAt, next == bufferLength_ ? 0 : next);
  Store32(readQueueAt_ + kFreeSpaceAt, q.freeSpace + n);
}

// The counter is loaded before the offset: a writer that rewound the queue
// (both offsets 0) did so before the commit this load sees.
QVSHMWindow QVSHMLayout::writeWindowFromCount() const {
  if (start_ == nullptr || bufferLength_ == 0) return {};
  const uint32_t free = Load32(writeQueueAt_ + kFreeSpaceAt);
  const uint32_t at = Load32(writeQueueAt_ + kWriteOffsetAt);
  if (free == 0 || free > bufferLength_ || at >= bufferLength_) return {};
  return {start_ + writeBufferOffset() + at, std::min(free, bufferLength_ - at)};
}

QVSHMWindow QVSHMLayout::readWindowFromCount() const {
  if (start_ == nullptr || bufferLength_ == 0) return {};
  const uint32_t free = Load32(readQueueAt_ + kFreeSpaceAt);
  const uint32_t at = Load32(readQueueAt_ + kReadOffsetAt);
  if (free >= bufferLength_ || at >= bufferLength_) return {};
  return {start_ + readBufferOffset() + at, std::min(bufferLength_ - free, bufferLength_ - at)};
}

// The offset moves first, the counter after: the reader learns of the bytes
// only from the counter, and by then the offset (and the bytes) are there.
uint32_t QVSHMLayout::countWritten(uint32_t n) {
  const uint32_t free = Load32(writeQueueAt_ + kFreeSpaceAt);
  if (n == 0) return free;
  if (free == 0) {
    QueueError("Internal queue error.  Freespace cannot be zero and then decremented.", __LINE__);
  }
  const QVSHMWindow window = writeWindowFromCount();
  if (n > window.length) QueueError("Internal queue error.  Commit is larger than the write window.", __LINE__);
  const uint32_t next = Load32(writeQueueAt_ + kWriteOffsetAt) + n;
  Store32(writeQueueAt_ + kWriteOffsetAt, next == bufferLength_ ? 0 : next);
  return AddToWord(start_ + writeQueueAt_ + kFreeSpaceAt, -int64_t{n});
}

uint32_t QVSHMLayout::countRead(uint32_t n) {
  if (n == 0) return Load32(readQueueAt_ + kFreeSpaceAt);
  const QVSHMWindow window = readWindowFromCount();
  if (n > window.length) QueueError("Internal queue error.  Release is larger than the read window.", __LINE__);
  const uint32_t next = Load32(readQueueAt_ + kReadOffsetAt) + n;
  Store32(readQueueAt_ + kReadOffsetAt, next == bufferLength_ ? 0 : next);
  return AddToWord(start_ + readQueueAt_ + kFreeSpaceAt, n);
}

void QVSHMLayout::print(std::ostream& os) const {
  os << "<QVSHMLayout>";
  if (start_ != nullptr) {
    os << header() << data() << readQueueHeader() << writeQueueHeader();
  }
  os << "</QVSHMLayout>";
}

std::ostream& operator<<(std::ostream& os, const QVSHMLayout& layout) {
  layout.print(os);
  return os;
}

}  // namespace Quorvane

// The Pipes stream: the connect exchange, windows out and segments in.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "device/qvmessagelayer.h"
#include "device/qvpipes.h"
#include "device/qvpipesrecord.h"
#include "device/qvpipeswindows.h"
#include "device/qvsigpipeheld.h"
#include "utilities/qvtimes.h"

namespace Quorvane::pipes {

namespace {

constexpr int64_t kReadYieldValue = 3;
constexpr int64_t kWriteYieldValue = 4;
constexpr long kYieldSleep = 12;
// How long an end of file waits for a launched child's death to be known.
constexpr int kDeathPolls = 200;
constexpr long kDeathPollMicroseconds = 1000;

struct YieldData {
  explicit YieldData(int64_t value) {
    QVNewYieldData(&record);
    QVResetYieldData(&record, value);
    QVSetSleepYP(&record, kYieldSleep);
  }
  ~YieldData() { QVFreeYieldData(&record); }
  YieldData(const YieldData&) = delete;
  YieldData& operator=(const YieldData&) = delete;
  QVYieldParams record{};
};

// Outcome of one transfer: done, stopped by the yield function, failed.
enum class Outcome { kDone, kStopped, kFailed };

// The bytes to the write descriptor with the record's yield function.
Outcome pipe_write(Record* record, const void* bytes, long length) {
  YieldData yield(kWriteYieldValue);
  const long written = GuardedWrite(record, bytes, length, &yield.record);
  if (written == length) return Outcome::kDone;
  return written == 0 ? Outcome::kStopped : Outcome::kFailed;
}

long WritePieces(void* record, iovec* pieces, int count) {
  YieldData yield(kWriteYieldValue);
  return GuardedWritePieces(static_cast<Record*>(record), pieces, count, &yield.record);
}

// End of file from a child killed by a signal is the link's loss, not a close.
bool ChildWasKilled(Instance* instance) {
  Record* record = instance->record;
  if (record->launched == 0) return false;
  _qvchild* children = record->environment->children;
  const int polls = instance->endOfFileSeen ? 1 : kDeathPolls;
  instance->endOfFileSeen = true;
  for (int poll = 0; poll < polls; ++poll) {
    ReapChildren(record->environment);
    const int32_t kind = qvchild_get_pid_status(children, record->childPid);
    if (kind == 2) return true;
    if (kind != 0) return false;
    QVMicroSleep(kDeathPollMicroseconds);
  }
  return false;
}

// From the read descriptor with the record's yield function: bytes read, 0
// for a yield stop, -2 end of file, -1 error. A read of the
// stream meets the peer awake where it answers soon; otherwise it blocks.
long pipe_read(Instance* instance, void* buffer, long length, bool stream = false) {
  Record* record = instance->record;
  const pid_t peer = record->childPid != 0 ? record->childPid : record->parentPid;
  long got = stream ? ReadSoon(&instance->readSpin, record->readFd, buffer, length, peer) : kNothingReadYet;
  if (got == kNothingReadYet) {
    YieldData yield(kReadYieldValue);
    got = unix_read(record->readFd, buffer, length, record->yielder, record->yieldCookie, record->forceYield ? 1 : 0,
                    &yield.record);
  }
  if (got == -2 && ChildWasKilled(instance)) return -1;
  return got;
}

Outcome ReadByte(Instance* instance, char* byte) {
  const long got = pipe_read(instance, byte, 1);
  if (got == 1) return Outcome::kDone;
  return got == 0 ? Outcome::kStopped : Outcome::kFailed;
}

// The synchronisation: each side sends one "Y" and skips what comes before
// the peer's. A stop leaves the step where it was: the "Y" is sent once, and
// the next call goes on waiting for the peer's.
Outcome pipe_connect(Instance* instance) {
  Record* record = instance->record;
  if (record->syncState > 0) return Outcome::kDone;
  if (record->syncState == 0) {
    const Outcome wrote = pipe_write(record, "Y", 1);
    if (wrote != Outcome::kDone) return wrote;
    record->syncState = -1;
  }
  for (;;) {
    char byte = 0;
    const Outcome read = ReadByte(instance, &byte);
    if (read != Outcome::kDone) return read;
    if (byte == 'Y') break;
  }
  record->syncState = 1;
  return Outcome::kDone;
}

long Fail(Instance* instance) {
  instance->state = kFailed;
  return kConnectionLost;
}

// The peer's role words, read byte by byte so nothing of the stream after
// them is taken; kDone with the peer's role in instance->peerWord.
Outcome HearRoleWord(Instance* instance) {
  for (;;) {
    char byte = 0;
    const Outcome read = ReadByte(instance, &byte);
    if (read != Outcome::kDone) return read;
    const WordStep step = TakeRoleWordByte(&instance->peerWord, byte);
    if (step == WordStep::kRefused) return Outcome::kFailed;
    if (step == WordStep::kDone) return Outcome::kDone;
  }
}

void HandOut(Scanner& s, char** start, long* size) {
  const Segment& segment = s.segments[s.nextSegment++];
  *start = segment.start;
  *size = segment.length;
}

// Scans the bytes read: acknowledgements release windows, a close marks the
// peer gone, each window of the peer is acknowledged.
void ScanBuffered(Instance* instance) {
  Scanner& s = instance->scanner;
  ScanEvents events;
  Scan(&s, &events);
  for (int i = 0; i < events.acknowledged && instance->oldestUnacknowledged != instance->current; ++i) {
    instance->oldestUnacknowledged = instance->oldestUnacknowledged->next;
  }
  if (events.closed) {
    instance->state = kPeerClosed;  // nobody is left to hear acknowledgements
  } else if (events.peerWindows > 0 && instance->state != kFailed) {
    // Every window that ended in this input is acknowledged at once, all in one write.
    // The data already here is still handed out; the next read reports the loss.
    if (SendAcknowledgements(events.peerWindows, instance->peer.lower, &WritePieces, instance->record) != Sent::kAll) {
      instance->state = kFailed;
    }
  }
}

}  // namespace

long GuardedWritePieces(Record* record, iovec* pieces, int count, QVYieldParams* yieldData) noexcept {
  // Mostly the descriptor is a pipe, and a write into a pipe can skip the
  // look for urgent data; descriptors given by number may be anything.
  if (record->writesToPipe == 0) {
    struct stat status {};
    record->writesToPipe = fstat(record->writeFd, &status) == 0 && S_ISFIFO(status.st_mode) ? 1 : -1;
  }
  const QVWriteTarget target = record->writesToPipe > 0 ? QVWriteTarget::kPipe : QVWriteTarget::kAny;
  SigpipeHeld held;
  return unix_write_pieces(target, record->writeFd, pieces, count, record->yielder, record->yieldCookie,
                           record->forceYield ? 1 : 0, yieldData);
}

long GuardedWrite(Record* record, const void* bytes, long length, QVYieldParams* yieldData) noexcept {
  if (length == 0) return 0;
  iovec piece{const_cast<void*>(bytes), static_cast<size_t>(length)};
  return GuardedWritePieces(record, &piece, 1, yieldData);
}

long Connect(Instance* instance) noexcept {
  if (instance->state == kConnected || instance->state == kPeerClosed) return 0;
  if (instance->state == kFailed) return kConnectionLost;
  // Each step keeps its place: a yield stop answers 25 and the next call
  // goes on from there.
  const Outcome synchronised = pipe_connect(instance);
  if (synchronised == Outcome::kStopped) return kYieldStopped;
  if (synchronised == Outcome::kFailed) return Fail(instance);
  if (!instance->wordSaid) {
    char said[16];
    const size_t length = std::strlen(instance->own.word);
    std::memcpy(said, instance->own.word, length);
    said[length] = ' ';
    const Outcome wrote = pipe_write(instance->record, said, static_cast<long>(length) + 1);
    if (wrote == Outcome::kStopped) return kYieldStopped;
    if (wrote == Outcome::kFailed) return Fail(instance);
    instance->wordSaid = true;
    StartRoleWord(&instance->peerWord);
  }
  const Outcome heard = HearRoleWord(instance);
  if (heard == Outcome::kStopped) return kYieldStopped;
  if (heard == Outcome::kFailed) return Fail(instance);
  instance->peer = instance->peerWord.peer;
  instance->scanner.peerUpper = instance->peer.upper;
  instance->scanner.ownLower = instance->own.lower;
  instance->state = kConnected;
  return 0;
}

long ConnectReady(Instance* instance, long* ready) noexcept {
  if (HasBufferedInput(instance->scanner)) {
    *ready = 1;
    return 0;
  }
  if (instance->state == kPeerClosed) {
    *ready = 1;
    return kPeerClosedLink;
  }
  Record* record = instance->record;
  if (record->syncState == 0 && record->launched == 0) {
    *ready = 1;
    return 0;
  }
  const int waited = unix_select(record->readFd, -1, -1, 0);
  *ready = waited;
  return waited < 0 ? 1 : 0;
}

}  // namespace Quorvane::pipes

long pipe_hasdata(void* device, long* ready) noexcept {
  using namespace Quorvane::pipes;
  if (device == nullptr || ready == nullptr) return -1;
  auto* instance = static_cast<Instance*>(device);
  if (instance->state != kConnected) return ConnectReady(instance, ready);
  Scanner& s = instance->scanner;
  Record* record = instance->record;
  // Acknowledgements and window ends make the pipe readable with nothing for
  // the reader: they are taken here, so a wait for input keeps waiting (and
  // asking its callback) instead of sending the caller into a read that
  // blocks until the peer's next packet.
  while (!HasBufferedInput(s) && instance->state == kConnected) {
    if (unix_select(record->readFd, -1, -1, 0) != 1) return ConnectReady(instance, ready);
    const ssize_t got = ::read(record->readFd, s.buffer, kReadBufferSize);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // An end of file or a failure stays for the read to report.
    if (got <= 0) {
      *ready = 1;
      return 0;
    }
    s.cursor = 0;
    s.end = got;
    ScanBuffered(instance);
  }
  if (instance->state == kFailed) {
    *ready = 1;
    return 0;
  }
  return ConnectReady(instance, ready);
}

namespace Quorvane::pipes {

long WriteWindow(Instance* instance, char** start, long* size) noexcept {
  if (instance->state == kPeerClosed) return kPeerClosedLink;
  if (instance->firstWindow) {
    instance->firstWindow = false;
  } else {
    if (HasBufferedInput(instance->scanner) || instance->current->next == instance->oldestUnacknowledged) {
      *start = nullptr;
      *size = 0;
      return 0;
    }
    WindowNode* window = instance->current;
    const Sent sent = SendWindow(*window, instance->own.upper, &WritePieces, instance->record);
    // A window that did not go stays current: the caller learns of it.
    if (sent == Sent::kStopped) return kYieldStopped;
    if (sent == Sent::kFailed) return Fail(instance);
    window->next->sentBefore = window->placed + window->sentBefore;
    window->next->placed = 0;
    instance->current = window->next;
  }
  *start = instance->current->buffer;
  *size = kWindowData;
  return 0;
}

void SetPlaced(Instance* instance, const char* start, long count) noexcept {
  // Only a count for the window handed out: a caller that got no window has
  // placed nothing.
  if (start != instance->current->buffer || count < 0) return;
  instance->current->placed = count > kWindowData ? kWindowData : count;
}

long Read(Instance* instance, char** start, long* size) noexcept {
  Scanner& s = instance->scanner;
  *start = nullptr;
  *size = 0;
  if (s.nextSegment < s.waitingSegments) {
    HandOut(s, start, size);
    return 0;
  }
  if (s.cursor >= s.end) {
    if (instance->state == kPeerClosed) return kPeerClosedLink;
    if (instance->state == kFailed) return kConnectionLost;
    const long got = pipe_read(instance, s.buffer, kReadBufferSize, true);
    if (got == -2) return kPeerClosedLink;
    if (got < 0) return kConnectionLost;
    if (got == 0) return kYieldStopped;
    s.cursor = 0;
    s.end = got;
  }
  ScanBuffered(instance);
  if (s.waitingSegments > 0) HandOut(s, start, size);
  return 0;
}

long ReadComplete(Instance* instance) noexcept {
  if (HasBufferedInput(instance->scanner)) return kUnreadData;
  return instance->state == kPeerClosed ? kPeerClosedLink : 0;
}

void Close(Instance* instance) noexcept {
  if (instance->state == kConnected) {
    const char close[2] = {kEscape, kCloseMark};
    pipe_write(instance->record, close, 2);
  }
  pipe_destroy(instance->record);
  qv_deallocator_fn deallocator = instance->world->deallocator;
  for (WindowNode& node : instance->nodes) {
    if (node.buffer != nullptr) deallocator(node.buffer);
  }
  deallocator(instance);
}

}  // namespace Quorvane::pipes

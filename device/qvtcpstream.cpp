// The TCP stream: the Pipes window framing over the data connection, with
// smaller windows, after the record's connect step.
#include <cstring>

#include "device/qvmessagelayer.h"
#include "device/qvpipeswindows.h"
#include "device/qvtcprecord.h"

namespace Quorvane::tcp {

namespace {

using pipes::kCloseMark;
using pipes::kEscape;

constexpr long kRoleWordLimit = 256;
static_assert(kWindowData <= pipes::kWindowData, "a window is sent through the Pipes device's room");

long WritePieces(void* record, iovec* pieces, int count) {
  return RecordWritePieces(static_cast<socket_device*>(record), pieces, count);
}

long Fail(Instance* instance) {
  instance->state = pipes::kFailed;
  return kConnectionLost;
}

bool WriteAll(Instance* instance, const void* bytes, long length) {
  return socket_write(instance->record, bytes, length) == length;
}

// One word up to a blank or a comma: 1 read, 0 stopped by the yield
// function, -1 a failed read or a word longer than the buffer.
int ReadRoleWord(Instance* instance, char* word, long* length, char* ended) {
  *length = 0;
  for (;;) {
    char byte = 0;
    const long got = socket_read(instance->record, &byte, 1);
    if (got == 0) return 0;
    if (got != 1) return -1;
    if (byte == ' ' || byte == ',') {
      *ended = byte;
      return 1;
    }
    if (*length == kRoleWordLimit) return -1;
    word[(*length)++] = byte;
  }
}

// The own role word out and the peer's in (later comma-ended words
// skipped): 0, kYieldStopped, or kConnectionLost.
long ExchangeRoleWords(Instance* instance) {
  char said[16];
  const size_t length = std::strlen(instance->own.word);
  std::memcpy(said, instance->own.word, length);
  said[length] = ' ';
  const long sent = socket_write(instance->record, said, static_cast<long>(length) + 1);
  if (sent == 0) return kYieldStopped;
  if (sent != static_cast<long>(length) + 1) return kConnectionLost;
  char word[kRoleWordLimit];
  long wordLength = 0;
  char ended = 0;
  bool first = true;
  do {
    const int got = ReadRoleWord(instance, word, &wordLength, &ended);
    if (got == 0) return kYieldStopped;
    if (got < 0) return kConnectionLost;
    if (first && !pipes::RoleOfWord(word, wordLength, &instance->peer)) return kConnectionLost;
    first = false;
  } while (ended == ',');
  return 0;
}

void HandOut(Scanner& s, char** start, long* size) {
  const pipes::Segment& segment = s.segments[s.nextSegment++];
  *start = segment.start;
  *size = segment.length;
}

// Reads what the connection holds when nothing is buffered, scans it and
// answers its control sequences: 0, or the answer a read gives. Unless the
// connection is known to be readable, the read may have to wait.
long Fill(Instance* instance, bool readable) {
  Scanner& s = instance->scanner;
  if (s.cursor >= s.end) {
    socket_device* record = instance->record;
    // The peer is met awake where it answers soon; otherwise the read blocks.
    long got = readable || Unconnected(record)
                   ? kNothingReadYet
                   : ReadSoon(&instance->readSpin, record->dataFd, s.buffer, pipes::kReadBufferSize,
                              QVSpinChoice::kPeerUnknown);
    if (got == kNothingReadYet) got = socket_read(record, s.buffer, pipes::kReadBufferSize);
    if (got == -2) {
      instance->endOfStream = true;
      return kPeerClosedLink;
    }
    if (got < 0) return kConnectionLost;
    if (got == 0) return kYieldStopped;
    s.cursor = 0;
    s.end = got;
  }
  pipes::ScanEvents events;
  pipes::Scan(&s, &events);
  for (int i = 0; i < events.acknowledged && instance->oldestUnacknowledged != instance->current; ++i) {
    instance->oldestUnacknowledged = instance->oldestUnacknowledged->next;
  }
  if (events.closed) {
    instance->state = pipes::kPeerClosed;
  } else if (events.peerWindows > 0 && instance->state != pipes::kFailed) {
    // Every window that ended in this input is acknowledged at once, all in one write.
    if (pipes::SendAcknowledgements(events.peerWindows, instance->peer.lower, &WritePieces, instance->record) !=
        pipes::Sent::kAll) {
      instance->state = pipes::kFailed;
    }
  }
  return 0;
}

}  // namespace

long Connect(Instance* instance) noexcept {
  if (instance->state == pipes::kConnected || instance->state == pipes::kPeerClosed) return 0;
  if (instance->state == pipes::kFailed) return kConnectionLost;
  switch (socket_connect(instance->record)) {
    case kStepConnected: break;
    case kStepStopped: return kYieldStopped;
    case kStepUnreachable: instance->state = pipes::kFailed; return kUnreachable;
    case kStepRefused: instance->state = pipes::kFailed; return kRefused;
    default: return Fail(instance);
  }
  const long exchanged = ExchangeRoleWords(instance);
  if (exchanged == kYieldStopped) {
    // Stopped half-way: the next connect starts again from the accept or
    // the connect.
    Restart(instance->record);
    return kYieldStopped;
  }
  Settle(instance->record);
  if (exchanged != 0) return Fail(instance);
  instance->scanner.peerUpper = instance->peer.upper;
  instance->scanner.ownLower = instance->own.lower;
  instance->state = pipes::kConnected;
  return 0;
}

long ConnectReady(Instance* instance, long* ready) noexcept {
  if (pipes::HasBufferedInput(instance->scanner)) {
    *ready = 1;
    return 0;
  }
  if (instance->state == pipes::kPeerClosed) {
    *ready = 1;
    return kPeerClosedLink;
  }
  socket_device* record = instance->record;
  if (record->state == 0 && record->listening == 0) {
    *ready = 1;
    return 0;
  }
  const int waited = unix_select(record->dataFd, -1, -1, 0);
  *ready = waited;
  if (waited <= 0) return waited < 0 ? 1 : 0;
  if (instance->state != pipes::kConnected) return 0;
  // Acknowledgements alone are no data: they are taken now, so a wait for
  // activity does not end in a read that blocks.
  const long filled = Fill(instance, true);
  if (filled == kPeerClosedLink) return 0;
  if (filled != 0) return 1;
  *ready = pipes::HasBufferedInput(instance->scanner) || instance->state == pipes::kPeerClosed ? 1 : 0;
  return 0;
}

long WriteWindow(Instance* instance, char** start, long* size) noexcept {
  if (instance->state == pipes::kPeerClosed) return kPeerClosedLink;
  if (instance->firstWindow) {
    instance->firstWindow = false;
  } else {
    if (pipes::HasBufferedInput(instance->scanner) || instance->current->next == instance->oldestUnacknowledged) {
      *start = nullptr;
      *size = 0;
      return 0;
    }
    WindowNode* window = instance->current;
    const pipes::Sent sent = pipes::SendWindow(*window, instance->own.upper, &WritePieces, instance->record);
    // A window that did not go stays current: the caller learns of it.
    if (sent == pipes::Sent::kStopped) return kYieldStopped;
    if (sent == pipes::Sent::kFailed) return Fail(instance);
    window->next->sentBefore = window->placed + window->sentBefore;
    window->next->placed = 0;
    instance->current = window->next;
  }
  *start = instance->current->buffer;
  *size = kWindowData;
  return 0;
}

void SetPlaced(Instance* instance, const char* start, long count) noexcept {
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
    if (instance->state == pipes::kPeerClosed || instance->endOfStream) return kPeerClosedLink;
    if (instance->state == pipes::kFailed) return kConnectionLost;
  }
  const long filled = Fill(instance, false);
  if (filled != 0) return filled;
  if (s.waitingSegments > 0) HandOut(s, start, size);
  return 0;
}

long ReadComplete(Instance* instance) noexcept {
  if (pipes::HasBufferedInput(instance->scanner)) return kUnreadData;
  return instance->state == pipes::kPeerClosed ? kPeerClosedLink : 0;
}

void Close(Instance* instance) noexcept {
  if (instance->state == pipes::kConnected) {
    const char close[2] = {kEscape, kCloseMark};
    WriteAll(instance, close, 2);
  }
  socket_destroy(instance->record);
  qv_deallocator_fn deallocator = instance->world->deallocator;
  for (WindowNode& node : instance->nodes) {
    if (node.buffer != nullptr) deallocator(node.buffer);
  }
  deallocator(instance);
}

}  // namespace Quorvane::tcp

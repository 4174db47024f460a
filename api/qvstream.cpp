// Writing into the device's window, flushing it, filling the queue from the
// device, and reading bytes back.
#include "api/qvstream.h"

#include <algorithm>
#include <cstring>

namespace {

using Window = Quorvane::QVDeviceInstance::Window;

constexpr long kNothingArrives = 25;
constexpr long kPeerClosed = 11;
constexpr long kDeviceLost = 1;
constexpr long kQueueRefused = 8;
constexpr long kMoreReady = 26;

int SetError(long* error, long code) {
  if (error != nullptr) *error = code;
  return -1;
}

int64_t Pending(const device_kebab* stack) { return stack->window_size - stack->room; }

void SetWindow(device_kebab* stack, unsigned char* start, int64_t size) {
  stack->window_start = stack->cursor = start;
  stack->window_size = stack->room = size;
}

// Appends through the queue's own write window and answers exactly how many
// bytes went in (short only when the queue cannot grow).
int64_t AppendExact(_queue* queue, const unsigned char* bytes, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    unsigned char* start = qvqueue_putstart(queue);
    unsigned char* end = qvqueue_putend(queue);
    if (start == nullptr || end == nullptr || end <= start) break;
    const int64_t k = std::min<int64_t>(end - start, count - done);
    std::memcpy(start, bytes + done, static_cast<size_t>(k));
    qvqueue_putstop(queue, start + k);
    done += k;
  }
  return done;
}

int64_t TakeQueued(_queue* queue, unsigned char* out, int64_t count) {
  if (count <= 0) return 0;
  const int64_t got = qvqueue_getn(queue, out, count);
  return got > 0 ? got : 0;
}

void ResetWhenDrained(device_kebab* stack, _queue* queue) {
  if (stack != nullptr && stack->has_data != nullptr && qvqueue_isempty(queue) != 0) {
    qvdk__reset_has_data(stack);
  }
}

// The pending bytes go to the link's own input. Only what the queue took is
// counted and leaves the window; the rest stays pending.
long FlushLoopback(device_kebab* stack, _queue* queue) {
  const int64_t pending = Pending(stack);
  if (pending <= 0) return 0;
  const int64_t appended = AppendExact(queue, stack->window_start, pending);
  stack->bytes_flushed += static_cast<uint64_t>(appended);
  const int64_t left = pending - appended;
  if (left > 0) std::memmove(stack->window_start, stack->window_start + appended, static_cast<size_t>(left));
  stack->cursor = stack->window_start + left;
  stack->room = stack->window_size - left;
  qvdk__signal_has_data(stack);
  return left > 0 ? kQueueRefused : 0;
}

// While the device gives no window, reading the peer's output may be what
// frees room on its side.
long AwaitWindow(device_kebab* stack, _queue* queue, Window window) {
  while (window.first == nullptr || window.second <= 0) {
    const long filled = qvs__fill(stack, queue);
    if (filled != 0) return filled;
    long error = 0;
    window = stack->device->writeWindow(&error);
    if (error != 0) return error;
  }
  qvs__use_device_window(stack, reinterpret_cast<unsigned char*>(window.first), window.second);
  return 0;
}

long FlushDevice(device_kebab* stack, _queue* queue) {
  const int64_t pending = Pending(stack);
  if (pending == 0 && stack->room > 0) return 0;
  if (!stack->device) return kNothingArrives;
  long error = 0;
  Window next{nullptr, 0};
  if (pending > 0) {
    next = stack->device->write(reinterpret_cast<char*>(stack->window_start), pending, &error);
    if (error != 0) return error;  // still pending, not counted: a retry sends it once
    stack->bytes_flushed += static_cast<uint64_t>(pending);
    SetWindow(stack, nullptr, 0);  // the committed window is the device's again
  } else {
    next = stack->device->writeWindow(&error);
    if (error != 0) return error;
  }
  return AwaitWindow(stack, queue, next);
}

long FillFromDevice(device_kebab* stack, _queue* queue) {
  for (;;) {
    long error = 0;
    Window window = stack->device->read(&error);
    if (error == kPeerClosed || error == kNothingArrives) return error;
    if (error != 0) return kDeviceLost;
    const int64_t size = window.first != nullptr ? window.second : 0;
    const int64_t appended =
        size > 0 ? AppendExact(queue, reinterpret_cast<unsigned char*>(window.first), size) : 0;
    long more = 0;
    stack->device->readComplete(window.first, appended, &more);
    if (appended < size) return kQueueRefused;
    if (more == kMoreReady) continue;
    return more == kPeerClosed ? kPeerClosed : 0;
  }
}

// Only bytes nobody can ask for again may pass the queue by: no mark or
// sibling queue that would read them later, nothing borrowed, and nothing
// of ours pending that the peer may need before it writes.
bool PassableQ(device_kebab* stack, _queue* queue) {
  return stack != nullptr && stack->loopback == 0 && stack->device && Pending(stack) == 0 &&
         qvqueue_isempty(queue) == 1 && qvqueue_outstanding_marks(queue) == 0 && queue->shared->pending == 0 &&
         qvqueue_sibling_count(queue) == 1 && qvqueue_borrowed(queue) == 0;
}

bool StraightReadQ(device_kebab* stack, _queue* queue, int64_t count) {
  return count >= kQVSStraightLeast && PassableQ(stack, queue);
}

// One device window: take() consumes what it wants of it where it lies, the
// rest goes to the queue, as a fill would have put it. Answers the bytes
// taken; *code tells why there were none.
template <typename Take>
int64_t TakeFromDevice(device_kebab* stack, _queue* queue, Take&& take, long* code) {
  long error = 0;
  Window window = stack->device->read(&error);
  if (error != 0) {
    *code = error == kPeerClosed || error == kNothingArrives ? error : kDeviceLost;
    return 0;
  }
  auto* bytes = reinterpret_cast<unsigned char*>(window.first);
  const int64_t size = bytes != nullptr ? window.second : 0;
  const int64_t taken = size > 0 ? std::clamp<int64_t>(take(bytes, size), 0, size) : 0;
  const int64_t queued = size > taken ? AppendExact(queue, bytes + taken, size - taken) : 0;
  long more = 0;
  stack->device->readComplete(window.first, taken + queued, &more);
  // A peer that closed after this window is reported once nothing of it is left.
  *code = taken + queued < size ? kQueueRefused : more == kPeerClosed && taken + queued == 0 ? kPeerClosed : 0;
  return taken;
}

int64_t ReadStraight(device_kebab* stack, _queue* queue, unsigned char* out, int64_t count, long* code) {
  return TakeFromDevice(
      stack, queue,
      [&](const unsigned char* bytes, int64_t size) {
        const int64_t straight = std::min(size, count);
        std::memcpy(out, bytes, static_cast<size_t>(straight));
        return straight;
      },
      code);
}

// The queue is empty: send what is pending, else wait for the device.
int WaitForByte(device_kebab* stack, _queue* queue, long* error) {
  if (stack == nullptr) return SetError(error, kNothingArrives);
  for (;;) {
    const long code = Pending(stack) > 0 ? qvs__flush_(stack, queue) : qvs__fill(stack, queue);
    const int c = qvqueue_getc(queue);
    if (c >= 0) return c;
    if (code != 0) return SetError(error, code);
  }
}

// Whether a fill would find input without blocking. What the device reported
// goes to *reported: a peer that closed with nothing left to read must read
// as closed, not as "nothing yet", or a caller waiting for readiness waits
// for ever.
bool InputKnown(device_kebab* stack, long* reported = nullptr) {
  if (stack->loopback != 0) return Pending(stack) > 0;
  if (!stack->device) return false;
  long error = 0;
  const bool ready = stack->device->hasData(&error);
  if (reported != nullptr) *reported = error;
  return ready && error == 0;
}

// Makes room in the window; 0 when there is some.
long MakeRoom(device_kebab* stack, _queue* queue) {
  if (stack->room > 0) return 0;
  const long code = qvs__flush_(stack, queue);
  if (code != 0) return code;
  return stack->room > 0 ? 0 : kDeviceLost;  // a loopback link not yet given its window
}

// Loopback with nothing pending: whole windows' worth go to the queue at
// once, as the flushes of those windows would have put them; the rest goes
// into the window. Answers the bytes appended.
int64_t AppendWholeWindows(device_kebab* stack, _queue* queue, const unsigned char* bytes,
                           int64_t count, long* error) {
  const int64_t whole = count - count % stack->window_size;
  const int64_t appended = AppendExact(queue, bytes, whole);
  stack->bytes_flushed += static_cast<uint64_t>(appended);
  qvdk__signal_has_data(stack);
  if (appended < whole) SetError(error, kQueueRefused);
  return appended;
}

int64_t PutIntoWindows(device_kebab* stack, _queue* queue, const unsigned char* bytes,
                       int64_t count, long* error) {
  int64_t done = 0;
  if (stack->loopback != 0 && stack->window_size > 0 && Pending(stack) == 0 &&
      count >= stack->window_size) {
    done = AppendWholeWindows(stack, queue, bytes, count, error);
    if (done < count - count % stack->window_size) return done;
  }
  while (done < count) {
    const long code = MakeRoom(stack, queue);
    if (code != 0) {
      SetError(error, code);
      break;
    }
    const int64_t k = std::min<int64_t>(stack->room, count - done);
    std::memcpy(stack->cursor, bytes + done, static_cast<size_t>(k));
    stack->cursor += k;
    stack->room -= k;
    done += k;
  }
  return done;
}

int64_t BytesUpTo(_queue* queue, _mark* end) {
  _mark here;
  if (qvqueue_construct_and_savemark(queue, &here) == nullptr) return -1;
  const int64_t amount = qvqueue_amount_between_marks(end, &here);
  qvqueue_discardmark(&here);
  return amount;
}

int CompareReadPosition(_queue* queue, _mark* mark) {
  _mark here;
  if (qvqueue_construct_and_savemark(queue, &here) == nullptr) return -2;
  const int order = qvqueue_compare_marks(&here, mark);
  qvqueue_discardmark(&here);
  return order;
}

constexpr int64_t kTransferPiece = 256;

// Copies count bytes in pieces: read through the source's stream, written
// through the destination's.
long CopyPieces(device_kebab* destination, _queue* destination_queue, device_kebab* source,
                _queue* source_queue, int64_t count) {
  unsigned char piece[kTransferPiece];
  while (count > 0) {
    long error = 0;
    const int64_t got = qvs__getn(source, source_queue, piece, std::min(count, kTransferPiece), &error);
    if (got <= 0) return error != 0 ? error : kNothingArrives;
    if (qvs__putn(destination, destination_queue, piece, got, &error) != got) return error;
    count -= got;
  }
  return 0;
}

// Everything the source queue holds now, without touching its device.
long MoveAllQueued(device_kebab* destination, _queue* destination_queue, _queue* source_queue) {
  unsigned char piece[kTransferPiece];
  for (;;) {
    long error = 0;
    const int64_t got = qvs__getn(nullptr, source_queue, piece, kTransferPiece, &error);
    if (got <= 0) return 0;
    if (qvs__putn(destination, destination_queue, piece, got, &error) != got) return error;
  }
}

long TransferWhatArrives(device_kebab* destination, _queue* destination_queue, device_kebab* source,
                         _queue* source_queue) {
  long code = 0;
  while (code == 0 && source != nullptr && source->loopback == 0 && InputKnown(source)) {
    const long filled = qvs__fill(source, source_queue);
    code = MoveAllQueued(destination, destination_queue, source_queue);
    if (code == 0) code = filled;
  }
  const long flushed = qvs__flush_(destination, destination_queue);
  return code != 0 ? code : flushed;
}

long TransferToLoopback(device_kebab* destination, _queue* destination_queue,
                        _queue* source_queue, _mark* end, int64_t amount) {
  const long code = qvs__flush_(destination, destination_queue);
  if (code != 0) return code;
  if (amount == 0) return 0;
  if (qvqueue_transfer(destination_queue, source_queue, end) != 1) return kQueueRefused;
  destination->bytes_flushed += static_cast<uint64_t>(amount);  // counted once moved
  qvdk__signal_has_data(destination);
  return 0;
}

}  // namespace

long qvs__putc(device_kebab* stack, _queue* queue, int byte) {
  if (stack == nullptr) return qvqueue_putc(queue, byte) < 0 ? kQueueRefused : 0;
  const long code = MakeRoom(stack, queue);
  if (code != 0) return code;
  *stack->cursor++ = static_cast<unsigned char>(byte);
  --stack->room;
  return 0;
}

int64_t qvs__putn(device_kebab* stack, _queue* queue, const void* bytes, int64_t count,
                  long* error) {
  if (bytes == nullptr || count <= 0) return 0;
  const auto* in = static_cast<const unsigned char*>(bytes);
  if (stack != nullptr) return PutIntoWindows(stack, queue, in, count, error);
  const int64_t appended = AppendExact(queue, in, count);
  if (appended < count) SetError(error, kQueueRefused);
  return appended;
}

int64_t qvs__putv(device_kebab* stack, _queue* queue, const void* bytes, int64_t element_size,
                  int64_t count, long* error) {
  if (element_size == 0) return count;
  int64_t total = 0;
  if (element_size < 0 || count < 0 || __builtin_mul_overflow(element_size, count, &total)) {
    SetError(error, kQueueRefused);
    return 0;
  }
  return qvs__putn(stack, queue, bytes, total, error) / element_size;
}

void qvs__use_device_window(device_kebab* stack, unsigned char* start, int64_t size) {
  SetWindow(stack, start, std::min(size, kQVSWritePiece));
}

long qvs__flush_(device_kebab* stack, _queue* queue) {
  if (stack == nullptr) return 0;
  return stack->loopback != 0 ? FlushLoopback(stack, queue) : FlushDevice(stack, queue);
}

long qvs__fill(device_kebab* stack, _queue* queue) {
  if (stack == nullptr) return kNothingArrives;
  if (stack->loopback != 0) return Pending(stack) > 0 ? FlushLoopback(stack, queue) : kNothingArrives;
  if (!stack->device) return kNothingArrives;
  return FillFromDevice(stack, queue);
}

int qvs__getc(device_kebab* stack, _queue* queue, long* error) {
  int c = qvqueue_getc(queue);
  if (c < 0) c = WaitForByte(stack, queue, error);
  if (c >= 0) ResetWhenDrained(stack, queue);
  return c;
}

int qvs__peekc(device_kebab* stack, _queue* queue, long* error) {
  int c = qvqueue_peekc(queue);
  if (c >= 0) return c;
  if (stack == nullptr) return SetError(error, kNothingArrives);
  if (long reported = 0; !InputKnown(stack, &reported)) return SetError(error, reported);
  const long code = qvs__fill(stack, queue);
  c = qvqueue_peekc(queue);
  return c >= 0 ? c : SetError(error, code);
}

int64_t qvs__getn(device_kebab* stack, _queue* queue, void* buffer, int64_t count, long* error) {
  if (buffer == nullptr || count <= 0) return 0;
  auto* out = static_cast<unsigned char*>(buffer);
  int64_t got = TakeQueued(queue, out, count);
  while (got < count) {
    if (StraightReadQ(stack, queue, count - got)) {
      long code = 0;
      const int64_t straight = ReadStraight(stack, queue, out + got, count - got, &code);
      if (straight == 0 && code != 0) {
        SetError(error, code);
        break;
      }
      got += straight;
      got += TakeQueued(queue, out + got, count - got);
      continue;
    }
    const int c = qvs__getc(stack, queue, error);
    if (c < 0) break;
    out[got++] = static_cast<unsigned char>(c);
    got += TakeQueued(queue, out + got, count - got);
  }
  ResetWhenDrained(stack, queue);
  return got;
}

int64_t qvs__take(device_kebab* stack, _queue* queue, qvs_take_fn take, void* cookie, long* error) {
  if (take == nullptr || !PassableQ(stack, queue)) return -1;
  long code = 0;
  const int64_t taken =
      TakeFromDevice(stack, queue, [&](unsigned char* bytes, int64_t size) { return take(cookie, bytes, size); }, &code);
  // Bytes the queue refused are lost: that is reported even after a take.
  if ((taken == 0 && code != 0) || code == kQueueRefused) SetError(error, code);
  ResetWhenDrained(stack, queue);
  return taken;
}

int qvs__isempty(device_kebab* stack, _queue* queue) {
  if (qvqueue_isempty(queue) == 0) return 0;
  if (stack == nullptr || Pending(stack) <= 0) return 1;
  qvs__flush_(stack, queue);
  return qvqueue_isempty(queue) == 0 ? 0 : 1;
}

uint64_t qvs__size(const device_kebab* stack) {
  if (stack == nullptr) return 0;
  return static_cast<uint64_t>(stack->window_size) + stack->bytes_flushed -
         static_cast<uint64_t>(stack->room);
}

int qvs__seek(device_kebab* stack, _queue* queue, _mark* mark) {
  if (queue == nullptr || qvqueue_seek(mark) == 0) return 0;
  for (;;) {
    const int order = CompareReadPosition(queue, mark);
    if (order == -2) return 0;
    if (order >= 0) return 1;
    long error = 0;
    if (qvs__getc(stack, queue, &error) < 0) return 0;
  }
}

int qvs__seektoend(device_kebab* stack, _queue* queue) { return qvqueue_seektoend(queue); }

long qvs__transfer(device_kebab* destination, _queue* destination_queue, device_kebab* source,
                   _queue* source_queue, _mark* end) {
  // A mark only ever lies within bytes its queue already holds, so nothing
  // has to be filled from the source device to reach it.
  const int64_t amount = source_queue != nullptr && end != nullptr ? BytesUpTo(source_queue, end) : -1;
  if (amount < 0) return kNothingArrives;
  if (destination == nullptr) {
    if (amount == 0) return 0;
    return qvqueue_transfer(destination_queue, source_queue, end) == 1 ? 0 : kQueueRefused;
  }
  if (destination->loopback != 0) {
    return TransferToLoopback(destination, destination_queue, source_queue, end, amount);
  }
  if (amount == 0) return TransferWhatArrives(destination, destination_queue, source, source_queue);
  return CopyPieces(destination, destination_queue, source, source_queue, amount);
}

long qvs__set_error(long stack, long queue, long code) { return code; }

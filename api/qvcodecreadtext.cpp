// Reading the data of a token as text in the caller's encoding, as a number of
// the caller's binary type, or whole.
#include <algorithm>
#include <cstring>
#include <limits>

#include "api/qvcodecreadinternal.h"
#include "api/qvstream.h"
#include "api/qvtokentypes.h"

namespace qvcodecread {

namespace {

constexpr int64_t kMaxBinaryBytes = 16;
constexpr int64_t kNumberTextStep = 64;
constexpr int64_t kViewChunk = 4096;

int64_t BinaryWidth(const read_state* state, unsigned type) {
  const int wire = qv_binary_number_wire_size(type);
  if (wire >= 0) return wire;
  return state->dispatch != nullptr ? state->dispatch(type, nullptr, nullptr, nullptr) : 0;
}

// The converter did not take the byte offered alone: it goes back to the input.
bool PutBack(qv_queue_stack* queues, int byte) { return qvqueue_ungetc(qvqk__top(queues), byte) >= 0; }

long ReadTextHeader(read_state* state, Source source, uint8_t state_byte, unsigned target) {
  three_state& c = state->converter;
  if (IsBinary(c.token)) {
    if (const long error = missed_binary_number_opportunity(state, source); error != 0) return error;
  }
  if (const long error = getlen(state, source); error != 0) return error;
  c.replacement = state_byte;
  c.encoding = static_cast<uint8_t>(target);
  return 0;
}

// The converter finished the atom: any bytes the length promised beyond it
// are passed over, then the terminator is read.
long EndAtom(read_state* state, Source source) {
  three_state& c = state->converter;
  if (c.wire_left > 0) {
    long error = 0;
    const int64_t left = c.wire_left;
    if (source.Skip(left, &error) < left) return Fail(state, error != 0 ? error : kLost);
  }
  return checkdone(state, source);
}

long ConverterFailure(read_state* state, int64_t result) {
  switch (result) {
    case QV_STEP_NO_MEMORY: return Fail(state, kNoMemory);
    case QV_STEP_UNREPRESENTABLE: return Fail(state, kCannotConvertText);
    default: return Fail(state, -1);
  }
}

// After one converter step: kGoOn to convert more, else the answer.
constexpr long kGoOn = std::numeric_limits<long>::min();

long AfterStep(read_state* state, Source source, int64_t result) {
  switch (result) {
    case QV_STEP_WIRE:
      // The atom is shorter than its header.
      return state->converter.wire_left <= 0 ? Fail(state, kInconsistent) : kGoOn;
    case QV_STEP_CALLER: return 0;
    case QV_STEP_DONE: return EndAtom(state, source);
    default: return ConverterFailure(state, result);
  }
}

// An atom body this long, read into room this large, is converted where it
// lies in the device's window when the queues hold nothing of it: no copy
// into the queue first.
constexpr int64_t kStraightLeast = kQVSStraightLeast;

struct StraightStep {
  three_state* converter;
  unsigned char** out;
  unsigned char* out_end;
  int64_t result;
};

int64_t ConvertWhereItLies(void* cookie, unsigned char* bytes, int64_t size) {
  auto* step = static_cast<StraightStep*>(cookie);
  three_state& c = *step->converter;
  unsigned char* wire = bytes;
  step->result = c.next(&c, step->out, step->out_end, &wire, bytes + std::min(size, std::max<int64_t>(c.wire_left, 0)));
  return wire - bytes;
}

// One step straight from the device; kGoOn also when the queues must be read
// instead (nothing is taken then).
long ConvertStraight(read_state* state, Source source, unsigned char** out, unsigned char* out_end, bool* taken) {
  StraightStep step{&state->converter, out, out_end, QV_STEP_WIRE};
  long error = 0;
  const int64_t took = __qvqk__take(source.stack, source.queues, &ConvertWhereItLies, &step, &error);
  *taken = took >= 0;
  if (took < 0) return kGoOn;
  if (error != 0) return Fail(state, error);
  // A window with nothing in it (a wait the yield function ended) is read again.
  if (took == 0 && step.result == QV_STEP_WIRE) return kGoOn;
  return AfterStep(state, source, step.result);
}

// Runs the converter over the read window until it finishes the atom or fills
// the caller's buffer.
long Convert(read_state* state, Source source, unsigned char** out, unsigned char* out_end) {
  three_state& c = state->converter;
  for (;;) {
    unsigned char lone = 0;
    const ReadWindow window = get_window(source.queues);
    unsigned char* wire = window.start;
    unsigned char* wire_end = window.end;
    bool alone = false;
    if (wire == wire_end && c.wire_left >= kStraightLeast && out_end - *out >= kStraightLeast) {
      bool taken = false;
      if (const long answer = ConvertStraight(state, source, out, out_end, &taken); answer != kGoOn) return answer;
      if (taken) continue;
    }
    if (wire == wire_end && c.wire_left > 0) {
      long error = 0;
      const int byte = __qvqk__getc(source.stack, source.queues, &error);
      if (byte < 0) return Fail(state, error != 0 ? error : kLost);
      lone = static_cast<unsigned char>(byte);
      wire = &lone;
      wire_end = &lone + 1;
      alone = true;
    }
    if (wire_end - wire > c.wire_left) wire_end = wire + std::max<int64_t>(c.wire_left, 0);
    const int64_t result = c.next(&c, out, out_end, &wire, wire_end);
    if (alone) {
      if (wire == &lone && !PutBack(source.queues, lone)) return Fail(state, -1);
    } else {
      get_complete(source.queues, wire);
    }
    if (const long answer = AfterStep(state, source, result); answer != kGoOn) return answer;
  }
}

long NumberFromText(read_state* state, Source source, void* destination, unsigned wanted) {
  three_state& c = state->converter;
  const uint64_t text_type = c.token;
  GrowingBuffer text(state->memory);
  // The digits are collected as they arrive, never sized from the length.
  while (c.wire_left >= 0 || c.step == QVREAD_TYPE_READ) {
    if (!text.Reserve(kNumberTextStep + 1)) return Fail(state, kNoMemory);
    int64_t delivered = 0;
    uint8_t state_byte = '?';
    if (const long error = QVGetCharacters_(state, source.stack, source.queues, &delivered, text.end(),
                                            text.data() + text.capacity() - 1, &state_byte, ENCODING_BYTES);
        error != 0) {
      return error;
    }
    text.Grow(delivered);
  }
  text.end()[0] = '\0';
  long length = static_cast<long>(strnlen(reinterpret_cast<char*>(text.data()), static_cast<size_t>(text.size())));
  state->converter.step = QVREAD_BETWEEN_TOKENS;
  const long answer = state->dispatch(qvne_selector(wanted, static_cast<unsigned>(text_type)), destination,
                                      text.data(), &length);
  if (answer == QVNUMERIC_OVERFLOW) {
    return character_number_overflow(state, source, kOverflow, text_type, text.data(), text.size(), 0);
  }
  return answer == 0 ? 0 : Fail(state, answer);
}

long NumberFromBinary(read_state* state, Source source, void* destination, unsigned wanted) {
  const auto received = static_cast<unsigned>(state->converter.token);
  const int64_t run_before = state->packed_run;
  unsigned char bytes[kMaxBinaryBytes];
  int64_t size = 0;
  if (const long error = QVNoteSizeGetAllTheData_(state, source.stack, source.queues, bytes, sizeof bytes, &size);
      error != 0) {
    return error;
  }
  long count = 1;
  const long answer = state->dispatch(qvne_selector(wanted, received), destination, bytes, &count);
  if (answer == QVNUMERIC_OVERFLOW) {
    return binary_number_overflow(state, source, kOverflow, received, bytes, size, run_before);
  }
  return answer == 0 ? 0 : Fail(state, answer);
}

}  // namespace

GrowingBuffer::~GrowingBuffer() {
  if (data_ != nullptr) memory_.release(memory_.cookie, data_);
}

bool GrowingBuffer::Reserve(int64_t n) {
  if (capacity_ - size_ >= n) return true;
  if (memory_.allocate == nullptr) return false;
  const int64_t wanted = std::max({capacity_ * 2, size_ + n, int64_t{64}});
  auto* grown = static_cast<unsigned char*>(memory_.allocate(memory_.cookie, static_cast<uint64_t>(wanted)));
  if (grown == nullptr) return false;
  if (size_ > 0) std::memcpy(grown, data_, static_cast<size_t>(size_));
  if (data_ != nullptr) memory_.release(memory_.cookie, data_);
  data_ = grown;
  capacity_ = wanted;
  return true;
}

unsigned char* GrowingBuffer::Release() {
  unsigned char* out = data_;
  data_ = nullptr;
  size_ = capacity_ = 0;
  return out;
}

}  // namespace qvcodecread

using namespace qvcodecread;

long QVGetCharacters_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count,
                      void* start, void* end, uint8_t* state_byte, unsigned target) {
  const Source source{stack, queues};
  three_state& c = state->converter;
  *count = 0;
  if (IsComposite(c.token)) return Fail(state, kOutOfSequence);
  if (c.step == QVREAD_TYPE_READ) {
    if (const long error = ReadTextHeader(state, source, *state_byte, target); error != 0) return error;
  } else if (c.step == QVREAD_BETWEEN_TOKENS || c.step == QVREAD_INSIDE_AS_TEXT ||
             (c.step == QVREAD_INSIDE_TOKEN && IsBinary(c.token))) {
    return Fail(state, kOutOfSequence);
  } else if (c.step >= 4 && c.step <= 32) {
    return Fail(state, kImpossibleState);
  }
  if (c.step == QVREAD_INSIDE_TOKEN && c.wire_left <= 0) {
    // An empty body, or a token already read to its end.
    return c.wire_left == 0 ? checkdone(state, source) : 0;
  }
  // A converter about to start an atom has delivered nothing of it yet, even
  // when the bytes fail before it starts.
  if (c.step == QVREAD_INSIDE_TOKEN) c.delivered = 0;
  const int64_t before = std::max<int64_t>(c.delivered, 0);
  auto* out = static_cast<unsigned char*>(start);
  const long error = Convert(state, source, &out, static_cast<unsigned char*>(end));
  *count = std::max<int64_t>(c.delivered, 0) - before;
  *state_byte = c.replacement;
  return error;
}

long QVGetBinaryNumber_(read_state* state, device_kebab* stack, qv_queue_stack* queues, void* destination,
                        unsigned wanted) {
  if (qvcodec_get_number_fast(state, queues, destination, wanted, BinaryWidth(state, wanted))) return 0;
  const Source source{stack, queues};
  const three_state& c = state->converter;
  if (c.step >= 4 && c.step <= 32) return Fail(state, kImpossibleState);
  if (!TokenCurrent(state)) {
    uint64_t type = 0;
    if (const long error = QVGetNextRawType_(state, stack, queues, &type); error != 0) return error;
    if (type == 0) return Fail(state, kLost);
  }
  if (state->dispatch == nullptr) return Fail(state, kInconsistent);
  const uint64_t type = c.token;
  if (type == wanted) {
    int64_t size = 0;
    return QVNoteSizeGetAllTheData_(state, stack, queues, destination, BinaryWidth(state, wanted), &size);
  }
  if (IsNumberText(type)) return NumberFromText(state, source, destination, wanted);
  if (IsBinary(type)) return NumberFromBinary(state, source, destination, wanted);
  return Fail(state, kOutOfSequence);
}

long QVViewData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, const unsigned char** data,
                 int64_t* length) {
  const Source source{stack, queues};
  QVCloseView_(state);
  if (IsComposite(state->converter.token)) return Fail(state, kOutOfSequence);
  if (const long error = QVRawBytesToGet_(state, stack, queues, length); error != 0) return error;
  const int64_t n = *length;
  // In place only when the terminator is in the window too, so reading it
  // cannot move the queue off the chunk the data lies in.
  if (const ReadWindow window = get_window(queues); window.end - window.start > n) {
    *data = window.start;
    get_complete(queues, window.start + n);
    return change_rstate_rleft(state, source, n);
  }
  GrowingBuffer copy(state->memory);
  while (copy.size() < n) {
    const int64_t piece = std::min(n - copy.size(), kViewChunk);
    if (!copy.Reserve(piece)) return Fail(state, kNoMemory);
    long error = 0;
    const int64_t got = source.Read(copy.end(), piece, &error);
    copy.Grow(got);
    if (got < piece) return Fail(state, error != 0 ? error : kLost);
  }
  if (const long error = change_rstate_rleft(state, source, n); error != 0) return error;
  state->view = 1;
  state->view_buffer = copy.Release();
  *data = static_cast<const unsigned char*>(state->view_buffer);
  return 0;
}

void QVCloseView_(read_state* state) {
  if (state->view != 0 && state->view_buffer != nullptr) state->memory.release(state->memory.cookie, state->view_buffer);
  state->view = 0;
  state->view_buffer = nullptr;
}

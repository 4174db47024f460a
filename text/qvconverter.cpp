// The converter engine: environment, factory, option sets, the choice of a
// converter, and the steps shared by every converter.
#include "text/qvconverter.h"

#include <cstring>

#include "text/qvconverterinternal.h"
#include "text/qvutfcounter.h"

using namespace Quorvane::textatoms;

namespace Quorvane::textatoms {

int IndexOfBit(uint8_t bit) {
  for (int i = 0; i < kEncodings; ++i) {
    if (BitOfIndex(i) == bit) return i;
  }
  return -1;
}

bool StepOwnsBlocks(int64_t step) {
  switch (step) {
    case kStepPutCollect:
    case kStepPutBlocks:
    case kStepUnknownCollect:
    case kStepUnknownRun:
    case kStepOldCollect:
    case kStepOldConvert:
      return true;
    default:
      return false;
  }
}

bool StepOwnsCounter(int64_t step) {
  return step == kStepCounterCollect || step == kStepCounterHeader || step == kStepCounterStream;
}

namespace {

// What one letter of a put order needs besides its bit in the peer's mask.
enum class When : uint8_t { always, whole, pieces, refuses };
struct Choice {
  unsigned char letter;
  When when;
};

// Put orders by source encoding. ASCII's first rule (the 'A' bit) is applied
// before its table. A converter that always refuses (a Unicode source into
// bytes) is passed over when a later letter is acceptable.
constexpr Choice kAsciiOrder[] = {{'C', When::always}, {'D', When::always}, {'E', When::always},
                                  {'F', When::always}, {'B', When::always}, {0, When::always}};
constexpr Choice kBytesOrder[] = {{'B', When::always}, {'A', When::whole},  {'C', When::always},
                                  {'D', When::always}, {'E', When::always}, {'F', When::always},
                                  {'A', When::pieces}, {0, When::always}};
constexpr Choice kUcs2Order[] = {{'C', When::always}, {'D', When::always}, {'E', When::always},
                                 {'F', When::always}, {'A', When::always}, {0, When::always}};
constexpr Choice kUtf8Order[] = {{'D', When::always}, {'E', When::always}, {'F', When::always},
                                 {'C', When::always}, {'B', When::refuses}, {'A', When::always},
                                 {0, When::always}};
constexpr Choice kUtf16Order[] = {{'E', When::always}, {'D', When::always}, {'F', When::always},
                                  {'C', When::always}, {'B', When::refuses}, {'A', When::always},
                                  {0, When::always}};
constexpr Choice kUtf32Order[] = {{'F', When::always}, {'C', When::always}, {'D', When::always},
                                  {'E', When::always}, {'B', When::refuses}, {'A', When::always},
                                  {0, When::always}};

bool Accepts(uint8_t accepted, unsigned char letter) { return (accepted & EncodingBitOfLetter(letter)) != 0; }

unsigned char ChooseFrom(const Choice* order, uint8_t accepted, bool whole) {
  for (const Choice* c = order; c->letter != 0; ++c) {
    if (!Accepts(accepted, c->letter)) continue;
    if (c->when == When::whole && !whole) continue;
    if (c->when == When::pieces && whole) continue;
    if (c->when == When::refuses) {
      bool later = Accepts(accepted, 'G');
      for (const Choice* d = c + 1; d->letter != 0; ++d) later = later || Accepts(accepted, d->letter);
      if (later) continue;
    }
    return c->letter;
  }
  // The legacy form: when the peer takes it, or when it takes none of the others.
  if (Accepts(accepted, 'G') || (accepted & 0x7E) == 0) return 'G';
  return 0;
}

}  // namespace

unsigned char ChoosePutLetter(uint8_t source, uint8_t accepted, bool six_digit, bool whole) {
  switch (source) {
    case ENCODING_ASCII:
      if (Accepts(accepted, 'A')) {
        if (six_digit) return 'A';
        return Accepts(accepted, 'D') ? 'D' : 0;
      }
      return ChooseFrom(kAsciiOrder, accepted, whole);
    case ENCODING_BYTES: return ChooseFrom(kBytesOrder, accepted, whole);
    case ENCODING_UCS2: return ChooseFrom(kUcs2Order, accepted, whole);
    case ENCODING_UTF8: return ChooseFrom(kUtf8Order, accepted, whole);
    case ENCODING_UTF16: return ChooseFrom(kUtf16Order, accepted, whole);
    case ENCODING_UTF32: return ChooseFrom(kUtf32Order, accepted, whole);
    default: return 0;
  }
}

uint8_t ChooseGetTarget(unsigned char letter, uint8_t accepted) {
  static constexpr uint8_t A = ENCODING_ASCII, B = ENCODING_BYTES, C = ENCODING_UCS2, D = ENCODING_UTF8,
                           E = ENCODING_UTF16, F = ENCODING_UTF32;
  static constexpr uint8_t kOrders[7][6] = {
      {A, C, D, E, F, B},  // 'A'
      {B, C, D, E, F, A},  // 'B'
      {C, D, E, F, A, B},  // 'C'
      {D, C, E, F, A, B},  // 'D'
      {E, C, D, F, A, B},  // 'E'
      {F, E, D, A, C, B},  // 'F'
      {C, D, E, F, A, B},  // 'G' and the legacy form
  };
  if (letter < 'A' || letter > 'G') return 0;
  for (uint8_t bit : kOrders[letter - 'A']) {
    if ((accepted & bit) != 0) return bit;
  }
  return 0;
}

namespace {
void Consume(Input& in, int64_t n) {
  in.p += n;
  in.avail -= n;
  if (in.left > 0) in.left -= n;
}
}  // namespace

Taken TakeChar(three_state* state, Input& in, CharReader reader, bool keep_partial) {
  if (state->buffered == 0) {
    const int64_t n = in.avail < kCharWindow ? in.avail : kCharWindow;
    const bool final = in.left >= 0 && n >= in.left;
    ReadChar c = reader(in.p, n, final, state);
    if (c.status == CharStatus::more && (final || n >= kCharWindow)) c = {CharStatus::invalid, kInvalidChar, 1};
    if (c.status == CharStatus::more && !keep_partial) return {CharStatus::more, 0, nullptr, 0, false};
    if (c.status == CharStatus::more) {
      std::memcpy(state->buffer, in.p, static_cast<size_t>(n));
      state->buffered = static_cast<uint8_t>(n);
      Consume(in, n);
      return {CharStatus::more, 0, nullptr, 0, false};
    }
    const Taken t{c.status, c.code, in.p, c.used, false};
    if (c.status != CharStatus::broken) Consume(in, c.used);
    return t;
  }
  for (;;) {
    const bool final = in.left == 0;
    ReadChar c = reader(state->buffer, state->buffered, final, state);
    if (c.status == CharStatus::more && (final || state->buffered >= kCharWindow)) {
      c = {CharStatus::invalid, kInvalidChar, 1};
    }
    if (c.status != CharStatus::more) return {c.status, c.code, state->buffer, c.used, true};
    if (in.avail == 0) return {CharStatus::more, 0, nullptr, 0, false};
    state->buffer[state->buffered++] = *in.p;
    Consume(in, 1);
  }
}

void DropBuffered(three_state* state, int64_t used) {
  const int64_t rest = state->buffered - used;
  if (rest > 0) std::memmove(state->buffer, state->buffer + used, static_cast<size_t>(rest));
  state->buffered = static_cast<uint8_t>(rest > 0 ? rest : 0);
}

void SetPending(three_state* state, const unsigned char* bytes, int n) {
  std::memmove(state->buffer + kQVBufferedBytes - n, bytes, static_cast<size_t>(n));
  state->pending = static_cast<uint8_t>(n);
}

int64_t FailGet(three_state* state, int64_t result) {
  if (StepOwnsBlocks(state->step)) free_blocks(state->environment, &state->head, &state->tail);
  state->buffered = 0;
  state->pending = 0;
  state->step = kStepGetRecover;
  state->next = get_recover_from_error;
  get_error_trap();
  return result;
}

}  // namespace Quorvane::textatoms

namespace {

constexpr int kVersionLength = 21;

// "Mmm dd yyyy, hh:mm:ss": when this engine was built.
void VersionText(char out[kVersionLength]) {
  const char* date = __DATE__;  // "Mmm dd yyyy", day padded with a space
  const char* time = __TIME__;  // "hh:mm:ss"
  std::memcpy(out, date, 4);
  out[4] = date[4] == ' ' ? '0' : date[4];
  out[5] = date[5];
  out[6] = ' ';
  std::memcpy(out + 7, date + 7, 4);
  out[11] = ',';
  out[12] = ' ';
  std::memcpy(out + 13, time, 8);
}

void Destroy(three_state* state) {
  state->next = bang;
  if (StepOwnsBlocks(state->step) && state->environment != nullptr) {
    if (state->step == kStepUnknownRun && state->head != nullptr) {
      auto* text = reinterpret_cast<UnknownCountText*>(block_bytes(state->head));
      Destroy(&text->nested);
    }
    free_blocks(state->environment, &state->head, &state->tail);
  }
  if (StepOwnsCounter(state->step)) qvutfcounter_destroy(state->counter);
  state->head = nullptr;
  state->tail = nullptr;
  state->counter = nullptr;
  state->buffered = 0;
  state->pending = 0;
  state->step = kStepIdle;
}

int Clone(three_state* state, const three_state* other) {
  state->next = other->next;
  state->environment = other->environment;
  state->head = nullptr;
  state->tail = nullptr;
  state->counter = nullptr;
  state->buffered = other->buffered;
  state->pending = other->pending;
  std::memcpy(state->buffer, other->buffer, sizeof state->buffer);
  if (StepOwnsCounter(other->step) && other->counter != nullptr) {
    state->counter = qvutfcounter_clone(other->counter);
    if (state->counter == nullptr) {
      state->next = bang;
      state->step = kStepIdle;
      return QV_STEP_NO_MEMORY;
    }
    return 0;
  }
  if (!StepOwnsBlocks(other->step) || other->head == nullptr) return 0;
  if (other->step == kStepUnknownCollect || other->step == kStepUnknownRun) {
    // One block with room for the whole announced text, not only what has come.
    const auto* theirs = reinterpret_cast<const UnknownCountText*>(block_bytes(other->head));
    const int64_t capacity = static_cast<int64_t>(sizeof(UnknownCountText)) + theirs->total;
    unsigned char* bytes = put_block(state->environment, &state->head, &state->tail, capacity, 0);
    if (bytes == nullptr) {
      state->next = bang;
      state->step = kStepIdle;
      return QV_STEP_NO_MEMORY;
    }
    std::memcpy(bytes, theirs, static_cast<size_t>(other->head->size));
    state->head->size = other->head->size;
  } else if (clone_blocks(state->environment, &state->head, &state->tail, other->head) == nullptr) {
    state->next = bang;
    state->step = kStepIdle;
    return QV_STEP_NO_MEMORY;
  }
  if (other->step == kStepUnknownRun) {
    auto* mine = reinterpret_cast<UnknownCountText*>(block_bytes(state->head));
    auto* theirs = reinterpret_cast<const UnknownCountText*>(block_bytes(other->head));
    mine->nested.head = nullptr;
    mine->nested.tail = nullptr;
    mine->nested.counter = nullptr;
    if (Clone(&mine->nested, &theirs->nested) != 0) {
      free_blocks(state->environment, &state->head, &state->tail);
      state->next = bang;
      state->step = kStepIdle;
      return QV_STEP_NO_MEMORY;
    }
  }
  return 0;
}

}  // namespace

character_environment* cs__begin(void* (*allocate)(uint64_t), void (*deallocate)(void*),
                                 int (**factory)(character_environment*, int, three_state*, three_state*,
                                                 set_qvbst*),
                                 set_qvbst* encodings, char* version, int64_t* version_length) {
  if (allocate == nullptr || deallocate == nullptr) return nullptr;
  auto* environment = static_cast<character_environment*>(allocate(sizeof(character_environment)));
  if (environment == nullptr) return nullptr;
  environment->allocate = allocate;
  environment->deallocate = deallocate;
  if (factory != nullptr) *factory = cs__factory;
  if (encodings != nullptr) {
    encodings->mask = QV_SUPPORTED_ENCODINGS;
    encodings->reserved = 0;
  }
  if (version != nullptr && version_length != nullptr && *version_length > 0) {
    char text[kVersionLength];
    VersionText(text);
    const int64_t given = *version_length;
    std::memcpy(version, text, static_cast<size_t>(given < kVersionLength ? given : kVersionLength));
    if (given > kVersionLength) {
      std::memset(version + kVersionLength, 0, static_cast<size_t>(given - kVersionLength));
      *version_length = kVersionLength;
    }
  }
  return environment;
}

int cs__factory(character_environment* environment, int operation, three_state* state, three_state* other,
                set_qvbst* encodings) {
  switch (operation) {
    case QV_FACTORY_FREE_ENVIRONMENT:
      if (environment != nullptr) environment->deallocate(environment);
      return 0;
    case QV_FACTORY_INIT:
      if (state == nullptr) return -1;
      state->environment = environment;
      state->head = nullptr;
      state->tail = nullptr;
      state->counter = nullptr;
      state->buffered = 0;
      state->pending = 0;
      if (encodings != nullptr) {
        state->next = put_start;
        state->accepted = static_cast<uint8_t>((encodings->mask & 0xFF) | QV_PUT_STATE_BIT);
      } else {
        state->next = get_start;
        state->accepted = 0;
      }
      return 0;
    case QV_FACTORY_RESET:
      if (state == nullptr) return -1;
      Destroy(state);
      state->next = (state->accepted & QV_PUT_STATE_BIT) != 0 ? put_start : get_start;
      return 0;
    case QV_FACTORY_CLONE:
      if (state == nullptr || other == nullptr) return -1;
      if (state == other) return 0;
      return Clone(state, other);
    case QV_FACTORY_ASSIGN:
      if (state == nullptr || other == nullptr) return -1;
      if (state == other) return 0;
      Destroy(state);
      *state = *other;
      return Clone(state, other);
    case QV_FACTORY_DESTROY:
      if (state == nullptr) return -1;
      Destroy(state);
      return 0;
    default:
      return -1;
  }
}

int cs__converter(unsigned int options, set_qvbst* set) {
  if (set == nullptr) return 0;
  static constexpr uint8_t kByOption[8] = {ENCODING_ASCII, ENCODING_BYTES, ENCODING_UCS2, ENCODING_OLDSTRING,
                                           ENCODING_UTF8,  ENCODING_UTF16, 0,             ENCODING_UTF32};
  uint64_t mask = 0;
  for (int i = 0; i < 8; ++i) {
    if ((options & (1u << i)) != 0) mask |= kByOption[i];
  }
  set->mask = mask;
  set->reserved = 0;
  return 1;
}

int cs__encoder(set_qvbst* set) {
  if (set == nullptr) return 0;
  static constexpr uint64_t kFrom[7] = {2, 4, 8, 16, 32, 64, 256};
  static constexpr uint64_t kTo[7] = {2, 4, 8, 128, 16, 32, 64};
  uint64_t mask = 0;
  for (int i = 0; i < 7; ++i) {
    if ((set->mask & kFrom[i]) != 0) mask |= kTo[i];
  }
  set->mask = mask;
  set->reserved = 0;
  return 1;
}

int64_t bang(three_state*, unsigned char**, unsigned char*, unsigned char**, unsigned char*) {
  return QV_STEP_FAILED;
}

void get_error_trap() {
  // A place for a debugger to stop when a get converter meets bad wire data.
  asm volatile("");
}

int64_t get_recover_from_error(three_state* state, unsigned char**, unsigned char*, unsigned char** wire,
                               unsigned char* wire_end) {
  if (state == nullptr) return QV_STEP_FAILED;
  if (state->wire_left > 0 && wire != nullptr && *wire != nullptr && wire_end > *wire) {
    int64_t n = wire_end - *wire;
    if (n > state->wire_left) n = state->wire_left;
    *wire += n;
    state->wire_left -= n;
  }
  if (state->wire_left > 0) return QV_STEP_WIRE;
  state->wire_left = 0;
  state->characters = 0;
  state->step = kStepGetStart;
  state->next = get_start;
  return QV_STEP_DONE;
}

int is_put_state(const three_state* state) { return (state->accepted & QV_PUT_STATE_BIT) != 0 ? 1 : 0; }

int am_freezing_from(const three_state* state, uint8_t encoding) { return state->encoding == encoding ? 1 : 0; }

int can_freeze_to(const three_state* state, int bit_number) {
  if (bit_number < 0 || bit_number > 7) return 0;
  return static_cast<int>(state->accepted & (1u << bit_number));
}

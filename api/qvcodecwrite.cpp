#include "api/qvcodecwrite.h"

#include <cstring>

#include "api/qvstream.h"
#include "api/qvtokentypes.h"

namespace {

// Link error codes of the write side.
enum : long {
  kLost = 1,
  kOutOfSequence = 5,
  kDataOverflow = 6,
  kNoMemory = 8,
  kMisplacedEndOfPacket = 21,
  kCannotConvertText = 48,
  kImpossibleState = 999,
};

constexpr int64_t kNumberTextCapacity = 128;
// Below this much room the converter writes into a local buffer instead.
constexpr int64_t kLocalBufferBytes = 32;
constexpr int64_t kMaxBinaryBytes = 16;

long Fail(write_state* state, long code) { return ws__set_error(state, code); }

bool NothingOwed(const three_state& c) { return c.wire_left < 0; }

bool ShortLengths(const write_state* state) {
  return (state->features.features & QVFEATURE_SHORT_LENGTHS) != 0;
}

// The next token starts: state 1 with its type.
void Declare(three_state& c, unsigned type) {
  c.step = QVWRITE_TYPE_DECLARED;
  c.token = type;
  c.characters = -1;
}

void BackBetweenTokens(three_state& c) {
  c.step = QVWRITE_BETWEEN_TOKENS;
  c.token_count = -1;
}

bool IsTextBodied(uint64_t type) {
  return type == TOK_STRING || type == TOK_SYMBOL || type == TOK_REAL || type == TOK_INTEGER;
}

// Size of a binary number: the dispatcher knows the types the wire rule leaves to it.
int64_t BinarySize(const write_state* state, unsigned type) {
  const int size = qv_binary_number_wire_size(type);
  if (size >= 0) return size;
  if (state->features.dispatch == nullptr) return 0;
  return state->features.dispatch(type, nullptr, nullptr, nullptr);
}

long WriteByte(device_kebab* stack, _queue* queue, int byte) { return qvs__putc_fast(stack, queue, byte); }

// Writes all bytes or answers the stream's error (-1 when it gave none).
long WriteBytes(device_kebab* stack, _queue* queue, const void* bytes, int64_t n) {
  if (n <= 0) return 0;
  long error = 0;
  const int64_t written = qvs__putn(stack, queue, bytes, n, &error);
  if (written == n) return 0;
  return error != 0 ? error : -1;
}

// A converter that failed is left unusable by the engine: make it ready for
// the next token. The token in progress is abandoned.
void RecoverConverter(write_state* state) {
  if (state->features.text_factory != nullptr) {
    state->features.text_factory(state->features.text_environment, QV_FACTORY_RESET, &state->converter,
                                 nullptr, nullptr);
  }
  state->converter.step = QVWRITE_BETWEEN_TOKENS;
  state->converter.wire_left = -1;
  state->converter.token_count = -1;
}

// Where the converter writes: the device's window, or a direct window at the
// end of the queue.
struct Window {
  unsigned char* start = nullptr;
  unsigned char* end = nullptr;
};

Window put_window(device_kebab* stack, _queue* queue, long* error) {
  if (stack != nullptr) {
    if (stack->room <= 0) {
      *error = qvs__flush_(stack, queue);
      if (*error != 0) return {};
    }
    return {stack->cursor, stack->cursor + stack->room};
  }
  unsigned char* start = qvqueue_putstart(queue);
  unsigned char* end = qvqueue_putend(queue);
  if (start == nullptr || end == nullptr) *error = kNoMemory;
  return {start, end};
}

void put_complete(device_kebab* stack, _queue* queue, unsigned char* written_end) {
  if (stack != nullptr) {
    const int64_t used = written_end - stack->cursor;
    stack->cursor = written_end;
    stack->room -= used;
    return;
  }
  qvqueue_putstop(queue, written_end);
}

// One converter call into the window, or into a local buffer when the window
// is nearly full; answers the converter's result, or -2 with *error set.
int64_t ConvertOnce(three_state& c, device_kebab* stack, _queue* queue, unsigned char** caller,
                    unsigned char* caller_end, long* error) {
  Window window = put_window(stack, queue, error);
  if (*error != 0) return -2;
  if (window.end - window.start >= kLocalBufferBytes) {
    unsigned char* wire = window.start;
    const int64_t result = c.next(&c, caller, caller_end, &wire, window.end);
    put_complete(stack, queue, wire);
    return result;
  }
  unsigned char local[kLocalBufferBytes];
  unsigned char* wire = local;
  const int64_t result = c.next(&c, caller, caller_end, &wire, local + sizeof local);
  *error = WriteBytes(stack, queue, local, wire - local);
  return *error != 0 ? -2 : result;
}

long FinishTextToken(write_state* state, device_kebab* stack, _queue* queue) {
  state->converter.wire_left = -1;
  if (WriteByte(stack, queue, kTokenTerminator) != 0) return Fail(state, kLost);
  return 0;
}

long WriteNumberToken(write_state* state, device_kebab* stack, _queue* queue, unsigned type,
                      const void* bytes, int64_t size) {
  three_state& c = state->converter;
  BackBetweenTokens(c);
  c.wire_left = -1;
  long error = WriteByte(stack, queue, static_cast<int>(type));
  if (error == 0) error = WriteBytes(stack, queue, bytes, size);
  if (error != 0) return Fail(state, error);
  if (WriteByte(stack, queue, kTokenTerminator) != 0) return Fail(state, kLost);
  return 0;
}

// The number in the peer's own type, when the two sides name one for its kind.
bool ConvertForPeer(const write_state* state, const void* number, unsigned type, unsigned* peer_type,
                    unsigned char* converted, int64_t* size) {
  const int kind = QVGetNumericDesc(type, state->local_descriptor, 2);
  const unsigned long target = QVGetNumericType(kind, state->peer_descriptor, 2);
  if (kind == QVNUMERIC_NO_KIND || target == 0 || target > 255) return false;
  *size = BinarySize(state, static_cast<unsigned>(target));
  if (*size <= 0 || *size > kMaxBinaryBytes) return false;
  long count = 1;
  // Any answer but success (an overflow too) would put a wrong value on the wire.
  if (state->features.dispatch(qvne_selector(static_cast<unsigned>(target), type), converted,
                               const_cast<void*>(number), &count) != QVNUMERIC_OK) {
    return false;
  }
  *peer_type = static_cast<unsigned>(target);
  return true;
}

long PutNumberAsText(write_state* state, device_kebab* stack, _queue* queue, const void* number,
                     unsigned type) {
  const unsigned text_type = qv_is_real_number_type(type) ? TOK_REAL : TOK_INTEGER;
  unsigned char text[kNumberTextCapacity];
  long count = kNumberTextCapacity;
  if (state->features.dispatch(qvne_selector(text_type, type), text, const_cast<void*>(number), &count) != 0) {
    return Fail(state, -1);
  }
  if (const long error = QVPutType_(state, stack, queue, text_type); error != 0) return error;
  const unsigned char* begin = text + text[0];
  return QVPutCharacters_(state, stack, queue, 0, begin, begin + count, count, ENCODING_BYTES);
}

}  // namespace

unsigned char* encode_len_(uint64_t value, unsigned char* end, bool short_form) {
  return short_form ? ul_to_f(value, end) : old_ul_to_f(value, end);
}

bool encode_len(device_kebab* stack, _queue* queue, uint64_t value, bool short_form, long* error) {
  unsigned char field[24];
  unsigned char* first = encode_len_(value, field + sizeof field, short_form);
  *error = WriteBytes(stack, queue, first, field + sizeof field - first);
  return *error == 0;
}

long QVPutType_(write_state* state, device_kebab* stack, _queue* queue, unsigned type) {
  three_state& c = state->converter;
  if (c.step == QVWRITE_INSIDE_TOKEN) {
    if (!NothingOwed(c)) return Fail(state, kOutOfSequence);
    BackBetweenTokens(c);
  }
  if (c.step == QVWRITE_TYPE_DECLARED) {
    if (type == c.token) return 0;
    if (type == TOK_STRING && IsTextBodied(c.token)) return 0;
    if ((type == TOK_OPT_SYMBOL && c.token == TOK_SYMBOL) || (type == TOK_OPT_STRING && c.token == TOK_STRING)) {
      c.token = type;
      return 0;
    }
    return Fail(state, kOutOfSequence);
  }
  // A text atom half written cannot be abandoned without corrupting the stream.
  if (c.step != QVWRITE_BETWEEN_TOKENS) return Fail(state, kOutOfSequence);
  Declare(c, type);
  return 0;
}

long QVPutRawSize_(write_state* state, device_kebab*, _queue*, int64_t size) {
  three_state& c = state->converter;
  if (c.step != QVWRITE_TYPE_DECLARED || size < 0 || c.token == TOK_FUNCTION) {
    return Fail(state, kOutOfSequence);
  }
  c.wire_left = size;
  c.token_count = -1;
  c.step = QVWRITE_INSIDE_TOKEN;
  return 0;
}

long QVPutRawData_(write_state* state, device_kebab* stack, _queue* queue, const void* bytes, int64_t n) {
  three_state& c = state->converter;
  if (c.step != QVWRITE_INSIDE_TOKEN || c.token == TOK_FUNCTION || NothingOwed(c)) {
    return Fail(state, kOutOfSequence);
  }
  if (n < 0 || n > c.wire_left) return Fail(state, kDataOverflow);
  if (c.token_count == -1) {
    long error = WriteByte(stack, queue, static_cast<int>(c.token));
    if (error == 0 && !qv_is_binary_number_type(static_cast<unsigned>(c.token))) {
      encode_len(stack, queue, static_cast<uint64_t>(c.wire_left), ShortLengths(state), &error);
    }
    if (error != 0) return Fail(state, error);
    c.token_count = c.wire_left;
  }
  if (const long error = WriteBytes(stack, queue, bytes, n); error != 0) return Fail(state, error);
  c.wire_left -= n;
  if (c.wire_left == 0) {
    c.wire_left = -1;
    if (WriteByte(stack, queue, kTokenTerminator) != 0) return Fail(state, kLost);
  }
  return 0;
}

long QVPutCharacters_(write_state* state, device_kebab* stack, _queue* queue, int64_t counted,
                      const void* start, const void* end, int64_t piece, unsigned encoding) {
  three_state& c = state->converter;
  if (c.step == QVWRITE_INSIDE_TOKEN) return NothingOwed(c) ? 0 : Fail(state, kOutOfSequence);
  if (c.step == QVWRITE_BETWEEN_TOKENS) return Fail(state, kOutOfSequence);
  if (c.step == QVWRITE_TYPE_DECLARED) {
    c.characters = counted + piece;
    c.encoding = static_cast<uint8_t>(encoding);
    c.flag = '~';
  }
  if (c.next == nullptr) return Fail(state, -1);
  auto* caller = static_cast<unsigned char*>(const_cast<void*>(start));
  auto* caller_end = static_cast<unsigned char*>(const_cast<void*>(end));
  for (;;) {
    long error = 0;
    const int64_t result = ConvertOnce(c, stack, queue, &caller, caller_end, &error);
    switch (result) {
      case -2: return Fail(state, error);
      case QV_STEP_WIRE:
        if (stack != nullptr) {
          if (const long flushed = qvs__flush_(stack, queue); flushed != 0) return Fail(state, flushed);
        }
        continue;
      case QV_STEP_CALLER: return 0;
      case QV_STEP_DONE: return FinishTextToken(state, stack, queue);
      case QV_STEP_NO_MEMORY: RecoverConverter(state); return Fail(state, kNoMemory);
      case QV_STEP_UNREPRESENTABLE: RecoverConverter(state); return Fail(state, kCannotConvertText);
      default: RecoverConverter(state); return Fail(state, -1);
    }
  }
}

void QVAbandonText_(write_state* state) { RecoverConverter(state); }

long QVPutCharCount_(write_state* state, device_kebab*, _queue*, int64_t count) {
  if (state->converter.step != QVWRITE_TYPE_DECLARED) return kOutOfSequence;
  state->converter.characters = count;
  return 0;
}

long QVPutArgCount_(write_state* state, device_kebab* stack, _queue* queue, int64_t count) {
  three_state& c = state->converter;
  const uint64_t type = c.token;
  const bool counted_type = type == TOK_ARRAY || type == TOK_FUNCTION || type == TOK_OPT_SYMBOL ||
                            type == TOK_PACKED || type == TOK_OPT_STRING;
  if (c.step != QVWRITE_TYPE_DECLARED || !counted_type || count < 0) return Fail(state, kOutOfSequence);
  long error = WriteByte(stack, queue, static_cast<int>(type));
  if (error == 0) encode_len(stack, queue, static_cast<uint64_t>(count), ShortLengths(state), &error);
  if (error != 0) return Fail(state, error);
  c.wire_left = -1;
  c.step = QVWRITE_INSIDE_TOKEN;
  return 0;
}

long QVPutComposite_(write_state* state, device_kebab* stack, _queue* queue, int64_t count) {
  three_state& c = state->converter;
  if (c.step == QVWRITE_INSIDE_TOKEN && !NothingOwed(c)) return Fail(state, kOutOfSequence);
  if (c.step == QVWRITE_TYPE_DECLARED && c.token != TOK_FUNCTION) return Fail(state, kOutOfSequence);
  if (c.step > QVWRITE_INSIDE_TOKEN) return Fail(state, kOutOfSequence);
  if (c.step != QVWRITE_TYPE_DECLARED) {
    c.token_count = -1;
    Declare(c, TOK_FUNCTION);
  }
  return QVPutArgCount_(state, stack, queue, count);
}

long QVPutBinaryNumber_(write_state* state, device_kebab* stack, _queue* queue, const void* number,
                        unsigned type) {
  if (state->features.dispatch == nullptr) return Fail(state, -1);
  const int64_t size = BinarySize(state, type);
  if (qvcodec_put_number_fast(state, stack, number, type, size)) return 0;
  unsigned char converted[kMaxBinaryBytes];
  unsigned peer_type = type;
  const void* bytes = number;
  int64_t peer_size = size;
  const bool as_it_stands = qvfs__writes_as_it_stands(state->features, type);
  bool as_text = !as_it_stands && !ConvertForPeer(state, number, type, &peer_type, converted, &peer_size);
  if (!as_it_stands && !as_text) bytes = converted;
  if (!as_text) {
    const three_state& c = state->converter;
    const bool declared_text = c.step == QVWRITE_TYPE_DECLARED &&
                               c.token == (qv_is_real_number_type(type) ? TOK_REAL : TOK_INTEGER);
    if (const long error = QVPutType_(state, stack, queue, peer_type); error != 0) {
      if (error != kOutOfSequence || !declared_text) return error;
      ws__set_error(state, 0);
      as_text = true;
    }
  }
  if (as_text) return PutNumberAsText(state, stack, queue, number, type);
  return WriteNumberToken(state, stack, queue, peer_type, bytes, peer_size);
}

long QVBytesToPut_(write_state* state, device_kebab*, _queue*, int64_t* count) {
  const three_state& c = state->converter;
  if (c.step == QVWRITE_INSIDE_TOKEN) {
    *count = NothingOwed(c) ? 0 : c.wire_left;
    return 0;
  }
  if (c.step == QVWRITE_BETWEEN_TOKENS || c.step == QVWRITE_TYPE_DECLARED) *count = 0;
  return Fail(state, kOutOfSequence);
}

int QVCanPutOptimizedType_(write_state* state, device_kebab*, _queue*, unsigned type) {
  if (type != TOK_OPT_SYMBOL && type != TOK_OPT_STRING) return 0;
  three_state& c = state->converter;
  if (c.step == QVWRITE_TYPE_DECLARED) {
    return c.token == type || (type == TOK_OPT_SYMBOL && c.token == TOK_SYMBOL) ||
           (type == TOK_OPT_STRING && c.token == TOK_STRING);
  }
  if (c.step == QVWRITE_INSIDE_TOKEN) {
    if (!NothingOwed(c)) {
      Fail(state, kOutOfSequence);
      return 0;
    }
    BackBetweenTokens(c);
  }
  return 1;
}

long QVEndPacket_(write_state* state, device_kebab* stack, _queue* queue) {
  three_state& c = state->converter;
  if (c.step == QVWRITE_INSIDE_TOKEN && NothingOwed(c)) BackBetweenTokens(c);
  if (c.step != QVWRITE_BETWEEN_TOKENS) return Fail(state, kMisplacedEndOfPacket);
  return ws__set_error(state, WriteByte(stack, queue, TOK_END_PACKET));
}

long QVFlush_(write_state* state, device_kebab* stack, _queue* queue) {
  if (stack == nullptr) return 0;
  const long error = qvs__flush_(stack, queue);
  return error == 0 ? 0 : Fail(state, error);
}

long change_wstate_to_TOKEN_STATE(write_state* state) {
  three_state& c = state->converter;
  switch (c.step) {
    case QVWRITE_BETWEEN_TOKENS: return 0;
    case QVWRITE_TYPE_DECLARED: return Fail(state, kOutOfSequence);
    case QVWRITE_INSIDE_TOKEN:
      if (!NothingOwed(c)) return Fail(state, kOutOfSequence);
      BackBetweenTokens(c);
      return 0;
    default: return Fail(state, kImpossibleState);
  }
}

// The token position of the reader: types, lengths, terminators, counts and
// raw data.
#include <algorithm>
#include <cstring>

#include "api/qvcodecreadinternal.h"
#include "api/qvstream.h"
#include "api/qvtokentypes.h"

namespace qvcodecread {

namespace {

// A length has at most 18 digits, so it always fits a signed 64-bit number.
constexpr int kMaxLengthDigits = 18;
// Reads aborted while a length is read are tried again this often.
constexpr int kAbortedRetries = 2;
constexpr int64_t kSkipChunk = 128;

// The next byte of a length field; an aborted read is tried again within the budget.
int LengthByte(Source source, int* retries, long* error) {
  for (;;) {
    *error = 0;
    const int byte = source.Get(error);
    if (byte >= 0 || *error != kAborted || *retries <= 0) return byte;
    --*retries;
  }
}

// Expressions owed grow by counts a peer gives: refuse what would overflow.
bool AddOwed(read_state* state, int64_t more) {
  const int64_t base = state->owed != 0 ? state->owed : 1;
  return !__builtin_add_overflow(base, more, &state->owed);
}

long FailType(read_state* state, uint64_t* type, long code) {
  state->converter.token = 0;
  if (type != nullptr) *type = 0;
  return Fail(state, code);
}

// The byte after "P": a count of at least one element, then their binary type.
long BeginPackedRun(read_state* state, Source source, uint64_t* type) {
  long error = 0;
  const int64_t count = decode_len(source, &error);
  if (count < 1) return FailType(state, type, error != 0 ? kLost : kInconsistent);
  const int element = source.Get(&error);
  if (element < 0) return FailType(state, type, error != 0 ? error : kInconsistent);
  if (!IsBinary(static_cast<uint64_t>(element))) return FailType(state, type, kInconsistent);
  state->packed_run = count;
  *type = static_cast<uint64_t>(element);
  return 0;
}

// Reads bytes up to the next type byte: skips what stands between tokens.
// *failed says the byte source gave out (its error may be 0).
long ReadTypeByte(read_state* state, Source source, uint64_t* type, bool* failed) {
  for (;;) {
    long error = 0;
    const int byte = source.Get(&error);
    if (byte < 0) {
      *failed = true;
      return FailType(state, type, error);
    }
    if (byte == kTokenSkipped) continue;
    if (byte == TOK_END_PACKET || byte == kTokenTerminator) {
      if (state->owed == 0) continue;
      state->owed = 0;
      return FailType(state, type, kUnexpectedEnd);
    }
    if (byte == TOK_OLD_INTEGER || byte == TOK_OLD_REAL) {
      *type = static_cast<uint64_t>(byte);
      return convert_old_number_text(state, source, type);
    }
    if (byte == TOK_PACKED) return BeginPackedRun(state, source, type);
    *type = static_cast<uint64_t>(byte);
    return 0;
  }
}

bool NoBytesLeft(const three_state& c) { return c.wire_left < 0; }

// The current type, reading the next one when no token is current.
long CurrentRawType(read_state* state, Source source, uint64_t* type) {
  const three_state& c = state->converter;
  if (c.step >= 4 && c.step <= 32) return Fail(state, kImpossibleState);
  if (c.step == QVREAD_BETWEEN_TOKENS ||
      ((c.step == QVREAD_INSIDE_TOKEN || c.step == QVREAD_INSIDE_AS_TEXT) && NoBytesLeft(c))) {
    return QVGetNextRawType_(state, source.stack, source.queues, type);
  }
  *type = c.token;
  return 0;
}

long Filtered(read_state* state, Source source, long error, uint64_t* type) {
  if (error != 0) return error;
  // The older strings read as current string and symbol tokens.
  if ((*type == TOK_OLD_STRING || *type == TOK_OLD_SYMBOL) && state->converter.step == QVREAD_TYPE_READ) {
    if (const long reframed = convert_old_string(state, source, type); reframed != 0) {
      return FailType(state, type, reframed);  // no queue made: no type either
    }
  }
  long filter_error = 0;
  *type = filter_tok(*type, &filter_error);
  if (filter_error != 0) return FailType(state, type, filter_error);
  return 0;
}

}  // namespace

// One length field, or -1 when it is bad or the source failed (*error).
int64_t decode_len(Source source, long* error) {
  int retries = kAbortedRetries;
  int byte = LengthByte(source, &retries, error);
  if (byte < 0) return -1;
  if (byte & 0x40) return byte & 63;
  int64_t value = 0;
  int digits = 0;
  while (byte >= '0' && byte <= '9') {
    if (++digits > kMaxLengthDigits) return -1;
    value = value * 10 + (byte - '0');
    byte = LengthByte(source, &retries, error);
    if (byte < 0) return -1;
  }
  // A bare blank is no length.
  return byte == ' ' && digits > 0 ? value : -1;
}

int64_t Source::Read(void* buffer, int64_t n, long* error) const {
  auto* out = static_cast<unsigned char*>(buffer);
  const ReadWindow window = get_window(queues);
  const int64_t in_window = std::min<int64_t>(n, window.end - window.start);
  if (in_window > 0) {
    std::memcpy(out, window.start, static_cast<size_t>(in_window));
    get_complete(queues, window.start + in_window);
  }
  if (in_window == n) return n;
  const int64_t rest = __qvqk__getn(stack, queues, out + in_window, n - in_window, error);
  return in_window + std::max<int64_t>(rest, 0);
}

int64_t Source::Skip(int64_t n, long* error) const {
  int64_t done = 0;
  while (done < n) {
    const ReadWindow window = get_window(queues);
    const int64_t in_window = std::min<int64_t>(n - done, window.end - window.start);
    if (in_window > 0) {
      done += get_complete(queues, window.start + in_window);
      continue;
    }
    unsigned char scratch[kSkipChunk];
    const int64_t want = std::min<int64_t>(n - done, kSkipChunk);
    const int64_t got = Read(scratch, want, error);
    done += got;
    if (got < want) break;
  }
  return done;
}

void BeginToken(read_state* state, uint64_t type) {
  three_state& c = state->converter;
  c.step = QVREAD_TYPE_READ;
  c.token = type;
  c.wire_left = -1;
  c.token_count = 0;
  c.delivered = -1;
}

bool TokenCurrent(const read_state* state) {
  const three_state& c = state->converter;
  if (c.step == QVREAD_TYPE_READ) return true;
  if (c.step == QVREAD_INSIDE_TOKEN || c.step == QVREAD_INSIDE_AS_TEXT) return c.wire_left > 0;
  return c.step > 32;
}

long getlen(read_state* state, Source source) {
  three_state& c = state->converter;
  int64_t value = 0;
  if (IsBinary(c.token)) {
    if (state->dispatch == nullptr) return Fail(state, kInconsistent);
    const int wire = qv_binary_number_wire_size(static_cast<unsigned>(c.token));
    value = wire >= 0 ? wire : state->dispatch(c.token, nullptr, nullptr, nullptr);
    if (value <= 0) return Fail(state, kInconsistent);
  } else {
    long error = 0;
    value = decode_len(source, &error);
    if (value < 0) return Fail(state, error != 0 ? kLost : kInconsistent);
  }
  c.step = QVREAD_INSIDE_TOKEN;
  if (IsComposite(c.token)) {
    c.token_count = value;
    if (!AddOwed(state, value)) return Fail(state, kInconsistent);
  } else if (c.token == TOK_OPT_SYMBOL || c.token == TOK_OPT_STRING) {
    c.token_count = value;
  } else {
    c.token_count = 0;
    c.wire_left = value;
    qvcodec_count_atom(state);
  }
  return 0;
}

long checkdone(read_state* state, Source source) {
  state->converter.wire_left = -1;
  if (state->packed_run > 1) {
    --state->packed_run;
    return 0;
  }
  state->packed_run = 0;
  long error = 0;
  const int byte = source.Get(&error);
  if (byte < 0) return Fail(state, error != 0 ? kLost : kInconsistent);
  if (!qvcodec_is_terminator(byte)) return Fail(state, kInconsistent);
  return 0;
}

long change_rstate_rleft(read_state* state, Source source, int64_t n) {
  state->converter.wire_left -= n;
  return state->converter.wire_left == 0 ? checkdone(state, source) : 0;
}

}  // namespace qvcodecread

using namespace qvcodecread;

uint64_t filter_tok(uint64_t type, long* error) {
  *error = 0;
  switch (type) {
    case 0: *error = kImpossibleState; return 0;
    case TOK_ARRAY: return TOK_FUNCTION;
    case TOK_OPT_SYMBOL: case TOK_OLD_SYMBOL: return TOK_SYMBOL;
    case TOK_OPT_STRING: case TOK_OLD_STRING: return TOK_STRING;
    case TOK_OLD_INTEGER: return TOK_INTEGER;
    case TOK_OLD_REAL: return TOK_REAL;
    case TOK_STRING: case TOK_SYMBOL: case TOK_REAL: case TOK_INTEGER: case kHeadsBlockEnd: case TOK_FUNCTION:
      return type;
    default:
      if (type >= 48 && type <= 63) return type;
      if (IsBinary(type)) return (type & 0x10) ? TOK_REAL : TOK_INTEGER;
      *error = kInconsistent;
      return 0;
  }
}

long QVGetNextRawType_(read_state* state, device_kebab* stack, qv_queue_stack* queues, uint64_t* type) {
  const Source source{stack, queues};
  three_state& c = state->converter;
  if (c.step == QVREAD_INSIDE_TOKEN && NoBytesLeft(c)) {
    c.step = QVREAD_BETWEEN_TOKENS;
  } else if (c.step != QVREAD_BETWEEN_TOKENS) {
    if (const long error = skiptotok(state, source); error != 0) return FailType(state, type, error);
  }
  uint64_t next = c.token;
  if (state->packed_run == 0) {
    bool failed = false;
    const long error = ReadTypeByte(state, source, &next, &failed);
    if (failed || error != 0) {
      *type = 0;  // a failed read answers no type, whatever the caller's variable held
      return error;
    }
  }
  BeginToken(state, next);
  *type = next;
  return 0;
}

long QVGetNextType_(read_state* state, device_kebab* stack, qv_queue_stack* queues, uint64_t* type) {
  return Filtered(state, Source{stack, queues}, QVGetNextRawType_(state, stack, queues, type), type);
}

long QVGetRawType_(read_state* state, device_kebab* stack, qv_queue_stack* queues, uint64_t* type) {
  return CurrentRawType(state, Source{stack, queues}, type);
}

long QVGetType_(read_state* state, device_kebab* stack, qv_queue_stack* queues, uint64_t* type) {
  return Filtered(state, Source{stack, queues}, QVGetRawType_(state, stack, queues, type), type);
}

long QVGetRawData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, void* buffer, int64_t n,
                   int64_t* count) {
  const Source source{stack, queues};
  three_state& c = state->converter;
  *count = 0;
  if ((c.step != QVREAD_INSIDE_TOKEN && c.step != QVREAD_INSIDE_AS_TEXT) || IsComposite(c.token)) {
    return Fail(state, kOutOfSequence);
  }
  if (c.wire_left < 0) return 0;
  const int64_t wanted = std::min(std::max<int64_t>(n, 0), c.wire_left);
  long error = 0;
  *count = buffer != nullptr ? source.Read(buffer, wanted, &error) : source.Skip(wanted, &error);
  if (const long done = change_rstate_rleft(state, source, *count); done != 0) return done;
  return *count < wanted ? Fail(state, error != 0 ? error : kLost) : 0;
}

long QVRawBytesToGet_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count) {
  three_state& c = state->converter;
  if (c.step == QVREAD_TYPE_READ) {
    if (const long error = getlen(state, Source{stack, queues}); error != 0) return error;
  }
  if (c.step != QVREAD_INSIDE_TOKEN && c.step != QVREAD_INSIDE_AS_TEXT) return Fail(state, kOutOfSequence);
  *count = c.wire_left < 0 ? 0 : c.wire_left;
  return 0;
}

long QVBytesToGet_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count) {
  if (state->converter.step == QVREAD_TYPE_READ) {
    if (const long error = cook_atom_to_ascii_string(state, Source{stack, queues}); error != 0) return error;
  }
  if (const long error = QVRawBytesToGet_(state, stack, queues, count); error != 0) return error;
  state->converter.step = QVREAD_INSIDE_AS_TEXT;
  return 0;
}

long QVBytesToGetTrap_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count) {
  if (IsBinary(state->converter.token) && state->converter.step == QVREAD_TYPE_READ) {
    if (const long error = missed_binary_number_opportunity(state, Source{stack, queues}); error != 0) return error;
  }
  return QVRawBytesToGet_(state, stack, queues, count);
}

long QVGetRawArgCount_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count) {
  three_state& c = state->converter;
  if (c.step == QVREAD_TYPE_READ) {
    if (const long error = getlen(state, Source{stack, queues}); error != 0) return error;
  }
  const bool counted = IsComposite(c.token) || c.token == TOK_OPT_SYMBOL || c.token == TOK_OPT_STRING;
  if ((c.step != QVREAD_INSIDE_TOKEN && c.step != QVREAD_INSIDE_AS_TEXT) || !counted) {
    return Fail(state, kOutOfSequence);
  }
  *count = c.token_count;
  return 0;
}

long QVGetArgCount_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count) {
  if (state->converter.token == TOK_ARRAY) {
    if (const long error = missed_packed_array_opportunity(state, Source{stack, queues}); error != 0) return error;
  }
  return QVGetRawArgCount_(state, stack, queues, count);
}

long QVExpressionsToGet_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t* count) {
  if (state->converter.step == QVREAD_TYPE_READ) {
    if (const long error = getlen(state, Source{stack, queues}); error != 0) return error;
  }
  *count = state->owed;
  return 0;
}

long QVGetEmptyString_(read_state* state, device_kebab*, qv_queue_stack*, int* empty) {
  const three_state& c = state->converter;
  *empty = (c.step == QVREAD_INSIDE_TOKEN || c.step == QVREAD_INSIDE_AS_TEXT) && !IsComposite(c.token) &&
           c.wire_left <= 0 && c.delivered <= 0;
  return 0;
}

long QVGetAllTheData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, void* buffer,
                      int64_t capacity) {
  const three_state& c = state->converter;
  const int64_t left = c.wire_left < 0 ? 0 : c.wire_left;
  if (left > capacity) return Fail(state, kInconsistent);
  int64_t count = 0;
  return QVGetRawData_(state, stack, queues, buffer, left, &count);
}

long QVNoteSizeGetAllTheData_(read_state* state, device_kebab* stack, qv_queue_stack* queues, void* buffer,
                              int64_t capacity, int64_t* size) {
  if (const long error = QVRawBytesToGet_(state, stack, queues, size); error != 0) return error;
  if (const long error = QVGetAllTheData_(state, stack, queues, buffer, capacity); error != 0) return error;
  state->converter.step = QVREAD_BETWEEN_TOKENS;
  return 0;
}

long QVFill_(read_state* state, device_kebab* stack, qv_queue_stack* queues) {
  qvqk__top(queues);  // the window goes back before the input grows
  const long error = qvs__fill(stack, queues->base);
  return error == 0 ? 0 : Fail(state, error);
}

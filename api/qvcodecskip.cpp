// Finishing tokens and skipping expressions and packets; the readiness test.
#include "api/qvcodecreadinternal.h"
#include "api/qvtokentypes.h"

namespace qvcodecread {

long skiptotok(read_state* state, Source source) {
  three_state& c = state->converter;
  if (c.step == QVREAD_TYPE_READ && c.token == TOK_DIMENSIONS) {
    if (const long error = skip_heads_block(state, source); error != 0) return error;
  }
  if (c.step == QVREAD_TYPE_READ) {
    if (const long error = getlen(state, source); error != 0) return error;
  }
  if (c.step > QVREAD_INSIDE_AS_TEXT) {
    // A converter inside an atom (or one that failed in it): drop what it
    // holds; the bytes it has not taken are passed over below.
    if (state->text_factory != nullptr) {
      state->text_factory(state->text_environment, QV_FACTORY_RESET, &c, nullptr, nullptr);
    }
    c.step = QVREAD_INSIDE_TOKEN;
  }
  if (c.wire_left >= 0) {
    long error = 0;
    const int64_t left = c.wire_left;
    if (source.Skip(left, &error) < left) return Fail(state, error != 0 ? error : kLost);
    if (const long done = checkdone(state, source); done != 0) return done;
  }
  c.step = QVREAD_BETWEEN_TOKENS;
  return 0;
}

namespace {

// Reads the next token and finishes it; the owed count follows.
long NextToken(read_state* state, Source source) {
  uint64_t type = 0;
  if (const long error = QVGetNextRawType_(state, source.stack, source.queues, &type); error != 0) return error;
  if (type == 0) return Fail(state, kLost);
  return skiptotok(state, source);
}

long FinishCurrent(read_state* state, Source source) {
  three_state& c = state->converter;
  if (c.step == QVREAD_BETWEEN_TOKENS) return 0;
  if (c.step == QVREAD_INSIDE_TOKEN && c.wire_left < 0) {
    c.step = QVREAD_BETWEEN_TOKENS;
    return 0;
  }
  return skiptotok(state, source);
}

long SkipWhileOwedAbove(read_state* state, Source source, int64_t target) {
  while (state->owed > target) {
    if (const long error = NextToken(state, source); error != 0) return error;
  }
  return 0;
}

}  // namespace

}  // namespace qvcodecread

using namespace qvcodecread;

long QVNewExpression_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t n) {
  const Source source{stack, queues};
  if (const long error = FinishCurrent(state, source); error != 0) return error;
  if (state->owed > 0) return SkipWhileOwedAbove(state, source, state->owed > n ? state->owed - n : 0);
  for (int64_t i = 0; i < n; ++i) {
    if (const long error = NextToken(state, source); error != 0) return error;
    if (const long error = SkipWhileOwedAbove(state, source, 0); error != 0) return error;
  }
  return 0;
}

long QVNewPacket_(read_state* state, device_kebab* stack, qv_queue_stack* queues) {
  const Source source{stack, queues};
  if (const long error = FinishCurrent(state, source); error != 0) return error;
  return SkipWhileOwedAbove(state, source, 0);
}

long QVTakeLast_(read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t n) {
  const Source source{stack, queues};
  if (const long error = FinishCurrent(state, source); error != 0) return error;
  return SkipWhileOwedAbove(state, source, n);
}

long QVReady_(read_state* state, device_kebab* stack, qv_queue_stack* queues) {
  const Source source{stack, queues};
  for (;;) {
    long error = 0;
    const int byte = source.Peek(&error);
    if (byte < 0) return error != 0 ? Fail(state, error) : kNotReady;
    if (byte != TOK_END_PACKET && byte != kTokenTerminator) return 0;
    if (TokenCurrent(state) || state->packed_run > 0) return 0;
    if (const long finished = FinishCurrent(state, source); finished != 0) return finished;
    source.Get(&error);
    state->converter.token = TOK_END_PACKET;
    if (state->owed > 0) {
      state->owed = 0;
      state->converter.token = 0;
      return Fail(state, kUnexpectedEnd);
    }
  }
}

// Copying raw bytes up to a mark when both sides stand at the same point of
// the same token: the levels pushed on the source first, then its input.
#include "api/qvcodectransferinternal.h"
#include "api/qvlinkmark.h"
#include "api/qvstream.h"

using qvcodecread::Source;
using namespace qvtransfer;

namespace {

// The two positions must agree: the writer between tokens when the reader is,
// or both inside the same token with as many bytes to come.
long AlignStates(Sides& s) {
  three_state& w = s.writer->converter;
  three_state& r = s.reader->converter;
  if (w.step != r.step) {
    if (r.step == QVREAD_BETWEEN_TOKENS) {
      if (const long error = change_wstate_to_TOKEN_STATE(s.writer); error != 0) return error;
    } else if (w.step == QVWRITE_BETWEEN_TOKENS &&
               (r.step == QVREAD_INSIDE_TOKEN || r.step == QVREAD_INSIDE_AS_TEXT) && r.wire_left <= 0) {
      if (const long error = qvcodecread::skiptotok(s.reader, Source{s.stack, s.queues}); error != 0) return error;
    } else {
      return ws__set_error(s.writer, kStatesDisagree);
    }
  }
  // Between tokens the last types are history; inside one they must match.
  if (w.step == QVWRITE_BETWEEN_TOKENS) return 0;
  if (w.token != r.token) return ws__set_error(s.writer, kStatesDisagree);
  if (w.step == QVWRITE_INSIDE_TOKEN && w.wire_left != r.wire_left) return ws__set_error(s.writer, kStatesDisagree);
  return 0;
}

// Each level the codec pushed on the source is copied whole; the look at the
// next byte then drops the level (or lets it refill, and the rest follows).
long CopyPushedLevels(Sides& s) {
  while (dk__depth(&s.queues->stack) > 0) {
    const long depth = dk__depth(&s.queues->stack);
    _queue* level = qvqk__top(s.queues);
    const int64_t amount = qvqueue_amount_left_in_queue(level);
    if (amount > 0) {
      _mark* end = qvqueue_savemark_from_offset(level, amount);
      if (end == nullptr) return s.FailRead(kNoMemory);
      const long error = qvs__transfer(s.writer_stack, s.writer_queue, nullptr, level, end);
      qvqueue_discardmark(end);
      if (error != 0) return s.FailRead(error);
    }
    long ignored = 0;
    __qvqk__peekc(s.stack, s.queues, &ignored);
    if (amount <= 0 && dk__depth(&s.queues->stack) >= depth) return s.FailRead(kImpossibleState);
  }
  return 0;
}

}  // namespace

long QVTransfer_(write_state* writer, device_kebab* writer_stack, _queue* writer_queue, read_state* state,
                 device_kebab* stack, qv_queue_stack* queues, _mark* end, const read_state* end_state) {
  if (writer == nullptr || state == nullptr || queues == nullptr || end == nullptr) return kImpossibleState;
  Sides s{writer, writer_stack, writer_queue, state, stack, queues};
  if (const long error = AlignStates(s); error != 0) return error;
  if (const long error = CopyPushedLevels(s); error != 0) return error;
  if (const long error = qvs__transfer(writer_stack, writer_queue, stack, qvqk__top(queues), end); error != 0) {
    return s.FailRead(error);
  }
  if (end_state == nullptr) {
    QVCloseView_(state);
    rs__reset(state);
  } else {
    QVCloseView_(state);
    const rs_memory_stack memory = state->memory;
    if (rs__assign(state, end_state, &memory) != 1) return s.FailRead(kNoMemory);
  }
  three_state& w = writer->converter;
  const three_state& r = state->converter;
  w.step = r.step;
  w.token = r.token;
  w.wire_left = r.wire_left;
  w.token_count = r.token_count;
  w.characters = r.delivered;
  return 0;
}

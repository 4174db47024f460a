// The get side: from one atom on the wire to the caller's text.
//
// get_start reads the letter; the header reader of the letter reads the flag
// byte and the count and chooses the caller's encoding; one loop then reads a
// character of the payload, writes it in the caller's encoding into the pending
// bytes of the state, and hands those out as the caller's buffer allows.
// Legacy payloads are walked by their length, never to a zero byte.
#include <algorithm>
#include <cstring>

#include "text/qvconverter.h"
#include "text/qvconverterinternal.h"

using namespace Quorvane::textatoms;

namespace {

int64_t FinishGet(three_state* state) {
  if (StepOwnsBlocks(state->step)) free_blocks(state->environment, &state->head, &state->tail);
  state->buffered = 0;
  state->pending = 0;
  state->characters = 0;
  state->step = kStepGetStart;
  state->next = get_start;
  return QV_STEP_DONE;
}

Input WireInput(const three_state* state, unsigned char** wire, unsigned char* wire_end) {
  Input in{nullptr, 0, state->wire_left};
  if (wire != nullptr && *wire != nullptr) {
    in.p = *wire;
    in.avail = std::min<int64_t>(std::max<int64_t>(wire_end - *wire, 0), state->wire_left);
  }
  return in;
}

void SyncWire(three_state* state, const Input& in, unsigned char** wire) {
  if (wire != nullptr && *wire != nullptr) *wire = const_cast<unsigned char*>(in.p);
  state->wire_left = in.left;
}

// Hands the pending character (or mark) to the caller, whole or not at all:
// a caller may treat every delivery as text of its own, so no escape and no
// surrogate pair is ever cut between two deliveries. False when it does not fit.
bool FlushToCaller(three_state* state, int unit, unsigned char** caller, unsigned char* caller_end) {
  if (state->pending == 0) return true;
  if (caller == nullptr || *caller == nullptr) return false;
  const int64_t room = std::max<int64_t>(caller_end - *caller, 0);
  if (room < state->pending) return false;
  std::memcpy(*caller, state->buffer + kQVBufferedBytes - state->pending, state->pending);
  *caller += state->pending;
  state->delivered += state->pending / unit;
  state->pending = 0;
  return true;
}

enum : int64_t { kKeepGoing = 0 };

// Converts payload characters from in into the caller's buffer until the atom,
// the input or the buffer ends. Returns a step result, or kKeepGoing when the
// input ran out with the atom complete (length-driven) or counted out.
int64_t Convert(three_state* state, Input& in, unsigned char** caller, unsigned char* caller_end) {
  const int wire = IndexOfBit(state->accepted);
  const int target = IndexOfBit(state->encoding);
  const Codec& out_codec = kCodecs[target];
  const CharReader reader = kCodecs[wire].read_wire;
  // Legacy payloads, and 'D' or 'E' atoms that carry no count, end with their bytes.
  const bool by_length = wire == kOld || state->characters < 0;
  const int unit = out_codec.caller_unit;
  for (;;) {
    if (!FlushToCaller(state, unit, caller, caller_end)) return QV_STEP_CALLER;
    if (!by_length && state->characters == 0) return kKeepGoing;
    if (in.left == 0 && state->buffered == 0) {
      // Fewer characters than the header promised.
      if (!by_length) return FailGet(state, QV_STEP_UNREPRESENTABLE);
      return kKeepGoing;
    }
    if (in.avail == 0 && state->buffered == 0) return QV_STEP_WIRE;
    const int64_t room = caller != nullptr && *caller != nullptr ? caller_end - *caller : 0;
    if (room < unit) return QV_STEP_CALLER;
    // Plain runs go to the caller with one copy.
    if (state->buffered == 0 && unit == 1 &&
        ((wire == kBytes && target == kBytes) || (wire == kAscii && target == kAscii))) {
      int64_t n = std::min({in.avail, room, state->characters});
      if (wire == kAscii) {
        const void* escape = std::memchr(in.p, '\\', static_cast<size_t>(n));
        if (escape != nullptr) n = static_cast<const unsigned char*>(escape) - in.p;
      }
      if (n > 0) {
        std::memcpy(*caller, in.p, static_cast<size_t>(n));
        *caller += n;
        in.p += n;
        in.avail -= n;
        in.left -= n;
        state->characters -= n;
        state->delivered += n;
        continue;
      }
    }
    // Runs of whole characters that need no change reach the caller with one
    // copy; a character cut by the input or the buffer, and anything the
    // writer would refuse, is left to the per-character path.
    if (state->buffered == 0 && wire == target && (wire == kUtf8 || wire == kUtf16)) {
      const int64_t limit = std::min(in.avail, room);
      const int64_t max_chars = by_length ? INT64_MAX : state->characters;
      int64_t chars = 0;
      const int64_t n = wire == kUtf8 ? ScanUtf8Run(in.p, limit, max_chars, &chars)
                                      : ScanUtf16Run(in.p, limit, max_chars, false,
                                                     state->encoding == ENCODING_UTF16, &chars);
      if (n > 0) {
        std::memcpy(*caller, in.p, static_cast<size_t>(n));
        *caller += n;
        in.p += n;
        in.avail -= n;
        in.left -= n;
        if (!by_length) state->characters -= chars;
        state->delivered += n / unit;
        continue;
      }
    }
    const Taken t = TakeChar(state, in, reader, true);
    if (t.status == CharStatus::more) return QV_STEP_WIRE;
    if (t.status == CharStatus::broken) return FailGet(state, QV_STEP_UNREPRESENTABLE);
    // With room for any character it goes straight to the caller.
    unsigned char local[kCharWindow];
    unsigned char* out = room >= kCharWindow ? *caller : local;
    int bytes;
    if (wire == kAscii && target == kAscii) {
      std::memcpy(out, t.raw, static_cast<size_t>(t.used));  // escapes reach the caller as sent
      bytes = static_cast<int>(t.used);
    } else {
      bytes = out_codec.write_caller(t.status == CharStatus::ok ? t.code : kInvalidChar, out, state);
    }
    if (bytes < 0) return FailGet(state, QV_STEP_UNREPRESENTABLE);
    if (t.from_buffer) DropBuffered(state, t.used);
    if (out == local) {
      SetPending(state, out, bytes);
    } else {
      *caller += bytes;
      state->delivered += bytes / unit;
    }
    if (!by_length) --state->characters;
  }
}

// The caller's encoding for this atom, the mark in front of its text, and the
// converting step.
int64_t Dispatch(three_state* state) {
  const int wire = IndexOfBit(state->accepted);
  const uint8_t target_bit = ChooseGetTarget(LetterOfIndex(wire), state->encoding);
  const int target = IndexOfBit(target_bit);
  if (target < 0 || kCodecs[wire].read_wire == nullptr || kCodecs[target].write_caller == nullptr) {
    return FailGet(state, QV_STEP_FAILED);
  }
  state->encoding = target_bit;
  state->buffered = 0;
  state->pending = 0;
  if (kCodecs[target].caller_mark) {
    unsigned char mark[4];
    const int n = kCodecs[target].write_caller(0xFEFF, mark, state);
    SetPending(state, mark, n);
  }
  return kKeepGoing;
}

int64_t CookConvert(three_state* state, unsigned char** caller, unsigned char* caller_end, unsigned char** wire,
                    unsigned char* wire_end) {
  for (;;) {
    switch (state->step) {
      case kStepGetConvert: {
        Input in = WireInput(state, wire, wire_end);
        const int64_t result = Convert(state, in, caller, caller_end);
        if (state->step != kStepGetConvert) return result;  // failed
        SyncWire(state, in, wire);
        if (result != kKeepGoing) return result;
        state->buffered = 0;
        state->step = kStepGetPadding;
        break;
      }
      case kStepGetPadding: {
        Input in = WireInput(state, wire, wire_end);
        in.p += in.avail;
        in.left -= in.avail;
        in.avail = 0;
        SyncWire(state, in, wire);
        if (state->wire_left > 0) return QV_STEP_WIRE;
        return FinishGet(state);
      }
      case kStepOldCollect: {
        Input in = WireInput(state, wire, wire_end);
        if (in.avail > 0) {
          unsigned char* bytes = put_block(state->environment, &state->head, &state->tail, in.avail, 0);
          if (bytes == nullptr) return QV_STEP_NO_MEMORY;
          std::memcpy(bytes, in.p, static_cast<size_t>(in.avail));
          in.p += in.avail;
          in.left -= in.avail;
          in.avail = 0;
          SyncWire(state, in, wire);
        }
        if (state->wire_left > 0) return QV_STEP_WIRE;
        if (state->head != nullptr && state->head->next != nullptr) {
          cube* head = nullptr;
          cube* tail = nullptr;
          if (clone_blocks(state->environment, &head, &tail, state->head) == nullptr) return QV_STEP_NO_MEMORY;
          free_blocks(state->environment, &state->head, &state->tail);
          state->head = head;
          state->tail = tail;
        }
        state->step = kStepOldConvert;
        break;
      }
      case kStepOldConvert: {
        const int64_t size = read_block_size(state->head);
        Input in{read_block(state->head), size, size};
        const int64_t result = Convert(state, in, caller, caller_end);
        if (state->step != kStepOldConvert) return result;  // failed
        if (state->head != nullptr) read_block_done(state->environment, &state->head, &state->tail, size - in.left);
        if (result != kKeepGoing) return result;
        return FinishGet(state);
      }
      default:
        return FailGet(state, QV_STEP_FAILED);
    }
  }
}

bool IsDigit(unsigned char b) { return b >= '0' && b <= '9'; }

// Refuses a count that the rest of the atom cannot hold.
bool CountFits(const three_state* state, int wire) {
  const int64_t unit = kCodecs[wire].wire_unit;
  return state->characters == -1 || (state->characters >= 0 && state->characters <= state->wire_left / unit);
}

// The header reader shared by the letters 'A' to 'F': flag byte, then the
// count in the letter's form. A decimal count takes digits only, and no more
// than the rest of the atom can hold, so a hostile count cannot overflow.
int64_t CookHeader(three_state* state, unsigned char** caller, unsigned char* caller_end, unsigned char** wire,
                   unsigned char* wire_end) {
  const int letter = IndexOfBit(state->accepted);
  if (letter < 0 || letter == kOld) return FailGet(state, QV_STEP_FAILED);
  auto next_byte = [&](unsigned char* b) {
    if (state->wire_left <= 0 || wire == nullptr || *wire == nullptr || *wire >= wire_end) return false;
    *b = **wire;
    ++*wire;
    --state->wire_left;
    return true;
  };
  for (;;) {
    unsigned char b;
    switch (state->step) {
      case kStepGetFlag:
        if (state->wire_left <= 0) return FailGet(state, QV_STEP_FAILED);
        if (!next_byte(&b)) return QV_STEP_WIRE;
        state->flag = b;
        state->step = kStepGetCount;
        break;
      case kStepGetCount:
        if (state->wire_left <= 0) return FailGet(state, QV_STEP_FAILED);
        if (!next_byte(&b)) return QV_STEP_WIRE;
        if ((b & 0x40) != 0) {
          state->characters = b & 0x3F;
        } else if (kCodecs[letter].count_form == CountForm::oneByte && b == ' ') {
          state->characters = state->wire_left / kCodecs[letter].wire_unit;
        } else if ((letter == kUtf8 || letter == kUtf16) && b == ' ') {
          // No count: the payload is read to its end and counted as it goes.
          state->characters = -1;
        } else if (kCodecs[letter].count_form == CountForm::lengthForm && IsDigit(b)) {
          state->characters = b - '0';
          state->step = kStepGetDigits;
          break;
        } else {
          return FailGet(state, QV_STEP_FAILED);
        }
        if (!CountFits(state, letter)) return FailGet(state, QV_STEP_FAILED);
        if (Dispatch(state) != kKeepGoing) return QV_STEP_FAILED;
        state->step = kStepGetConvert;
        state->next = CookConvert;
        return CookConvert(state, caller, caller_end, wire, wire_end);
      case kStepGetDigits:
        if (!next_byte(&b)) {
          if (state->wire_left <= 0) return FailGet(state, QV_STEP_FAILED);
          return QV_STEP_WIRE;
        }
        if (b == ' ') {
          if (!CountFits(state, letter)) return FailGet(state, QV_STEP_FAILED);
          if (Dispatch(state) != kKeepGoing) return QV_STEP_FAILED;
          state->step = kStepGetConvert;
          state->next = CookConvert;
          return CookConvert(state, caller, caller_end, wire, wire_end);
        }
        if (!IsDigit(b)) return FailGet(state, QV_STEP_FAILED);
        {
          int64_t value;
          if (__builtin_mul_overflow(state->characters, int64_t{10}, &value) ||
              __builtin_add_overflow(value, int64_t{b - '0'}, &value) || value > state->wire_left) {
            return FailGet(state, QV_STEP_FAILED);
          }
          state->characters = value;
        }
        break;
      default:
        return FailGet(state, QV_STEP_FAILED);
    }
  }
}

}  // namespace

#define QV_COOK_ALIAS(name, body)                                                                              \
  int64_t name(three_state* s, unsigned char** c, unsigned char* ce, unsigned char** w, unsigned char* we) { \
    return body(s, c, ce, w, we);                                                                            \
  }
QV_COOK_ALIAS(cook_ascii, CookHeader)
QV_COOK_ALIAS(cook_bytes, CookHeader)
QV_COOK_ALIAS(cook_ucs2, CookHeader)
QV_COOK_ALIAS(cook_utf8, CookHeader)
QV_COOK_ALIAS(cook_utf16, CookHeader)
QV_COOK_ALIAS(cook_utf32, CookHeader)
QV_COOK_ALIAS(cook_ascii_into_ascii, CookConvert)
QV_COOK_ALIAS(cook_ascii_into_ucs2, CookConvert)
QV_COOK_ALIAS(cook_ascii_into_utf8, CookConvert)
QV_COOK_ALIAS(cook_ascii_into_utf16, CookConvert)
QV_COOK_ALIAS(cook_ascii_into_utf32, CookConvert)
QV_COOK_ALIAS(cook_ascii_into_bytes, CookConvert)
QV_COOK_ALIAS(cook_bytes_into_bytes, CookConvert)
QV_COOK_ALIAS(cook_bytes_into_ucs2, CookConvert)
QV_COOK_ALIAS(cook_bytes_into_utf8, CookConvert)
QV_COOK_ALIAS(cook_bytes_into_utf16, CookConvert)
QV_COOK_ALIAS(cook_bytes_into_utf32, CookConvert)
QV_COOK_ALIAS(cook_bytes_into_ascii, CookConvert)
QV_COOK_ALIAS(cook_oldstring_into_bytes, CookConvert)
QV_COOK_ALIAS(cook_oldstring_into_ucs2, CookConvert)
QV_COOK_ALIAS(cook_oldstring_into_utf8, CookConvert)
QV_COOK_ALIAS(cook_oldstring_into_utf16, CookConvert)
QV_COOK_ALIAS(cook_oldstring_into_utf32, CookConvert)
QV_COOK_ALIAS(cook_oldstring_into_ascii, CookConvert)
QV_COOK_ALIAS(discard_padding, CookConvert)
#undef QV_COOK_ALIAS

// A legacy payload: delivered straight from the wire when it is all there,
// else collected first (in pieces as they arrive, never sized by the declared
// length) and then walked.
int64_t cook_oldstring(three_state* state, unsigned char** caller, unsigned char* caller_end, unsigned char** wire,
                       unsigned char* wire_end) {
  if (state->step != kStepGetFlag) return CookConvert(state, caller, caller_end, wire, wire_end);
  if (state->wire_left < 0) return FailGet(state, QV_STEP_FAILED);
  if (Dispatch(state) != kKeepGoing) return QV_STEP_FAILED;
  state->characters = 0;
  state->next = CookConvert;
  const Input in = WireInput(state, wire, wire_end);
  state->step = in.avail >= state->wire_left ? kStepGetConvert : kStepOldCollect;
  return CookConvert(state, caller, caller_end, wire, wire_end);
}

int64_t get_start(three_state* state, unsigned char** caller, unsigned char* caller_end, unsigned char** wire,
                  unsigned char* wire_end) {
  if (state == nullptr || state->step != kStepGetStart) return QV_STEP_FAILED;
  state->buffered = 0;
  state->pending = 0;
  if ((state->token & 0xF6) == 34) {
    if (state->wire_left <= 0) return FailGet(state, QV_STEP_FAILED);
    if (wire == nullptr || *wire == nullptr || *wire >= wire_end) return QV_STEP_WIRE;
    const unsigned char letter = **wire;
    ++*wire;
    --state->wire_left;
    if (letter < 'A' || letter > 'G') return FailGet(state, QV_STEP_FAILED);
    state->accepted = EncodingBitOfLetter(letter);
    state->step = kStepGetFlag;
    state->delivered = 0;
    if (letter == 'G') {
      state->next = cook_oldstring;
      return cook_oldstring(state, caller, caller_end, wire, wire_end);
    }
    state->next = CookHeader;
    return CookHeader(state, caller, caller_end, wire, wire_end);
  }
  state->accepted = ENCODING_OLDSTRING;
  state->step = kStepGetFlag;
  state->delivered = 0;
  state->next = cook_oldstring;
  return cook_oldstring(state, caller, caller_end, wire, wire_end);
}

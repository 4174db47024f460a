// The put side: from the caller's text to one atom in the write window.
//
// Every converter runs one of two plans. When the caller's first piece holds
// every character, the payload size is known at once: the header goes out
// first and the text is converted straight into the window ("direct"). When
// the text comes in pieces (and for every legacy-form atom), the converted
// payload is collected first: for 'A' and the legacy form in a block list
// behind a block of spare bytes, into which the header is written backwards
// when the last piece is in; for the other letters in the byte queue of a UTF
// counter, behind which the header goes out first.
#include <algorithm>
#include <cstring>

#include "text/qvconverter.h"
#include "text/qvconverterinternal.h"
#include "text/qvunicode.h"
#include "text/qvutfcounter.h"
#include "text/qvunicodeconverters.h"

using namespace Quorvane::textatoms;

namespace {

constexpr int64_t kSpareBytes = 56;
constexpr int64_t kBlockFloor = 128;
constexpr int64_t kBlockCeiling = 1 << 16;
// A put of unknown count collects the announced text; more than this is refused.
constexpr int64_t kMaxAnnouncedText = int64_t{1} << 40;

int64_t FailPut(three_state* state, int64_t result) {
  cs__factory(state->environment, QV_FACTORY_DESTROY, state, nullptr, nullptr);
  return result;
}

int64_t FinishPut(three_state* state) {
  state->step = kStepGetStart;
  state->next = put_start;
  state->pending = 0;
  state->buffered = 0;
  return QV_STEP_DONE;
}

unsigned char LegacyLetter(uint64_t token) {
  switch (token) {
    case QV_TOKEN_STRING: return 'S';
    case QV_TOKEN_SYMBOL: return 'Y';
    case QV_TOKEN_REAL: return 'R';
    case QV_TOKEN_INTEGER: return 'I';
    default: return static_cast<unsigned char>(token);
  }
}

// Builds an atom header backwards so that it ends at end; returns its first byte.
unsigned char* BuildHeader(const three_state* state, int wire, int64_t payload, int64_t count,
                           unsigned char* end) {
  unsigned char* p = end;
  if (wire == kOld) {
    p = old_ul_to_f(static_cast<uint64_t>(payload), p);
    *--p = LegacyLetter(state->token);
    return p;
  }
  if (kCodecs[wire].count_form == CountForm::lengthForm) {
    p = ul_to_f(static_cast<uint64_t>(count), p);
  } else {
    *--p = count < 64 ? static_cast<unsigned char>(0x40 | count) : ' ';
  }
  *--p = '~';
  *--p = LetterOfIndex(wire);
  p = ul_to_f(static_cast<uint64_t>(payload + (end - p)), p);
  *--p = static_cast<unsigned char>(state->token);
  return p;
}

// The bytes of one caller character in the wire encoding; -1 when it has none.
int ConvertChar(const three_state* state, int source, int wire, const Taken& t, unsigned char* out) {
  if (source == kAscii && wire == kAscii) {
    std::memcpy(out, t.raw, static_cast<size_t>(t.used));  // escapes go out as the caller wrote them
    return static_cast<int>(t.used);
  }
  return kCodecs[wire].write_wire(t.status == CharStatus::ok ? t.code : kInvalidChar, out, state);
}

// Payload size when the piece in hand holds every character: -1 when it does
// not, -2 when a character has no form in the wire encoding.
int64_t DirectPayloadSize(const three_state* state, int source, int wire, const unsigned char* p, int64_t avail) {
  const int64_t count = state->characters;
  if (source == kBytes && wire != kAscii && wire != kUtf8 && wire != kOld) {
    if (avail < count) return -1;
    return count * kCodecs[wire].wire_unit;
  }
  if (source == kBytes && wire == kUtf8) {
    if (avail < count) return -1;
    int64_t size = 0;
    return QVCountUTF8SizeOfByteString(p, count, &size) == 1 ? size : -2;
  }
  if (source == wire && (source == kUtf8 || source == kUtf16)) {
    // Well-formed text goes out as it stands: its size is its bytes.
    int64_t chars = 0;
    const int64_t bytes = source == kUtf8 ? ScanUtf8Run(p, avail, count, &chars)
                                          : ScanUtf16Run(p, avail, count, state->byte_order == 1, false, &chars);
    return chars == count ? bytes : -1;
  }
  unsigned char out[kCharWindow];
  int64_t size = 0;
  for (int64_t i = 0; i < count; ++i) {
    if (source == kAscii && wire == kAscii && avail > 0 && *p != '\\') {
      // A run of plain characters: one byte each.
      int64_t n = std::min(avail, count - i);
      const void* escape = std::memchr(p, '\\', static_cast<size_t>(n));
      if (escape != nullptr) n = static_cast<const unsigned char*>(escape) - p;
      size += n;
      p += n;
      avail -= n;
      i += n - 1;
      continue;
    }
    const int64_t n = std::min<int64_t>(avail, kCharWindow);
    ReadChar c = kCodecs[source].read_caller(p, n, false, state);
    if (c.status == CharStatus::more && n >= kCharWindow) c = {CharStatus::invalid, kInvalidChar, 1};
    if (c.status == CharStatus::more || c.status == CharStatus::broken) return -1;
    const Taken t{c.status, c.code, p, c.used, false};
    const int bytes = ConvertChar(state, source, wire, t, out);
    if (bytes < 0) return -2;
    size += bytes;
    p += c.used;
    avail -= c.used;
  }
  return size;
}

// Bytes (codes 0 to 255) into UTF-8: as many whole characters as fit in room,
// at most max_chars. Answers the bytes written; *used takes the bytes read.
int64_t BytesRunToUtf8(const unsigned char* in, int64_t avail, int64_t max_chars, unsigned char* out, int64_t room,
                       int64_t* used) {
  const int64_t n = std::min(avail, max_chars);
  int64_t i = 0;
  int64_t o = 0;
  while (i < n && o < room) {
    if (n - i >= 8 && room - o >= 8 && Quorvane::unicode::AllASCII8(in + i)) {
      std::memcpy(out + o, in + i, 8);
      i += 8;
      o += 8;
      continue;
    }
    const unsigned char b = in[i];
    if (b < 0x80) {
      out[o++] = b;
    } else {
      if (room - o < 2) break;
      out[o++] = static_cast<unsigned char>(0xC0 | (b >> 6));
      out[o++] = static_cast<unsigned char>(0x80 | (b & 0x3F));
    }
    ++i;
  }
  *used = i;
  return o;
}

// Writes pending bytes from the end of the buffer into the window.
void FlushPending(three_state* state, unsigned char** wire, unsigned char* wire_end) {
  if (state->pending == 0 || *wire == nullptr) return;
  const int64_t n = std::min<int64_t>(state->pending, wire_end - *wire);
  if (n <= 0) return;
  std::memcpy(*wire, state->buffer + kQVBufferedBytes - state->pending, static_cast<size_t>(n));
  *wire += n;
  state->pending = static_cast<uint8_t>(state->pending - n);
  state->wire_left -= n;
}

// Empties the collected legacy payload of a real from its first byte outside
// 33..254 on: a legacy reader takes such a byte as the end of the number.
void CutLegacyReal(three_state* state) {
  int64_t skip = kSpareBytes;
  bool cut = false;
  for (cube* b = state->head; b != nullptr; b = b->next) {
    unsigned char* bytes = block_bytes(b);
    int64_t i = b->offset;
    if (skip > 0) {
      const int64_t n = std::min(skip, b->size - i);
      i += n;
      skip -= n;
    }
    if (cut) {
      b->size = i;
      continue;
    }
    for (; i < b->size; ++i) {
      if (bytes[i] < 33 || bytes[i] > 254) {
        b->size = i;
        cut = true;
        break;
      }
    }
  }
}

// The header of a collected 'A' or legacy payload, into the spare bytes.
int64_t CollectedHeader(three_state* state, int wire) {
  if (wire == kOld && state->token == QV_TOKEN_REAL) CutLegacyReal(state);
  const int64_t payload = blocks_size(state->head) - kSpareBytes;
  unsigned char* end = block_bytes(state->head) + state->head->offset + kSpareBytes;
  unsigned char* start = BuildHeader(state, wire, payload, blocks_count(state->head), end);
  read_block_done(state->environment, &state->head, &state->tail, kSpareBytes - (end - start));
  state->wire_left = blocks_size(state->head);
  state->step = kStepPutBlocks;
  return 0;
}

int64_t Freeze(three_state* state, int wire, unsigned char** caller, unsigned char* caller_end,
               unsigned char** wire_cursor, unsigned char* wire_end) {
  const int source = IndexOfBit(state->encoding);
  if (source < 0 || kCodecs[source].read_caller == nullptr || kCodecs[wire].write_wire == nullptr) {
    return FailPut(state, QV_STEP_FAILED);
  }
  const CharReader reader = kCodecs[source].read_caller;
  // A UTF-16 piece that ends inside a character (on a leading surrogate, or
  // inside a unit) leaves it with the caller: the position stays on its first
  // unit and nothing is kept, so a caller that hands the text again from that
  // unit sees the pair whole, and never twice.
  const bool keep_partial = source != kUtf16;
  Input in{caller != nullptr ? *caller : nullptr, 0, -1};
  if (in.p != nullptr && caller_end > in.p) in.avail = caller_end - in.p;
  auto sync = [&] {
    if (caller != nullptr && *caller != nullptr) *caller = const_cast<unsigned char*>(in.p);
  };
  // Reads the next whole character into t. Answers 0 when it has one, else the
  // step to return: more caller text wanted, or the text is unrepresentable.
  constexpr int64_t kHaveChar = 0;
  auto next = [&](Taken& t) -> int64_t {
    if (in.avail == 0 && state->buffered == 0) {
      sync();
      return QV_STEP_CALLER;
    }
    t = TakeChar(state, in, reader, keep_partial);
    if (t.status == CharStatus::more) {
      sync();
      return QV_STEP_CALLER;
    }
    if (t.status == CharStatus::broken) return FailPut(state, QV_STEP_UNREPRESENTABLE);
    return kHaveChar;
  };

  for (;;) {
    switch (state->step) {
      case kStepPutStart: {
        if (state->characters < 0) return FailPut(state, QV_STEP_FAILED);
        state->buffered = 0;
        state->pending = 0;
        const int64_t size =
            wire == kOld ? -1 : DirectPayloadSize(state, source, wire, in.p, in.avail);
        if (size == -2) return FailPut(state, QV_STEP_UNREPRESENTABLE);
        if (size >= 0) {
          unsigned char* end = state->buffer + kQVBufferedBytes;
          unsigned char* start = BuildHeader(state, wire, size, state->characters, end);
          state->pending = static_cast<uint8_t>(end - start);
          state->wire_left = size + (end - start);
          state->step = kStepPutHeader;
        } else if (wire == kAscii || wire == kOld) {
          // The header goes into spare bytes in front of the collected payload.
          if (put_block(state->environment, &state->head, &state->tail, kSpareBytes, 0) == nullptr) {
            return QV_STEP_NO_MEMORY;
          }
          state->wire_left = -1;
          state->step = kStepPutCollect;
        } else {
          state->counter = qvutfcounter_new(state->environment->allocate, state->environment->deallocate);
          if (state->counter == nullptr) return QV_STEP_NO_MEMORY;
          state->counter->characters = state->characters;
          state->wire_left = -1;
          state->step = kStepCounterCollect;
        }
        break;
      }
      case kStepCounterCollect: {
        _qvutfcounter* counter = state->counter;
        while (state->characters > 0) {
          Taken t;
          if (const int64_t step = next(t); step != kHaveChar) return step;
          unsigned char out[kCharWindow];
          const int bytes = ConvertChar(state, source, wire, t, out);
          if (bytes < 0) return FailPut(state, QV_STEP_UNREPRESENTABLE);
          if (qvqueue_putn(counter->queue, out, bytes) != bytes) return FailPut(state, QV_STEP_FAILED);
          if (t.from_buffer) DropBuffered(state, t.used);
          counter->bytes += bytes;
          --state->characters;
        }
        sync();
        unsigned char* end = state->buffer + kQVBufferedBytes;
        unsigned char* start = BuildHeader(state, wire, counter->bytes, counter->characters, end);
        state->buffered = 0;
        state->pending = static_cast<uint8_t>(end - start);
        state->wire_left = counter->bytes + (end - start);
        state->step = kStepCounterHeader;
        break;
      }
      case kStepCounterHeader:
        FlushPending(state, wire_cursor, wire_end);
        if (state->pending > 0) {
          sync();
          return QV_STEP_WIRE;
        }
        state->step = kStepCounterStream;
        break;
      case kStepCounterStream: {
        _qvutfcounter* counter = state->counter;
        while (counter->bytes > 0) {
          const int64_t room = *wire_cursor != nullptr ? wire_end - *wire_cursor : 0;
          if (room <= 0) {
            sync();
            return QV_STEP_WIRE;
          }
          const int64_t n = qvqueue_getn(counter->queue, *wire_cursor, std::min(room, counter->bytes));
          if (n <= 0) return FailPut(state, QV_STEP_FAILED);
          *wire_cursor += n;
          counter->bytes -= n;
          state->wire_left -= n;
        }
        qvutfcounter_destroy(counter);
        state->counter = nullptr;
        sync();
        return FinishPut(state);
      }
      case kStepPutHeader:
        FlushPending(state, wire_cursor, wire_end);
        if (state->pending > 0) {
          sync();
          return QV_STEP_WIRE;
        }
        state->step = kStepPutStream;
        break;
      case kStepPutStream: {
        FlushPending(state, wire_cursor, wire_end);
        if (state->pending > 0) {
          sync();
          return QV_STEP_WIRE;
        }
        if (state->characters == 0) {
          sync();
          return FinishPut(state);
        }
        int64_t room = *wire_cursor != nullptr ? wire_end - *wire_cursor : 0;
        if (room <= 0) {
          sync();
          return QV_STEP_WIRE;
        }
        // Runs of plain characters go out with one copy.
        if (state->buffered == 0 && ((source == kBytes && wire == kBytes) || (source == kAscii && wire == kAscii))) {
          int64_t n = std::min({in.avail, room, state->characters});
          if (source == kAscii) {
            const void* escape = std::memchr(in.p, '\\', static_cast<size_t>(n));
            if (escape != nullptr) n = static_cast<const unsigned char*>(escape) - in.p;
          }
          if (n > 0) {
            std::memcpy(*wire_cursor, in.p, static_cast<size_t>(n));
            *wire_cursor += n;
            in.p += n;
            in.avail -= n;
            state->characters -= n;
            state->wire_left -= n;
            break;
          }
        }
        if (state->buffered == 0 && source == kBytes && wire == kUtf8) {
          int64_t used = 0;
          const int64_t n = BytesRunToUtf8(in.p, in.avail, state->characters, *wire_cursor, room, &used);
          if (used > 0) {
            *wire_cursor += n;
            in.p += used;
            in.avail -= used;
            state->characters -= used;
            state->wire_left -= n;
            break;
          }
        }
        // Runs of whole characters that need no change go out with one copy;
        // whatever ends or breaks a run is left to the per-character path.
        if (state->buffered == 0 && source == wire && (source == kUtf8 || source == kUtf16)) {
          const bool swap = state->byte_order == 1;
          const int64_t limit = std::min(in.avail, room);
          int64_t chars = 0;
          const int64_t n = source == kUtf8 ? ScanUtf8Run(in.p, limit, state->characters, &chars)
                                            : ScanUtf16Run(in.p, limit, state->characters, swap, false, &chars);
          if (n > 0) {
            if (source == kUtf8) {
              std::memcpy(*wire_cursor, in.p, static_cast<size_t>(n));
            } else {
              CopyUtf16Units(*wire_cursor, in.p, n, swap);
            }
            *wire_cursor += n;
            in.p += n;
            in.avail -= n;
            state->characters -= chars;
            state->wire_left -= n;
            break;
          }
        }
        Taken t;
        if (const int64_t step = next(t); step != kHaveChar) return step;
        if (room >= kCharWindow) {
          // Room for any character: straight into the window.
          const int bytes = ConvertChar(state, source, wire, t, *wire_cursor);
          if (bytes < 0) return FailPut(state, QV_STEP_UNREPRESENTABLE);
          if (t.from_buffer) DropBuffered(state, t.used);
          *wire_cursor += bytes;
          state->wire_left -= bytes;
        } else {
          unsigned char out[kCharWindow];
          const int bytes = ConvertChar(state, source, wire, t, out);
          if (bytes < 0) return FailPut(state, QV_STEP_UNREPRESENTABLE);
          if (t.from_buffer) DropBuffered(state, t.used);
          SetPending(state, out, bytes);
        }
        --state->characters;
        break;
      }
      case kStepPutCollect: {
        // Each call adds blocks for the characters of its piece.
        cube* block = nullptr;
        int64_t capacity = 0;
        while (state->characters > 0) {
          if (in.avail == 0 && state->buffered == 0) {
            sync();
            return QV_STEP_CALLER;
          }
          if (block == nullptr || capacity - block->size < kCharWindow) {
            const int64_t want = std::clamp<int64_t>(4 * in.avail + kCharWindow, kBlockFloor, kBlockCeiling);
            if (put_block(state->environment, &state->head, &state->tail, want, 0) == nullptr) {
              sync();
              return QV_STEP_NO_MEMORY;
            }
            block = state->tail;
            capacity = want;
            block->size = 0;
          }
          Taken t;
          if (const int64_t step = next(t); step != kHaveChar) return step;
          const int bytes = ConvertChar(state, source, wire, t, block_bytes(block) + block->size);
          if (bytes < 0) return FailPut(state, QV_STEP_UNREPRESENTABLE);
          if (t.from_buffer) DropBuffered(state, t.used);
          block->size += bytes;
          ++block->characters;
          --state->characters;
        }
        sync();
        CollectedHeader(state, wire);
        break;
      }
      case kStepPutBlocks: {
        while (state->head != nullptr) {
          const int64_t room = *wire_cursor != nullptr ? wire_end - *wire_cursor : 0;
          const int64_t left = read_block_size(state->head);
          const int64_t n = std::min(room, left);
          if (n > 0) {
            std::memcpy(*wire_cursor, read_block(state->head), static_cast<size_t>(n));
            *wire_cursor += n;
            state->wire_left -= n;
          }
          if (n < left) {
            read_block_done(state->environment, &state->head, &state->tail, n);
            sync();
            return QV_STEP_WIRE;
          }
          read_block_done(state->environment, &state->head, &state->tail, n);
        }
        sync();
        return FinishPut(state);
      }
      default:
        return FailPut(state, QV_STEP_FAILED);
    }
  }
}

template <int Wire>
int64_t FreezeInto(three_state* state, unsigned char** caller, unsigned char* caller_end, unsigned char** wire,
                   unsigned char* wire_end) {
  return Freeze(state, Wire, caller, caller_end, wire, wire_end);
}

constexpr qvtext_step kFreezeInto[kEncodings] = {FreezeInto<kAscii>, FreezeInto<kBytes>, FreezeInto<kUcs2>,
                                                 FreezeInto<kUtf8>,  FreezeInto<kUtf16>, FreezeInto<kUtf32>,
                                                 FreezeInto<kOld>};

}  // namespace

#define QV_FREEZE_ALIAS(name, wire)                                                                     \
  int64_t name(three_state* s, unsigned char** c, unsigned char* ce, unsigned char** w, unsigned char* we) { \
    return FreezeInto<wire>(s, c, ce, w, we);                                                           \
  }
QV_FREEZE_ALIAS(freeze_ascii_into_ascii, kAscii)
QV_FREEZE_ALIAS(freeze_ascii_into_bytes, kBytes)
QV_FREEZE_ALIAS(freeze_ascii_into_ucs2, kUcs2)
QV_FREEZE_ALIAS(freeze_ascii_into_utf8, kUtf8)
QV_FREEZE_ALIAS(freeze_ascii_into_utf16, kUtf16)
QV_FREEZE_ALIAS(freeze_ascii_into_utf32, kUtf32)
QV_FREEZE_ALIAS(freeze_all_ascii_into_oldstring, kOld)
QV_FREEZE_ALIAS(freeze_ascii_into_oldstring, kOld)
QV_FREEZE_ALIAS(freeze_bytes_into_bytes, kBytes)
QV_FREEZE_ALIAS(freeze_bytes_into_ucs2, kUcs2)
QV_FREEZE_ALIAS(freeze_bytes_into_utf8, kUtf8)
QV_FREEZE_ALIAS(freeze_bytes_into_utf16, kUtf16)
QV_FREEZE_ALIAS(freeze_bytes_into_utf32, kUtf32)
QV_FREEZE_ALIAS(freeze_all_bytes_into_ascii, kAscii)
QV_FREEZE_ALIAS(freeze_some_bytes_into_ascii, kAscii)
QV_FREEZE_ALIAS(freeze_all_bytes_into_oldstring, kOld)
QV_FREEZE_ALIAS(freeze_bytes_into_oldstring, kOld)
#undef QV_FREEZE_ALIAS

// Escaped ASCII whose byte length is announced but whose count is not: the text
// is collected, counted, and then put by a nested state.
int64_t freeze_ascii_of_unknown_count(three_state* state, unsigned char** caller, unsigned char* caller_end,
                                      unsigned char** wire, unsigned char* wire_end) {
  constexpr int64_t kTextOffset = static_cast<int64_t>(sizeof(UnknownCountText));
  switch (state->step) {
    case kStepPutStart: {
      const int64_t total = static_cast<int64_t>(reinterpret_cast<uintptr_t>(caller_end));
      if (total < 0 || total > kMaxAnnouncedText) return FailPut(state, QV_STEP_FAILED);
      if (put_block(state->environment, &state->head, &state->tail, kTextOffset + total, 0) == nullptr) {
        return QV_STEP_NO_MEMORY;
      }
      auto* text = reinterpret_cast<UnknownCountText*>(block_bytes(state->head));
      std::memset(text, 0, sizeof *text);
      text->total = total;
      state->head->size = kTextOffset;
      state->step = kStepUnknownCollect;
      if (total > 0) return QV_STEP_CALLER;
      [[fallthrough]];
    }
    case kStepUnknownCollect: {
      auto* text = reinterpret_cast<UnknownCountText*>(block_bytes(state->head));
      const int64_t have = state->head->size - kTextOffset;
      if (caller != nullptr && *caller != nullptr && caller_end > *caller) {
        const int64_t n = std::min<int64_t>(caller_end - *caller, text->total - have);
        std::memcpy(block_bytes(state->head) + state->head->size, *caller, static_cast<size_t>(n));
        state->head->size += n;
        *caller += n;
      }
      if (state->head->size - kTextOffset < text->total) return QV_STEP_CALLER;
      three_state& nested = text->nested;
      nested = *state;
      nested.head = nested.tail = nullptr;
      nested.counter = nullptr;
      nested.buffered = 0;
      nested.pending = 0;
      nested.step = kStepPutStart;
      nested.wire_left = -1;
      nested.next = put_start;
      nested.characters = CountEscapedChars(block_bytes(state->head) + kTextOffset, text->total);
      state->characters = nested.characters;
      state->step = kStepUnknownRun;
      [[fallthrough]];
    }
    case kStepUnknownRun: {
      auto* text = reinterpret_cast<UnknownCountText*>(block_bytes(state->head));
      unsigned char* base = block_bytes(state->head) + kTextOffset;
      unsigned char* source = base + text->offset;
      const int64_t result = text->nested.next(&text->nested, &source, base + text->total, wire, wire_end);
      text->offset = source - base;
      state->characters = text->nested.characters;
      state->wire_left = text->nested.wire_left;
      if (result == QV_STEP_WIRE || result == QV_STEP_NO_MEMORY) return result;
      if (result == QV_STEP_DONE) {
        cs__factory(state->environment, QV_FACTORY_DESTROY, &text->nested, nullptr, nullptr);
        free_blocks(state->environment, &state->head, &state->tail);
        return FinishPut(state);
      }
      return FailPut(state, result == QV_STEP_UNREPRESENTABLE ? result : QV_STEP_FAILED);
    }
    default:
      return FailPut(state, QV_STEP_FAILED);
  }
}

int64_t full_ascii_header(three_state* state) { return CollectedHeader(state, kAscii); }
int64_t old_header(three_state* state) { return CollectedHeader(state, kOld); }

int64_t put_start(three_state* state, unsigned char** caller, unsigned char* caller_end, unsigned char** wire,
                  unsigned char* wire_end) {
  if (state == nullptr || state->step != kStepPutStart) return QV_STEP_FAILED;
  const uint8_t source = state->encoding;
  if (const int64_t begun = Quorvane::textatoms::unicodecodecs::BeginUnicodePut(state, caller, caller_end); begun != 0) {
    return begun;
  }
  const bool null_start = caller == nullptr || *caller == nullptr;
  if (source == ENCODING_ASCII && state->characters < 0) {
    if (null_start && caller_end != nullptr) {
      state->next = freeze_ascii_of_unknown_count;
      return freeze_ascii_of_unknown_count(state, caller, caller_end, wire, wire_end);
    }
    state->characters = null_start ? 0 : CountEscapedChars(*caller, caller_end - *caller);
  }
  const int index = IndexOfBit(source);
  if (index < 0 || index == kOld || state->characters < 0) return QV_STEP_FAILED;
  const int64_t given = null_start || caller_end < *caller ? 0 : caller_end - *caller;
  const bool whole = given / kCodecs[index].caller_unit >= state->characters;
  const unsigned char letter = ChoosePutLetter(source, state->accepted, state->six_digit != 0, whole);
  if (letter == 0) return QV_STEP_FAILED;
  const int wire_index = letter - 'A';
  // Text of a Unicode source has no byte form as a whole.
  if (wire_index == kBytes && index >= kUtf8 && index <= kUtf32) return FailPut(state, QV_STEP_UNREPRESENTABLE);
  if (kCodecs[index].read_caller == nullptr || kCodecs[wire_index].write_wire == nullptr) return QV_STEP_FAILED;
  state->next = kFreezeInto[wire_index];
  return state->next(state, caller, caller_end, wire, wire_end);
}

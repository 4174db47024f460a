// Internal to the converter engine: the per-encoding codec table, the choice
// orders, and the step numbers that say what a state owns.
//
// A converter is a pair: the reader of one encoding and the writer of another.
// Each encoding contributes one row of the codec table (its caller-text reader
// and writer, its wire-payload reader and writer); the engine pairs them, so a
// new encoding is one new row.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "text/qvconverter.h"
#include "text/qvunicodecodec.h"

namespace Quorvane::textatoms {

// Index of an encoding: its wire letter less 'A' (0 ASCII .. 6 legacy).
enum : int { kAscii = 0, kBytes, kUcs2, kUtf8, kUtf16, kUtf32, kOld, kEncodings };

constexpr uint8_t BitOfIndex(int index) { return static_cast<uint8_t>(2u << index); }
constexpr unsigned char LetterOfIndex(int index) { return static_cast<unsigned char>('A' + index); }
// -1 unless exactly one supported encoding bit.
int IndexOfBit(uint8_t bit);

// The longest character (or escape) a reader looks at, and so the longest that
// a state keeps between calls. Input is always seen through a window of at most
// this many bytes, so text split at any point reads exactly as when whole.
constexpr int kCharWindow = 56;
// The longest output of one character that is not passed through raw.
constexpr int kMaxCharOutput = 8;
static_assert(kCharWindow - 1 + kMaxCharOutput <= kQVBufferedBytes, "buffered and pending bytes share the buffer");

// One character read from text.
enum class CharStatus : int {
  ok,       // code holds the character, used its bytes
  more,     // the bytes end inside a character; more may follow
  invalid,  // not a character: used bytes are skipped, a stand-in is written
  broken    // the text cannot be read on: the atom fails
};
struct ReadChar {
  CharStatus status;
  int64_t code;
  int64_t used;
};
constexpr int64_t kInvalidChar = -1;

// Reads one character from n bytes; final: nothing follows these bytes.
typedef ReadChar (*CharReader)(const unsigned char* p, int64_t n, bool final, const three_state* state);
// Writes one character (kInvalidChar for a stand-in); returns its bytes, or -1
// when the character has no form here.
typedef int (*CharWriter)(int64_t code, unsigned char* out, const three_state* state);

enum class CountForm : uint8_t { lengthForm, oneByte, none };

struct Codec {
  CharReader read_caller;  // put: the caller's text
  CharWriter write_wire;   // put: the atom's payload
  CharReader read_wire;    // get: the atom's payload
  CharWriter write_caller; // get: the caller's text
  int caller_unit;         // bytes of one unit of caller text
  int wire_unit;           // bytes of one payload unit (the one-byte count derives from it)
  CountForm count_form;
  bool caller_mark;        // caller text begins with U+FEFF in this machine's order
};

extern const Codec kCodecs[kEncodings];

// The letter a put chooses, or 0 when none: source is one encoding bit,
// accepted the peer's mask, whole whether the caller's first piece holds every
// character.
unsigned char ChoosePutLetter(uint8_t source, uint8_t accepted, bool six_digit, bool whole);
// The encoding bit a get of the given wire letter delivers, or 0.
uint8_t ChooseGetTarget(unsigned char letter, uint8_t accepted);

// Step numbers. What a state owns follows from its step alone. One engine
// serves every converter, so a converter's continuation is one of these
// shared steps rather than a function of its own:
//   kStepPutHeader, kStepPutStream: _g2_f and _g3_f (escaped ASCII into 'A'),
//     _f8_f and _f9_f (into 'C'), _a7_f (bytes into 'B');
//   kStepCounterCollect to kStepCounterStream: _iiii9_f, _ee10_f, _uuu10_f,
//     _ff10_f (the collecting puts into 'B', 'D', 'E' and 'F');
//   kStepPutCollect: _t1_f and _t2_f (the legacy form), _o1_f and _q1_f
//     (bytes in pieces); kStepPutBlocks is their shared tail _p1_f;
//   kStepGetConvert: _w6_f, _w5_f, _ccc2_f, _xxx2_f, _ddd2_f, _w4_f (the
//     reads of an 'A' atom), and kStepGetPadding is discard_padding.
enum : int64_t {
  kStepIdle = 0,
  kStepPutStart = 1,
  kStepGetStart = 2,
  kStepGetRecover = 20,    // owns nothing
  kStepPutHeader = 40,     // pending header bytes
  kStepPutStream = 41,     // pending output and buffered source bytes
  kStepPutCollect = 60,    // block list and buffered source bytes
  kStepPutBlocks = 61,     // block list
  kStepCounterCollect = 62,  // UTF counter and buffered source bytes
  kStepCounterHeader = 63,   // UTF counter and pending header bytes
  kStepCounterStream = 64,   // UTF counter
  kStepGetFlag = 72,       // header reader: flag byte next
  kStepGetCount = 73,      // count next
  kStepGetDigits = 74,     // inside a decimal count
  kStepUnknownCollect = 80,  // one block: the text so far
  kStepUnknownRun = 81,      // one block: a nested state and the text
  kStepGetConvert = 100,   // buffered wire bytes and pending output
  kStepGetPadding = 101,
  kStepOldCollect = 120,   // block list of payload pieces
  kStepOldConvert = 121    // block list holding the whole payload, and pending output
};

bool StepOwnsBlocks(int64_t step);
bool StepOwnsCounter(int64_t step);

// Makes the state fail the get atom: frees what it owns, installs recovery.
int64_t FailGet(three_state* state, int64_t result);

// Text being read: the next byte, the bytes in hand, and the bytes still to
// come in all (at least the bytes in hand; -1 when unbounded).
struct Input {
  const unsigned char* p;
  int64_t avail;
  int64_t left;
};

// One character taken from text, seen through the state's buffered bytes.
struct Taken {
  CharStatus status;
  int64_t code;
  const unsigned char* raw;  // its bytes; valid until the buffer changes
  int64_t used;
  bool from_buffer;          // then DropBuffered(used) once its bytes are no longer needed
};
// Reads the next character. A character cut off by the end of what is in hand
// (status more) is kept in the state's buffered bytes when keep_partial; it is
// completed byte by byte on later calls, so text split anywhere reads exactly
// as when whole. Without keep_partial nothing of it is taken: it stays with
// the caller, who hands it again from its first byte.
Taken TakeChar(three_state* state, Input& in, CharReader reader, bool keep_partial);
void DropBuffered(three_state* state, int64_t used);
// Puts n bytes as the pending output at the end of the buffer.
void SetPending(three_state* state, const unsigned char* bytes, int n);

// The nested state and text kept by a put of unknown count.
struct UnknownCountText {
  int64_t total;   // bytes announced
  int64_t offset;  // bytes of the text already handed to the nested state
  three_state nested;
};

// The escaped-ASCII reader and writer shared with the codecs.
ReadChar ReadEscapedChar(const unsigned char* p, int64_t n, bool final);
int WriteEscapedChar(int64_t code, unsigned char* out);
// Characters of escaped text over its whole length.
int64_t CountEscapedChars(const unsigned char* p, int64_t n);


// Runs of whole characters that go from one side to the other unchanged:
// well-formed UTF-8 to UTF-8, and UTF-16 to UTF-16. Each scan takes at most
// max_chars characters from the n bytes at p and answers the bytes they take
// (stored count in *chars). It stops before anything the per-character path
// must see: a character cut off by n, ill-formed text, a lone surrogate (unless
// keep_stray). Callers copy the run and let the per-character path go on.
inline int64_t ScanUtf8Run(const unsigned char* p, int64_t n, int64_t max_chars, int64_t* chars) {
  int64_t i = 0;
  int64_t c = 0;
  while (c < max_chars && i < n) {
    if (p[i] < 0x80) {
      const int64_t run = Quorvane::unicode::ASCIIRun(p + i, std::min(n - i, max_chars - c));
      i += run;
      c += run;
      continue;
    }
    uint32_t code;
    const int used = Quorvane::unicode::DecodeUTF8(p + i, n - i, &code);
    if (used <= 0) break;
    i += used;
    ++c;
  }
  *chars = c;
  return i;
}

inline int64_t ScanUtf16Run(const unsigned char* p, int64_t n, int64_t max_chars, bool swap, bool keep_stray,
                            int64_t* chars) {
  using namespace Quorvane::unicode;
  int64_t i = 0;
  int64_t c = 0;
  while (c < max_chars && n - i >= 2) {
    uint16_t u0;
    std::memcpy(&u0, p + i, 2);
    u0 = Unit16(u0, swap);
    if (!IsSurrogate(u0)) {
      i += 2;
      ++c;
      continue;
    }
    if (n - i < 4) break;  // a pair may be cut here: left to the per-character path
    uint16_t u1;
    std::memcpy(&u1, p + i + 2, 2);
    u1 = Unit16(u1, swap);
    if (IsLeadingSurrogate(u0) && IsTrailingSurrogate(u1)) {
      i += 4;
    } else if (keep_stray) {
      i += 2;
    } else {
      break;
    }
    ++c;
  }
  *chars = c;
  return i;
}

// Copies n bytes of UTF-16 units, swapping each when asked.
inline void CopyUtf16Units(unsigned char* out, const unsigned char* in, int64_t n, bool swap) {
  if (!swap) {
    std::memcpy(out, in, static_cast<size_t>(n));
    return;
  }
  for (int64_t i = 0; i + 1 < n; i += 2) {
    out[i] = in[i + 1];
    out[i + 1] = in[i];
  }
}

}  // namespace Quorvane::textatoms

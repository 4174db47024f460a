// The converters that let a reader take a token in another form: each pushes
// a queue holding the wanted form's bytes on the queue stack, and the token
// then reads from there and falls back to the stream. Older number tokens get
// a byte atom's header in front of their digits; a binary number, its text; a
// number that did not fit, its own body again; a text atom, an escaped-ASCII
// body; an older string, a current string or symbol token.
#include <cstring>

#include "api/qvarraymeter.h"
#include "api/qvcodecqueues.h"
#include "include/quorvane_text.h"
#include "api/qvcodecreadinternal.h"
#include "api/qvtokentypes.h"

namespace qvcodecread {

namespace {

constexpr int64_t kNumberTextCapacity = 64;
constexpr int64_t kMaxBinaryBytes = 16;
constexpr int64_t kTextStep = 256;

// Bytes built up for a pushed queue.
class Bytes {
 public:
  void Add(const void* p, int64_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    data_.insert(data_.end(), b, b + n);
  }
  void Add(unsigned char b) { data_.push_back(b); }
  // A length field, one byte below 64 when short_form, else digits and a blank.
  void AddLength(uint64_t value, bool short_form) {
    unsigned char field[24];
    unsigned char* first = encode_len_(value, field + sizeof field, short_form);
    Add(first, field + sizeof field - first);
  }
  // A byte atom's character count: one byte, a blank meaning "the payload length".
  void AddByteCount(int64_t n) { Add(static_cast<unsigned char>(n < 64 ? 0x40 | n : ' ')); }
  // The rest of a packed run, reopened for the elements still in the stream.
  void AddRunReopening(int64_t run_before, uint64_t type) {
    if (run_before <= 1) return;
    Add('P');
    AddLength(static_cast<uint64_t>(run_before - 1), true);
    Add(static_cast<unsigned char>(type));
  }
  const unsigned char* data() const { return data_.data(); }
  int64_t size() const { return static_cast<int64_t>(data_.size()); }

 private:
  QVByteVector data_;
};

// The token reads again from its type: its length, and so its expression, is
// counted a second time, which the owed count makes up for.
void ReadAgain(read_state* state, uint64_t type) {
  BeginToken(state, type);
  ++state->owed;
}

long Push(read_state* state, Source source, const Bytes& bytes) {
  const long error = qvcodec_push_bytes(source.queues, bytes.data(), bytes.size());
  return error == 0 ? 0 : Fail(state, error);
}

// Everything left of the current text token, converted into the target encoding.
long CollectText(read_state* state, Source source, unsigned target, GrowingBuffer* text) {
  do {
    if (!text->Reserve(kTextStep)) return Fail(state, kNoMemory);
    int64_t delivered = 0;
    uint8_t state_byte = '?';
    const long error = QVGetCharacters_(state, source.stack, source.queues, &delivered, text->end(),
                                        text->data() + text->capacity(), &state_byte, target);
    if (error != 0) return error;
    text->Grow(target == ENCODING_ASCII || target == ENCODING_BYTES ? delivered : 0);
  } while (state->converter.wire_left >= 0);
  return 0;
}

// An older string's escaped-ASCII text as the body of a current string or
// symbol token (its type byte is the reader's already): length, atom, terminator.
Bytes put_old_data_new_way(const unsigned char* text, int64_t n) {
  // Counted character by character: escapes stand for one character each.
  int64_t characters = 0;
  const char* cursor = reinterpret_cast<const char*>(text);
  const char* end = cursor + n;
  while (cursor < end && RVNextCharacter(&cursor, end) >= 0) ++characters;
  Bytes atom;
  atom.Add('A');
  atom.Add('~');
  atom.AddLength(static_cast<uint64_t>(characters), true);
  atom.Add(text, n);
  Bytes token;
  token.AddLength(static_cast<uint64_t>(atom.size()), true);
  token.Add(atom.data(), atom.size());
  token.Add('\n');
  return token;
}

}  // namespace

long convert_old_number_text(read_state* state, Source source, uint64_t* type) {
  const uint64_t old = *type;
  long error = 0;
  const int64_t n = decode_len(source, &error);
  *type = 0;
  state->converter.token = 0;
  if (n < 0) return Fail(state, error != 0 ? kLost : kInconsistent);
  Bytes header;
  if (n <= 60) {
    header.Add(static_cast<unsigned char>((n + 3) | 0x40));
    header.Add('B');
    header.Add('~');
    header.Add(static_cast<unsigned char>(n | 0x40));
  } else {
    header.AddLength(static_cast<uint64_t>(n + 3), false);
    header.Add('B');
    header.Add('~');
    header.Add(' ');
  }
  if (const long pushed = Push(state, source, header); pushed != 0) return pushed;
  *type = old == TOK_OLD_INTEGER ? TOK_INTEGER : TOK_REAL;
  return 0;
}

long missed_binary_number_opportunity(read_state* state, Source source) {
  three_state& c = state->converter;
  const uint64_t type = c.token;
  const int64_t run_before = state->packed_run;
  if (const long error = getlen(state, source); error != 0) return error;
  const int64_t size = c.wire_left;
  if (size > kMaxBinaryBytes) return Fail(state, kInconsistent);
  unsigned char number[kMaxBinaryBytes];
  long error = 0;
  if (source.Read(number, size, &error) < size) return Fail(state, error != 0 ? error : kLost);
  c.wire_left = -1;
  state->packed_run = 0;
  const unsigned text_type = (type & 0x10) ? TOK_REAL : TOK_INTEGER;
  unsigned char text[kNumberTextCapacity];
  long length = kNumberTextCapacity;
  if (state->dispatch(qvne_selector(text_type, static_cast<unsigned>(type)), text, number, &length) != 0) {
    c.token = 0;
    return Fail(state, kInconsistent);
  }
  Bytes body;
  body.AddLength(static_cast<uint64_t>(length + 3), true);
  body.Add('B');
  body.Add('~');
  body.AddByteCount(length);
  body.Add(text + text[0], length);
  // Inside a run the stream holds no terminator before the next element.
  if (run_before > 1) body.Add('\n');
  body.AddRunReopening(run_before, type);
  if (const long pushed = Push(state, source, body); pushed != 0) return pushed;
  ReadAgain(state, text_type);
  return 0;
}

namespace {

// The token's body given back, then its terminator and the rest of its run,
// so that the token reads again from its type.
long GiveBodyBack(read_state* state, Source source, long error, uint64_t type, Bytes* again,
                  const unsigned char* body, int64_t n, int64_t run_before) {
  again->Add(body, n);
  again->Add('\n');
  again->AddRunReopening(run_before, type);
  if (const long pushed = Push(state, source, *again); pushed != 0) return pushed;
  state->packed_run = 0;
  ReadAgain(state, type);
  return Fail(state, error);
}

}  // namespace

long character_number_overflow(read_state* state, Source source, long error, uint64_t type,
                               const unsigned char* text, int64_t n, int64_t run_before) {
  Bytes again;
  if (type == TOK_REAL || type == TOK_INTEGER) {
    again.AddLength(static_cast<uint64_t>(n + 3), true);
    again.Add('B');
    again.Add('~');
    again.AddByteCount(n);
  }
  return GiveBodyBack(state, source, error, type, &again, text, n, run_before);
}

long binary_number_overflow(read_state* state, Source source, long error, uint64_t type,
                            const unsigned char* bytes, int64_t n, int64_t run_before) {
  Bytes again;
  return GiveBodyBack(state, source, error, type, &again, bytes, n, run_before);
}

long cook_atom_to_ascii_string(read_state* state, Source source) {
  three_state& c = state->converter;
  if (IsComposite(c.token) || c.token == TOK_OPT_SYMBOL || c.token == TOK_OPT_STRING) {
    return Fail(state, kOutOfSequence);
  }
  GrowingBuffer text(state->memory);
  if (const long error = CollectText(state, source, ENCODING_ASCII, &text); error != 0) return error;
  Bytes body;
  body.AddLength(static_cast<uint64_t>(text.size()), true);
  body.Add(text.data(), text.size());
  body.Add('\n');
  if (const long pushed = Push(state, source, body); pushed != 0) return pushed;
  ReadAgain(state, c.token);
  return 0;
}

long convert_old_string(read_state* state, Source source, uint64_t* type) {
  const uint64_t current = *type == TOK_OLD_SYMBOL ? TOK_SYMBOL : TOK_STRING;
  GrowingBuffer text(state->memory);
  if (const long error = CollectText(state, source, ENCODING_ASCII, &text); error != 0) return error;
  if (const long pushed = Push(state, source, put_old_data_new_way(text.data(), text.size())); pushed != 0) {
    return pushed;
  }
  ReadAgain(state, current);
  *type = current;
  return 0;
}

}  // namespace qvcodecread

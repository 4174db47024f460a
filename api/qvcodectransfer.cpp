// Copying expressions from one link's read side to another link's write side:
// token by token with re-encoding, or as raw bytes up to a mark.
#include <cstring>
#include <memory>

#include "api/qvarraymeter.h"
#include "api/qvcodecreadinternal.h"
#include "api/qvcodecwrite.h"
#include "api/qvlinkmark.h"
#include "api/qvstream.h"
#include "api/qvtokentypes.h"
#include "include/quorvane_text.h"
#include "text/qvstringdictionary.h"

using qvcodecread::GrowingBuffer;
using qvcodecread::kImpossibleState;
using qvcodecread::kInconsistent;
using qvcodecread::kLost;
using qvcodecread::kNoMemory;
using qvcodecread::Source;

namespace {

// The write side's code for states that do not agree, and the codes of names
// no dictionary knows.
constexpr long kStatesDisagree = 5;
constexpr long kUnknownSymbolCode = 53;
constexpr long kUnknownStringCode = 54;

// Text moves in pieces of this many bytes, raw data in pieces of the other.
constexpr int64_t kTextPiece = 1024;
constexpr int64_t kRawPiece = 4096;
constexpr int64_t kMaxNumberBytes = 16;
// The encodings a text can be handed over in (the legacy form is no caller encoding).
constexpr unsigned kCallerEncodings = 0x7E;

// The two sides of one transfer.
struct Sides {
  write_state* writer;
  device_kebab* writer_stack;
  _queue* writer_queue;
  read_state* reader;
  device_kebab* stack;
  qv_queue_stack* queues;

  long Put(unsigned type) { return QVPutType_(writer, writer_stack, writer_queue, type); }
  long FailRead(long code) { return rs__set_error(reader, code); }
};

// ---- Text ----

int64_t UnitBytes(unsigned encoding) {
  switch (encoding) {
    case ENCODING_UCS2: case ENCODING_UTF16: return 2;
    case ENCODING_UTF32: return 4;
    default: return 1;
  }
}

bool IsOneEncoding(unsigned bits) { return bits != 0 && (bits & (bits - 1)) == 0; }

// What the writer's converter takes: the text is asked of the reader in one of
// these, so that it goes out as it stands where the peer reads it. Escaped
// ASCII carries every character when the peer takes only the legacy form.
unsigned WriterEncodings(const write_state* writer) {
  const unsigned accepted = writer->converter.accepted & kCallerEncodings;
  return accepted != 0 ? accepted : unsigned{ENCODING_ASCII};
}

// The encoding the reader chose; the first wanted one when the atom had no
// header to choose by.
unsigned ChosenEncoding(const three_state& c, unsigned wanted) {
  if (IsOneEncoding(c.encoding) && (c.encoding & wanted) != 0) return c.encoding;
  return wanted & (~wanted + 1);
}

// Characters of a text handed out by the reader, counted as the writer
// counts them: a byte-order mark counts one, a surrogate pair one. -1 for
// escaped ASCII, which the writer counts itself.
int64_t CountCharacters(unsigned encoding, const unsigned char* text, int64_t bytes) {
  switch (encoding) {
    case ENCODING_ASCII: return -1;
    case ENCODING_UTF8: {
      int64_t count = 0;
      for (int64_t i = 0; i < bytes; ++i) count += (text[i] & 0xC0) != 0x80;
      return count;
    }
    case ENCODING_UTF16: {
      int64_t count = 0;
      for (int64_t i = 0; i + 1 < bytes; i += 2) {
        uint16_t unit;
        std::memcpy(&unit, text + i, 2);
        count += unit < 0xDC00 || unit > 0xDFFF;
      }
      return count;
    }
    default: return bytes / UnitBytes(encoding);
  }
}

class TextCopy {
 public:
  TextCopy(Sides& sides, unsigned wanted) : s_(sides), wanted_(wanted) {}

  // The header tells the count and the encoding; then the text follows in
  // pieces, or, when the atom does not say how many characters it holds,
  // whole once it has arrived.
  long Run() {
    int64_t got = 0;
    if (const long error = Read(piece_, piece_, &got); error != 0) return error;
    const three_state& c = s_.reader->converter;
    encoding_ = ChosenEncoding(c, wanted_);
    if (c.wire_left < 0) return Write(piece_, 0, 0);
    if (c.accepted == ENCODING_OLDSTRING || c.characters < 0) return Collected();
    // UTF-16 and UTF-32 texts begin with a byte-order mark, which the writer counts.
    const bool marked = encoding_ == ENCODING_UTF16 || encoding_ == ENCODING_UTF32;
    count_ = c.characters + (marked ? 1 : 0);
    // Escaped ASCII: the writer learns the count before any text.
    if (encoding_ == ENCODING_ASCII) {
      if (const long error = Write(nullptr, 0, count_); error != 0) return error;
    }
    return Pieces();
  }

 private:
  long Read(unsigned char* start, unsigned char* end, int64_t* got) {
    return QVGetCharacters_(s_.reader, s_.stack, s_.queues, got, start, end, &replacement_, wanted_);
  }
  long Write(const unsigned char* start, int64_t bytes, int64_t count) {
    return QVPutCharacters_(s_.writer, s_.writer_stack, s_.writer_queue, 0, start,
                            start == nullptr ? nullptr : start + bytes, count, encoding_);
  }
  bool AtomOpen() const { return s_.reader->converter.wire_left >= 0; }
  bool WriterDone() const {
    const three_state& w = s_.writer->converter;
    return w.step == QVWRITE_INSIDE_TOKEN && w.wire_left < 0;
  }

  long Pieces() {
    while (AtomOpen()) {
      int64_t got = 0;
      if (const long error = Read(piece_, piece_ + kTextPiece, &got); error != 0) return error;
      if (got == 0 && AtomOpen()) return s_.FailRead(kInconsistent);
      // More characters than the header announced would be lost.
      if (got > 0 && WriterDone()) return s_.FailRead(kInconsistent);
      if (const long error = Write(piece_, got * UnitBytes(encoding_), count_); error != 0) return error;
    }
    // Fewer characters than announced would leave the writer inside the token.
    if (!WriterDone()) return s_.FailRead(kInconsistent);
    return 0;
  }

  long Collected() {
    GrowingBuffer text(s_.reader->memory);
    while (AtomOpen()) {
      if (!text.Reserve(kTextPiece)) return s_.FailRead(kNoMemory);
      int64_t got = 0;
      if (const long error = Read(text.end(), text.end() + kTextPiece, &got); error != 0) return error;
      if (got == 0 && AtomOpen()) return s_.FailRead(kInconsistent);
      text.Grow(got * UnitBytes(encoding_));
    }
    if (!text.Reserve(1)) return s_.FailRead(kNoMemory);
    return Write(text.data(), text.size(), CountCharacters(encoding_, text.data(), text.size()));
  }

  Sides& s_;
  const unsigned wanted_;
  unsigned encoding_ = ENCODING_ASCII;
  int64_t count_ = 0;
  uint8_t replacement_ = '?';
  unsigned char piece_[kTextPiece];
};

long CopyText(Sides& s, unsigned type) {
  if (const long error = s.Put(type); error != 0) return error;
  TextCopy copy(s, WriterEncodings(s.writer));
  return copy.Run();
}

// ---- Other tokens ----

long CopyRaw(Sides& s, unsigned type) {
  int64_t size = 0;
  if (const long error = QVRawBytesToGet_(s.reader, s.stack, s.queues, &size); error != 0) return error;
  if (const long error = s.Put(type); error != 0) return error;
  if (const long error = QVPutRawSize_(s.writer, s.writer_stack, s.writer_queue, size); error != 0) return error;
  unsigned char piece[kRawPiece];
  int64_t left = size;
  do {
    int64_t got = 0;
    const int64_t want = left < kRawPiece ? left : kRawPiece;
    if (const long error = QVGetRawData_(s.reader, s.stack, s.queues, piece, want, &got); error != 0) return error;
    if (got < want) return s.FailRead(kInconsistent);
    // A body of no bytes still gets its header and terminator.
    if (const long error = QVPutRawData_(s.writer, s.writer_stack, s.writer_queue, piece, got); error != 0) {
      return error;
    }
    left -= got;
  } while (left > 0);
  return 0;
}

int64_t NumberBytes(const read_state* reader, unsigned type) {
  const int size = qv_binary_number_wire_size(type);
  if (size >= 0) return size;
  return reader->dispatch != nullptr ? reader->dispatch(type, nullptr, nullptr, nullptr) : 0;
}

// In its own type: the writer converts it for its peer.
long CopyNumber(Sides& s, unsigned type) {
  const int64_t size = NumberBytes(s.reader, type);
  if (size <= 0 || size > kMaxNumberBytes) return s.FailRead(kInconsistent);
  alignas(16) unsigned char number[kMaxNumberBytes];
  if (const long error = QVGetBinaryNumber_(s.reader, s.stack, s.queues, number, type); error != 0) return error;
  return QVPutBinaryNumber_(s.writer, s.writer_stack, s.writer_queue, number, type);
}

long CopyFunction(Sides& s, int64_t* todo) {
  int64_t count = 0;
  if (const long error = QVGetRawArgCount_(s.reader, s.stack, s.queues, &count); error != 0) return error;
  if (const long error = s.Put(TOK_FUNCTION); error != 0) return error;
  if (const long error = QVPutArgCount_(s.writer, s.writer_stack, s.writer_queue, count); error != 0) return error;
  // The head and the arguments take the function token's place (the caller
  // counts one token as settled).
  if (__builtin_add_overflow(*todo, count + 1, todo)) return s.FailRead(kInconsistent);
  return 0;
}

// A dictionary name as escaped ASCII, in a block of the class-object allocator.
struct AsciiName {
  struct Free {
    void operator()(char* p) const { Quorvane::QVObject::deallocate(p); }
  };
  std::unique_ptr<char, Free> text;
  int64_t bytes = 0;
  int64_t characters = 0;
};

// Dictionary names are 8-bit text, one character per byte.
bool ToAscii(const Quorvane::QVUTF8String& name, AsciiName* out) {
  const auto characters = static_cast<int64_t>(name.getLengthOfBytes());
  int64_t size = 0;
  char* slot = nullptr;
  // The size pass puts the size where the cursor would be.
  if (RVConvertByteString(name.bytes(), characters, &slot, nullptr) != 0) return false;
  std::memcpy(&size, &slot, sizeof size);
  out->text.reset(static_cast<char*>(Quorvane::QVObject::allocate(static_cast<uint64_t>(size) + 1)));
  if (out->text == nullptr) return false;
  char* cursor = out->text.get();
  if (RVConvertByteString(name.bytes(), characters, &cursor, cursor + size) != 0) return false;
  out->bytes = size;
  out->characters = characters;
  return true;
}

long WriteNamed(Sides& s, uint64_t type, uint16_t code) {
  const bool string = type == TOK_OPT_STRING;
  Quorvane::QVStringDictionary* dictionary =
      string ? rs__string_dictionary(s.reader) : rs__symbol_dictionary(s.reader);
  const long unknown = string ? kUnknownStringCode : kUnknownSymbolCode;
  AsciiName name;
  try {
    Quorvane::QVUTF8StringHandle found;
    if (dictionary != nullptr) found = dictionary->getStringForNumber(code);
    if (!found) return s.FailRead(unknown);
    if (!ToAscii(*found, &name)) return s.FailRead(kNoMemory);
  } catch (...) {
    return s.FailRead(kNoMemory);
  }
  if (const long error = s.Put(string ? TOK_STRING : TOK_SYMBOL); error != 0) return error;
  const auto* text = reinterpret_cast<const unsigned char*>(name.text.get());
  return QVPutCharacters_(s.writer, s.writer_stack, s.writer_queue, 0, text, text + name.bytes, name.characters,
                          ENCODING_ASCII);
}

// As it stands for a writer that codes strings too; else spelled out.
long CopyCoded(Sides& s, uint64_t type) {
  int64_t count = 0;
  if (const long error = QVGetRawArgCount_(s.reader, s.stack, s.queues, &count); error != 0) return error;
  if (count != 1) return s.FailRead(kInconsistent);
  const bool as_it_stands = ws__uses_string_optimization(s.writer) != 0;
  if (as_it_stands) {
    long error = s.Put(static_cast<unsigned>(type));
    if (error == 0) error = QVPutArgCount_(s.writer, s.writer_stack, s.writer_queue, 1);
    if (error != 0) return error;
  }
  int16_t code = 0;
  if (const long error = QVGetBinaryNumber_(s.reader, s.stack, s.queues, &code, BINARY_INTEGER16); error != 0) {
    return error;
  }
  if (as_it_stands) return QVPutBinaryNumber_(s.writer, s.writer_stack, s.writer_queue, &code, BINARY_INTEGER16);
  return WriteNamed(s, type, static_cast<uint16_t>(code));
}

// Raw for a writer whose peer reads only the legacy form; else as the text
// the filtered read makes of them.
long CopyOlder(Sides& s, uint64_t type) {
  if ((s.writer->converter.accepted & 0xFE) == ENCODING_OLDSTRING) return CopyRaw(s, static_cast<unsigned>(type));
  uint64_t filtered = 0;
  if (const long error = QVGetType_(s.reader, s.stack, s.queues, &filtered); error != 0) return error;
  return CopyText(s, static_cast<unsigned>(filtered));
}

long CopyExpressions(Sides& s, int64_t n, bool from_current = false);
long CopyToken(Sides& s, uint64_t type, int64_t* todo);
long TokenType(Sides& s, bool current, uint64_t* type);

// ---- Arrays ----

struct ArrayCopy {
  Sides* sides;
  qvmeter meter;
};

// Nested form: each leaf is one expression; the meter writes the function
// token and head of each new sub-array.
void* CopyOneLeaf(qvmeter* meter, void* position) {
  auto* copy = static_cast<ArrayCopy*>(position);
  meter->error = CopyExpressions(*copy->sides, 1, true);
  return meter->error == 0 ? position : nullptr;
}

// The current leaf opens a packed run the writer may pass on as it stands.
bool RunToPass(const Sides& s, uint64_t type) {
  const feature_set& f = s.writer->features;
  return s.reader->packed_run >= 2 && qv_is_binary_number_type(static_cast<unsigned>(type)) &&
         (f.features & QVFEATURE_PACKED_RUNS) != 0 && qvfs__writes_as_it_stands(f, static_cast<unsigned>(type));
}

// Up to the leaves left of the run whose first element's type was just read,
// moved as bytes: "P", the count, the type, the elements, a newline.
long PassRun(Sides& s, qvmeter* meter, unsigned type) {
  read_state* r = s.reader;
  const int64_t width = NumberBytes(r, type);
  const int64_t k = r->packed_run < meter->leaves_left ? r->packed_run : meter->leaves_left;
  int64_t bytes = 0;
  if (width <= 0 || __builtin_mul_overflow(k, width, &bytes)) return s.FailRead(kInconsistent);
  long error = s.Put(TOK_PACKED);
  if (error == 0) error = QVPutArgCount_(s.writer, s.writer_stack, s.writer_queue, k);
  if (error == 0) error = qvs__putc(s.writer_stack, s.writer_queue, static_cast<int>(type));
  if (error != 0) return ws__set_error(s.writer, error);
  const Source source{s.stack, s.queues};
  unsigned char piece[kRawPiece];
  for (int64_t left = bytes; left > 0;) {
    const int64_t want = left < kRawPiece ? left : kRawPiece;
    long read_error = 0;
    if (source.Read(piece, want, &read_error) < want) return s.FailRead(read_error != 0 ? read_error : kLost);
    if (qvs__putn(s.writer_stack, s.writer_queue, piece, want, &error) != want) {
      return ws__set_error(s.writer, error != 0 ? error : kNoMemory);
    }
    left -= want;
  }
  if (const long wrote = qvs__putc(s.writer_stack, s.writer_queue, kTokenTerminator); wrote != 0) {
    return ws__set_error(s.writer, wrote);
  }
  am__spindown(meter, k);
  // The k elements are settled; the run's terminator is read when it ends.
  r->owed = r->owed > k ? r->owed - k : 0;
  r->packed_run -= k - 1;
  r->converter.step = QVREAD_BETWEEN_TOKENS;
  return qvcodecread::checkdone(r, source);
}

// Array-token form: runs the writer's peer reads as they stand go over as
// runs, every other leaf as an expression.
long CopyLeavesAsRuns(Sides& s, qvmeter* meter) {
  while (meter->leaves_left > 0) {
    uint64_t type = 0;
    long error = TokenType(s, true, &type);
    if (error != 0) return error;
    if (RunToPass(s, type)) {
      error = PassRun(s, meter, static_cast<unsigned>(type));
    } else {
      int64_t todo = 1;
      error = CopyToken(s, type, &todo);
      if (error == 0 && todo > 1) error = CopyExpressions(s, todo - 1);
      am__spindown(meter, 1);
    }
    if (error != 0) return error;
  }
  return 0;
}

// The heads as deep as they go, written in the writer's form, then the leaves.
long CopyArray(Sides& s) {
  try {
    ArrayCopy copy{&s, {}};
    qvmeter& meter = copy.meter;
    meter.depth = kAnyDepth;
    if (const long error = QVPutArray0_(s.writer, s.writer_stack, s.writer_queue, s.reader, s.stack, s.queues, &meter);
        error != 0) {
      return error;
    }
    if (meter.leaves_left <= 0) return 0;
    if (meter.borrow != nullptr) {
      return QVPutArrayData_(s.writer, s.writer_stack, s.writer_queue, &meter, &copy, meter.leaves_left, CopyOneLeaf);
    }
    return CopyLeavesAsRuns(s, &meter);
  } catch (...) {
    return s.FailRead(kNoMemory);
  }
}

// Copies the token whose type was just read; *todo counts the expressions left.
long CopyToken(Sides& s, uint64_t type, int64_t* todo) {
  switch (type) {
    case TOK_STRING: case TOK_SYMBOL: case TOK_REAL: case TOK_INTEGER:
      return CopyText(s, static_cast<unsigned>(type));
    case TOK_FUNCTION: return CopyFunction(s, todo);
    case TOK_OPT_STRING: case TOK_OPT_SYMBOL: return CopyCoded(s, type);
    case TOK_OLD_INTEGER: case TOK_OLD_REAL: case TOK_OLD_STRING: case TOK_OLD_SYMBOL: return CopyOlder(s, type);
    case TOK_ARRAY: return CopyArray(s);
    default:
      if (type >= 48 && type <= 63) return CopyRaw(s, static_cast<unsigned>(type));
      if (qv_is_binary_number_type(static_cast<unsigned>(type))) return CopyNumber(s, static_cast<unsigned>(type));
      return s.FailRead(kImpossibleState);
  }
}

long Answer(const Sides& s) {
  const long written = ws__last_error(s.writer);
  return written != 0 ? written : rs__last_error(s.reader);
}

// The type of the token to copy: the next one, or, inside an array whose
// heads reader stopped at its first leaf, the one already read.
long TokenType(Sides& s, bool current, uint64_t* type) {
  if (current && s.reader->converter.step == QVREAD_TYPE_READ) {
    *type = s.reader->converter.token;
    return 0;
  }
  long error = QVGetNextRawType_(s.reader, s.stack, s.queues, type);
  if (error == 0 && *type == 0) error = s.FailRead(kImpossibleState);
  return error;
}

// n expressions, each token as it comes; 0 or the first error.
long CopyExpressions(Sides& s, int64_t n, bool from_current) {
  int64_t todo = n;
  while (todo > 0) {
    uint64_t type = 0;
    long error = TokenType(s, from_current, &type);
    if (error == 0) error = CopyToken(s, type, &todo);
    if (error != 0) return error;
    from_current = false;
    --todo;
  }
  return 0;
}

// ---- Raw bytes up to a mark ----

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

long QVTransferExpression_(write_state* writer, device_kebab* writer_stack, _queue* writer_queue,
                           read_state* state, device_kebab* stack, qv_queue_stack* queues, int64_t n) {
  if (writer == nullptr || state == nullptr || queues == nullptr) return kImpossibleState;
  Sides s{writer, writer_stack, writer_queue, state, stack, queues};
  ws__set_error(writer, 0);
  rs__set_error(state, 0);
  const long error = CopyExpressions(s, n);
  if (error == 0) return 0;
  const long answer = Answer(s);
  return answer != 0 ? answer : error;
}

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

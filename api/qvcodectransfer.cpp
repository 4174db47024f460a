// Copying expressions from one link's read side to another link's write side,
// token by token, each converted for the writer's peer; arrays in the
// writer's form.
#include <cstring>
#include <memory>

#include "api/qvarraymeter.h"
#include "api/qvcodectransferinternal.h"
#include "api/qvlinkmark.h"
#include "api/qvstream.h"
#include "api/qvtokentypes.h"
#include "include/quorvane_text.h"
#include "text/qvstringdictionary.h"

using qvcodecread::Source;
using namespace qvtransfer;

namespace {

// Raw data moves in pieces of this many bytes.
constexpr int64_t kRawPiece = 4096;
constexpr int64_t kMaxNumberBytes = 16;

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


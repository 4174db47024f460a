// Copying a text atom: the reader hands its characters over in an encoding
// the writer's peer reads, in pieces, or whole when the atom does not say how
// many characters it holds.
#include <cstring>

#include "api/qvcodectransferinternal.h"

using qvcodecread::GrowingBuffer;

namespace qvtransfer {

namespace {

// Text moves in pieces of this many bytes.
constexpr int64_t kTextPiece = 1024;
// The encodings a text can be handed over in (the legacy form is no caller encoding).
constexpr unsigned kCallerEncodings = 0x7E;

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

}  // namespace

long CopyText(Sides& s, unsigned type) {
  if (const long error = s.Put(type); error != 0) return error;
  TextCopy copy(s, WriterEncodings(s.writer));
  return copy.Run();
}

}  // namespace qvtransfer

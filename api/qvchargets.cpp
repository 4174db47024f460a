// Character gets: the current string or symbol atom read piece by piece into
// the caller's buffer, each call telling how many characters it delivered
// and how many are still to come. Dictionary-coded texts come whole, or not
// at all (55) with the token left unread for a larger buffer.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "api/qvcalldiscipline.h"
#include "api/qvchargets.h"
#include "api/qvcodecread.h"
#include "api/qvlinkmark.h"
#include "api/qvputtext.h"
#include "api/qvtokentypes.h"
#include "quorvane.h"
#include "text/qvstringdictionary.h"
#include "text/qvtextencoding.h"
#include "text/qvunicode.h"
#include "text/qvutf8string.h"
#include "utilities/qvobject.h"

namespace {

constexpr long kBadCount = 2;
constexpr long kNoMemory = 8;
constexpr long kUncountable = 49;
constexpr long kUnknownSymbolCode = 53;
constexpr long kUnknownStringCode = 54;
constexpr long kBufferTooSmall = 55;

// The link's mark for the length of one call, given back on every path.
class CallMark {
 public:
  explicit CallMark(QVLink* link) : link_(link), mark_(RVCreateMark(link)) {}
  ~CallMark() { RVDestroyMark(link_, mark_); }
  CallMark(const CallMark&) = delete;
  CallMark& operator=(const CallMark&) = delete;
  bool held() const { return mark_ != nullptr; }
  // Back to where the call began: the token is read again next time.
  void Rewind() { RVSeekMark(link_, mark_, 0); }

 private:
  QVLink* link_;
  QVLinkMark* mark_;
};

struct BlockFree {
  void operator()(unsigned char* block) const { Quorvane::QVObject::deallocate(block); }
};
using Block = std::unique_ptr<unsigned char, BlockFree>;

// The whole text in the encoding, into a block of *size bytes; a code on failure.
long Convert(const Quorvane::QVUTF8String& text, unsigned encoding, Block* block, uint64_t* size) {
  uint64_t bytes = 0;
  switch (encoding) {
    case ENCODING_ASCII:
    case ENCODING_BYTES:
      // One byte a character only when every character is one byte.
      if (text.getLengthOfBytes() != text.getNumberOfCharacters()) return kUncountable;
      bytes = text.getLengthOfBytes();
      break;
    case ENCODING_UTF8: bytes = text.getLengthOfBytes(); break;
    case ENCODING_UCS2: bytes = text.numberOfBytesForUCS2Encoding(); break;
    case ENCODING_UTF16: bytes = text.numberOfBytesForUTF16Encoding(); break;
    case ENCODING_UTF32: bytes = text.numberOfBytesForUTF32Encoding(); break;
    default: return kNoMemory;
  }
  block->reset(static_cast<unsigned char*>(Quorvane::QVObject::allocate(bytes + 1)));
  if (!*block) return kNoMemory;
  *size = bytes;
  if (bytes == 0) return 0;
  try {
    switch (encoding) {
      case ENCODING_UCS2: text.convertToUCS2Encoding(reinterpret_cast<unsigned short*>(block->get()), bytes); break;
      case ENCODING_UTF16: text.convertToUTF16Encoding(reinterpret_cast<unsigned short*>(block->get()), bytes); break;
      case ENCODING_UTF32: text.convertToUTF32Encoding(reinterpret_cast<unsigned int*>(block->get()), bytes); break;
      default: std::memcpy(block->get(), text.bytes(), bytes); break;
    }
  } catch (...) {
    return kUncountable;
  }
  return 0;
}

// A dictionary-coded text: reported whole, or left unread.
long DictionaryText(QVLink* link, CallMark& mark, uint64_t type, int64_t* left, void* buffer, int64_t size,
                    int64_t* got, unsigned encoding) {
  read_state* state = &link->readState;
  int64_t arguments = 0;
  if (const long error = QVGetArgCount_(state, link->deviceStack, &link->queueStack, &arguments); error != 0) {
    return error;
  }
  if (arguments != 1) return kBadCount;
  uint16_t code = 0;
  if (const long error = QVGetBinaryNumber_(state, link->deviceStack, &link->queueStack, &code, BINARY_INTEGER16);
      error != 0) {
    return error;
  }
  const bool symbol = type == TOK_OPT_SYMBOL;
  Quorvane::QVStringDictionary* dictionary = symbol ? link->symbolDictionary.get() : link->stringDictionary.get();
  Quorvane::QVUTF8StringHandle text;
  if (dictionary != nullptr) text = dictionary->getStringForNumber(code);
  if (!text) {
    mark.Rewind();
    return symbol ? kUnknownSymbolCode : kUnknownStringCode;
  }
  const auto characters = static_cast<int64_t>(text->getNumberOfCharacters());
  if (buffer == nullptr || size == 0) {
    *left = characters;
    mark.Rewind();
    return 0;
  }
  Block block;
  uint64_t bytes = 0;
  if (const long error = Convert(*text, encoding, &block, &bytes); error != 0) {
    mark.Rewind();
    return error;
  }
  if (bytes > static_cast<uint64_t>(size)) {
    mark.Rewind();
    return kBufferTooSmall;
  }
  if (bytes > 0) std::memcpy(buffer, block.get(), bytes);
  *left = 0;
  *got = characters;
  return 0;
}

// The characters in a delivered piece of bytes of the encoding; false when
// they cannot be counted.
bool CountPiece(const void* buffer, int64_t bytes, unsigned encoding, int64_t* got) {
  switch (encoding) {
    case ENCODING_UTF8:
      return QVCountUnicodePointsInUTF8String(static_cast<const unsigned char*>(buffer), bytes, got) != 0;
    case ENCODING_UTF16:
      // Every piece the reader delivers is in this machine's order.
      return QVCountUnicodePointsInUTF16String(static_cast<const unsigned short*>(buffer), bytes / 2, got,
                                               QV_ENDIAN_NATIVE) != 0;
    default: *got = bytes / qvputtext::UnitBytes(encoding); return true;
  }
}

// The encoding the reader writes the current atom in: the one asked for by
// the call that began it. A later call asking for another encoding goes on in
// the first, so the units it reports are that encoding's.
unsigned WrittenEncoding(const three_state& c, unsigned asked) {
  const unsigned chosen = c.encoding;
  const bool one_caller_encoding = (chosen & 0x7E) != 0 && (chosen & (chosen - 1)) == 0;
  return one_caller_encoding ? chosen : asked;
}

long PlainText(QVLink* link, int64_t* left, void* buffer, int64_t size, int64_t* got, unsigned encoding) {
  read_state* state = &link->readState;
  int64_t delivered = 0;
  uint8_t state_byte = '?';
  auto* start = static_cast<unsigned char*>(buffer);
  unsigned char* end = start == nullptr ? nullptr : start + size;
  const long error = QVGetCharacters_(state, link->deviceStack, &link->queueStack, &delivered, start, end,
                                      &state_byte, encoding);
  const three_state& c = state->converter;
  // The converter counts what it has still to read off the wire; a
  // character it has read but could not fit in the buffer waits in it.
  *left = c.step == QVREAD_BETWEEN_TOKENS || c.characters < 0 ? 0 : c.characters + (c.pending > 0 ? 1 : 0);
  *got = 0;
  // The bytes written, in the units the reader wrote; never past the buffer.
  // They are counted in the caller's encoding, so a caller that switched
  // encodings mid-atom is never told of more units than its buffer holds.
  const int64_t bytes = std::min(delivered * qvputtext::UnitBytes(WrittenEncoding(c, encoding)), size);
  if (start != nullptr && size > 0 && bytes > 0 && !CountPiece(start, bytes, encoding, got)) return kUncountable;
  return error;
}

}  // namespace

long QVGetCharacters(QVLink* link, int64_t* left, void* buffer, int64_t size, int64_t* got, int /*reserved*/,
                     unsigned encoding) {
  int64_t left_here = 0;
  int64_t got_here = 0;
  int64_t* left_out = left != nullptr ? left : &left_here;
  int64_t* got_out = got != nullptr ? got : &got_here;
  CallMark mark(link);
  if (!mark.held()) return -1;
  int empty = 0;
  read_state* state = &link->readState;
  if (QVGetEmptyString_(state, link->deviceStack, &link->queueStack, &empty) == 0 && empty != 0) {
    *left_out = 0;
    *got_out = 0;
    return 0;
  }
  uint64_t type = 0;
  if (QVGetRawType_(state, link->deviceStack, &link->queueStack, &type) != 0) {
    mark.Rewind();
  } else if (type == TOK_OPT_STRING || type == TOK_OPT_SYMBOL) {
    return DictionaryText(link, mark, type, left_out, buffer, size, got_out, encoding);
  }
  return PlainText(link, left_out, buffer, size, got_out, encoding);
}

namespace {

// The get frame around one character read; counts copied out under the lock.
template <class Count>
int GetCharacters(QVLink* link, Count* left, void* buffer, int64_t size, Count* got, unsigned encoding) {
  if (size < 0) size = 0;
  return qvcall::Get(link, [&](QVLink* k) {
    int64_t left_wide = left != nullptr ? static_cast<int64_t>(*left) : 0;
    int64_t got_wide = got != nullptr ? static_cast<int64_t>(*got) : 0;
    const long code = QVGetCharacters(k, &left_wide, buffer, size, &got_wide, 0, encoding);
    if (left != nullptr) *left = static_cast<Count>(left_wide);
    if (got != nullptr) *got = static_cast<Count>(got_wide);
    return code;
  });
}

}  // namespace

int RVGetUCS2Characters(QVLink* link, int* left, unsigned short* buffer, int size, int* got) QV_NOEXCEPT {
  return GetCharacters(link, left, buffer, int64_t{size} * 2, got, ENCODING_UCS2);
}

int RVGetUTF8Characters(QVLink* link, int* left, unsigned char* buffer, int size, int* got) QV_NOEXCEPT {
  return GetCharacters(link, left, buffer, size, got, ENCODING_UTF8);
}

int RVGetUTF16Characters(QVLink* link, int* left, unsigned short* buffer, int size, int* got) QV_NOEXCEPT {
  return GetCharacters(link, left, buffer, int64_t{size} * 2, got, ENCODING_UTF16);
}

int RVGetUTF32Characters(QVLink* link, int* left, unsigned int* buffer, int size, int* got) QV_NOEXCEPT {
  return GetCharacters(link, left, buffer, int64_t{size} * 4, got, ENCODING_UTF32);
}

int RVGet8BitCharacters(QVLink* link, long* left, unsigned char* buffer, long size, long* got) QV_NOEXCEPT {
  return GetCharacters(link, left, buffer, size, got, ENCODING_BYTES);
}

int RVGet7BitCharacters(QVLink* link, long* left, char* buffer, long size, long* got) QV_NOEXCEPT {
  return GetCharacters(link, left, buffer, size, got, ENCODING_ASCII);
}

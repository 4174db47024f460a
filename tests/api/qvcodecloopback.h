// What the mark and transfer tests share: both codec sides of a loopback link
// (what its writer puts, its reader reads back), a small synthetic dictionary,
// and a walker that reads whole expressions through the codec into tokens that
// two reads can be compared by.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/qvcodecread.h"
#include "api/qvcodecwrite.h"
#include "api/qvlinkmark.h"
#include "api/qvstream.h"
#include "api/qvtokentypes.h"
#include "qvcodectest.h"
#include "text/qvstringdictionary.h"

namespace qvloop {

using qvcodec::Bytes;

// Codes of the synthetic dictionaries.
inline const Quorvane::QVRawStringDictionary kSymbolTable[] = {{"List", 1}, {"Plus", 2}, {"Ab\\c", 3}, {nullptr, 0}};
inline const Quorvane::QVRawStringDictionary kStringTable[] = {
    {"hello", 7}, {"two words", 8}, {"caf\xE9", 300}, {nullptr, 0}};

inline Quorvane::QVStringDictionary* Symbols() {
  static auto dictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kSymbolTable);
  return dictionary.get();
}
inline Quorvane::QVStringDictionary* Strings() {
  static auto dictionary = Quorvane::QVStringDictionary::initWithRawDictionary(kStringTable);
  return dictionary.get();
}

struct SideOptions {
  uint64_t features = QVFEATURE_ALL;
  const char* peer = "greatdane";
  uint8_t string_optimization = 0;
  uint64_t encodings = qvcodec::kAllEncodings;
  std::initializer_list<unsigned> as_they_stand = qvcodec::kOwnTypes;
};

struct Reader {
  read_state* state;
  device_kebab* stack;
  qv_queue_stack* queues;
};

// Both codec sides of one loopback link.
class LoopbackSide {
 public:
  explicit LoopbackSide(const SideOptions& o = {}) : plumbing_(qvtest::LinkPlumbing::Loopback()) {
    const feature_set features = qvcodec::Features(o.features, o.as_they_stand, o.encodings);
    writer_ok_ = ws__construct(&writer_, &features, qvcodec::Descriptor("greatdane"), qvcodec::Descriptor(o.peer),
                               o.string_optimization, Symbols(), Strings()) == 1;
    const rs_memory_stack memory = memory_.Stack();
    reader_ok_ = rs__construct(&reader_, qvne__dispatch, qvcodec::TextEnvironment(), cs__factory, &memory,
                               qvcodec::Descriptor("greatdane"), qvcodec::Descriptor("greatdane"),
                               o.string_optimization, Symbols(), Strings()) == 1;
  }
  ~LoopbackSide() {
    rs__deconstruct(&reader_, nullptr);
    ws__deconstruct(&writer_);
  }
  LoopbackSide(const LoopbackSide&) = delete;
  LoopbackSide& operator=(const LoopbackSide&) = delete;

  bool ok() const { return plumbing_ != nullptr && writer_ok_ && reader_ok_; }
  write_state* writer() { return &writer_; }
  read_state* reader() { return &reader_; }
  device_kebab* stack() { return plumbing_->device(); }
  qv_queue_stack* queues() { return plumbing_->queues(); }
  _queue* base() { return plumbing_->base(); }
  qvtest::LinkPlumbing* plumbing() { return plumbing_.get(); }
  qvcodec::CountingMemory& memory() { return memory_; }
  Reader reading();

  // Pushes a level holding bytes in front of the input, as the codec's
  // converters do; false when memory runs out.
  bool PushLevel(const Bytes& bytes) {
    useritem_dkt item = plumbing_->NewQueueItem();
    if (item.value == nullptr) return false;
    qvqueue_putn(static_cast<_queue*>(item.value), bytes.data(), static_cast<int64_t>(bytes.size()));
    useritem_dkt* spare = dk__push_preflight(&queues()->stack);
    if (spare == nullptr) {
      freeItem(&item);
      return false;
    }
    if (hasValue(spare)) freeItem(spare);
    *spare = item;
    return qvqk__push(queues()) == 0;
  }

  // Writing.
  long Function(const char* head, int64_t arguments) {
    long e = QVPutComposite_(&writer_, stack(), base(), arguments);
    return e != 0 ? e : Text(TOK_SYMBOL, head);
  }
  long Text(unsigned type, const Bytes& text, unsigned encoding = ENCODING_ASCII) {
    long e = QVPutType_(&writer_, stack(), base(), type);
    if (e != 0) return e;
    const int64_t count = encoding == ENCODING_ASCII ? -1 : static_cast<int64_t>(text.size());
    return QVPutCharacters_(&writer_, stack(), base(), 0, text.data(), text.data() + text.size(), count, encoding);
  }
  template <typename T>
  long Number(T value, unsigned type) {
    return QVPutBinaryNumber_(&writer_, stack(), base(), &value, type);
  }
  long End() { return QVEndPacket_(&writer_, stack(), base()); }
  long Flush() { return qvs__flush_(stack(), base()); }
  // Bytes straight into the input, as a peer would have sent them.
  void Raw(const Bytes& bytes) {
    Flush();
    qvqueue_putn(base(), bytes.data(), static_cast<int64_t>(bytes.size()));
  }

  // Reading.
  uint64_t Next(long* error = nullptr) {
    uint64_t type = 0;
    const long e = QVGetNextType_(&reader_, stack(), queues(), &type);
    if (error != nullptr) *error = e;
    return type;
  }
  template <typename T>
  T Read(unsigned type, long* error = nullptr) {
    T value{};
    const long e = QVGetBinaryNumber_(&reader_, stack(), queues(), &value, type);
    if (error != nullptr) *error = e;
    return value;
  }

 private:
  std::unique_ptr<qvtest::LinkPlumbing> plumbing_;
  qvcodec::CountingMemory memory_;
  write_state writer_{};
  read_state reader_;
  bool writer_ok_ = false;
  bool reader_ok_ = false;
};

// ---- Walking expressions ----

// One token as a reader sees it: the public type, and its value (argument
// count, characters as UTF-32 units, a number's bytes in its own type, a raw
// token's bytes). Numbers keep their binary type.
struct Token {
  uint64_t type = 0;
  std::string value;
  bool operator==(const Token&) const = default;
};

inline std::string Describe(const std::vector<Token>& tokens) {
  std::string out;
  for (const Token& t : tokens) {
    out += std::to_string(t.type) + ":";
    for (unsigned char c : t.value) {
      char b[4];
      std::snprintf(b, sizeof b, "%02X", c);
      out += b;
    }
    out += " ";
  }
  return out;
}


inline Reader LoopbackSide::reading() { return Reader{reader(), stack(), queues()}; }

inline std::string Utf32(const std::u32string& s) {
  return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 4);
}

inline long ReadText(Reader r, std::string* out) {
  std::u32string text;
  uint8_t state_byte = '?';
  long e = 0;
  do {
    char32_t piece[64];
    int64_t count = 0;
    e = QVGetCharacters_(r.state, r.stack, r.queues, &count, piece, piece + 64, &state_byte, ENCODING_UTF32);
    text.append(piece, static_cast<size_t>(count));
  } while (e == 0 && r.state->converter.wire_left >= 0);
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  *out = Utf32(text);
  return e;
}

// A dictionary-coded atom reads as the name the reader's dictionary gives it.
inline long ReadCoded(Reader r, uint64_t raw, Token* token) {
  int64_t count = 0;
  long e = QVGetRawArgCount_(r.state, r.stack, r.queues, &count);
  int16_t code = 0;
  if (e == 0) e = QVGetBinaryNumber_(r.state, r.stack, r.queues, &code, BINARY_INTEGER16);
  if (e != 0) return e;
  auto* dictionary = raw == TOK_OPT_STRING ? rs__string_dictionary(r.state) : rs__symbol_dictionary(r.state);
  auto name = dictionary->getStringForNumber(static_cast<uint16_t>(code));
  if (!name) return -100;
  // Names are 8-bit text, one character per byte.
  std::u32string text;
  for (uint64_t i = 0; i < name->getLengthOfBytes(); ++i) text += name->bytes()[i];
  token->type = raw == TOK_OPT_STRING ? TOK_STRING : TOK_SYMBOL;
  token->value = Utf32(text);
  return 0;
}

// Appends the tokens of the next expression; 0 or the codec's error.
inline long ReadExpression(Reader r, std::vector<Token>* out) {
  uint64_t raw = 0;
  if (const long e = QVGetNextRawType_(r.state, r.stack, r.queues, &raw); e != 0) return e;
  Token token;
  long filter_error = 0;
  token.type = qv_is_binary_number_type(static_cast<unsigned>(raw)) ? raw : filter_tok(raw, &filter_error);
  if (filter_error != 0) return filter_error;
  long e = 0;
  int64_t count = 0;
  if (token.type == TOK_FUNCTION) {
    e = QVGetArgCount_(r.state, r.stack, r.queues, &count);
    token.value = std::to_string(count);
  } else if (raw == TOK_OPT_STRING || raw == TOK_OPT_SYMBOL) {
    e = ReadCoded(r, raw, &token);
  } else if (qv_is_binary_number_type(static_cast<unsigned>(raw))) {
    alignas(16) unsigned char number[16] = {};
    e = QVGetBinaryNumber_(r.state, r.stack, r.queues, number, static_cast<unsigned>(raw));
    const int size = qv_binary_number_wire_size(static_cast<unsigned>(raw));
    token.value.assign(reinterpret_cast<const char*>(number), static_cast<size_t>(size > 0 ? size : 0));
  } else if (raw >= 48 && raw <= 63) {
    e = QVRawBytesToGet_(r.state, r.stack, r.queues, &count);
    std::string bytes(static_cast<size_t>(count), '\0');
    int64_t got = 0;
    if (e == 0) e = QVGetRawData_(r.state, r.stack, r.queues, bytes.data(), count, &got);
    token.value = bytes;
  } else {
    e = ReadText(r, &token.value);
  }
  out->push_back(token);
  if (e != 0) return e;
  for (int64_t i = 0; token.type == TOK_FUNCTION && i <= count; ++i) {
    if (const long inner = ReadExpression(r, out); inner != 0) return inner;
  }
  return 0;
}

inline long ReadPackets(Reader r, int packets, std::vector<Token>* out) {
  for (int i = 0; i < packets; ++i) {
    if (const long e = ReadExpression(r, out); e != 0) return e;
  }
  return 0;
}

}  // namespace qvloop

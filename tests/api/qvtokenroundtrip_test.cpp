// Random packets (nested functions, every binary type, number text, texts put
// from every source encoding into every wire encoding, packed runs) written
// with the codec's write side, then decoded twice: by an independent decoder
// that knows only the format, which must give back the same expressions, and
// by the codec's read side, fed through a scripted device or in read windows
// of a few bytes, which must give back the same values.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "api/qvstream.h"
#include "qvcodectest.h"
#include "qvtokendecoder.h"

namespace {

using qvcodec::Bytes;
using qvcodec::CountingMemory;
using qvcodec::QueueWriter;
using qvtokendecoder::Decoder;
using qvtokendecoder::Expr;
using qvtokendecoder::Kind;

constexpr unsigned kOwnTypes[] = {161, 226, 228, 230, 244, 246, 248};
constexpr unsigned kSources[] = {ENCODING_ASCII, ENCODING_BYTES, ENCODING_UCS2,
                                 ENCODING_UTF8,  ENCODING_UTF16, ENCODING_UTF32};
constexpr bool kBigEndian = qvtokendecoder::kBigEndianMachine;

size_t OwnSize(unsigned type) {
  switch (type) {
    case 161: return 1;
    case 226: return 2;
    case 228: case 244: return 4;
    case 230: case 246: return 8;
    default: return 16;
  }
}

// One expression as the test writes it.
struct Node {
  enum class What { Function, Text, Number, NumberText };
  What what = What::Function;
  std::vector<Node> parts;  // Function: its head, then its arguments
  unsigned token = 0;       // Text: 34 or 35; NumberText: 42 or 43
  std::u32string text;      // Text: the characters
  unsigned source = 0;      // Text: the encoding it is put from
  Bytes source_text;        // Text: the characters in that encoding
  int64_t source_count = 0; // Text: the characters the put announces
  unsigned type = 0;        // Number, NumberText: the binary type
  Bytes bytes;              // Number, NumberText: the number as this machine holds it
};

// What the link negotiated: the feature word and the encodings the peer reads.
struct Config {
  uint64_t word;
  uint64_t encodings;
};

void PutUnit(Bytes& out, uint32_t unit, size_t size) {
  for (size_t k = 0; k < size; ++k) {
    const size_t shift = 8 * (kBigEndian ? size - 1 - k : k);
    out.push_back(static_cast<char>((unit >> shift) & 0xFF));
  }
}

Bytes Utf8(const std::u32string& text) {
  Bytes out;
  for (char32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

class Generator {
 public:
  Generator(uint64_t seed, const Config& config) : rng_(seed), config_(config) {}

  Node Packet() { return Expression(0); }
  std::mt19937_64& rng() { return rng_; }

 private:
  size_t Below(size_t n) { return static_cast<size_t>(rng_() % n); }
  bool Chance(unsigned percent) { return Below(100) < percent; }

  Node Expression(int depth) {
    if (depth < 4 && Chance(depth == 0 ? 75 : 25)) return Function(depth);
    switch (Below(10)) {
      case 0: case 1: case 2: return TextNode(Chance(50) ? 34 : 35);
      case 3: return NumberTextNode();
      default: return NumberNode(kOwnTypes[Below(std::size(kOwnTypes))]);
    }
  }

  Node Function(int depth) {
    Node f;
    // The head: mostly a symbol, now and then a whole expression (f[x][y]).
    f.parts.push_back(Chance(85) ? TextNode(35) : Expression(depth + 1));
    const size_t n = Chance(4) ? 60 + Below(12) : Below(7);
    if (Chance(30)) {
      // Numbers of one type side by side: what packed runs carry.
      const unsigned type = kOwnTypes[Below(std::size(kOwnTypes))];
      for (size_t i = 0; i < n + 1; ++i) f.parts.push_back(NumberNode(type));
    } else {
      for (size_t i = 0; i < n; ++i) f.parts.push_back(Expression(depth + 1));
    }
    return f;
  }

  void RandomBytes(Node& n) {
    n.bytes.resize(OwnSize(n.type));
    for (char& b : n.bytes) b = static_cast<char>(rng_());
  }

  Node NumberNode(unsigned type) {
    Node n;
    n.what = Node::What::Number;
    n.type = type;
    RandomBytes(n);
    return n;
  }

  // A number the writer is told to send as text: a declared real or integer
  // token given a binary number.
  Node NumberTextNode() {
    static constexpr unsigned kTypes[] = {161, 226, 228, 230, 244, 246};
    Node n;
    n.what = Node::What::NumberText;
    n.type = kTypes[Below(std::size(kTypes))];
    n.token = (n.type & 0x10) ? 42 : 43;
    for (;;) {
      RandomBytes(n);
      if (n.type == 244) {
        float f;
        std::memcpy(&f, n.bytes.data(), sizeof f);
        if (std::isfinite(f)) break;
      } else if (n.type == 246) {
        double d;
        std::memcpy(&d, n.bytes.data(), sizeof d);
        if (std::isfinite(d)) break;
      } else {
        break;
      }
    }
    return n;
  }

  unsigned SourceEncoding() {
    // Text from UTF-8, UTF-16 or UTF-32 never goes into bytes, and UCS-2 into
    // bytes takes the older string form.
    if (config_.encodings == ENCODING_BYTES) return Chance(50) ? ENCODING_ASCII : ENCODING_BYTES;
    return kSources[Below(std::size(kSources))];
  }

  char32_t Largest(unsigned source) const {
    char32_t max = source == ENCODING_BYTES ? 0xFF : source == ENCODING_UCS2 ? 0xFFFF : 0x10FFFF;
    // Escaped ASCII goes into bytes below 255 only.
    if (config_.encodings == ENCODING_BYTES) max = std::min<char32_t>(max, source == ENCODING_ASCII ? 0xFE : 0xFF);
    if (config_.encodings == ENCODING_UCS2) max = std::min<char32_t>(max, 0xFFFF);
    return max;
  }

  // Characters of every size class; no surrogates, and no byte-order marks,
  // which a source text may begin with.
  char32_t CodePoint(char32_t max) {
    for (;;) {
      char32_t c;
      switch (Below(8)) {
        case 0: case 1: case 2: case 3: c = static_cast<char32_t>(0x20 + Below(0x5F)); break;
        case 4: c = static_cast<char32_t>(Below(0x20)); break;
        case 5: c = static_cast<char32_t>(0x7F + Below(0x81)); break;
        case 6: c = static_cast<char32_t>(0x100 + Below(0xFFFE - 0x100)); break;
        default: c = static_cast<char32_t>(0x10000 + Below(0x100000)); break;
      }
      if (c <= max && (c < 0xD800 || c > 0xDFFF) && c != 0xFEFF && c != 0xFFFE) return c;
    }
  }

  Node TextNode(unsigned token) {
    Node n;
    n.what = Node::What::Text;
    n.token = token;
    n.source = SourceEncoding();
    const char32_t max = Largest(n.source);
    const size_t length = Chance(8) ? 60 + Below(120) : Below(12);
    for (size_t i = 0; i < length; ++i) n.text += CodePoint(max);
    n.source_count = static_cast<int64_t>(length);
    switch (n.source) {
      case ENCODING_ASCII: n.source_text = Escaped(n.text); break;
      case ENCODING_BYTES:
        for (char32_t c : n.text) n.source_text.push_back(static_cast<char>(c));
        break;
      case ENCODING_UCS2:
        for (char32_t c : n.text) PutUnit(n.source_text, c, 2);
        break;
      case ENCODING_UTF8: n.source_text = Utf8(n.text); break;
      case ENCODING_UTF16:
        // A mark in this machine's order first: unmarked units are read swapped.
        PutUnit(n.source_text, 0xFEFF, 2);
        for (char32_t c : n.text) {
          if (c < 0x10000) {
            PutUnit(n.source_text, c, 2);
          } else {
            PutUnit(n.source_text, 0xD800 + ((c - 0x10000) >> 10), 2);
            PutUnit(n.source_text, 0xDC00 + ((c - 0x10000) & 0x3FF), 2);
          }
        }
        ++n.source_count;
        break;
      default:
        PutUnit(n.source_text, 0xFEFF, 4);
        for (char32_t c : n.text) PutUnit(n.source_text, c, 4);
        ++n.source_count;
        break;
    }
    return n;
  }

  // Escaped ASCII in every form a reader takes, the open-ended ones (short
  // octal, x runs) where the next character's first byte ends them.
  Bytes Escaped(const std::u32string& text) {
    std::vector<Bytes> forms;
    for (char32_t c : text) forms.push_back(EscapedForm(c));
    for (size_t i = 0; i + 1 < forms.size(); ++i) {
      const auto next = static_cast<unsigned char>(forms[i + 1][0]);
      const char32_t c = text[i];
      char b[16];
      if (!Chance(15) || (c >= 0x20 && c < 0x7F)) continue;
      if (c <= 0xFF && (next < '0' || next > '7')) {
        std::snprintf(b, sizeof b, "\\%o", static_cast<unsigned>(c));
        forms[i] = b;
      } else if (!qvtokendecoder::IsHex(next)) {
        std::snprintf(b, sizeof b, "\\x%X", static_cast<unsigned>(c));
        forms[i] = b;
      }
    }
    Bytes out;
    for (const Bytes& f : forms) out += f;
    return out;
  }

  Bytes EscapedForm(char32_t c) {
    static constexpr std::pair<char32_t, char> kLetters[] = {{7, 'a'},  {8, 'b'},  {12, 'f'}, {10, 'n'},
                                                             {13, 'r'}, {9, 't'}, {11, 'v'}};
    char b[16];
    if (c == '\\') return "\\\\";
    if (c >= 0x20 && c < 0x7F) {
      if ((c == '"' || c == '\'' || c == '?') && Chance(30)) return Bytes("\\") + static_cast<char>(c);
      return Bytes(1, static_cast<char>(c));
    }
    for (auto [code, letter] : kLetters) {
      if (c == code && Chance(50)) return Bytes("\\") + letter;
    }
    const auto u = static_cast<unsigned>(c);
    switch (Below(5)) {
      case 0:
        if (c <= 0xFF) {
          std::snprintf(b, sizeof b, "\\.%02x", u);
          return b;
        }
        break;
      case 1:
        if (c <= 0xFFFF) {
          std::snprintf(b, sizeof b, "\\:%04x", u);
          return b;
        }
        break;
      case 2:
        std::snprintf(b, sizeof b, "\\|%06X", u);
        return b;
      default: break;
    }
    // The forms a writer uses.
    if (c <= 0xFF) std::snprintf(b, sizeof b, "\\%03o", u);
    else if (c <= 0xFFFF) std::snprintf(b, sizeof b, "\\:%04X", u);
    else std::snprintf(b, sizeof b, "\\|%06X", u);
    return b;
  }

  std::mt19937_64 rng_;
  Config config_;
};

// ---- Writing

// One write: a token of the tree, or a packed run of numbers written by hand
// (the writer has no packed-run put of its own).
struct Step {
  const Node* node = nullptr;
  std::vector<const Node*> run;
};

void Flatten(const Node& n, std::vector<const Node*>& out) {
  out.push_back(&n);
  for (const Node& p : n.parts) Flatten(p, out);
}

// The tokens in prefix order; with packed runs allowed, numbers of one type
// that follow each other (across function boundaries too) go as runs now and then.
std::vector<Step> Plan(const Node& root, bool packed_runs, std::mt19937_64& rng) {
  std::vector<const Node*> tokens;
  Flatten(root, tokens);
  std::vector<Step> steps;
  for (size_t i = 0; i < tokens.size();) {
    const Node* n = tokens[i];
    size_t end = i;
    while (end < tokens.size() && tokens[end]->what == Node::What::Number && tokens[end]->type == n->type) ++end;
    if (packed_runs && end > i && rng() % 100 < 60) {
      const size_t length = 1 + static_cast<size_t>(rng() % (end - i));
      steps.push_back(Step{nullptr, std::vector<const Node*>(tokens.begin() + static_cast<std::ptrdiff_t>(i),
                                                              tokens.begin() + static_cast<std::ptrdiff_t>(i + length))});
      i += length;
    } else {
      steps.push_back(Step{n, {}});
      ++i;
    }
  }
  return steps;
}

long PutPackedRun(const std::vector<const Node*>& run, device_kebab* stack, _queue* queue, uint64_t word) {
  const unsigned type = run.front()->type;
  Bytes bytes = "P";
  const size_t n = run.size();
  if ((word & QVFEATURE_SHORT_LENGTHS) != 0 && n < 64) bytes.push_back(static_cast<char>(0x40 | n));
  else bytes += std::to_string(n) + " ";
  bytes.push_back(static_cast<char>(type));
  for (const Node* element : run) bytes += element->bytes;
  bytes += "\n";
  long error = 0;
  const int64_t put = qvs__putn(stack, queue, bytes.data(), static_cast<int64_t>(bytes.size()), &error);
  return put == static_cast<int64_t>(bytes.size()) ? 0 : (error != 0 ? error : -1);
}

// Writes one packet; 0 or the first error.
long WritePacket(const std::vector<Step>& steps, write_state* w, device_kebab* stack, _queue* queue,
                 uint64_t word) {
  for (const Step& s : steps) {
    long e = 0;
    if (!s.run.empty()) {
      e = PutPackedRun(s.run, stack, queue, word);
    } else {
      const Node& n = *s.node;
      switch (n.what) {
        case Node::What::Function:
          e = QVPutComposite_(w, stack, queue, static_cast<int64_t>(n.parts.size()) - 1);
          break;
        case Node::What::Text:
          e = QVPutType_(w, stack, queue, n.token);
          if (e == 0) {
            e = QVPutCharacters_(w, stack, queue, 0, n.source_text.data(), n.source_text.data() + n.source_text.size(),
                                 n.source_count, n.source);
          }
          break;
        case Node::What::Number: e = QVPutBinaryNumber_(w, stack, queue, n.bytes.data(), n.type); break;
        case Node::What::NumberText:
          e = QVPutType_(w, stack, queue, n.token);
          if (e == 0) e = QVPutBinaryNumber_(w, stack, queue, n.bytes.data(), n.type);
          break;
      }
    }
    if (e != 0) return e;
  }
  return QVEndPacket_(w, stack, queue);
}

// ---- What each reading must give

template <typename T>
T As(const Bytes& bytes) {
  T value;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

// The number as the number-text forms print it (snprintf as the oracle).
std::string NumberText(const Node& n) {
  char b[64];
  switch (n.type) {
    case 161: std::snprintf(b, sizeof b, "%u", static_cast<unsigned>(As<uint8_t>(n.bytes))); break;
    case 226: std::snprintf(b, sizeof b, "%d", static_cast<int>(As<int16_t>(n.bytes))); break;
    case 228: std::snprintf(b, sizeof b, "%" PRId32, As<int32_t>(n.bytes)); break;
    case 230: std::snprintf(b, sizeof b, "%" PRId64, As<int64_t>(n.bytes)); break;
    case 244: std::snprintf(b, sizeof b, "%.9g", static_cast<double>(As<float>(n.bytes))); break;
    default: std::snprintf(b, sizeof b, "%.17g", As<double>(n.bytes)); break;
  }
  return b;
}

Expr Expected(const Node& n) {
  Expr e;
  switch (n.what) {
    case Node::What::Function:
      e.kind = Kind::Function;
      for (const Node& p : n.parts) e.parts.push_back(Expected(p));
      break;
    case Node::What::Text:
      e.kind = n.token == 34 ? Kind::String : Kind::Symbol;
      e.text = n.text;
      break;
    case Node::What::Number:
      e.kind = Kind::Binary;
      e.type = n.type;
      e.bytes = n.bytes;
      break;
    case Node::What::NumberText: {
      e.kind = n.token == 42 ? Kind::Real : Kind::Integer;
      const std::string text = NumberText(n);
      e.text.assign(text.begin(), text.end());
      break;
    }
  }
  return e;
}

// ---- Reading back through the codec

// A read state over a queue stack without a device whose queue holds the
// bytes in chunks of `piece` bytes: every read window ends at a piece's end,
// so the reader's slow paths run at every boundary.
class ChunkedReader {
 public:
  ChunkedReader(const Bytes& bytes, uint64_t piece) {
    memory_ = qvqueue_new_memstruct(qvcodec::Allocate, qvcodec::Deallocate);
    const qvqk_allocator allocator{[](void*, uint64_t n) { return std::malloc(n); },
                                   [](void*, void* p) { std::free(p); }, nullptr};
    environment_ = qvqk__begin(&allocator);
    _queue* queue = memory_ != nullptr ? qvqueue_new(memory_, nullptr, piece, nullptr, nullptr) : nullptr;
    if (queue == nullptr || environment_ == nullptr) return;
    useritem_dkt bottom{queue, nullptr, qvtest::LinkQueueDispatch};
    if (qvqueue_putn(queue, bytes.data(), static_cast<int64_t>(bytes.size())) != static_cast<int64_t>(bytes.size()) ||
        qvqk__construct(environment_, &queues_, &bottom) != 0) {
      qvqueue_destroy(queue);
      return;
    }
    built_ = true;
    const rs_memory_stack memory = memory_counter_.Stack();
    rs__construct(&state_, qvne__dispatch, qvcodec::TextEnvironment(), cs__factory, &memory,
                  qvcodec::Descriptor("greatdane"), qvcodec::Descriptor("greatdane"), 0, nullptr, nullptr);
  }
  ~ChunkedReader() {
    if (built_) {
      rs__deconstruct(&state_, nullptr);
      useritem_dkt bottom{};
      qvqk__deconstruct(&queues_, &bottom);
      freeItem(&bottom);
    }
    qvqk__end(environment_);
    qvqueue_destroy_memstruct(memory_);
  }
  ChunkedReader(const ChunkedReader&) = delete;
  ChunkedReader& operator=(const ChunkedReader&) = delete;

  bool ok() const { return built_; }
  read_state* state() { return &state_; }
  device_kebab* stack() { return nullptr; }
  qv_queue_stack* queues() { return &queues_; }
  CountingMemory& memory() { return memory_counter_; }

 private:
  _queue_memstruct* memory_ = nullptr;
  qvqk_environment* environment_ = nullptr;
  qv_queue_stack queues_{};
  bool built_ = false;
  CountingMemory memory_counter_;
  read_state state_;
};

size_t UnitBytes(unsigned encoding) {
  return static_cast<size_t>(qvcodec::StreamReader::UnitBytes(encoding));
}

// What a reader handed its caller in the target encoding, as characters.
std::optional<std::u32string> AsCharacters(const Bytes& got, unsigned target) {
  using namespace qvtokendecoder;
  auto marked = [&](size_t unit) -> std::optional<std::string_view> {
    const std::string_view all(got);
    if (all.size() < unit || Unit(all, 0, unit, kBigEndian) != 0xFEFF) return std::nullopt;
    return all.substr(unit);
  };
  switch (target) {
    case ENCODING_ASCII: return DecodeEscaped(got);
    case ENCODING_BYTES: {
      std::u32string out;
      for (char c : got) out += static_cast<unsigned char>(c);
      return out;
    }
    case ENCODING_UCS2: return DecodeUnits16(got, kBigEndian, false);
    case ENCODING_UTF8: return DecodeUtf8(got);
    case ENCODING_UTF16: {
      const auto rest = marked(2);
      return rest ? DecodeUnits16(*rest, kBigEndian, true) : std::nullopt;
    }
    default: {
      const auto rest = marked(4);
      return rest ? DecodeUnits32(*rest, kBigEndian) : std::nullopt;
    }
  }
}

std::string Show(const std::u32string& text) {
  Expr e;
  e.kind = Kind::String;
  e.text = text;
  return qvtokendecoder::Describe(e);
}

// Reads nodes back through one of the readers, choosing at random among the
// calls that lead to the same values. Each check answers "" or what differed.
template <typename Reader>
class ReadBack {
 public:
  ReadBack(Reader& reader, std::mt19937_64& rng) : r_(reader), rng_(rng) {}

  std::string Expression(const Node& n) {
    switch (n.what) {
      case Node::What::Function: {
        if (std::string m = Type(70, 70); !m.empty()) return m;
        int64_t count = -1;
        const long e = QVGetArgCount_(r_.state(), r_.stack(), r_.queues(), &count);
        if (e != 0 || count != static_cast<int64_t>(n.parts.size()) - 1) {
          return "argument count " + std::to_string(count) + ", error " + std::to_string(e);
        }
        for (const Node& p : n.parts) {
          if (std::string m = Expression(p); !m.empty()) return m;
        }
        return "";
      }
      case Node::What::Text: {
        if (std::string m = Type(n.token, n.token); !m.empty()) return m;
        return Characters(n.text);
      }
      case Node::What::Number:
        if (Chance(50)) {
          if (std::string m = Type(n.type, (n.type & 0x10) ? 42 : 43); !m.empty()) return m;
        }
        return Number(n);
      case Node::What::NumberText:
        if (Chance(50)) {
          if (std::string m = Type(n.token, n.token); !m.empty()) return m;
        }
        return Number(n);
    }
    return "";
  }

  // After the last packet nothing more comes.
  std::string End() {
    uint64_t type = 1;
    const long e = QVGetNextRawType_(r_.state(), r_.stack(), r_.queues(), &type);
    if (e == 0 || type != 0) return "a token after the last packet: " + std::to_string(type);
    return "";
  }

 private:
  bool Chance(unsigned percent) { return rng_() % 100 < percent; }

  // Takes the next token's type with one of the reads that do, raw or filtered;
  // a second look at the current type must not move on.
  std::string Type(uint64_t raw, uint64_t filtered) {
    const bool want_raw = Chance(50);
    const uint64_t expected = want_raw ? raw : filtered;
    uint64_t type = 0;
    long e;
    if (Chance(50)) {
      e = want_raw ? QVGetNextRawType_(r_.state(), r_.stack(), r_.queues(), &type)
                   : QVGetNextType_(r_.state(), r_.stack(), r_.queues(), &type);
    } else {
      e = want_raw ? QVGetRawType_(r_.state(), r_.stack(), r_.queues(), &type)
                   : QVGetType_(r_.state(), r_.stack(), r_.queues(), &type);
      uint64_t again = 0;
      if (e == 0 && QVGetType_(r_.state(), r_.stack(), r_.queues(), &again) == 0 && again != filtered) {
        return "a second look at the type gave " + std::to_string(again);
      }
    }
    if (e != 0 || type != expected) {
      return "type " + std::to_string(type) + " for " + std::to_string(expected) + ", error " + std::to_string(e);
    }
    return "";
  }

  std::string Characters(const std::u32string& text) {
    char32_t max = 0;
    for (char32_t c : text) max = std::max(max, c);
    std::vector<unsigned> targets = {ENCODING_ASCII, ENCODING_UTF8, ENCODING_UTF16, ENCODING_UTF32};
    if (max <= 0xFF) targets.push_back(ENCODING_BYTES);
    if (max <= 0xFFFF) targets.push_back(ENCODING_UCS2);
    static constexpr size_t kRooms[] = {8, 9, 16, 61, 4096};
    const unsigned target = targets[rng_() % targets.size()];
    const size_t room = kRooms[rng_() % std::size(kRooms)];
    std::vector<unsigned char> buffer(room);
    Bytes got;
    uint8_t state_byte = '?';
    long e = 0;
    for (int calls = 0; calls < 100000; ++calls) {
      int64_t count = 0;
      e = QVGetCharacters_(r_.state(), r_.stack(), r_.queues(), &count, buffer.data(), buffer.data() + room,
                           &state_byte, target);
      got.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(count) * UnitBytes(target));
      if (e != 0 || r_.state()->converter.wire_left < 0) break;
    }
    const auto read = AsCharacters(got, target);
    if (e != 0 || !read || *read != text) {
      return "text " + (read ? Show(*read) : "(undecodable)") + " for " + Show(text) + " in encoding " +
             std::to_string(target) + " with room " + std::to_string(room) + ", error " + std::to_string(e);
    }
    return "";
  }

  std::string Number(const Node& n) {
    unsigned char value[16] = {};
    // Now and then into a wider type of its kind, through the conversions.
    unsigned wanted = n.type;
    const bool widen = n.what == Node::What::Number && (n.type == 226 || n.type == 228 || n.type == 244) && Chance(25);
    if (widen) wanted = n.type == 244 ? 246 : 230;
    const long e = QVGetBinaryNumber_(r_.state(), r_.stack(), r_.queues(), value, wanted);
    bool same;
    if (!widen) {
      same = std::memcmp(value, n.bytes.data(), OwnSize(n.type)) == 0;
    } else if (n.type == 244) {
      const double expected = As<float>(n.bytes);
      const double got = As<double>(Bytes(reinterpret_cast<char*>(value), 8));
      same = got == expected || (std::isnan(got) && std::isnan(expected));
    } else {
      const int64_t expected = n.type == 226 ? As<int16_t>(n.bytes) : As<int32_t>(n.bytes);
      same = As<int64_t>(Bytes(reinterpret_cast<char*>(value), 8)) == expected;
    }
    if (e != 0 || !same) {
      return "number of type " + std::to_string(n.type) + " read as " + std::to_string(wanted) +
             " differs, error " + std::to_string(e);
    }
    return "";
  }

  Reader& r_;
  std::mt19937_64& rng_;
};

// ---- The runs

std::vector<Config> Configs() {
  std::vector<Config> configs;
  for (uint64_t word : {uint64_t{QVFEATURE_ALL}, uint64_t{0}}) {
    for (uint64_t encodings : {qvcodec::kAllEncodings, uint64_t{ENCODING_ASCII}, uint64_t{ENCODING_BYTES},
                               uint64_t{ENCODING_UCS2}, uint64_t{ENCODING_UTF8}, uint64_t{ENCODING_UTF16},
                               uint64_t{ENCODING_UTF32}}) {
      configs.push_back({word, encodings});
    }
  }
  return configs;
}

std::string Name(const Config& c, uint64_t seed) {
  char b[96];
  std::snprintf(b, sizeof b, "feature word 0x%" PRIx64 ", encodings 0x%" PRIx64 ", seed %" PRIu64, c.word,
                c.encodings, seed);
  return b;
}

// The packets of one link, their write plans and the bytes the writer made.
struct Written {
  std::vector<Node> packets;
  std::vector<std::vector<Step>> plans;
  Bytes bytes;
};

constexpr int kPacketsPerConfig = 250;

void Write(const Config& config, uint64_t seed, int count, Written* out) {
  Generator g(seed, config);
  for (int i = 0; i < count; ++i) out->packets.push_back(g.Packet());
  for (const Node& n : out->packets) out->plans.push_back(Plan(n, (config.word & QVFEATURE_PACKED_RUNS) != 0, g.rng()));
  QueueWriter w(qvcodec::Features(config.word, qvcodec::kOwnTypes, config.encodings));
  ASSERT_TRUE(w.ok());
  for (size_t i = 0; i < out->packets.size(); ++i) {
    ASSERT_EQ(WritePacket(out->plans[i], w.state(), nullptr, w.queue(), config.word), 0)
        << "packet " << i << ": " << qvtokendecoder::Describe(Expected(out->packets[i]));
  }
  out->bytes = w.Take();
}

std::string FirstDifference(const Bytes& got, const Bytes& expected) {
  size_t i = 0;
  while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
  if (i == got.size() && i == expected.size()) return "";
  return "first difference at byte " + std::to_string(i) + " of " + std::to_string(expected.size()) + " (got " +
         std::to_string(got.size()) + ")";
}

TEST(TokenRoundTrip, RandomPacketsDecodeIndependentlyAndReadBackThroughTheCodec) {
  // Readers taken in turn over batches of packets: the scripted device, then
  // read windows of a few bytes.
  constexpr uint64_t kPieces[] = {0, 1, 2, 3, 7, 64};
  constexpr size_t kBatchBytes = 16 * 1024;
  uint64_t seed = 0x5EED;
  size_t turn = 0;
  for (const Config& config : Configs()) {
    ++seed;
    SCOPED_TRACE(Name(config, seed));
    Written written;
    Write(config, seed, kPacketsPerConfig, &written);
    if (HasFatalFailure()) return;

    // The independent decoder gives back every packet, and nothing more.
    qvtokendecoder::Options options;
    options.short_lengths = (config.word & QVFEATURE_SHORT_LENGTHS) != 0;
    Decoder decoder(written.bytes, options);
    std::vector<size_t> ends;
    for (const Node& n : written.packets) {
      const std::optional<Expr> e = decoder.NextPacket();
      ASSERT_TRUE(e.has_value()) << "packet " << ends.size() << ": " << decoder.error();
      const Expr expected = Expected(n);
      ASSERT_TRUE(*e == expected) << "packet " << ends.size() << "\n got " << qvtokendecoder::Describe(*e)
                                  << "\n for " << qvtokendecoder::Describe(expected);
      ends.push_back(decoder.position());
    }
    EXPECT_FALSE(decoder.NextPacket().has_value());
    EXPECT_EQ(decoder.error(), "");
    EXPECT_EQ(decoder.position(), written.bytes.size());

    // The codec's reader gives back the same values, batch by batch.
    std::mt19937_64 rng(seed);
    for (size_t first = 0; first < written.packets.size(); ++turn) {
      const size_t start = first == 0 ? 0 : ends[first - 1];
      size_t last = first;
      while (last + 1 < written.packets.size() && ends[last + 1] - start <= kBatchBytes) ++last;
      const Bytes batch = written.bytes.substr(start, ends[last] - start);
      const uint64_t piece = kPieces[turn % std::size(kPieces)];
      SCOPED_TRACE(testing::Message() << "packets " << first << " to " << last << ", "
                                      << (piece == 0 ? "scripted device" : "read windows of ") << piece);
      auto check = [&](auto& reader) {
        ASSERT_TRUE(reader.ok());
        ReadBack back(reader, rng);
        for (size_t i = first; i <= last; ++i) {
          const std::string m = back.Expression(written.packets[i]);
          ASSERT_EQ(m, "") << "packet " << i << ": " << qvtokendecoder::Describe(Expected(written.packets[i]));
          ASSERT_EQ(reader.state()->owed, 0) << "packet " << i;
          ASSERT_EQ(reader.memory().held, 0) << "packet " << i;
        }
        EXPECT_EQ(back.End(), "");
      };
      if (piece == 0) {
        qvcodec::StreamReader reader(batch);
        check(reader);
      } else {
        ChunkedReader reader(batch, piece);
        check(reader);
      }
      if (HasFatalFailure()) return;
      first = last + 1;
    }
  }
}

// The writer's bytes are the same whatever the size of the device's write
// window, even below the 32 bytes under which text goes through a local buffer.
TEST(TokenRoundTrip, TheBytesDoNotDependOnTheWriteWindow) {
  uint64_t seed = 0xB17E;
  for (uint64_t word : {uint64_t{QVFEATURE_ALL}, uint64_t{0}}) {
    const Config config{word, qvcodec::kAllEncodings};
    ++seed;
    SCOPED_TRACE(Name(config, seed));
    Written written;
    Write(config, seed, 60, &written);
    if (HasFatalFailure()) return;
    for (long window : {5L, 31L, 4096L}) {
      SCOPED_TRACE(testing::Message() << "write window of " << window);
      qvtest::ScriptedDevice device(qvtest::ScriptedOptions{.name = "writer", .windowSize = window, .readSize = 4096});
      auto plumbing = qvtest::LinkPlumbing::OverDevice(device.TakeInstance());
      ASSERT_NE(plumbing, nullptr);
      // A write state over the device instead of over its own queue.
      QueueWriter w(qvcodec::Features(config.word, qvcodec::kOwnTypes, config.encodings));
      ASSERT_TRUE(w.ok());
      for (size_t i = 0; i < written.plans.size(); ++i) {
        ASSERT_EQ(WritePacket(written.plans[i], w.state(), plumbing->device(), plumbing->base(), word), 0)
            << "packet " << i;
      }
      ASSERT_EQ(QVFlush_(w.state(), plumbing->device(), plumbing->base()), 0);
      ASSERT_TRUE(device.WaitCaptured(written.bytes.size()));
      EXPECT_EQ(FirstDifference(device.Captured(), written.bytes), "");
    }
  }
}

}  // namespace

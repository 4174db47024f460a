// An independent decoder of the token stream for tests. It reads the bytes a
// writer produced by the rules of the format alone and shares no code with
// the library (the standard library only), so that a fault the codec's writer
// and reader share cannot hide behind a round trip through both.
//
// It takes packets (one expression, then "]") of function, text-bodied
// (string, symbol, real and integer text) and binary-number tokens, packed
// runs included; text bodies are atoms with the letters 'A' to 'F'.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvtokendecoder {

enum class Kind { Function, String, Symbol, Real, Integer, Binary };

struct Expr {
  Kind kind = Kind::Function;
  std::vector<Expr> parts;  // Function: its head, then its arguments
  std::u32string text;      // String, Symbol, Real, Integer: the characters
  unsigned type = 0;        // Binary: the type byte
  std::string bytes;        // Binary: the number's bytes as they travel
  bool operator==(const Expr&) const = default;
};

// A readable form for failure messages.
inline std::string Describe(const Expr& e) {
  auto character = [](char32_t c) {
    char b[16];
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') return std::string(1, static_cast<char>(c));
    std::snprintf(b, sizeof b, "\\u{%X}", static_cast<unsigned>(c));
    return std::string(b);
  };
  std::string out;
  switch (e.kind) {
    case Kind::Function:
      out = e.parts.empty() ? "?" : Describe(e.parts[0]);
      out += "[";
      for (size_t i = 1; i < e.parts.size(); ++i) out += (i > 1 ? ", " : "") + Describe(e.parts[i]);
      return out + "]";
    case Kind::Binary: {
      out = "<" + std::to_string(e.type) + ":";
      char b[4];
      for (unsigned char c : e.bytes) {
        std::snprintf(b, sizeof b, "%02X", c);
        out += b;
      }
      return out + ">";
    }
    default: {
      const char* open = e.kind == Kind::String ? "\"" : e.kind == Kind::Symbol ? "" : e.kind == Kind::Real ? "*" : "+";
      out = open;
      for (char32_t c : e.text) out += character(c);
      return e.kind == Kind::String ? out + "\"" : out;
    }
  }
}

// ---- Payload decoders, also for checking what a reader hands its caller.

inline bool IsHex(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
inline unsigned HexValue(unsigned char c) {
  return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// Escaped 7-bit ASCII, read as a whole text (nothing follows it).
inline std::optional<std::u32string> DecodeEscaped(std::string_view s) {
  std::u32string out;
  size_t i = 0;
  auto fixed_hex = [&](size_t digits) -> std::optional<char32_t> {
    if (i + 2 + digits > s.size()) return std::nullopt;
    char32_t v = 0;
    for (size_t k = 0; k < digits; ++k) {
      const auto c = static_cast<unsigned char>(s[i + 2 + k]);
      if (!IsHex(c)) return std::nullopt;
      v = v * 16 + HexValue(c);
    }
    i += 2 + digits;
    return v;
  };
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) return std::nullopt;  // not 7-bit
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 >= s.size()) return std::nullopt;
    const auto d = static_cast<unsigned char>(s[i + 1]);
    std::optional<char32_t> v;
    switch (d) {
      case '\n': case '\r': i += 2; continue;  // a line continuation
      case '"': case '\'': case '?': case '\\': v = d; i += 2; break;
      case 'a': v = 7; i += 2; break;
      case 'b': v = 8; i += 2; break;
      case 'f': v = 12; i += 2; break;
      case 'n': v = 10; i += 2; break;
      case 'r': v = 13; i += 2; break;
      case 't': v = 9; i += 2; break;
      case 'v': v = 11; i += 2; break;
      case '.': v = fixed_hex(2); break;
      case ':': v = fixed_hex(4); break;
      case '|': v = fixed_hex(6); break;
      case 'x': {
        size_t j = i + 2;
        char32_t x = 0;
        while (j < s.size() && IsHex(static_cast<unsigned char>(s[j])) && x <= 0x10FFFF) {
          x = x * 16 + HexValue(static_cast<unsigned char>(s[j]));
          ++j;
        }
        if (j == i + 2) return std::nullopt;
        v = x;
        i = j;
        break;
      }
      default:
        if (d >= '0' && d <= '7') {
          size_t j = i + 1;
          char32_t o = 0;
          while (j < s.size() && j < i + 4 && s[j] >= '0' && s[j] <= '7') o = o * 8 + static_cast<char32_t>(s[j++] - '0');
          v = o;
          i = j;
        }
        break;
    }
    if (!v || *v > 0x10FFFF) return std::nullopt;
    out += *v;
  }
  return out;
}

inline std::optional<std::u32string> DecodeUtf8(std::string_view s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    int extra;
    char32_t c;
    char32_t least;
    if (b < 0x80) { extra = 0; c = b; least = 0; }
    else if (b >= 0xC2 && b < 0xE0) { extra = 1; c = b & 0x1F; least = 0x80; }
    else if (b >= 0xE0 && b < 0xF0) { extra = 2; c = b & 0x0F; least = 0x800; }
    else if (b >= 0xF0 && b < 0xF5) { extra = 3; c = b & 0x07; least = 0x10000; }
    else return std::nullopt;
    if (i + 1 + static_cast<size_t>(extra) > s.size()) return std::nullopt;
    for (int k = 1; k <= extra; ++k) {
      const auto t = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
      if ((t & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (t & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    out += c;
    i += 1 + static_cast<size_t>(extra);
  }
  return out;
}

inline uint32_t Unit(std::string_view s, size_t at, size_t size, bool big_endian) {
  uint32_t v = 0;
  for (size_t k = 0; k < size; ++k) {
    const auto b = static_cast<unsigned char>(s[at + (big_endian ? k : size - 1 - k)]);
    v = (v << 8) | b;
  }
  return v;
}

inline constexpr bool kBigEndianMachine = std::endian::native == std::endian::big;

// 16-bit units; with pairs (UTF-16) a surrogate pair is one character and a
// lone surrogate is refused, without (UCS-2) every unit is a character.
inline std::optional<std::u32string> DecodeUnits16(std::string_view s, bool big_endian, bool pairs) {
  if (s.size() % 2 != 0) return std::nullopt;
  std::u32string out;
  for (size_t i = 0; i < s.size(); i += 2) {
    const uint32_t u = Unit(s, i, 2, big_endian);
    if (!pairs || u < 0xD800 || u > 0xDFFF) {
      out += u;
      continue;
    }
    if (u > 0xDBFF || i + 4 > s.size()) return std::nullopt;
    const uint32_t low = Unit(s, i + 2, 2, big_endian);
    if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
    out += 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
    i += 2;
  }
  return out;
}

inline std::optional<std::u32string> DecodeUnits32(std::string_view s, bool big_endian) {
  if (s.size() % 4 != 0) return std::nullopt;
  std::u32string out;
  for (size_t i = 0; i < s.size(); i += 4) {
    const uint32_t u = Unit(s, i, 4, big_endian);
    if (u > 0x10FFFF) return std::nullopt;
    out += u;
  }
  return out;
}

// ---- The token stream.

// The decoder takes only what a writer writes: a newline after each token's
// data (a reader also takes 13 and 44), the flag byte "~", lengths without
// leading zeros, the count forms a writer chooses, and no binary type whose
// size the numeric environment decides (type & 0x60 == 0x40).
struct Options {
  // The writer's own counts (functions, packed runs) take one byte below 64.
  bool short_lengths = false;
};

class Decoder {
 public:
  explicit Decoder(std::string_view bytes, Options options = {}) : bytes_(bytes), options_(std::move(options)) {}

  // The next packet's expression; nothing at the end of the bytes or after a
  // fault, which error() then describes.
  std::optional<Expr> NextPacket() {
    if (!error_.empty()) return std::nullopt;
    // Between packets a backslash, a newline and "]" stand for nothing.
    while (at_ < bytes_.size() && (Byte(at_) == 92 || Byte(at_) == 10 || Byte(at_) == 93)) ++at_;
    if (at_ == bytes_.size()) return std::nullopt;
    Expr e;
    if (!ReadExpr(&e, 0)) return std::nullopt;
    if (run_left_ > 0) return Fail("a packed run goes on past the end of the expression");
    SkipBackslashes();
    if (at_ == bytes_.size() || Byte(at_) != 93) return Fail("no end of packet after the expression");
    ++at_;
    return e;
  }

  const std::string& error() const { return error_; }
  size_t position() const { return at_; }

 private:
  static constexpr int kMaxDepth = 10000;

  unsigned Byte(size_t i) const { return static_cast<unsigned char>(bytes_[i]); }

  std::nullopt_t Fail(const std::string& what) {
    if (error_.empty()) error_ = what + " at byte " + std::to_string(at_);
    return std::nullopt;
  }
  bool Failed(const std::string& what) {
    Fail(what);
    return false;
  }

  void SkipBackslashes() {
    while (at_ < bytes_.size() && Byte(at_) == 92) ++at_;
  }

  // A length field; codec marks the writer's own counts, whose form the
  // feature word decides.
  bool Length(int64_t* value, bool codec) {
    if (at_ == bytes_.size()) return Failed("the stream ends before a length");
    const unsigned first = Byte(at_);
    if (first & 0x40) {
      ++at_;
      *value = first & 63;
      if (codec && !options_.short_lengths) return Failed("a short length on a long-length link");
      return true;
    }
    const size_t start = at_;
    int64_t v = 0;
    while (at_ < bytes_.size() && Byte(at_) >= '0' && Byte(at_) <= '9') {
      if (at_ - start >= 18) return Failed("a length of more than 18 digits");
      v = v * 10 + (Byte(at_) - '0');
      ++at_;
    }
    if (at_ == start) return Failed("a length without digits");
    if (at_ == bytes_.size() || Byte(at_) != ' ') return Failed("a length not ended by a blank");
    ++at_;
    if (std::to_string(v) != bytes_.substr(start, at_ - 1 - start)) return Failed("a length with leading zeros");
    if (codec && options_.short_lengths && v < 64) return Failed("a long form where one byte would do");
    *value = v;
    return true;
  }

  bool Terminator() {
    if (at_ == bytes_.size()) return Failed("the stream ends before a terminator");
    const unsigned b = Byte(at_++);
    return b == 10 || Failed("a terminator other than a newline: " + std::to_string(b));
  }

  bool Take(size_t n, std::string_view* out) {
    if (bytes_.size() - at_ < n) return Failed("the stream ends inside a token's data");
    *out = bytes_.substr(at_, n);
    at_ += n;
    return true;
  }

  static int BinarySize(unsigned type) {
    if ((type & 0x60) == 0x40) return -1;
    if (type & 0x08) return static_cast<int>(type & 16);
    return 1 << ((type >> 1) & 3);
  }

  bool Binary(unsigned type, Expr* out) {
    const int size = BinarySize(type);
    if (size < 0) return Failed("a binary type whose size only the numeric environment knows");
    std::string_view data;
    if (!Take(static_cast<size_t>(size), &data)) return false;
    out->kind = Kind::Binary;
    out->type = type;
    out->bytes = std::string(data);
    return true;
  }

  bool ReadExpr(Expr* out, int depth) {
    if (depth > kMaxDepth) return Failed("expressions nested too deep");
    if (run_left_ > 0) {
      // The elements of a packed run are tokens of its type without type bytes.
      if (!Binary(run_type_, out)) return false;
      return --run_left_ > 0 || Terminator();
    }
    SkipBackslashes();
    if (at_ == bytes_.size()) return Failed("the stream ends inside an expression");
    const unsigned type = Byte(at_++);
    int64_t count = 0;
    switch (type) {
      case 93: case 10: return Failed("the packet ends while an expression is owed");
      case 70:
        if (!Length(&count, true)) return false;
        out->kind = Kind::Function;
        out->parts.resize(1);
        if (!ReadExpr(&out->parts[0], depth + 1)) return false;
        for (int64_t i = 0; i < count; ++i) {
          out->parts.emplace_back();
          if (!ReadExpr(&out->parts.back(), depth + 1)) return false;
        }
        return true;
      case 34: case 35: case 42: case 43:
        return Text(type, out);
      case 80: {
        if (!Length(&count, true)) return false;
        if (count < 1) return Failed("a packed run of no element");
        if (at_ == bytes_.size()) return Failed("the stream ends before a run's type");
        const unsigned element = Byte(at_++);
        if (element < 128) return Failed("a packed run of a type that is no binary number");
        run_left_ = count;
        run_type_ = element;
        return ReadExpr(out, depth);
      }
      default:
        if (type >= 128) return Binary(type, out) && Terminator();
        return Failed("an unexpected type byte " + std::to_string(type));
    }
  }

  bool Text(unsigned type, Expr* out) {
    int64_t length = 0;
    if (!Length(&length, false)) return false;
    std::string_view body;
    if (!Take(static_cast<size_t>(length), &body) || !Terminator()) return false;
    out->kind = type == 34 ? Kind::String : type == 35 ? Kind::Symbol : type == 42 ? Kind::Real : Kind::Integer;
    if (body.size() < 3) return Failed("a text body without its header");
    const char letter = body[0];
    if (body[1] != '~') return Failed("a flag byte other than ~");
    size_t at = 2;
    int64_t count = -1;  // -1: the payload's size tells
    size_t unit = 1;
    if (letter == 'A' || letter == 'D' || letter == 'E') {
      const auto b = static_cast<unsigned char>(body[at]);
      if (b & 0x40) {
        count = b & 63;
        ++at;
      } else {
        const size_t start = at;
        count = 0;
        while (at < body.size() && body[at] >= '0' && body[at] <= '9' && at - start < 18) count = count * 10 + (body[at++] - '0');
        if (at == start || at == body.size() || body[at] != ' ') return Failed("a bad character count");
        ++at;
      }
    } else if (letter == 'B' || letter == 'C' || letter == 'F') {
      unit = letter == 'B' ? 1 : letter == 'C' ? 2 : 4;
      const auto b = static_cast<unsigned char>(body[at++]);
      if (b & 0x40) count = b & 63;
      else if (b != ' ') return Failed("a bad one-byte count");
      const int64_t units = static_cast<int64_t>((body.size() - at) / unit);
      if ((count < 0) != (units >= 64)) return Failed("a count byte in the wrong form");
    } else {
      return Failed(std::string("a text body with the letter ") + letter);
    }
    const std::string_view payload = body.substr(at);
    std::optional<std::u32string> text;
    switch (letter) {
      case 'A': text = DecodeEscaped(payload); break;
      case 'B':
        text.emplace();
        for (char c : payload) *text += static_cast<unsigned char>(c);
        break;
      case 'C': text = DecodeUnits16(payload, true, false); break;
      case 'D': text = DecodeUtf8(payload); break;
      case 'E': text = DecodeUnits16(payload, kBigEndianMachine, true); break;
      default: text = DecodeUnits32(payload, kBigEndianMachine); break;
    }
    if (!text) return Failed(std::string("a payload that is no text of the letter ") + letter);
    if (payload.size() % unit != 0) return Failed("a payload of part of a unit");
    if (count >= 0 && count != static_cast<int64_t>(text->size())) {
      return Failed("a count of " + std::to_string(count) + " for " + std::to_string(text->size()) + " characters");
    }
    out->text = std::move(*text);
    return true;
  }

  std::string_view bytes_;
  Options options_;
  size_t at_ = 0;
  std::string error_;
  int64_t run_left_ = 0;
  unsigned run_type_ = 0;
};

}  // namespace qvtokendecoder

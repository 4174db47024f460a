// Drives converter states the way the link core does: a put into write windows
// of a chosen size with the caller's text in chosen pieces, and a get from wire
// pieces of a chosen size into caller buffers of a chosen size.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "text/qvconverter.h"

namespace qvatoms {

using Bytes = std::string;

inline character_environment* Environment() {
  static character_environment* environment =
      cs__begin([](uint64_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }, nullptr, nullptr,
                nullptr, nullptr);
  return environment;
}

inline three_state NewPutState(uint8_t peer_mask, int six_digit = 1) {
  three_state s{};
  s.wire_left = s.token_count = s.characters = s.delivered = -1;
  s.six_digit = static_cast<uint8_t>(six_digit);
  set_qvbst set{peer_mask, 0};
  cs__factory(Environment(), QV_FACTORY_INIT, &s, nullptr, &set);
  return s;
}

inline three_state NewGetState() {
  three_state s{};
  s.wire_left = s.token_count = s.characters = s.delivered = -1;
  cs__factory(Environment(), QV_FACTORY_INIT, &s, nullptr, nullptr);
  return s;
}

inline void BeginPut(three_state& s, uint64_t token, uint8_t source, int64_t count) {
  s.step = 1;
  s.token = token;
  s.characters = count;
  s.encoding = source;
  s.flag = '~';
}

struct PutResult {
  int64_t result = 0;  // the last step result: 1 when the atom is complete
  Bytes atom;
};

// Writes out what a window holds and gives a fresh one.
struct Window {
  explicit Window(size_t size) : bytes(size) { cursor = bytes.data(); }
  unsigned char* end() { return bytes.data() + bytes.size(); }
  void Flush(Bytes& out) {
    out.append(reinterpret_cast<char*>(bytes.data()), static_cast<size_t>(cursor - bytes.data()));
    cursor = bytes.data();
  }
  std::vector<unsigned char> bytes;
  unsigned char* cursor;
};

// Continues a put with the pieces given; the atom so far is appended to out.
// Text that a call leaves unconsumed is handed again in front of the next piece.
inline int64_t FeedPut(three_state& s, const std::vector<Bytes>& pieces, size_t window, Bytes& out) {
  Window w(window);
  int64_t r = QV_STEP_CALLER;
  Bytes pending;
  for (size_t i = 0; i < pieces.size(); ++i) {
    pending += pieces[i];
    unsigned char* start = reinterpret_cast<unsigned char*>(pending.data());
    unsigned char* cursor = start;
    unsigned char* end = cursor + pending.size();
    for (;;) {
      r = s.next(&s, &cursor, end, &w.cursor, w.end());
      if (r == QV_STEP_WIRE) {
        w.Flush(out);
        continue;
      }
      break;
    }
    pending.erase(0, static_cast<size_t>(cursor - start));
    if (r != QV_STEP_CALLER) break;
  }
  w.Flush(out);
  return r;
}

inline PutResult Put(uint64_t token, uint8_t source, const Bytes& text, int64_t count, uint8_t peer_mask,
                     size_t window = 4096, int six_digit = 1) {
  three_state s = NewPutState(peer_mask, six_digit);
  BeginPut(s, token, source, count);
  PutResult p;
  p.result = FeedPut(s, {text}, window, p.atom);
  cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
  return p;
}

// Every piece split into pieces of `piece` bytes.
inline std::vector<Bytes> Split(const Bytes& text, size_t piece) {
  std::vector<Bytes> pieces;
  for (size_t i = 0; i < text.size(); i += piece) pieces.push_back(text.substr(i, piece));
  if (pieces.empty()) pieces.emplace_back();
  return pieces;
}

struct GetResult {
  int64_t result = 0;
  Bytes text;      // what the caller received
  size_t used = 0; // wire bytes consumed, prefix included
  bool grown = false;  // the caller's buffer was too small for a character
  std::vector<Bytes> deliveries;  // what each call handed over
};

// Reads one atom (prefix included) from the front of wire.
inline GetResult Get(const Bytes& wire, uint8_t accepted, size_t wire_piece = 1 << 20, size_t buffer = 1 << 20,
                     unsigned char replacement = '?', three_state* reuse = nullptr) {
  GetResult g;
  uint64_t token = 0;
  int64_t length = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(wire.data());
  const int64_t prefix = qvatom_read_prefix(p, static_cast<int64_t>(wire.size()), &token, &length, INT64_MAX / 4);
  if (prefix <= 0) {
    g.result = -100;
    return g;
  }
  three_state local = NewGetState();
  three_state& s = reuse != nullptr ? *reuse : local;
  s.step = 2;
  s.token = token;
  s.wire_left = length;
  s.encoding = accepted;
  s.replacement = replacement;
  size_t at = static_cast<size_t>(prefix);
  Window out(buffer);
  // Wire bytes are handed over a piece at a time; bytes a step leaves stay for the next call.
  std::vector<unsigned char> piece;
  size_t piece_end = at;
  unsigned char* cursor = nullptr;
  unsigned char* end = nullptr;
  auto refill = [&] {
    const size_t have = cursor != nullptr ? static_cast<size_t>(end - cursor) : 0;
    std::vector<unsigned char> next(cursor, cursor + have);
    const size_t n = std::min(wire_piece, wire.size() - piece_end);
    next.insert(next.end(), wire.begin() + static_cast<std::ptrdiff_t>(piece_end),
                wire.begin() + static_cast<std::ptrdiff_t>(piece_end + n));
    piece_end += n;
    piece.swap(next);
    cursor = piece.data();
    end = piece.data() + piece.size();
    return n > 0;
  };
  refill();
  int64_t r;
  for (int guard = 0;; ++guard) {
    r = s.next(&s, &out.cursor, out.end(), &cursor, end);
    if (r == QV_STEP_WIRE) {
      if (!refill()) break;
      continue;
    }
    if (out.cursor != out.bytes.data()) {
      g.deliveries.emplace_back(reinterpret_cast<char*>(out.bytes.data()),
                                static_cast<size_t>(out.cursor - out.bytes.data()));
    }
    if (r == QV_STEP_CALLER) {
      // A character is delivered whole: a buffer too small for the next one
      // gets nothing, and the caller offers a larger one.
      if (out.cursor == out.bytes.data()) {
        out.bytes.resize(out.bytes.size() + 1);
        out.cursor = out.bytes.data();
        g.grown = true;
      }
      out.Flush(g.text);
      if (guard > 10000000) break;
      continue;
    }
    break;
  }
  out.Flush(g.text);
  g.result = r;
  g.used = piece_end - static_cast<size_t>(end - cursor);
  if (reuse == nullptr) cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
  return g;
}

inline Bytes Hex(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  Bytes out;
  for (unsigned char c : b) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace qvatoms

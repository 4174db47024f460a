// Arbitrary wire bytes into the get side of the converter engine: every letter
// and the legacy form, into every caller encoding, cut into pieces of varying
// size, with a clone taken midway.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "text/qvconverter.h"

namespace {

character_environment* Environment() {
  static character_environment* e = cs__begin([](uint64_t n) { return std::malloc(n); },
                                              [](void* p) { std::free(p); }, nullptr, nullptr, nullptr, nullptr);
  return e;
}

// Reads atoms from the wire until it ends; returns false when a step misbehaves.
void Drive(three_state& s, std::vector<unsigned char>& wire, size_t at, size_t piece, size_t room, int clone_at) {
  std::vector<unsigned char> out(room);
  int calls = 0;
  while (at < wire.size()) {
    uint64_t token;
    int64_t length;
    const int64_t prefix =
        qvatom_read_prefix(wire.data() + at, static_cast<int64_t>(wire.size() - at), &token, &length, 1 << 24);
    if (prefix <= 0) return;
    at += static_cast<size_t>(prefix);
    s.step = 2;
    s.token = token;
    s.wire_left = length;
    unsigned char* cursor = wire.data() + at;
    unsigned char* const end = wire.data() + wire.size();
    for (;;) {
      unsigned char* piece_end = cursor + std::min<size_t>(piece, static_cast<size_t>(end - cursor));
      unsigned char* o = out.data();
      const int64_t r = s.next(&s, &o, out.data() + out.size(), &cursor, piece_end);
      if (++calls == clone_at) {
        three_state copy = s;
        if (cs__factory(Environment(), QV_FACTORY_CLONE, &copy, &s, nullptr) == 0) {
          cs__factory(Environment(), QV_FACTORY_DESTROY, &copy, nullptr, nullptr);
        }
      }
      if (r == QV_STEP_DONE) break;
      if (r == QV_STEP_WIRE) {
        if (cursor == end) {
          at = wire.size();
          break;
        }
        continue;
      }
      if (r == QV_STEP_CALLER) {
        // Characters are delivered whole: a buffer that took nothing is too small.
        if (o == out.data()) out.resize(out.size() + 1);
        if (calls > 1000000) abort();  // a step that never gets on
        continue;
      }
      // A failed atom: the state recovers, skipping the rest of it.
      if (s.next != get_recover_from_error) return;
    }
    at = static_cast<size_t>(cursor - wire.data());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t accepted = data[0];
  const size_t piece = 1 + data[1] % 16;
  const size_t room = 1 + data[2] % 96;
  std::vector<unsigned char> wire(data + 3, data + size);
  three_state s{};
  s.wire_left = s.token_count = s.characters = s.delivered = -1;
  cs__factory(Environment(), QV_FACTORY_INIT, &s, nullptr, nullptr);
  s.replacement = '?';
  s.encoding = accepted;
  Drive(s, wire, 0, piece, room, data[1] >> 4);
  cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
  return 0;
}

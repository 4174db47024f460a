// Atoms of the letters 'C' to 'F' built around arbitrary payloads and count
// bytes, got into every caller encoding: read whole and read one wire byte at
// a time into one-unit buffers must give the same result and the same text.
// Then the payload as caller text of each Unicode form: a put in one piece and
// a put one unit at a time must write the same atom, and what a put accepts
// must come back unchanged through a get into its own encoding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "text/qvconverter.h"
#include "text/qvconverterinternal.h"

namespace {

using Bytes = std::string;

character_environment* Environment() {
  static character_environment* e = cs__begin([](uint64_t n) { return std::malloc(n); },
                                              [](void* p) { std::free(p); }, nullptr, nullptr, nullptr, nullptr);
  return e;
}

bool Routed() {
  using namespace Quorvane::textatoms;
  for (int i : {kUcs2, kUtf8, kUtf16, kUtf32}) {
    if (kCodecs[i].read_caller == nullptr || kCodecs[i].read_wire == nullptr) return false;
  }
  return true;
}

Bytes LengthForm(uint64_t v) {
  if (v < 64) return Bytes(1, static_cast<char>(0x40 | v));
  return std::to_string(v) + " ";
}

struct Got {
  int64_t result;
  Bytes text;
};

Got GetAtom(const Bytes& atom, uint8_t target, size_t piece, size_t room) {
  uint64_t token = 0;
  int64_t length = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(atom.data());
  const int64_t prefix = qvatom_read_prefix(p, static_cast<int64_t>(atom.size()), &token, &length, 1 << 24);
  if (prefix <= 0) abort();
  three_state s{};
  s.wire_left = s.token_count = s.characters = s.delivered = -1;
  cs__factory(Environment(), QV_FACTORY_INIT, &s, nullptr, nullptr);
  s.step = 2;
  s.token = token;
  s.wire_left = length;
  s.encoding = target;
  s.replacement = '?';
  unsigned char* wire = const_cast<unsigned char*>(p) + prefix;
  unsigned char* const end = const_cast<unsigned char*>(p) + atom.size();
  std::vector<unsigned char> out(room);
  Got g{0, {}};
  for (int calls = 0;; ++calls) {
    if (calls > 10000000) abort();  // a step that never gets on
    unsigned char* piece_end = wire + std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(piece), end - wire);
    unsigned char* o = out.data();
    g.result = s.next(&s, &o, out.data() + out.size(), &wire, piece_end);
    g.text.append(reinterpret_cast<char*>(out.data()), static_cast<size_t>(o - out.data()));
    if (g.result == QV_STEP_WIRE && wire < end) continue;
    if (g.result == QV_STEP_CALLER) {
      if (o == out.data()) out.resize(out.size() + 1);  // a character that needs more room
      continue;
    }
    break;
  }
  cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
  return g;
}

struct Put {
  int64_t result;
  Bytes atom;
};

Put PutText(const Bytes& text, uint8_t source, int64_t count, uint8_t peer, size_t piece) {
  three_state s{};
  s.wire_left = s.token_count = s.characters = s.delivered = -1;
  s.six_digit = 1;
  set_qvbst set{peer, 0};
  cs__factory(Environment(), QV_FACTORY_INIT, &s, nullptr, &set);
  s.step = 1;
  s.token = QV_TOKEN_STRING;
  s.characters = count;
  s.encoding = source;
  s.flag = '~';
  Put p{0, {}};
  std::vector<unsigned char> window(7);
  size_t given = std::min(piece, text.size());
  Bytes pending = text.substr(0, given);
  for (int calls = 0;; ++calls) {
    if (calls > 10000000) abort();
    unsigned char* c = reinterpret_cast<unsigned char*>(pending.data());
    unsigned char* w = window.data();
    p.result = s.next(&s, &c, c + pending.size(), &w, window.data() + window.size());
    p.atom.append(reinterpret_cast<char*>(window.data()), static_cast<size_t>(w - window.data()));
    pending.erase(0, static_cast<size_t>(c - reinterpret_cast<unsigned char*>(pending.data())));
    if (p.result == QV_STEP_WIRE) continue;
    if (p.result == QV_STEP_CALLER && given < text.size()) {
      const size_t n = std::min(piece, text.size() - given);
      pending += text.substr(given, n);
      given += n;
      continue;
    }
    break;
  }
  cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
  return p;
}

constexpr uint8_t kTargets[] = {ENCODING_ASCII, ENCODING_BYTES, ENCODING_UCS2,
                                ENCODING_UTF8,  ENCODING_UTF16, ENCODING_UTF32};
constexpr uint8_t kUnicode[] = {ENCODING_UCS2, ENCODING_UTF8, ENCODING_UTF16, ENCODING_UTF32};

size_t UnitOf(uint8_t e) { return e == ENCODING_UCS2 || e == ENCODING_UTF16 ? 2 : e == ENCODING_UTF32 ? 4 : 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || !Routed()) return 0;
  const unsigned char letter = static_cast<unsigned char>('C' + data[0] % 4);
  const unsigned char count = data[1];
  const Bytes payload(reinterpret_cast<const char*>(data + 2), size - 2);

  // Get side.
  const Bytes body = Bytes(1, static_cast<char>(letter)) + "~" + Bytes(1, static_cast<char>(count)) + payload;
  const Bytes atom = Bytes("\"") + LengthForm(body.size()) + body;
  for (uint8_t target : kTargets) {
    const Got whole = GetAtom(atom, target, atom.size(), atom.size() * 8 + 64);
    const Got split = GetAtom(atom, target, 1, UnitOf(target));
    if (whole.result != split.result) abort();
    if (whole.result == QV_STEP_DONE && whole.text != split.text) abort();
  }

  // Put side: the payload as caller text of each form.
  for (uint8_t source : kUnicode) {
    const size_t unit = UnitOf(source);
    const Bytes text = payload.substr(0, payload.size() - payload.size() % unit);
    const int64_t declared = std::min<int64_t>(count, static_cast<int64_t>(text.size() / unit));
    const Put whole = PutText(text, source, declared, source, text.size() + 1);
    const Put split = PutText(text, source, declared, source, unit);
    if (whole.result != split.result) abort();
    if (whole.result != QV_STEP_DONE) continue;
    if (whole.atom != split.atom) abort();
    // What went out in the source's own encoding comes back in it.
    const Got back = GetAtom(whole.atom, source, whole.atom.size(), whole.atom.size() * 4 + 64);
    if (back.result != QV_STEP_DONE) abort();
  }
  return 0;
}

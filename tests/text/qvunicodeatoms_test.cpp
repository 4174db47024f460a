// Atoms put from UCS-2, UTF-8, UTF-16 and UTF-32 text and got back into every
// caller encoding, against iconv: one table of sources (each Unicode form, the
// 16- and 32-bit ones with a little-endian mark, a big-endian mark and none),
// every wire letter and every target. Then resumability at every caller unit
// and every wire byte, and the exact header bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "text/qvconverter.h"
#include "text/qvconverterinternal.h"
#include "tests/text/qviconvoracle.h"

namespace {

using Bytes = std::string;
using CodePoints = std::vector<uint32_t>;

constexpr uint8_t A = ENCODING_ASCII, B = ENCODING_BYTES, C = ENCODING_UCS2, D = ENCODING_UTF8,
                  E = ENCODING_UTF16, F = ENCODING_UTF32, G = ENCODING_OLDSTRING;
constexpr uint8_t kWires[] = {A, B, C, D, E, F, G};
constexpr uint8_t kTargets[] = {A, B, C, D, E, F};
constexpr unsigned char kReplacement = '?';

// The converters of these sources are in the engine's table.
bool Routed() {
  using namespace Quorvane::textatoms;
  return kCodecs[kUcs2].read_caller != nullptr && kCodecs[kUtf8].read_caller != nullptr &&
         kCodecs[kUtf16].read_caller != nullptr && kCodecs[kUtf32].read_caller != nullptr &&
         kCodecs[kUcs2].read_wire != nullptr && kCodecs[kUtf8].read_wire != nullptr &&
         kCodecs[kUtf16].read_wire != nullptr && kCodecs[kUtf32].read_wire != nullptr;
}

#define QV_REQUIRE_ROUTED() \
  if (!Routed()) GTEST_SKIP() << "the engine's table has no rows for these encodings"

character_environment* Environment() {
  static character_environment* environment =
      cs__begin([](uint64_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }, nullptr, nullptr,
                nullptr, nullptr);
  return environment;
}

// ---- The oracle ----

using qvtexttest::Iconv;
using qvtexttest::MustIconv;

Bytes Le16(uint16_t v) { return Bytes{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
Bytes Be16(uint16_t v) { return Bytes{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }
Bytes Le32(uint32_t v) { return Le16(static_cast<uint16_t>(v)) + Le16(static_cast<uint16_t>(v >> 16)); }
Bytes Be32(uint32_t v) { return Be16(static_cast<uint16_t>(v >> 16)) + Be16(static_cast<uint16_t>(v)); }

bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsScalar(uint32_t c) { return c <= 0x10FFFF && !IsSurrogate(c); }

// The escaped form this library writes for one code point.
Bytes Escaped(uint32_t c) {
  char b[16];
  if (c >= 0x20 && c <= 0x7E) return c == '\\' ? "\\\\" : Bytes(1, static_cast<char>(c));
  if (c <= 0xFF) std::snprintf(b, sizeof b, "\\%03o", c);
  else if (c <= 0xFFFF) std::snprintf(b, sizeof b, "\\:%04X", c);
  else std::snprintf(b, sizeof b, "\\|%06X", c);
  return b;
}

// ---- The table ----

// One text as the caller puts it: its encoding, bytes, declared count, and the
// units a reader takes from it (code points, or for UCS-2 and UTF-32 the raw
// unit values, surrogates and values beyond U+10FFFF included). ill_formed: no
// reader can take it.
struct Source {
  std::string name;
  uint8_t encoding;
  Bytes text;
  int64_t count;
  CodePoints chars;
  bool ill_formed = false;
  // A text that ends inside a character: the put waits for the rest.
  bool cut_off = false;
};

// Valid texts: NUL, every UTF-8 length, non-characters, astral characters.
const std::vector<CodePoints> kValidTexts = {
    {},
    {'a', 'b', 'c'},
    {0, 'x', 0},
    {0xE9, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD},
    {0xFFFE, 0xFFFF, '\\'},
    {0x10000, 'q', 0x1F600, 0x10FFFF},
    {0xFEFF, 'a'},  // a second mark is a character
    // More than 63 characters: decimal counts, and blank counts in 'C' and 'F'.
    [] {
      CodePoints long_text;
      for (uint32_t i = 0; i < 70; ++i) long_text.push_back(i % 5 == 0 ? 0x1F600 + i : i % 5 == 1 ? 0x3B1 + i : 'a' + i % 26);
      return long_text;
    }(),
};

// Every valid text in every source form.
void AddValidForms(const CodePoints& cps, std::vector<Source>& out) {
  const std::string label = "text" + std::to_string(&cps - kValidTexts.data());
  const int64_t n = static_cast<int64_t>(cps.size());
  // A first character U+FEFF is the mark of UTF-8 text.
  if (cps.empty() || cps[0] != 0xFEFF) out.push_back({label + " UTF-8", D, MustIconv(cps, "UTF-8"), n, cps});
  // UTF-8 with its mark: dropped, and the count with it.
  out.push_back({label + " UTF-8 marked", D, "\xEF\xBB\xBF" + MustIconv(cps, "UTF-8"), n + 1, cps});
  out.push_back({label + " UTF-16 LE mark", E, Le16(0xFEFF) + MustIconv(cps, "UTF-16LE"), n + 1, cps});
  out.push_back({label + " UTF-16 BE mark", E, Be16(0xFEFF) + MustIconv(cps, "UTF-16BE"), n + 1, cps});
  out.push_back({label + " UTF-32 LE mark", F, Le32(0xFEFF) + MustIconv(cps, "UTF-32LE"), n + 1, cps});
  out.push_back({label + " UTF-32 BE mark", F, Be32(0xFEFF) + MustIconv(cps, "UTF-32BE"), n + 1, cps});
  // Without a mark the text is read byte-swapped: big-endian on this machine.
  // A first character U+FEFF would be taken for the mark, and so would U+FFFE,
  // whose big-endian bytes are those of a little-endian mark.
  if (cps.empty() || (cps[0] != 0xFEFF && cps[0] != 0xFFFE)) {
    out.push_back({label + " UTF-16 unmarked", E, MustIconv(cps, "UTF-16BE"), n, cps});
  }
  if (cps.empty() || cps[0] != 0xFEFF) {
    out.push_back({label + " UTF-32 unmarked", F, MustIconv(cps, "UTF-32BE"), n, cps});
  }
  Bytes ucs2;
  if (Iconv(cps, "UCS-2LE", &ucs2)) out.push_back({label + " UCS-2", C, ucs2, n, cps});
}

Bytes Ucs2Units(const CodePoints& units) {
  Bytes b;
  for (uint32_t u : units) b += Le16(static_cast<uint16_t>(u));
  return b;
}

// Text that no well-formed encoding holds: lone surrogates and values beyond
// U+10FFFF where a form can carry them, ill-formed sequences where not.
std::vector<Source> IrregularSources() {
  std::vector<Source> s;
  for (const CodePoints& units : {CodePoints{'a', 0xD800, 'b'}, CodePoints{0xDC00}, CodePoints{0xD83D, 0xDE00},
                                  CodePoints{'x', 0xDBFF}}) {
    s.push_back({"UCS-2 surrogates", C, Ucs2Units(units), static_cast<int64_t>(units.size()), units});
  }
  for (const CodePoints& units : {CodePoints{'a', 0xD800}, CodePoints{0x110000, 'z'}, CodePoints{0xFFFFFFFF}}) {
    Bytes le = Le32(0xFEFF), be = Be32(0xFEFF);
    for (uint32_t u : units) {
      le += Le32(u);
      be += Be32(u);
    }
    const int64_t n = static_cast<int64_t>(units.size()) + 1;
    s.push_back({"UTF-32 irregular LE", F, le, n, units});
    s.push_back({"UTF-32 irregular BE", F, be, n, units});
  }
  const char* bad_utf8[] = {"\xED\xA0\x80",          // a surrogate
                            "a\xC0\x80",             // overlong NUL
                            "\xF4\x90\x80\x80",      // beyond U+10FFFF
                            "\x80",                  // stray continuation
                            "\xF8\x88\x80\x80\x80",  // no lead byte
                            "ab\xE2\x82"};           // cut off at the end
  for (const char* t : bad_utf8) {
    const Bytes b(t);
    int64_t n = 0;
    for (unsigned char c : b) n += (c & 0xC0) != 0x80;
    s.push_back({"UTF-8 ill-formed", D, b, std::max<int64_t>(n, 1), {}, true, b.back() == '\x82'});
  }
  for (const CodePoints& units :
       {CodePoints{0xFEFF, 'a', 0xD800, 'b'}, CodePoints{0xFEFF, 0xDC00}, CodePoints{0xFEFF, 'x', 0xD83D}}) {
    Bytes le;
    for (uint32_t u : units) le += Le16(static_cast<uint16_t>(u));
    s.push_back({"UTF-16 lone surrogate", E, le, static_cast<int64_t>(units.size()), {}, true, units.back() == 0xD83D});
  }
  return s;
}

std::vector<Source> AllSources() {
  std::vector<Source> s;
  for (const CodePoints& cps : kValidTexts) AddValidForms(cps, s);
  for (Source& irregular : IrregularSources()) s.push_back(irregular);
  return s;
}

enum : int64_t { kRefusedAnyhow = -1000 };  // a refusal whose code the table does not fix

struct Outcome {
  int64_t result = 1;  // 1, or the refusal
  Bytes text;
};

// The chars a put carries in the wire encoding, or the refusal.
int64_t PutRefusal(const Source& s, uint8_t wire) {
  if (wire == B) return s.encoding == C ? kRefusedAnyhow : static_cast<int64_t>(QV_STEP_UNREPRESENTABLE);
  if (s.cut_off) return QV_STEP_CALLER;
  if (s.ill_formed) return QV_STEP_UNREPRESENTABLE;
  for (size_t i = 0; i < s.chars.size(); ++i) {
    const uint32_t c = s.chars[i];
    switch (wire) {
      case C:
        if (c > 0xFFFF) return QV_STEP_UNREPRESENTABLE;
        break;
      case G:
        // UCS-2 units pass; a surrogate value of UTF-32 text is no character.
        if (c > 0xFFFF || (s.encoding == F && IsSurrogate(c))) return QV_STEP_UNREPRESENTABLE;
        break;
      case D:
        if (!IsScalar(c)) return QV_STEP_UNREPRESENTABLE;
        break;
      case E:
        if (c > 0x10FFFF) return QV_STEP_UNREPRESENTABLE;
        if (IsSurrogate(c)) {
          // UCS-2 units go into UTF-16 as they stand, but two that would read
          // back as one character are refused.
          if (s.encoding != C) return QV_STEP_UNREPRESENTABLE;
          if (c <= 0xDBFF && i + 1 < s.chars.size() && s.chars[i + 1] >= 0xDC00 && s.chars[i + 1] <= 0xDFFF) {
            return QV_STEP_UNREPRESENTABLE;
          }
        }
        break;
      case A:
        if (c > 0x10FFFF) return QV_STEP_UNREPRESENTABLE;
        break;
      default:
        break;
    }
  }
  return 1;
}

// What a caller of the target receives for the chars of a wire encoding.
Outcome GetOutcome(const CodePoints& wire_chars, uint8_t wire, uint8_t target) {
  Outcome o;
  bool scalars = true;
  for (uint32_t c : wire_chars) scalars = scalars && IsScalar(c);
  // An escaped surrogate reads back as its value.
  const CodePoints& chars = wire_chars;
  const auto refuse = [&o] {
    o.result = QV_STEP_UNREPRESENTABLE;
    o.text.clear();
  };
  switch (target) {
    case A:
      for (uint32_t c : chars) {
        if (c > 0x10FFFF || (wire == E && IsSurrogate(c))) return refuse(), o;
        o.text += Escaped(c);
      }
      return o;
    case B:
      for (uint32_t c : chars) {
        if (wire == F && !IsScalar(c)) return refuse(), o;
        if (wire == E && IsSurrogate(c)) return refuse(), o;
        o.text += c <= 0xFF ? static_cast<char>(c) : static_cast<char>(kReplacement);
      }
      return o;
    case C:
      for (uint32_t c : chars) {
        if (c > 0xFFFF || (wire == E && IsSurrogate(c))) return refuse(), o;
        o.text += Le16(static_cast<uint16_t>(c));
      }
      return o;
    case D:
      if (!scalars) return refuse(), o;
      o.text = MustIconv(chars, "UTF-8");
      return o;
    case E:
      o.text = Le16(0xFEFF);
      for (uint32_t c : chars) {
        if (IsSurrogate(c) && (wire == C || wire == E)) {
          o.text += Le16(static_cast<uint16_t>(c));  // units pass as they stand
        } else if (!IsScalar(c)) {
          return refuse(), o;
        } else {
          o.text += MustIconv({c}, "UTF-16LE");
        }
      }
      return o;
    case F:
      // Units of UCS-2 and UTF-32 payloads (and escaped or legacy values) are widened unchecked.
      if (!scalars && wire != F && wire != C && wire != A && wire != G) return refuse(), o;
      o.text = Le32(0xFEFF);
      for (uint32_t c : chars) o.text += Le32(c);
      return o;
  }
  return o;
}

// ---- Driving a state as the link core does ----

struct PutRun {
  int64_t result = 0;
  Bytes atom;
};

// Puts text handed in pieces of `piece` bytes into windows of `window` bytes.
// Text that a step leaves unconsumed is handed again in front of the next piece.
// Makes st a put state for a peer that accepts `peer`, as the link core does
// before it hands over `characters` characters of text in `encoding`.
void StartPut(three_state* st, uint8_t peer, int64_t characters, uint8_t encoding,
              uint64_t token = QV_TOKEN_STRING) {
  *st = three_state{};
  st->wire_left = st->token_count = st->characters = st->delivered = -1;
  st->six_digit = 1;
  set_qvbst set{peer, 0};
  cs__factory(Environment(), QV_FACTORY_INIT, st, nullptr, &set);
  st->step = 1;
  st->token = token;
  st->characters = characters;
  st->encoding = encoding;
  st->flag = '~';
}

PutRun Put(const Source& s, uint8_t peer, size_t piece, size_t window, uint64_t token = QV_TOKEN_STRING) {
  three_state st;
  StartPut(&st, peer, s.count, s.encoding, token);
  PutRun run;
  std::vector<unsigned char> w(window);
  size_t given = std::min(piece, s.text.size());
  Bytes pending = s.text.substr(0, given);
  for (int guard = 0; guard < 1000000; ++guard) {
    unsigned char* cursor = reinterpret_cast<unsigned char*>(pending.data());
    unsigned char* end = cursor + pending.size();
    unsigned char* wc = w.data();
    const int64_t r = st.next(&st, &cursor, end, &wc, w.data() + w.size());
    run.atom.append(reinterpret_cast<char*>(w.data()), static_cast<size_t>(wc - w.data()));
    pending.erase(0, static_cast<size_t>(cursor - reinterpret_cast<unsigned char*>(pending.data())));
    if (r == QV_STEP_WIRE) continue;
    if (r == QV_STEP_CALLER && given < s.text.size()) {
      const size_t n = std::min(piece, s.text.size() - given);
      pending += s.text.substr(given, n);
      given += n;
      continue;
    }
    run.result = r;
    break;
  }
  cs__factory(Environment(), QV_FACTORY_DESTROY, &st, nullptr, nullptr);
  return run;
}

struct GetRun {
  int64_t result = 0;
  Bytes text;
  std::vector<Bytes> pieces;  // what each call delivered
  size_t used = 0;
};

// Gets one atom from wire pieces of `piece` bytes into caller buffers of
// `buffer` bytes. A buffer that cannot take the next character whole grows.
GetRun Get(const Bytes& atom, uint8_t accepted, size_t piece, size_t buffer) {
  GetRun run;
  uint64_t token = 0;
  int64_t length = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(atom.data());
  const int64_t prefix = qvatom_read_prefix(p, static_cast<int64_t>(atom.size()), &token, &length, 1 << 30);
  if (prefix <= 0) {
    run.result = -100;
    return run;
  }
  three_state st{};
  st.wire_left = st.token_count = st.characters = st.delivered = -1;
  cs__factory(Environment(), QV_FACTORY_INIT, &st, nullptr, nullptr);
  st.step = 2;
  st.token = token;
  st.wire_left = length;
  st.encoding = accepted;
  st.replacement = kReplacement;
  size_t at = static_cast<size_t>(prefix);
  Bytes window;
  std::vector<unsigned char> out(buffer);
  for (int guard = 0; guard < 1000000; ++guard) {
    if (window.empty() && at < atom.size()) {
      const size_t n = std::min(piece, atom.size() - at);
      window = atom.substr(at, n);
      at += n;
    }
    unsigned char* wc = reinterpret_cast<unsigned char*>(window.data());
    unsigned char* we = wc + window.size();
    unsigned char* oc = out.data();
    const int64_t r = st.next(&st, &oc, out.data() + out.size(), &wc, we);
    window.erase(0, static_cast<size_t>(wc - reinterpret_cast<unsigned char*>(window.data())));
    const Bytes delivered(reinterpret_cast<char*>(out.data()), static_cast<size_t>(oc - out.data()));
    if (!delivered.empty()) run.pieces.push_back(delivered);
    run.text += delivered;
    if (r == QV_STEP_WIRE) {
      if (window.empty() && at >= atom.size()) {
        run.result = r;
        break;
      }
      continue;
    }
    if (r == QV_STEP_CALLER) {
      if (delivered.empty()) out.resize(out.size() + 1);
      continue;
    }
    run.result = r;
    break;
  }
  run.used = at - window.size();
  cs__factory(Environment(), QV_FACTORY_DESTROY, &st, nullptr, nullptr);
  return run;
}

const char* Name(uint8_t bit) {
  switch (bit) {
    case A: return "ASCII";
    case B: return "bytes";
    case C: return "UCS-2";
    case D: return "UTF-8";
    case E: return "UTF-16";
    case F: return "UTF-32";
    default: return "legacy";
  }
}

size_t UnitOf(uint8_t encoding) { return encoding == C || encoding == E ? 2 : encoding == F ? 4 : 1; }

// ---- Tests ----

TEST(UnicodeAtoms, EverySourceWireAndTargetAgreesWithTheOracle) {
  QV_REQUIRE_ROUTED();
  for (const Source& s : AllSources()) {
    for (uint8_t wire : kWires) {
      SCOPED_TRACE(s.name + " as " + Name(wire));
      const PutRun put = Put(s, wire, s.text.size() + 1, 1 << 16);
      const int64_t refusal = PutRefusal(s, wire);
      if (refusal != 1) {
        if (refusal == kRefusedAnyhow) {
          EXPECT_TRUE(put.result == QV_STEP_FAILED || put.result == QV_STEP_UNREPRESENTABLE) << put.result;
        } else {
          EXPECT_EQ(put.result, refusal);
        }
        continue;
      }
      ASSERT_EQ(put.result, QV_STEP_DONE);
      ASSERT_GE(put.atom.size(), 3u);
      if (wire != G) {
        EXPECT_EQ(static_cast<unsigned char>(put.atom[0]), QV_TOKEN_STRING);
      }
      // The payload of a Unicode letter is the oracle's form of the characters.
      bool scalars = true;
      for (uint32_t c : s.chars) scalars = scalars && IsScalar(c);
      const char* form = wire == C ? "UCS-2BE" : wire == D ? "UTF-8" : wire == E ? "UTF-16LE" : wire == F ? "UTF-32LE" : nullptr;
      if (form != nullptr && scalars) {
        const Bytes payload = MustIconv(s.chars, form);
        ASSERT_GE(put.atom.size(), payload.size());
        EXPECT_EQ(put.atom.substr(put.atom.size() - payload.size()), payload);
      }
      for (uint8_t target : kTargets) {
        SCOPED_TRACE(std::string("into ") + Name(target));
        const GetRun got = Get(put.atom, target, 1 << 16, 1 << 16);
        const Outcome want = GetOutcome(s.chars, wire, target);
        EXPECT_EQ(got.result, want.result);
        if (want.result == QV_STEP_DONE) {
          EXPECT_EQ(got.text, want.text);
          EXPECT_EQ(got.used, put.atom.size());
        }
      }
    }
  }
}

TEST(UnicodeAtoms, SplitAtEveryCallerUnitAndWireByteChangesNothing) {
  QV_REQUIRE_ROUTED();
  for (const Source& s : AllSources()) {
    if (s.ill_formed) continue;
    for (uint8_t wire : kWires) {
      if (PutRefusal(s, wire) != 1) continue;
      SCOPED_TRACE(s.name + " as " + Name(wire));
      const PutRun whole = Put(s, wire, s.text.size() + 1, 1 << 16);
      ASSERT_EQ(whole.result, QV_STEP_DONE);
      // One caller unit per piece, one byte per window; and each single cut.
      const PutRun split = Put(s, wire, UnitOf(s.encoding), 1);
      EXPECT_EQ(split.result, QV_STEP_DONE);
      EXPECT_EQ(split.atom, whole.atom);
      for (size_t cut = UnitOf(s.encoding); cut < s.text.size(); cut += UnitOf(s.encoding)) {
        const PutRun two = Put(s, wire, cut, 3);
        EXPECT_EQ(two.atom, whole.atom) << "cut at " << cut;
      }
      for (uint8_t target : kTargets) {
        const GetRun full = Get(whole.atom, target, 1 << 16, 1 << 16);
        if (full.result != QV_STEP_DONE) continue;
        SCOPED_TRACE(std::string("into ") + Name(target));
        const GetRun bytewise = Get(whole.atom, target, 1, UnitOf(target));
        EXPECT_EQ(bytewise.result, QV_STEP_DONE);
        EXPECT_EQ(bytewise.text, full.text);
        // Every delivery holds whole characters: no surrogate pair is split.
        for (const Bytes& piece : bytewise.pieces) {
          if (target == E && piece.size() >= 2) {
            const uint16_t last = static_cast<uint16_t>(static_cast<unsigned char>(piece[piece.size() - 2]) |
                                                        static_cast<unsigned char>(piece.back()) << 8);
            // Surrogate values of UCS-2 and UTF-32 text reach a UTF-16 caller as units.
            bool strays = false;
            for (uint32_t c : s.chars) strays = strays || IsSurrogate(c);
            if (!strays) {
              EXPECT_FALSE(last >= 0xD800 && last <= 0xDBFF) << "a pair was split";
            }
          }
          EXPECT_EQ(piece.size() % UnitOf(target), 0u);
        }
      }
    }
  }
}

// The bytes of an atom from its hex text.
Bytes Hex(const char* text) {
  Bytes out;
  for (const char* p = text; *p != '\0';) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out += static_cast<char>(std::strtoul(Bytes(p, 2).c_str(), nullptr, 16));
    p += 2;
  }
  return out;
}

TEST(UnicodeAtoms, HeaderBytesAreExact) {
  QV_REQUIRE_ROUTED();
  struct Case {
    const char* name;
    Source source;
    uint8_t peer;
    Bytes atom;
  };
  const Bytes abc16 = Le16('a') + Le16('b') + Le16('c');
  Bytes sixty_four_ucs2, sixty_three_ucs2, sixty_four_wire, sixty_three_wire, sixty_four_utf8;
  for (int i = 0; i < 64; ++i) {
    sixty_four_ucs2 += Le16('a');
    sixty_four_wire += Be16('a');
    sixty_four_utf8 += 'a';
    if (i < 63) {
      sixty_three_ucs2 += Le16('a');
      sixty_three_wire += Be16('a');
    }
  }
  const std::vector<Case> cases = {
      {"abc from UTF-8 as UTF-16", {"", D, "abc", 3, {}}, E, Hex("22 49 45 7E 43 61 00 62 00 63 00")},
      {"abc from UTF-8 as UTF-8", {"", D, "abc", 3, {}}, D, Hex("22 46 44 7E 43 61 62 63")},
      {"abc from UTF-8 as UCS-2", {"", D, "abc", 3, {}}, C, Hex("22 49 43 7E 43 00 61 00 62 00 63")},
      {"abc from UTF-8 as UTF-32", {"", D, "abc", 3, {}}, F,
       Hex("22 4F 46 7E 43 61 00 00 00 62 00 00 00 63 00 00 00")},
      {"marked UTF-8 drops the mark", {"", D, "\xEF\xBB\xBF" "abc", 4, {}}, E, Hex("22 49 45 7E 43") + abc16},
      {"UTF-16 with a LE mark", {"", E, Le16(0xFEFF) + abc16, 4, {}}, D, Hex("22 46 44 7E 43 61 62 63")},
      {"UTF-16 without a mark is read swapped", {"", E, Le16('A') + Le16('B'), 2, {}}, D,
       Bytes("\x22\x49" "D~\x42" "\xE4\x84\x80\xE4\x88\x80", 11)},
      {"UTF-16 with a swapped mark", {"", E, Be16(0xFEFF) + Be16('A') + Be16('B'), 3, {}}, D,
       Hex("22 45 44 7E 42 41 42")},
      {"UTF-32 with a swapped mark", {"", F, Be32(0xFEFF) + Be32(0x1F600), 2, {}}, D,
       Hex("22 47 44 7E 41 F0 9F 98 80")},
      {"an astral character as a pair", {"", D, "\xF0\x9F\x98\x80", 1, {}}, E, Hex("22 47 45 7E 41 3D D8 00 DE")},
      {"64 UCS-2 characters: a blank count", {"", C, sixty_four_ucs2, 64, {}}, C,
       Bytes("\x22" "131 C~ ", 8) + sixty_four_wire},
      {"63 UCS-2 characters: 0x7F", {"", C, sixty_three_ucs2, 63, {}}, C, Bytes("\x22" "129 C~\x7F", 8) + sixty_three_wire},
      {"64 characters as UTF-8: decimal count", {"", D, sixty_four_utf8, 64, {}}, D,
       Bytes("\x22" "69 D~64 ", 9) + sixty_four_utf8},
      {"64 characters as UTF-32: a blank count", {"", D, sixty_four_utf8, 64, {}}, F,
       Bytes("\x22" "259 F~ ", 8) + [&] {
         Bytes b;
         for (int i = 0; i < 64; ++i) b += Le32('a');
         return b;
       }()},
      {"empty UTF-16 text", {"", E, Le16(0xFEFF), 1, {}}, E, Hex("22 43 45 7E 40")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes& want = c.atom;
    const PutRun put = Put(c.source, c.peer, c.source.text.size() + 1, 1 << 16);
    EXPECT_EQ(put.result, QV_STEP_DONE);
    EXPECT_EQ(put.atom, want);
  }
}

TEST(UnicodeAtoms, AMarkCutBeforeItsEndIsTakenAgainWhole) {
  QV_REQUIRE_ROUTED();
  three_state st;
  StartPut(&st, E, 2, D);
  unsigned char text[] = {0xEF, 0xBB, 0xBF, 'a'};
  unsigned char window[64];
  unsigned char* cursor = text;
  unsigned char* wc = window;
  EXPECT_EQ(st.next(&st, &cursor, text + 1, &wc, window + sizeof window), QV_STEP_CALLER);
  EXPECT_EQ(cursor, text);  // nothing consumed
  EXPECT_EQ(wc, window);
  EXPECT_EQ(st.next(&st, &cursor, text + 4, &wc, window + sizeof window), QV_STEP_DONE);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(window), static_cast<size_t>(wc - window)),
            Hex("22 45 45 7E 41 61 00"));
  cs__factory(Environment(), QV_FACTORY_DESTROY, &st, nullptr, nullptr);
}

// A UTF-16 piece that ends on a leading surrogate: the put answers 3 with the
// cursor left on that unit and keeps nothing, so a caller that hands the text
// again from the unit completes the pair, and the atom is that of the whole
// text. Every wire a UTF-16 put may choose (those that refuse a pair refuse it
// in the second piece), with a mark (the start that skips it) and without.
TEST(UnicodeAtoms, APairCutAfterItsLeadingUnitIsHandedAgainFromIt) {
  QV_REQUIRE_ROUTED();
  for (const bool marked : {true, false}) {
    const auto unit = [&](uint16_t v) { return marked ? Le16(v) : Be16(v); };  // unmarked: read swapped
    for (const Bytes& before : {Bytes(), unit('a'), unit('a') + unit(0xE9) + unit('b')}) {
      const Bytes head = (marked ? Le16(0xFEFF) : Bytes()) + before;
      const Bytes text = head + unit(0xD83D) + unit(0xDE00) + unit('z');
      const Source s{"", E, text, static_cast<int64_t>(text.size() / 2 - 1), {}};
      for (uint8_t wire : kWires) {
        SCOPED_TRACE(std::string(marked ? "marked" : "unmarked") + ", " + std::to_string(before.size() / 2) +
                     " before the pair, as " + Name(wire));
        const PutRun whole = Put(s, wire, text.size(), 1 << 16);
        three_state st;
        StartPut(&st, wire, s.count, E);
        std::vector<unsigned char> window(1 << 16);
        unsigned char* wc = window.data();
        Bytes first = head + unit(0xD83D);
        unsigned char* cursor = reinterpret_cast<unsigned char*>(first.data());
        int64_t r = st.next(&st, &cursor, cursor + first.size(), &wc, window.data() + window.size());
        if (r == QV_STEP_CALLER) {
          EXPECT_EQ(cursor - reinterpret_cast<unsigned char*>(first.data()), static_cast<ptrdiff_t>(head.size()))
              << "the position is left on the leading unit";
          Bytes second = text.substr(head.size());
          cursor = reinterpret_cast<unsigned char*>(second.data());
          r = st.next(&st, &cursor, cursor + second.size(), &wc, window.data() + window.size());
        }
        EXPECT_EQ(r, whole.result);
        if (whole.result == QV_STEP_DONE) {
          EXPECT_EQ(Bytes(reinterpret_cast<char*>(window.data()), static_cast<size_t>(wc - window.data())),
                    whole.atom);
          cs__factory(Environment(), QV_FACTORY_DESTROY, &st, nullptr, nullptr);
        }
      }
    }
  }
}

TEST(UnicodeAtoms, AtomsOfUnknownCountAreConvertedForEveryTarget) {
  QV_REQUIRE_ROUTED();
  // A blank in place of the count of a 'D' or 'E' atom: the count comes from
  // the payload, and the text is converted for every caller, not only UTF-8.
  const CodePoints cps = {'a', 0xE9, 0x1F600};
  for (const auto& [wire, payload] : {std::pair<uint8_t, Bytes>{D, MustIconv(cps, "UTF-8")},
                                      std::pair<uint8_t, Bytes>{E, MustIconv(cps, "UTF-16LE")}}) {
    const Bytes atom = Bytes("\x22") + static_cast<char>(0x40 | (3 + payload.size())) +
                       static_cast<char>(wire == D ? 'D' : 'E') + "~ " + payload;
    for (uint8_t target : kTargets) {
      SCOPED_TRACE(std::string(Name(wire)) + " into " + Name(target));
      for (size_t piece : {size_t{1}, size_t{64}}) {
        const GetRun got = Get(atom, target, piece, 64);
        const Outcome want = GetOutcome(cps, wire, target);
        EXPECT_EQ(got.result, want.result);
        if (want.result == QV_STEP_DONE) {
          EXPECT_EQ(got.text, want.text);
          EXPECT_EQ(got.used, atom.size());
        }
      }
    }
  }
}

TEST(UnicodeAtoms, IllFormedPayloadsFailAndTheNextAtomReads) {
  QV_REQUIRE_ROUTED();
  const Bytes good = Hex("22 46 44 7E 43 61 62 63");
  const std::vector<Bytes> bad = {
      Hex("22 46 44 7E 41 ED A0 80"),     // a surrogate in UTF-8
      Hex("22 46 44 7E 42 61 E2 82"),     // cut off by the end of the atom
      Hex("22 47 45 7E 42 00 DC 61 00"),  // a lone trailing surrogate
      Hex("22 47 45 7E 42 61 00 00 D8"),  // a leading surrogate at the end
      Hex("22 47 46 7E 41 00 D8 00 00"),  // a surrogate value into UTF-8
  };
  for (const Bytes& atom : bad) {
    SCOPED_TRACE(testing::PrintToString(atom));
    Bytes stream = atom + good;
    three_state st{};
    st.wire_left = st.token_count = st.characters = st.delivered = -1;
    cs__factory(Environment(), QV_FACTORY_INIT, &st, nullptr, nullptr);
    st.replacement = kReplacement;
    unsigned char* wc = reinterpret_cast<unsigned char*>(stream.data());
    unsigned char* const end = wc + stream.size();
    std::vector<int64_t> results;
    Bytes text;
    for (int atom_index = 0; atom_index < 2; ++atom_index) {
      uint64_t token = 0;
      int64_t length = 0;
      const int64_t prefix = qvatom_read_prefix(wc, end - wc, &token, &length, 1 << 20);
      ASSERT_GT(prefix, 0);
      wc += prefix;
      st.step = 2;
      st.token = token;
      st.wire_left = length;
      st.encoding = D;
      int64_t r;
      do {
        unsigned char out[64];
        unsigned char* oc = out;
        // One wire byte at a time.
        unsigned char* piece_end = std::min(wc + 1, end);
        r = st.next(&st, &oc, out + sizeof out, &wc, piece_end);
        text.append(reinterpret_cast<char*>(out), static_cast<size_t>(oc - out));
        if (r == QV_STEP_UNREPRESENTABLE || r == QV_STEP_FAILED) {
          results.push_back(r);
          text.clear();
          r = QV_STEP_WIRE;  // called again, the state skips the rest of its atom
        }
      } while (r == QV_STEP_WIRE && wc < end);
      results.push_back(r);
    }
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0], QV_STEP_UNREPRESENTABLE);
    EXPECT_EQ(results[1], QV_STEP_DONE);  // the rest of the bad atom is skipped
    EXPECT_EQ(results[2], QV_STEP_DONE);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(wc, end);
    cs__factory(Environment(), QV_FACTORY_DESTROY, &st, nullptr, nullptr);
  }
}

TEST(UnicodeAtoms, AStateClonedMidwayFinishesLikeTheOriginal) {
  QV_REQUIRE_ROUTED();
  // Big-endian UTF-16 with a pair cut after its first unit and byte.
  const CodePoints cps = {'a', 0x1F600, 0xE9, 0x10348, 'z'};
  const Bytes text = Be16(0xFEFF) + MustIconv(cps, "UTF-16BE");
  const Bytes whole = Put({"", E, text, 6, cps}, E, text.size(), 1 << 10).atom;
  three_state a;
  StartPut(&a, E, 6, E);
  unsigned char window[256];
  unsigned char* cursor = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
  unsigned char* const end = cursor + text.size();
  unsigned char* w = window;
  ASSERT_EQ(a.next(&a, &cursor, cursor + 7, &w, window + sizeof window), QV_STEP_CALLER);
  const Bytes head(reinterpret_cast<char*>(window), static_cast<size_t>(w - window));
  three_state b = a;
  ASSERT_EQ(cs__factory(Environment(), QV_FACTORY_CLONE, &b, &a, nullptr), 0);
  for (three_state* st : {&a, &b}) {
    unsigned char* c = cursor;
    unsigned char* wc = window;
    EXPECT_EQ(st->next(st, &c, end, &wc, window + sizeof window), QV_STEP_DONE);
    EXPECT_EQ(head + Bytes(reinterpret_cast<char*>(window), static_cast<size_t>(wc - window)), whole);
    cs__factory(Environment(), QV_FACTORY_DESTROY, st, nullptr, nullptr);
  }

  // The get side, cloned with half a pair read.
  const Bytes want = GetOutcome(cps, E, E).text;
  three_state g{};
  g.wire_left = g.token_count = g.characters = g.delivered = -1;
  cs__factory(Environment(), QV_FACTORY_INIT, &g, nullptr, nullptr);
  uint64_t token = 0;
  int64_t length = 0;
  const auto* p = reinterpret_cast<unsigned char*>(const_cast<char*>(whole.data()));
  const int64_t prefix = qvatom_read_prefix(p, static_cast<int64_t>(whole.size()), &token, &length, 1 << 20);
  ASSERT_GT(prefix, 0);
  g.step = 2;
  g.token = token;
  g.wire_left = length;
  g.encoding = E;
  unsigned char* wire = const_cast<unsigned char*>(p) + prefix;
  unsigned char* const wire_end = const_cast<unsigned char*>(p) + whole.size();
  unsigned char out[64];
  unsigned char* o = out;
  ASSERT_EQ(g.next(&g, &o, out + sizeof out, &wire, wire + 6), QV_STEP_WIRE);  // header, 'a' and one byte
  const Bytes got_head(reinterpret_cast<char*>(out), static_cast<size_t>(o - out));
  three_state h = g;
  ASSERT_EQ(cs__factory(Environment(), QV_FACTORY_CLONE, &h, &g, nullptr), 0);
  for (three_state* st : {&g, &h}) {
    unsigned char* wc = wire;
    unsigned char* oc = out;
    EXPECT_EQ(st->next(st, &oc, out + sizeof out, &wc, wire_end), QV_STEP_DONE);
    EXPECT_EQ(got_head + Bytes(reinterpret_cast<char*>(out), static_cast<size_t>(oc - out)), want);
    cs__factory(Environment(), QV_FACTORY_DESTROY, st, nullptr, nullptr);
  }
}

}  // namespace

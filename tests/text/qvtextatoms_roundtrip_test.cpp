// Atoms put from escaped ASCII and from bytes, checked against iconv, and
// resumability: text split anywhere, windows and buffers of one unit.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quorvane_text.h"
#include "tests/text/qvatomdriver.h"
#include "tests/text/qviconvoracle.h"

namespace {

using namespace qvatoms;
using CodePoints = std::vector<uint32_t>;

constexpr uint8_t kLetterBits[] = {ENCODING_ASCII, ENCODING_BYTES, ENCODING_UCS2, ENCODING_UTF8,
                                   ENCODING_UTF16, ENCODING_UTF32, ENCODING_OLDSTRING};
constexpr uint8_t kTargets[] = {ENCODING_ASCII, ENCODING_BYTES, ENCODING_UCS2,
                                ENCODING_UTF8,  ENCODING_UTF16, ENCODING_UTF32};

using qvtexttest::Iconv;

Bytes Mark16() { return Bytes("\xFF\xFE", 2); }
Bytes Mark32() { return Bytes("\xFF\xFE\x00\x00", 4); }

// The escaped form this library writes for one code point.
Bytes Canonical(uint32_t c) {
  char buffer[16];
  if (c >= 0x20 && c <= 0x7E) return c == '\\' ? "\\\\" : Bytes(1, static_cast<char>(c));
  if (c <= 0xFF) std::snprintf(buffer, sizeof buffer, "\\%03o", c);
  else if (c <= 0xFFFF) std::snprintf(buffer, sizeof buffer, "\\:%04X", c);
  else std::snprintf(buffer, sizeof buffer, "\\|%06X", c);
  return buffer;
}

struct Text {
  CodePoints cps;
  Bytes escaped;  // escaped ASCII in varied forms
};

// Random characters of every size class, written in every escape form the
// reader takes, including the open-ended ones (short octal, x runs) that only
// the byte after them ends.
Text RandomText(std::mt19937& rng, size_t n) {
  Text t;
  std::vector<Bytes> forms;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c;
    switch (rng() % 6) {
      case 0: c = 0x20 + rng() % 0x5F; break;
      case 1: c = rng() % 0x20; break;
      case 2: c = 0x80 + rng() % 0x80; break;
      case 3: c = 0x100 + rng() % (0xD800 - 0x100); break;
      case 4: c = 0xE000 + rng() % 0x2000; break;
      default: c = 0x10000 + rng() % 0x100000; break;
    }
    t.cps.push_back(c);
    char b[16];
    const unsigned form = rng() % 5;
    Bytes f = rng() % 16 == 0 ? "\\\n" : "";  // a line continuation before it
    if (c <= 0xFF && form == 1) {
      std::snprintf(b, sizeof b, "\\%03o", c);
      f += b;
    } else if (c <= 0xFF && form == 2) {
      std::snprintf(b, sizeof b, "\\.%02x", c);
      f += b;
    } else if (c <= 0xFFFF && form == 3) {
      std::snprintf(b, sizeof b, "\\:%04x", c);
      f += b;
    } else if (form == 4) {
      std::snprintf(b, sizeof b, "\\|%06X", c);
      f += b;
    } else if (c == '\n' && form == 0) {
      f += "\\n";
    } else {
      f += Canonical(c);
    }
    forms.push_back(f);
  }
  // Open-ended forms where the next character's first byte ends them.
  for (size_t i = 0; i + 1 < n; ++i) {
    const unsigned char next = static_cast<unsigned char>(forms[i + 1][0]);
    char b[16];
    if (t.cps[i] <= 0xFF && next != '\\' && (next < '0' || next > '7') && rng() % 3 == 0) {
      std::snprintf(b, sizeof b, "\\%o", t.cps[i]);
      forms[i] = b;
    } else if (t.cps[i] <= 0xFFFFF && !std::isxdigit(next) && rng() % 3 == 0) {
      std::snprintf(b, sizeof b, "\\x%X", t.cps[i]);
      forms[i] = b;
    }
  }
  for (const Bytes& f : forms) t.escaped += f;
  return t;
}

Bytes Payload(const Bytes& atom) {
  uint64_t token;
  int64_t length;
  const int64_t prefix = qvatom_read_prefix(reinterpret_cast<const unsigned char*>(atom.data()),
                                            static_cast<int64_t>(atom.size()), &token, &length, 1 << 30);
  EXPECT_GT(prefix, 0);
  Bytes rest = atom.substr(static_cast<size_t>(prefix));
  // letter, flag, count field
  size_t at = 2;
  if ((rest[at] & 0x40) != 0 || rest[at] == ' ') {
    ++at;
  } else {
    at = rest.find(' ', at) + 1;
  }
  return rest.substr(at);
}

struct Expected {
  bool refused = false;
  Bytes text;
};

// What a caller of the given encoding receives for the code points.
Expected ForCaller(const CodePoints& cps, uint8_t target, const Bytes& a_payload) {
  Expected e;
  switch (target) {
    case ENCODING_ASCII:
      if (!a_payload.empty()) {
        e.text = a_payload;
      } else {
        for (uint32_t c : cps) e.text += Canonical(c);
      }
      break;
    case ENCODING_BYTES:
      for (uint32_t c : cps) e.text += c <= 0xFF ? static_cast<char>(c) : '?';
      break;
    case ENCODING_UCS2:
      for (uint32_t c : cps) e.refused = e.refused || c > 0xFFFF;
      if (!e.refused) Iconv(cps, "UCS-2LE", &e.text);
      break;
    case ENCODING_UTF8: e.refused = !Iconv(cps, "UTF-8", &e.text); break;
    case ENCODING_UTF16:
      e.refused = !Iconv(cps, "UTF-16LE", &e.text);
      e.text = Mark16() + e.text;
      break;
    case ENCODING_UTF32:
      e.refused = !Iconv(cps, "UTF-32LE", &e.text);
      e.text = Mark32() + e.text;
      break;
  }
  if (e.refused) e.text.clear();
  return e;
}

// The payload a put writes for each wire letter, by iconv; refused when the
// letter cannot hold a character.
Expected ForWire(const CodePoints& cps, uint8_t wire, bool from_ascii) {
  Expected e;
  uint32_t max = 0;
  for (uint32_t c : cps) max = std::max(max, c);
  switch (wire) {
    case ENCODING_BYTES:
      e.refused = max > 0xFF;
      for (uint32_t c : cps) e.text += static_cast<char>(c);
      break;
    case ENCODING_UCS2:
      e.refused = max > 0xFFFF;
      if (!e.refused) Iconv(cps, "UCS-2BE", &e.text);
      break;
    case ENCODING_UTF8: e.refused = !Iconv(cps, "UTF-8", &e.text); break;
    case ENCODING_UTF16: e.refused = !Iconv(cps, "UTF-16LE", &e.text); break;
    case ENCODING_UTF32: e.refused = !Iconv(cps, "UTF-32LE", &e.text); break;
    case ENCODING_OLDSTRING: e.refused = max > 0xFFFF; break;
    case ENCODING_ASCII:
      if (!from_ascii) {
        for (uint32_t c : cps) e.text += Canonical(c);
      }
      break;
  }
  if (e.refused) e.text.clear();
  return e;
}

struct Source {
  uint8_t encoding;
  Bytes text;
  CodePoints cps;
};

std::vector<Source> Sources() {
  std::vector<Source> sources;
  std::mt19937 rng(20261209);
  for (size_t n : {size_t{0}, size_t{1}, size_t{5}, size_t{63}, size_t{64}, size_t{200}}) {
    for (int round = 0; round < 3; ++round) {
      Text t = RandomText(rng, n);
      sources.push_back({ENCODING_ASCII, t.escaped, t.cps});
      // Characters of one byte only, so that every letter can carry them.
      Text small;
      for (uint32_t c : t.cps) small.cps.push_back(c & 0xFF);
      for (uint32_t c : small.cps) small.escaped += Canonical(c);
      sources.push_back({ENCODING_ASCII, small.escaped, small.cps});
      Bytes bytes;
      CodePoints bcps;
      for (size_t i = 0; i < n; ++i) {
        const unsigned char b = static_cast<unsigned char>(rng());
        bytes += static_cast<char>(b);
        bcps.push_back(b);
      }
      sources.push_back({ENCODING_BYTES, bytes, bcps});
    }
  }
  return sources;
}

TEST(TextAtomsRoundTrip, PutAndGetMatchIconv) {
  int delivered = 0, refused_put = 0, refused_get = 0;
  for (const Source& s : Sources()) {
    const int64_t count = static_cast<int64_t>(s.cps.size());
    for (uint8_t wire : kLetterBits) {
      const PutResult p = Put(34, s.encoding, s.text, count, wire);
      const Expected want = ForWire(s.cps, wire, s.encoding == ENCODING_ASCII);
      if (want.refused) {
        EXPECT_EQ(p.result, QV_STEP_UNREPRESENTABLE) << "wire " << int(wire) << " " << s.text;
        ++refused_put;
        continue;
      }
      ASSERT_EQ(p.result, QV_STEP_DONE) << "wire " << int(wire) << " " << s.text;
      Bytes a_payload;
      if (wire == ENCODING_ASCII) {
        a_payload = Payload(p.atom);
        if (s.encoding == ENCODING_ASCII) {
          EXPECT_EQ(a_payload, s.text) << "escaped ASCII goes out as written";
        } else {
          EXPECT_EQ(a_payload, want.text);
        }
      } else if (wire != ENCODING_OLDSTRING) {
        EXPECT_EQ(Hex(Payload(p.atom)), Hex(want.text)) << "wire " << int(wire) << " " << s.text;
      }
      // Every payload read back into every caller encoding.
      for (uint8_t target : kTargets) {
        const Expected back = ForCaller(s.cps, target, wire == ENCODING_ASCII ? a_payload : Bytes());
        const GetResult g = Get(p.atom, target);
        if (back.refused) {
          EXPECT_EQ(g.result, QV_STEP_UNREPRESENTABLE) << int(wire) << "->" << int(target);
          ++refused_get;
        } else {
          ++delivered;
          EXPECT_EQ(g.result, QV_STEP_DONE) << int(wire) << "->" << int(target) << " " << s.text;
          EXPECT_EQ(Hex(g.text), Hex(back.text)) << int(wire) << "->" << int(target) << " " << s.text;
          EXPECT_EQ(g.used, p.atom.size());
        }
      }
    }
  }
  // Every path was taken.
  EXPECT_GT(delivered, 100);
  EXPECT_GT(refused_put, 10);
  EXPECT_GT(refused_get, 10);
}

// Text handed over one byte at a time into a window of one byte gives the
// atom of the unsplit put; the atom read one wire byte at a time into a buffer
// of one unit gives the same text as read whole.
TEST(TextAtomsRoundTrip, SplitAtEveryByteChangesNothing) {
  for (const Source& s : Sources()) {
    const int64_t count = static_cast<int64_t>(s.cps.size());
    for (uint8_t wire : kLetterBits) {
      const PutResult whole = Put(34, s.encoding, s.text, count, wire);
      if (whole.result != QV_STEP_DONE) continue;
      three_state st = NewPutState(wire);
      BeginPut(st, 34, s.encoding, count);
      Bytes split;
      EXPECT_EQ(FeedPut(st, Split(s.text, 1), 1, split), QV_STEP_DONE);
      EXPECT_EQ(Hex(split), Hex(whole.atom)) << "wire " << int(wire) << " " << s.text;
      cs__factory(Environment(), QV_FACTORY_DESTROY, &st, nullptr, nullptr);
      for (uint8_t target : kTargets) {
        const GetResult g = Get(whole.atom, target);
        const size_t unit = target == ENCODING_UCS2 || target == ENCODING_UTF16 ? 2 : target == ENCODING_UTF32 ? 4 : 1;
        const GetResult g1 = Get(whole.atom, target, 1, unit);
        EXPECT_EQ(g1.result, g.result);
        EXPECT_EQ(Hex(g1.text), Hex(g.text)) << int(wire) << "->" << int(target);
        // Every delivery is whole characters: no cut escape, no cut surrogate pair.
        for (const Bytes& d : g1.deliveries) {
          EXPECT_EQ(d.size() % unit, 0u);
          if (target == ENCODING_UTF16) {
            const unsigned last = static_cast<unsigned char>(d[d.size() - 2]) |
                                  static_cast<unsigned>(static_cast<unsigned char>(d.back())) << 8;
            EXPECT_FALSE(last >= 0xD800 && last <= 0xDBFF) << "a pair was cut";
          }
          if (target == ENCODING_ASCII) {
            const char* cursor = d.data();
            RVCharacterOffset(&cursor, d.data() + d.size(), -1, 0);
            EXPECT_EQ(cursor, d.data() + d.size()) << "an escape was cut: " << d;
          }
        }
      }
    }
  }
}

TEST(TextAtomsRoundTrip, RandomSplitsChangeNothing) {
  std::mt19937 rng(7);
  const std::vector<Source> sources = Sources();
  for (int round = 0; round < 400; ++round) {
    const Source& s = sources[rng() % sources.size()];
    const uint8_t wire = kLetterBits[rng() % 7];
    const uint8_t target = kTargets[rng() % 6];
    const int64_t count = static_cast<int64_t>(s.cps.size());
    const PutResult whole = Put(34, s.encoding, s.text, count, wire);
    if (whole.result != QV_STEP_DONE) continue;
    std::vector<Bytes> pieces;
    for (size_t at = 0; at < s.text.size();) {
      const size_t n = std::min<size_t>(s.text.size() - at, rng() % 12);
      pieces.push_back(s.text.substr(at, n));
      at += n;
    }
    if (pieces.empty()) pieces.emplace_back();
    three_state st = NewPutState(wire);
    BeginPut(st, 34, s.encoding, count);
    Bytes split;
    EXPECT_EQ(FeedPut(st, pieces, 1 + rng() % 9, split), QV_STEP_DONE);
    EXPECT_EQ(split, whole.atom);
    cs__factory(Environment(), QV_FACTORY_DESTROY, &st, nullptr, nullptr);
    const GetResult g = Get(whole.atom, target);
    const GetResult gs = Get(whole.atom, target, 1 + rng() % 9, 4 + rng() % 9);
    EXPECT_EQ(gs.result, g.result);
    EXPECT_EQ(gs.text, g.text);
  }
}

}  // namespace

// The run copies of UTF-8 to 'D' and UTF-16 to 'E' and back: a long run of
// plain characters ends with a multi-byte character, a surrogate pair or a
// lone surrogate placed at every offset around the end of the write window,
// the wire piece and the caller's buffer. The atom must be the same bytes
// whatever the window, the text must come back whole, and no delivery may end
// inside a character; ill-formed text after a run still fails the atom.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/text/qvatomdriver.h"
#include "text/qvconverter.h"

namespace {

using qvatoms::Bytes;

constexpr uint8_t D = ENCODING_UTF8;
constexpr uint8_t E = ENCODING_UTF16;

Bytes Units16(const std::vector<uint16_t>& units) {
  Bytes b(units.size() * 2, '\0');
  for (size_t i = 0; i < units.size(); ++i) {
    b[2 * i] = static_cast<char>(units[i] & 0xFF);  // this machine's order (little-endian)
    b[2 * i + 1] = static_cast<char>(units[i] >> 8);
  }
  return b;
}

// A delivery ends on a whole character.
bool EndsWhole(const Bytes& d, uint8_t target) {
  if (d.empty()) return true;
  if (target == D) {
    size_t i = d.size();
    int continuation = 0;
    while (i > 0 && (static_cast<unsigned char>(d[i - 1]) & 0xC0) == 0x80) {
      --i;
      ++continuation;
    }
    if (i == 0) return false;
    const unsigned char lead = static_cast<unsigned char>(d[i - 1]);
    const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    return continuation == length - 1;
  }
  if (d.size() % 2 != 0) return false;
  const unsigned last = static_cast<unsigned char>(d[d.size() - 2]) | static_cast<unsigned char>(d.back()) << 8;
  return !(last >= 0xD800 && last <= 0xDBFF);
}

struct RunCase {
  const char* name;
  uint8_t encoding;
  Bytes odd;  // what ends the run
  int64_t odd_chars;
};

TEST(ConverterRuns, ACharacterAtEveryOffsetAroundTheWindowEndChangesNothing) {
  const std::vector<RunCase> cases = {
      {"two-byte", D, "\xC3\xA9", 1},
      {"three-byte", D, "\xE6\x97\xA5", 1},
      {"four-byte", D, "\xF0\x9F\x98\x80", 1},
      {"bmp unit", E, Units16({0x00E9}), 1},
      {"surrogate pair", E, Units16({0xD83D, 0xDE00}), 1},
      {"two pairs", E, Units16({0xD83D, 0xDE00, 0xD834, 0xDD1E}), 2},
  };
  for (const RunCase& c : cases) {
    const int unit = c.encoding == E ? 2 : 1;
    for (int run = 0; run < 40; ++run) {
      const Bytes mark = c.encoding == E ? Units16({0xFEFF}) : Bytes();
      const Bytes plain_run = c.encoding == E ? Units16(std::vector<uint16_t>(static_cast<size_t>(run), 'a'))
                                              : Bytes(static_cast<size_t>(run), 'a');
      const Bytes tail = c.encoding == E ? Units16({'z', 'y'}) : Bytes("zy");
      const Bytes body = plain_run + c.odd + tail;
      const Bytes text = mark + body;
      const int64_t count = (c.encoding == E ? 1 : 0) + run + c.odd_chars + 2;
      const qvatoms::PutResult whole = qvatoms::Put(QV_TOKEN_STRING, c.encoding, text, count, c.encoding);
      ASSERT_EQ(whole.result, QV_STEP_DONE) << c.name;
      ASSERT_GE(whole.atom.size(), body.size());
      EXPECT_EQ(whole.atom.substr(whole.atom.size() - body.size()), body) << c.name << " run " << run;
      for (size_t window = 1; window < 64; ++window) {
        const qvatoms::PutResult p = qvatoms::Put(QV_TOKEN_STRING, c.encoding, text, count, c.encoding, window);
        EXPECT_EQ(p.result, QV_STEP_DONE) << c.name << " run " << run << " window " << window;
        EXPECT_EQ(p.atom, whole.atom) << c.name << " run " << run << " window " << window;
      }
      // The text in pieces goes the collecting way; its atom is the same too.
      for (size_t piece = static_cast<size_t>(unit); piece < 12; piece += static_cast<size_t>(unit)) {
        three_state s = qvatoms::NewPutState(c.encoding);
        qvatoms::BeginPut(s, QV_TOKEN_STRING, c.encoding, count);
        Bytes atom;
        EXPECT_EQ(qvatoms::FeedPut(s, qvatoms::Split(text, piece), 7, atom), QV_STEP_DONE) << c.name;
        cs__factory(qvatoms::Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
        EXPECT_EQ(atom, whole.atom) << c.name << " run " << run << " piece " << piece;
      }
      const Bytes expected = mark + body;
      for (size_t piece : {size_t{1}, size_t{3}, size_t{7}, size_t{16}, size_t{1} << 20}) {
        for (size_t buffer = static_cast<size_t>(unit); buffer < 48; buffer += static_cast<size_t>(unit)) {
          const qvatoms::GetResult g = qvatoms::Get(whole.atom, c.encoding, piece, buffer);
          ASSERT_EQ(g.result, QV_STEP_DONE) << c.name << " run " << run << " piece " << piece << " buffer " << buffer;
          EXPECT_EQ(g.text, expected) << c.name << " run " << run << " piece " << piece << " buffer " << buffer;
          EXPECT_EQ(g.used, whole.atom.size());
          for (const Bytes& d : g.deliveries) EXPECT_TRUE(EndsWhole(d, c.encoding)) << c.name;
        }
      }
    }
  }
}

// Bytes put as 'D': a byte above 0x7F takes two bytes, and may fall on the
// window end after a run of plain ones.
TEST(ConverterRuns, BytesAsUtf8AtEveryOffsetAroundTheWindowEnd) {
  for (int run = 0; run < 40; ++run) {
    const Bytes text = Bytes(static_cast<size_t>(run), 'a') + "\xE9\xFF" + "zy";
    const Bytes payload = Bytes(static_cast<size_t>(run), 'a') + "\xC3\xA9\xC3\xBF" + "zy";
    const int64_t count = static_cast<int64_t>(text.size());
    const qvatoms::PutResult whole = qvatoms::Put(QV_TOKEN_STRING, ENCODING_BYTES, text, count, D);
    ASSERT_EQ(whole.result, QV_STEP_DONE);
    EXPECT_EQ(whole.atom.substr(whole.atom.size() - payload.size()), payload) << "run " << run;
    for (size_t window = 1; window < 64; ++window) {
      const qvatoms::PutResult p = qvatoms::Put(QV_TOKEN_STRING, ENCODING_BYTES, text, count, D, window);
      EXPECT_EQ(p.result, QV_STEP_DONE) << "run " << run << " window " << window;
      EXPECT_EQ(p.atom, whole.atom) << "run " << run << " window " << window;
    }
  }
}

// An 'E' atom built by hand: stray surrogates reach a UTF-16 caller as they
// stand, one right after a run and one as the last unit of the payload.
TEST(ConverterRuns, StraySurrogatesAfterARunReachAUtf16CallerAsSent) {
  for (int run = 0; run < 24; ++run) {
    std::vector<uint16_t> units(static_cast<size_t>(run), 'a');
    units.push_back(0xDC00);  // trailing without leading
    units.push_back('b');
    units.push_back(0xD800);  // leading followed by a plain unit
    units.push_back('c');
    units.push_back(0xD801);  // leading as the last unit
    const Bytes payload = Units16(units);
    const int64_t count = static_cast<int64_t>(units.size());
    ASSERT_LT(count, 64);
    const int64_t length = 3 + static_cast<int64_t>(payload.size());
    ASSERT_LT(length, 64);
    const Bytes atom = Bytes{static_cast<char>(QV_TOKEN_STRING), static_cast<char>(0x40 | length), 'E', '~',
                             static_cast<char>(0x40 | count)} + payload;
    const Bytes expected = Units16({0xFEFF}) + payload;
    for (size_t piece : {size_t{1}, size_t{2}, size_t{5}, size_t{1} << 20}) {
      for (size_t buffer = 2; buffer < 40; buffer += 2) {
        const qvatoms::GetResult g = qvatoms::Get(atom, E, piece, buffer);
        ASSERT_EQ(g.result, QV_STEP_DONE) << "run " << run << " piece " << piece << " buffer " << buffer;
        EXPECT_EQ(g.text, expected) << "run " << run << " piece " << piece << " buffer " << buffer;
        EXPECT_EQ(g.used, atom.size());
      }
    }
  }
}

// Ill-formed text right after a run of good characters fails the atom with 20,
// whatever the window or piece it falls in; so does a lone surrogate. A
// sequence cut off by the end of the payload fails the get too.
TEST(ConverterRuns, IllFormedTextAfterARunFailsTheAtom) {
  const std::vector<RunCase> cases = {
      {"overlong", D, "\xC0\x80", 1},
      {"surrogate in UTF-8", D, "\xED\xA0\x80", 1},
      {"cut sequence", D, "\xE6\x97", 1},
      {"stray continuation", D, "\x80", 1},
      {"lone trailing", E, Units16({0xDC00}), 1},
      {"leading then plain", E, Units16({0xD800, 'x'}), 2},
  };
  for (const RunCase& c : cases) {
    for (int run : {0, 7, 8, 9, 31, 100}) {
      const Bytes mark = c.encoding == E ? Units16({0xFEFF}) : Bytes();
      const Bytes plain_run = c.encoding == E ? Units16(std::vector<uint16_t>(static_cast<size_t>(run), 'a'))
                                              : Bytes(static_cast<size_t>(run), 'a');
      const Bytes text = mark + plain_run + c.odd;
      const int64_t count = (c.encoding == E ? 1 : 0) + run + c.odd_chars;
      for (size_t window : {size_t{5}, size_t{16}, size_t{4096}}) {
        const qvatoms::PutResult p = qvatoms::Put(QV_TOKEN_STRING, c.encoding, text, count, c.encoding, window);
        // A put cannot tell text cut short from text still to come: it asks for more.
        const int64_t expected = c.odd == "\xE6\x97" ? QV_STEP_CALLER : QV_STEP_UNREPRESENTABLE;
        EXPECT_EQ(p.result, expected) << c.name << " run " << run << " window " << window;
      }
      // The same payload on the wire, counted as the put would have.
      if (c.encoding == D) {
        const Bytes payload = plain_run + c.odd;
        const int64_t length = 3 + static_cast<int64_t>(payload.size());
        if (length >= 64 || count >= 64) continue;
        const Bytes atom = Bytes{static_cast<char>(QV_TOKEN_STRING), static_cast<char>(0x40 | length), 'D', '~',
                                 static_cast<char>(0x40 | count)} + payload;
        for (size_t piece : {size_t{1}, size_t{4}, size_t{1} << 20}) {
          const qvatoms::GetResult g = qvatoms::Get(atom, D, piece, 16);
          EXPECT_EQ(g.result, QV_STEP_UNREPRESENTABLE) << c.name << " run " << run << " piece " << piece;
        }
      }
    }
  }
}

}  // namespace

// Text atoms through the converter engine against the floors of the same
// work: memcpy for bytes and plain escaped ASCII, iconv for Latin-1 to UTF-8.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "text/qvconverter.h"

namespace {

constexpr size_t kText = 1 << 16;
constexpr size_t kWindow = 4096;

character_environment* Environment() {
  static character_environment* e = cs__begin([](uint64_t n) { return std::malloc(n); },
                                              [](void* p) { std::free(p); }, nullptr, nullptr, nullptr, nullptr);
  return e;
}

// The texts and buffers live at fixed addresses shared by every benchmark:
// the speed of a large copy depends on where source and target lie, so the
// engine and its floor must copy between the same buffers.
const std::string& Text(bool plain) {
  static std::string texts[2];
  if (texts[0].empty()) {
    for (std::string& t : texts) t.assign(kText, 'a');
    for (size_t i = 0; i < kText; ++i) {
      texts[0][i] = static_cast<char>(0x80 + i % 0x80);
      texts[1][i] = static_cast<char>('a' + i % 26);
    }
  }
  return texts[plain ? 1 : 0];
}

std::vector<unsigned char>& Window() {
  static std::vector<unsigned char> window(kWindow);
  return window;
}

std::vector<unsigned char>& Out() {
  static std::vector<unsigned char> out(kText);
  return out;
}

// One put of the whole text into 4 KiB windows; returns the atom's size.
size_t PutOnce(three_state& s, uint8_t source, const std::string& text, std::vector<unsigned char>& window) {
  s.step = 1;
  s.token = 34;
  s.characters = static_cast<int64_t>(text.size());
  s.encoding = source;
  s.flag = '~';
  unsigned char* cursor = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
  unsigned char* end = cursor + text.size();
  size_t total = 0;
  for (;;) {
    unsigned char* w = window.data();
    const int64_t r = s.next(&s, &cursor, end, &w, window.data() + kWindow);
    total += static_cast<size_t>(w - window.data());
    if (r != QV_STEP_WIRE) break;
  }
  return total;
}

void PutState(three_state& s, uint8_t peer) {
  s = three_state{};
  s.six_digit = 1;
  set_qvbst set{peer, 0};
  cs__factory(Environment(), QV_FACTORY_INIT, &s, nullptr, &set);
}

void BM_PutBytesAsB(benchmark::State& state) {
  const std::string& text = Text(false);
  std::vector<unsigned char>& window = Window();
  three_state s;
  PutState(s, ENCODING_BYTES);
  for (auto _ : state) benchmark::DoNotOptimize(PutOnce(s, ENCODING_BYTES, text, window));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kText));
}

void BM_PutPlainAsciiAsA(benchmark::State& state) {
  const std::string& text = Text(true);
  std::vector<unsigned char>& window = Window();
  three_state s;
  PutState(s, ENCODING_ASCII);
  for (auto _ : state) benchmark::DoNotOptimize(PutOnce(s, ENCODING_ASCII, text, window));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kText));
}

void BM_PutBytesAsD(benchmark::State& state) {
  const std::string& text = Text(false);
  std::vector<unsigned char>& window = Window();
  three_state s;
  PutState(s, ENCODING_UTF8);
  for (auto _ : state) benchmark::DoNotOptimize(PutOnce(s, ENCODING_BYTES, text, window));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kText));
}

void BM_GetBAsBytes(benchmark::State& state) {
  const std::string& text = Text(false);
  three_state p;
  PutState(p, ENCODING_BYTES);
  std::vector<unsigned char> atom(kText + 16);
  {
    unsigned char* cursor = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
    unsigned char* w = atom.data();
    p.step = 1, p.token = 34, p.characters = kText, p.encoding = ENCODING_BYTES;
    p.next(&p, &cursor, cursor + text.size(), &w, atom.data() + atom.size());
    atom.resize(static_cast<size_t>(w - atom.data()));
  }
  std::vector<unsigned char>& out = Out();
  three_state g{};
  cs__factory(Environment(), QV_FACTORY_INIT, &g, nullptr, nullptr);
  for (auto _ : state) {
    uint64_t token;
    int64_t length;
    const int64_t prefix = qvatom_read_prefix(atom.data(), static_cast<int64_t>(atom.size()), &token, &length, 1 << 30);
    g.step = 2, g.token = token, g.wire_left = length, g.encoding = ENCODING_BYTES;
    unsigned char* cursor = atom.data() + prefix;
    unsigned char* o = out.data();
    benchmark::DoNotOptimize(g.next(&g, &o, out.data() + out.size(), &cursor, atom.data() + atom.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kText));
}

// The same copies as a put of bytes: a 5-byte header, then the text into
// 4 KiB windows at the same offsets.
void BM_FloorMemcpyIntoWindows(benchmark::State& state) {
  const std::string& text = Text(false);
  std::vector<unsigned char>& window = Window();
  for (auto _ : state) {
    size_t offset = 5;
    for (size_t at = 0; at < kText;) {
      const size_t n = std::min(kWindow - offset, kText - at);
      std::memcpy(window.data() + offset, text.data() + at, n);
      benchmark::ClobberMemory();
      at += n;
      offset = 0;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kText));
}

// The copy of a get of bytes: the whole text into the caller's buffer.
void BM_FloorMemcpyWhole(benchmark::State& state) {
  const std::string& text = Text(false);
  std::vector<unsigned char>& out = Out();
  for (auto _ : state) {
    std::memcpy(out.data(), text.data() + 5, kText - 5);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kText));
}

void BM_FloorIconvLatin1ToUtf8(benchmark::State& state) {
  std::string text = Text(false);
  std::vector<char> out(kText * 2);
  iconv_t cd = iconv_open("UTF-8", "ISO-8859-1");
  for (auto _ : state) {
    char* ip = text.data();
    size_t il = text.size();
    char* op = out.data();
    size_t ol = out.size();
    benchmark::DoNotOptimize(iconv(cd, &ip, &il, &op, &ol));
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kText));
}

BENCHMARK(BM_FloorMemcpyIntoWindows);
BENCHMARK(BM_PutBytesAsB);
BENCHMARK(BM_PutPlainAsciiAsA);
BENCHMARK(BM_FloorMemcpyWhole);
BENCHMARK(BM_GetBAsBytes);
BENCHMARK(BM_FloorIconvLatin1ToUtf8);
BENCHMARK(BM_PutBytesAsD);

}  // namespace

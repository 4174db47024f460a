// Put and get of 1 MiB of mixed text through the converter pairs a link uses
// most: UTF-8 caller text as a 'D' atom and UTF-16 caller text as an 'E' atom,
// in 64 KiB write windows and read pieces. The floor is iconv on the same text
// in the same run (a validating copy of the same encoding, and the change of
// encoding), and memcpy.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "text/qvconverter.h"
#include "text/qvconverterinternal.h"

#include "qvbenchtext.h"

namespace {

constexpr size_t kWindow = 1 << 16;

using qvbench::MixedUtf8;

std::string Iconv(const std::string& in, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open");
  std::string out(in.size() * 2 + 16, '\0');
  char* ip = const_cast<char*>(in.data());
  size_t il = in.size();
  char* op = out.data();
  size_t ol = out.size();
  const size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) throw std::runtime_error("iconv");
  out.resize(out.size() - ol);
  return out;
}

// The same text as UTF-16 caller text: a mark in this machine's order first.
const std::string& MixedUtf16() {
  static const std::string text = std::string("\xFF\xFE", 2) + Iconv(MixedUtf8(), "UTF-8", "UTF-16LE");
  return text;
}

int64_t Characters(const std::string& utf8) {
  int64_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
  return n;
}

bool Routed() {
  using namespace Quorvane::textatoms;
  return kCodecs[kUtf8].read_caller != nullptr && kCodecs[kUtf16].read_caller != nullptr &&
         kCodecs[kUtf8].read_wire != nullptr && kCodecs[kUtf16].read_wire != nullptr;
}

character_environment* Environment() {
  static character_environment* environment =
      cs__begin([](uint64_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }, nullptr, nullptr,
                nullptr, nullptr);
  return environment;
}

// One put of the whole text into windows; returns the atom.
const std::string& PutAtom(const std::string& text, uint8_t source, int64_t count, uint8_t peer, std::string& atom) {
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
  atom.clear();
  std::vector<unsigned char> window(kWindow);
  unsigned char* cursor = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
  unsigned char* end = cursor + text.size();
  int64_t r;
  do {
    unsigned char* w = window.data();
    r = s.next(&s, &cursor, end, &w, window.data() + window.size());
    atom.append(reinterpret_cast<char*>(window.data()), static_cast<size_t>(w - window.data()));
  } while (r == QV_STEP_WIRE);
  cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
  if (r != QV_STEP_DONE) throw std::runtime_error("put failed");
  return atom;
}

// One get of the atom, read in window-sized pieces, into one caller buffer.
void GetText(const std::string& atom, uint8_t target, std::string& out) {
  uint64_t token = 0;
  int64_t length = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(atom.data());
  const int64_t prefix = qvatom_read_prefix(p, static_cast<int64_t>(atom.size()), &token, &length, 1 << 30);
  if (prefix <= 0) throw std::runtime_error("prefix");
  three_state s{};
  s.wire_left = s.token_count = s.characters = s.delivered = -1;
  cs__factory(Environment(), QV_FACTORY_INIT, &s, nullptr, nullptr);
  s.step = 2;
  s.token = token;
  s.wire_left = length;
  s.encoding = target;
  unsigned char* wire = const_cast<unsigned char*>(p) + prefix;
  unsigned char* const wire_end = const_cast<unsigned char*>(p) + atom.size();
  unsigned char* caller = reinterpret_cast<unsigned char*>(out.data());
  unsigned char* const caller_end = caller + out.size();
  int64_t r;
  do {
    unsigned char* piece_end = wire + std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(kWindow), wire_end - wire);
    r = s.next(&s, &caller, caller_end, &wire, piece_end);
  } while (r == QV_STEP_WIRE);
  cs__factory(Environment(), QV_FACTORY_DESTROY, &s, nullptr, nullptr);
  if (r != QV_STEP_DONE) throw std::runtime_error("get failed");
}

void BM_PutUtf8AsD(benchmark::State& state) {
  if (!Routed()) return state.SkipWithError("the engine has no UTF-8 row");
  const std::string& text = MixedUtf8();
  const int64_t count = Characters(text);
  std::string atom;
  for (auto _ : state) benchmark::DoNotOptimize(PutAtom(text, ENCODING_UTF8, count, ENCODING_UTF8, atom).data());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_GetDAsUtf8(benchmark::State& state) {
  if (!Routed()) return state.SkipWithError("the engine has no UTF-8 row");
  const std::string& text = MixedUtf8();
  std::string atom;
  PutAtom(text, ENCODING_UTF8, Characters(text), ENCODING_UTF8, atom);
  std::string out(text.size() + 16, '\0');
  for (auto _ : state) {
    GetText(atom, ENCODING_UTF8, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_PutUtf16AsE(benchmark::State& state) {
  if (!Routed()) return state.SkipWithError("the engine has no UTF-16 row");
  const std::string& text = MixedUtf16();
  const int64_t count = Characters(MixedUtf8()) + 1;  // and the mark
  std::string atom;
  for (auto _ : state) benchmark::DoNotOptimize(PutAtom(text, ENCODING_UTF16, count, ENCODING_UTF16, atom).data());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_GetEAsUtf16(benchmark::State& state) {
  if (!Routed()) return state.SkipWithError("the engine has no UTF-16 row");
  const std::string& text = MixedUtf16();
  std::string atom;
  PutAtom(text, ENCODING_UTF16, Characters(MixedUtf8()) + 1, ENCODING_UTF16, atom);
  std::string out(text.size() + 16, '\0');
  for (auto _ : state) {
    GetText(atom, ENCODING_UTF16, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

// The floors, on the same text.
void BM_IconvUtf8ToUtf8(benchmark::State& state) {
  const std::string& text = MixedUtf8();
  for (auto _ : state) benchmark::DoNotOptimize(Iconv(text, "UTF-8", "UTF-8").data());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_IconvUtf16ToUtf16(benchmark::State& state) {
  const std::string text = MixedUtf16().substr(2);
  for (auto _ : state) benchmark::DoNotOptimize(Iconv(text, "UTF-16LE", "UTF-16LE").data());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_IconvUtf8ToUtf16(benchmark::State& state) {
  const std::string& text = MixedUtf8();
  for (auto _ : state) benchmark::DoNotOptimize(Iconv(text, "UTF-8", "UTF-16LE").data());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_IconvUtf16ToUtf8(benchmark::State& state) {
  const std::string text = MixedUtf16().substr(2);
  for (auto _ : state) benchmark::DoNotOptimize(Iconv(text, "UTF-16LE", "UTF-8").data());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_Memcpy(benchmark::State& state) {
  const std::string& text = MixedUtf8();
  std::string out(text.size(), '\0');
  for (auto _ : state) {
    std::memcpy(out.data(), text.data(), text.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

BENCHMARK(BM_PutUtf8AsD)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetDAsUtf8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IconvUtf8ToUtf8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PutUtf16AsE)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetEAsUtf16)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IconvUtf16ToUtf16)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IconvUtf8ToUtf16)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IconvUtf16ToUtf8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond);

}  // namespace

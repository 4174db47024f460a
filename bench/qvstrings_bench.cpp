// A 1 MiB UTF-8 string put with RVPutUTF8String and got with
// RVGetUTF8String over a loopback link, beside its floor measured in the
// same run: the text layer's converters alone turning the same text into the
// atom the link writes (in 4 KiB windows) and back into one buffer.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/qvenvironment.h"
#include "api/qvlink.h"
#include "bench/qvbenchtext.h"
#include "bench/qvbenchlink.h"
#include "quorvane.h"
#include "text/qvconverter.h"
#include "text/qvunicode.h"

namespace {

constexpr size_t kWindow = 4096;

using qvbench::LoopbackLink;

void BM_Utf8StringThroughTheLink(benchmark::State& state) {
  const std::string& text = qvbench::MixedUtf8();
  LoopbackLink loopback;
  QVLink* link = loopback.get();
  if (link == nullptr) return state.SkipWithError("no link");
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const int length = static_cast<int>(text.size());
  for (auto _ : state) {
    if (RVPutUTF8String(link, bytes, length) != 1 || RVEndPacket(link) != 1 || RVFlush(link) != 1) {
      return state.SkipWithError("put failed");
    }
    const unsigned char* got = nullptr;
    int got_bytes = 0;
    int characters = 0;
    if (RVGetUTF8String(link, &got, &got_bytes, &characters) != 1 || got_bytes != length) {
      return state.SkipWithError("get failed");
    }
    benchmark::DoNotOptimize(got[got_bytes / 2]);
    RVReleaseUTF8String(link, got);
    if (RVNewPacket(link) != 1) return state.SkipWithError("packet end not read");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Utf8StringThroughTheLink)->Unit(benchmark::kMicrosecond);

character_environment* Environment() {
  static character_environment* e = cs__begin([](uint64_t n) { return std::malloc(n); },
                                              [](void* p) { std::free(p); }, nullptr, nullptr, nullptr, nullptr);
  return e;
}

// The floor: the same text put into an atom through 4 KiB windows, then the
// atom got back into one buffer, by the converters alone.
void BM_FloorConvertersAlone(benchmark::State& state) {
  const std::string& text = qvbench::MixedUtf8();
  std::vector<unsigned char> atom(text.size() + 64);
  std::vector<unsigned char> out(text.size() + 16);
  // The encodings the link's writer may choose from, so that both write the
  // same atom.
  LoopbackLink loopback;
  if (loopback.get() == nullptr) return state.SkipWithError("no link");
  set_qvbst peer = loopback.get()->writeState->features.encodings;
  three_state put{};
  put.six_digit = 1;
  cs__factory(Environment(), QV_FACTORY_INIT, &put, nullptr, &peer);
  three_state get{};
  cs__factory(Environment(), QV_FACTORY_INIT, &get, nullptr, nullptr);
  int64_t characters = 0;
  QVCountUnicodePointsInUTF8String(reinterpret_cast<const unsigned char*>(text.data()),
                                   static_cast<int64_t>(text.size()), &characters);
  for (auto _ : state) {
    put.step = 1;
    put.token = QV_TOKEN_STRING;
    put.characters = characters;
    put.encoding = ENCODING_UTF8;
    put.flag = '~';
    auto* cursor = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
    unsigned char* end = cursor + text.size();
    unsigned char* w = atom.data();
    int64_t r = 0;
    do {
      unsigned char* window_end = std::min(w + kWindow, atom.data() + atom.size());
      r = put.next(&put, &cursor, end, &w, window_end);
    } while (r == QV_STEP_WIRE);
    if (r != QV_STEP_DONE) return state.SkipWithError(("converter put failed: " + std::to_string(r)).c_str());
    const auto atom_size = static_cast<int64_t>(w - atom.data());
    uint64_t token = 0;
    int64_t length = 0;
    const int64_t prefix = qvatom_read_prefix(atom.data(), atom_size, &token, &length, int64_t{1} << 30);
    if (prefix <= 0) return state.SkipWithError("no atom prefix");
    get.step = 2;
    get.token = token;
    get.wire_left = length;
    get.encoding = ENCODING_UTF8;
    unsigned char* wire = atom.data() + prefix;
    unsigned char* o = out.data();
    if (get.next(&get, &o, out.data() + out.size(), &wire, atom.data() + atom_size) != QV_STEP_DONE ||
        static_cast<size_t>(o - out.data()) != text.size()) {
      return state.SkipWithError("converter get failed");
    }
    benchmark::DoNotOptimize(out[text.size() / 2]);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_FloorConvertersAlone)->Unit(benchmark::kMicrosecond);

}  // namespace

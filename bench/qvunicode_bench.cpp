// Whole-string UTF-8 <-> UTF-16 conversion of 1 MiB of mixed text, beside the
// C library's iconv on the same text (the floor).
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "text/qvunicode.h"

#include "qvbenchtext.h"

namespace {

using qvbench::MixedUtf8;

const std::vector<unsigned short>& MixedUTF16() {
  static const std::vector<unsigned short> units = [] {
    const std::string& s = MixedUtf8();
    int64_t n = 0;
    if (QVCountUTF16SizeOfUTF8String(reinterpret_cast<const unsigned char*>(s.data()),
                                     static_cast<int64_t>(s.size()), &n) != 1) {
      throw std::runtime_error("sizing failed");
    }
    std::vector<unsigned short> u(n + 1);
    if (QVConvertUTF8StringToUTF16String(reinterpret_cast<const unsigned char*>(s.data()),
                                         static_cast<int64_t>(s.size()), u.data(), n + 1) != 1) {
      throw std::runtime_error("conversion failed");
    }
    return u;  // begins with the mark in this machine's order
  }();
  return units;
}

void RunIconv(benchmark::State& state, const char* to, const char* from, const char* in, size_t in_size,
              size_t out_size) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    state.SkipWithError("iconv_open failed");
    return;
  }
  std::string out(out_size, '\0');
  for (auto _ : state) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* i = const_cast<char*>(in);
    size_t il = in_size;
    char* o = out.data();
    size_t ol = out.size();
    if (iconv(cd, &i, &il, &o, &ol) == static_cast<size_t>(-1)) state.SkipWithError("iconv failed");
    benchmark::DoNotOptimize(o);
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in_size));
}

void BM_UTF8ToUTF16_Quorvane(benchmark::State& state) {
  const std::string& s = MixedUtf8();
  std::vector<unsigned short> out(MixedUTF16().size());
  for (auto _ : state) {
    const int r = QVConvertUTF8StringToUTF16String(reinterpret_cast<const unsigned char*>(s.data()),
                                                   static_cast<int64_t>(s.size()), out.data(),
                                                   static_cast<int64_t>(out.size()));
    if (r != 1) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}

void BM_UTF8ToUTF16_Iconv(benchmark::State& state) {
  const std::string& s = MixedUtf8();
  RunIconv(state, "UTF-16LE", "UTF-8", s.data(), s.size(), MixedUTF16().size() * 2);
}

void BM_UTF16ToUTF8_Quorvane(benchmark::State& state) {
  const auto& u = MixedUTF16();
  std::vector<unsigned char> out(MixedUtf8().size());
  for (auto _ : state) {
    const int r = QVConvertUTF16StringToUTF8String(u.data(), static_cast<int64_t>(u.size()), out.data(),
                                                   static_cast<int64_t>(out.size()));
    if (r != 1) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (u.size() - 1) * 2));
}

void BM_UTF16ToUTF8_Iconv(benchmark::State& state) {
  const auto& u = MixedUTF16();
  // Without the mark: plain little-endian units, as iconv expects them.
  RunIconv(state, "UTF-8", "UTF-16LE", reinterpret_cast<const char*>(u.data() + 1), (u.size() - 1) * 2,
           MixedUtf8().size());
}

BENCHMARK(BM_UTF8ToUTF16_Quorvane);
BENCHMARK(BM_UTF8ToUTF16_Iconv);
BENCHMARK(BM_UTF16ToUTF8_Quorvane);
BENCHMARK(BM_UTF16ToUTF8_Iconv);

}  // namespace

// The numeric dispatcher over whole arrays, beside a plain conversion loop over
// the same data in the same run; and numbers to and from text, beside bare
// snprintf and strtod.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "api/qvnumericdispatch.h"

namespace {

constexpr size_t kMiB = size_t{1} << 20;

std::vector<double> Doubles(size_t n) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> d(-1e6, 1e6);
  std::vector<double> v(n);
  for (double& x : v) x = d(rng);
  return v;
}
std::vector<int64_t> Longs(size_t n) {
  std::mt19937_64 rng(9);
  std::uniform_int_distribution<int64_t> d(-2000000000, 2000000000);
  std::vector<int64_t> v(n);
  for (int64_t& x : v) x = d(rng);
  return v;
}

template <typename From, typename To>
void Report(benchmark::State& state, size_t elements) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * elements * sizeof(From)));
}

void BM_DoubleToSingle_Dispatcher(benchmark::State& state) {
  auto in = Doubles(kMiB / sizeof(double));
  std::vector<float> out(in.size());
  for (auto _ : state) {
    long count = static_cast<long>(in.size());
    benchmark::DoNotOptimize(qvne__dispatch(qvne_selector(244, 246), out.data(), in.data(), &count));
    benchmark::ClobberMemory();
  }
  Report<double, float>(state, in.size());
}
void BM_DoubleToSingle_PlainLoop(benchmark::State& state) {
  auto in = Doubles(kMiB / sizeof(double));
  std::vector<float> out(in.size());
  for (auto _ : state) {
    for (size_t i = 0; i < in.size(); ++i) out[i] = static_cast<float>(in[i]);
    benchmark::ClobberMemory();
  }
  Report<double, float>(state, in.size());
}

void BM_LongToInt_Dispatcher(benchmark::State& state) {
  auto in = Longs(kMiB / sizeof(int64_t));
  std::vector<int32_t> out(in.size());
  for (auto _ : state) {
    long count = static_cast<long>(in.size());
    benchmark::DoNotOptimize(qvne__dispatch(qvne_selector(228, 230), out.data(), in.data(), &count));
    benchmark::ClobberMemory();
  }
  Report<int64_t, int32_t>(state, in.size());
}
void BM_LongToInt_PlainLoop(benchmark::State& state) {
  auto in = Longs(kMiB / sizeof(int64_t));
  std::vector<int32_t> out(in.size());
  for (auto _ : state) {
    for (size_t i = 0; i < in.size(); ++i) out[i] = static_cast<int32_t>(in[i]);
    benchmark::ClobberMemory();
  }
  Report<int64_t, int32_t>(state, in.size());
}

constexpr size_t kTextSamples = 4096;

void BM_DoubleToText_Dispatcher(benchmark::State& state) {
  auto in = Doubles(kTextSamples);
  unsigned char buffer[128];
  size_t i = 0;
  for (auto _ : state) {
    long count = sizeof buffer;
    benchmark::DoNotOptimize(qvne__dispatch(qvne_selector(42, 246), buffer, &in[i++ % kTextSamples], &count));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
void BM_DoubleToText_Snprintf(benchmark::State& state) {
  auto in = Doubles(kTextSamples);
  char buffer[128];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::snprintf(buffer, sizeof buffer, "%.*g", 17, in[i++ % kTextSamples]));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

std::vector<std::string> Texts() {
  std::vector<std::string> out;
  char buffer[64];
  for (double x : Doubles(kTextSamples)) {
    std::snprintf(buffer, sizeof buffer, "%.17g", x);
    out.emplace_back(buffer);
  }
  return out;
}
void BM_TextToDouble_Dispatcher(benchmark::State& state) {
  auto texts = Texts();
  double out = 0;
  size_t i = 0;
  for (auto _ : state) {
    std::string& text = texts[i++ % kTextSamples];
    long count = static_cast<long>(text.size());
    benchmark::DoNotOptimize(qvne__dispatch(qvne_selector(246, 42), &out, text.data(), &count));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
void BM_TextToDouble_Strtod(benchmark::State& state) {
  auto texts = Texts();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::strtod(texts[i++ % kTextSamples].c_str(), nullptr));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_DoubleToSingle_Dispatcher);
BENCHMARK(BM_DoubleToSingle_PlainLoop);
BENCHMARK(BM_LongToInt_Dispatcher);
BENCHMARK(BM_LongToInt_PlainLoop);
BENCHMARK(BM_DoubleToText_Dispatcher);
BENCHMARK(BM_DoubleToText_Snprintf);
BENCHMARK(BM_TextToDouble_Dispatcher);
BENCHMARK(BM_TextToDouble_Strtod);

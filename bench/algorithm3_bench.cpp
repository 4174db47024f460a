// One algorithm3 call on a 250-day series, for each window length, against a
// floor: the same number of day steps doing only the five-value deviation.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <random>

#include "application/qvalgorithm3.h"
#include "application/qvstatistics.h"

namespace {

constexpr int kDays = 250;

struct Series {
  std::array<double, kDays> b, h, l, e, huan;
  Series() {
    std::mt19937_64 rng(20261209);
    std::normal_distribution<double> move(0.0, 0.02);
    std::lognormal_distribution<double> turnover(-1.5, 0.7);
    double close = 42.0;
    for (int i = kDays - 1; i >= 0; --i) {  // oldest day first
      const double open = std::round(close * (1.0 + move(rng) / 3.0) * 100.0) / 100.0;
      close = std::round(open * (1.0 + move(rng)) * 100.0) / 100.0;
      b[i] = open;
      e[i] = close;
      h[i] = std::round(std::max(open, close) * (1.0 + std::abs(move(rng))) * 100.0) / 100.0;
      l[i] = std::round(std::min(open, close) * (1.0 - std::abs(move(rng))) * 100.0) / 100.0;
      huan[i] = turnover(rng);
    }
  }
};

// Day steps of one call: 244 sweep cycles of 200 passes of time + 1 days,
// then the run's days.
long DaySteps(int time) { return 244L * 200L * (time + 1) + 196L; }

void BM_Algorithm3Call(benchmark::State& state) {
  const Series s;
  const int time = static_cast<int>(state.range(0));
  for (auto _ : state) {
    const Quorvane::QVAlgorithm3Outcome outcome =
        Quorvane::RunAlgorithm3(s.b.data(), kDays, s.h.data(), kDays, s.l.data(), kDays, s.e.data(), kDays,
                                s.huan.data(), kDays, time, 0.4, 0.3, 0.2, 0.1);
    benchmark::DoNotOptimize(outcome.value);
    if (outcome.status != Quorvane::qvalgorithm3status::ok) {
      state.SkipWithError("the call was refused");
      break;
    }
  }
  state.counters["day_steps"] = static_cast<double>(DaySteps(time));
}
BENCHMARK(BM_Algorithm3Call)->DenseRange(1, 5)->Unit(benchmark::kMicrosecond);

void BM_DeviationFloor(benchmark::State& state) {
  const Series s;
  const long steps = DaySteps(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    double sum = 0.0;
    for (long n = 0; n < steps; ++n) {
      const int i = 6 + static_cast<int>(n % 240);
      sum += Quorvane::STDEVP(s.b[i], s.h[i + 1], s.l[i + 1], s.b[i + 1], s.e[i + 1]);
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_DeviationFloor)->DenseRange(1, 5)->Unit(benchmark::kMicrosecond);

}  // namespace

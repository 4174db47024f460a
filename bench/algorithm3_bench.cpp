// One algorithm3 call on a 250-day series, for each window length, against
// its floor in the same run: the same call computed the way the program did
// before its sweep ran in lanes and threads (one pass after another, one day
// step at a time). The program's code is timed on the calling thread alone
// and on every thread the process may use: the compute threads are as many as
// the processors in the affinity mask when they start, so run the benchmark
// under taskset (for example taskset -c 0-7) to choose them. Times are wall
// clock.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <random>

#include "application/qvalgorithm3.h"
#include "application/qvalgorithm3reference.h"
#include "application/qvalgorithm3sweep.h"
#include "application/qvcomputethreads.h"

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

template <typename Call>
void TimeCalls(benchmark::State& state, Call call) {
  const Series s;
  const int time = static_cast<int>(state.range(0));
  for (auto _ : state) {
    const Quorvane::QVAlgorithm3Outcome outcome = call(s, time);
    benchmark::DoNotOptimize(outcome.value);
    if (outcome.status != Quorvane::qvalgorithm3status::ok) {
      state.SkipWithError("the call was refused");
      break;
    }
  }
  state.counters["day_steps"] = static_cast<double>(DaySteps(time));
}

void BM_Algorithm3Reference(benchmark::State& state) {
  TimeCalls(state, [](const Series& s, int time) {
    return Quorvane::reference::RunAlgorithm3(s.b.data(), kDays, s.h.data(), kDays, s.l.data(), kDays, s.e.data(),
                                              kDays, s.huan.data(), kDays, time, 0.4, 0.3, 0.2, 0.1);
  });
}
BENCHMARK(BM_Algorithm3Reference)->DenseRange(1, 5)->Unit(benchmark::kMicrosecond)->UseRealTime();

void TimeProgram(benchmark::State& state, const Quorvane::QVAlgorithm3Spread& spread) {
  TimeCalls(state, [&spread](const Series& s, int time) {
    return Quorvane::RunAlgorithm3(s.b.data(), kDays, s.h.data(), kDays, s.l.data(), kDays, s.e.data(), kDays,
                                   s.huan.data(), kDays, time, 0.4, 0.3, 0.2, 0.1, spread);
  });
  state.counters["lanes"] = (spread.lanes != nullptr ? *spread.lanes : Quorvane::Algorithm3WidestLanes()).width;
}

void BM_Algorithm3OneThread(benchmark::State& state) { TimeProgram(state, {nullptr, 1}); }
BENCHMARK(BM_Algorithm3OneThread)->DenseRange(1, 5)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The two lanes every x86-64 processor has, for processors without AVX2.
void BM_Algorithm3OneThreadSse2(benchmark::State& state) {
  TimeProgram(state, {&Quorvane::kAlgorithm3Sse2Lanes, 1});
}
BENCHMARK(BM_Algorithm3OneThreadSse2)->DenseRange(1, 5)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Algorithm3AllThreads(benchmark::State& state) {
  TimeProgram(state, {});
  state.counters["threads"] = Quorvane::ComputeThreadCount();
}
BENCHMARK(BM_Algorithm3AllThreads)->DenseRange(1, 5)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

// Calendar breakdown against the C library's gmtime_r (the floor).
#include <benchmark/benchmark.h>

#include <ctime>

#include "utilities/qvtimes.h"

namespace {

void BM_Gmtime(benchmark::State& state) {
  time_t t = 978307200;
  struct tm out;
  for (auto _ : state) {
    t += 86399;
    benchmark::DoNotOptimize(gmtime_r(&t, &out));
  }
}

void BM_DateComponents(benchmark::State& state) {
  double s = 0.0;
  for (auto _ : state) {
    s += 86399.0;
    Quorvane::QVDateComponents c(2001, s);
    benchmark::DoNotOptimize(c.Year);
  }
}

BENCHMARK(BM_Gmtime);
BENCHMARK(BM_DateComponents);

}  // namespace

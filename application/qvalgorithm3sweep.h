// The sweep of the price-band simulation. Its 244 cycles (end days 249 down
// to 6) are independent of each other, and so are the 200 passes of a cycle:
// the passes run side by side in vector lanes, the cycles on the compute
// threads (application/qvcomputethreads.h). Each lane does what the one-value
// day step does, in the same order, so the answer is the same bits.
#pragma once

#include "application/qvalgorithm3steps.h"
#include "application/qvstatistics.h"

namespace Quorvane {

constexpr int kSweepPasses = 200;
constexpr int kFirstSweepDay = 249;
constexpr int kLastSweepDay = 6;
constexpr int kSweepCycles = kFirstSweepDay - kLastSweepDay + 1;
constexpr int kLongestWindow = 6;  // time + 1 days, time at most 5
static_assert(kSweepPasses <= kPassSlots, "every pass has its slot");

// The k of each pass and its square: k is a running sum of 0.01 from 0.0 while
// it stays at or below 2.0 (it passes 2.0 after 200 additions). Made by the
// compiler, whose double arithmetic rounds like the processor's; the functions
// exist only then, so no instruction set's file emits a copy of them.
struct QVAlgorithm3SweepKs {
  double k[kSweepPasses] = {};
  double kk[kSweepPasses] = {};
};
consteval int CountSweepPasses() {
  int passes = 0;
  for (double k = 0.0; k <= 2.0; k = 0.01 + k) ++passes;
  return passes;
}
static_assert(CountSweepPasses() == kSweepPasses, "the sweep makes 200 passes, k = 0.00 to 1.99");
consteval QVAlgorithm3SweepKs MakeSweepKs() {
  QVAlgorithm3SweepKs ks;
  double k = 0.0;
  for (int p = 0; p < kSweepPasses; ++p) {
    ks.k[p] = k;
    ks.kk[p] = k * k;
    k = 0.01 + k;
  }
  return ks;
}
inline constexpr QVAlgorithm3SweepKs kSweepKs = MakeSweepKs();

// One day of a sweep cycle for every pass: its buy and sell levels, or none
// when the day is quiet (no pass trades).
struct QVAlgorithm3SweepDay {
  alignas(64) double buy[kSweepPasses];
  alignas(64) double sell[kSweepPasses];
  bool trades;
};

// What the cycles read: the call's series and the indicators of every day
// that has them.
struct QVAlgorithm3SweepInput {
  const QVAlgorithm3Series* series;
  const QVAlgorithm3Indicators* indicators;  // days 0 to kLastIndicatorDay
  int time;
};

// What a processor needs beyond the x86-64 baseline to run a set of lanes.
enum class qvalgorithm3isa { baseline, avx2 };

// The rules for one width of lanes, built for one instruction set.
struct QVAlgorithm3Lanes {
  const char* name;
  int width;
  qvalgorithm3isa isa;
  // Day i for every pass; marks the truncation faults of its levels.
  void (*day)(const QVAlgorithm3SweepInput& input, int i, QVAlgorithm3SweepDay& day, QVAlgorithm3Faults& faults);
  // The cycle ending on day t: days[n] is day t - n, n = 0 to time; res[p]
  // gets pass p's equity on day t - time (slots from 200 on are left alone).
  void (*cycle)(const QVAlgorithm3SweepInput& input, int t, const QVAlgorithm3SweepDay* const* days, double* res,
                QVAlgorithm3Faults& faults);
};

extern const QVAlgorithm3Lanes kAlgorithm3Sse2Lanes;  // 2 lanes, every x86-64 processor
extern const QVAlgorithm3Lanes kAlgorithm3Avx2Lanes;  // 4 lanes

// Whether this processor runs the lanes.
bool Algorithm3LanesSupported(const QVAlgorithm3Lanes& lanes);

// The widest lanes this processor runs, chosen once.
const QVAlgorithm3Lanes& Algorithm3WidestLanes();

// How a sweep spreads its work; the defaults are the program's.
struct QVAlgorithm3Spread {
  const QVAlgorithm3Lanes* lanes = nullptr;  // null: the widest this processor runs
  int threads = 0;                           // at most this many threads; 0: every one allowed
};

// The indicators of days 0 to kLastIndicatorDay.
void Algorithm3Indicators(const QVAlgorithm3Series& s, QVAlgorithm3Indicators* indicators);

// The whole sweep, days 249 down to 6; best[t - time - 1] gets the k that won
// the cycle ending on day t. best holds kAlgorithm3Days values.
void Algorithm3Sweep(const QVAlgorithm3Series& s, int time, double* best, QVAlgorithm3Faults& faults,
                     const QVAlgorithm3Spread& spread = {});

}  // namespace Quorvane

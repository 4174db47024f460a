// The cycles are cut into runs of consecutive end days, one run per part.
// Cycle t trades days t down to t - time, so consecutive cycles share all but
// one day: a run makes each day's levels once, into a window of the last
// kLongestWindow days. Each part keeps its own faults; they are joined at the
// end (a fault is a flag, so the order does not matter), and each part writes
// best only at its own cycles' slots.
#include "application/qvalgorithm3sweep.h"

#include <algorithm>

#include "application/qvcomputethreads.h"

namespace Quorvane {

namespace {

// A part costs its first cycles' days again (time of them); two parts per
// thread let a thread that the system runs late leave its second part to the
// others for a few days more of work.
constexpr int kPartsPerThread = 2;
constexpr int kMostParts = 128;

struct SweepParts {
  const QVAlgorithm3Lanes* lanes;
  QVAlgorithm3SweepInput input;
  double* best;
  int parts;
  QVAlgorithm3Faults faults[kMostParts];
};

// Cycles first down to last, both included.
void SweepCycles(const QVAlgorithm3Lanes& lanes, const QVAlgorithm3SweepInput& input, int first, int last,
                 double* best, QVAlgorithm3Faults& faults) {
  QVAlgorithm3SweepDay window[kLongestWindow];  // day i in window[i % kLongestWindow]
  double res[kPassSlots] = {};                  // slots from 200 on stay 0.0, as zuidazhi expects
  int nextDay = first;                          // the latest day whose levels are not made yet
  for (int t = first; t >= last; --t) {
    for (; nextDay >= t - input.time; --nextDay) lanes.day(input, nextDay, window[nextDay % kLongestWindow], faults);
    const QVAlgorithm3SweepDay* days[kLongestWindow];
    for (int n = 0; n <= input.time; ++n) days[n] = &window[(t - n) % kLongestWindow];
    lanes.cycle(input, t, days, res, faults);
    best[t - input.time - 1] = zuidazhi(res);
  }
}

void SweepPart(void* context, int part) {
  SweepParts& sweep = *static_cast<SweepParts*>(context);
  const int first = kFirstSweepDay - part * kSweepCycles / sweep.parts;
  const int last = kFirstSweepDay - (part + 1) * kSweepCycles / sweep.parts + 1;
  SweepCycles(*sweep.lanes, sweep.input, first, last, sweep.best, sweep.faults[part]);
}

}  // namespace

bool Algorithm3LanesSupported(const QVAlgorithm3Lanes& lanes) {
  switch (lanes.isa) {
    case qvalgorithm3isa::baseline:
      return true;
    case qvalgorithm3isa::avx2:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2");
  }
  return false;
}

const QVAlgorithm3Lanes& Algorithm3WidestLanes() {
  static const QVAlgorithm3Lanes& widest =
      Algorithm3LanesSupported(kAlgorithm3Avx2Lanes) ? kAlgorithm3Avx2Lanes : kAlgorithm3Sse2Lanes;
  return widest;
}

void Algorithm3Indicators(const QVAlgorithm3Series& s, QVAlgorithm3Indicators* indicators) {
  for (int i = 0; i <= kLastIndicatorDay; ++i) indicators[i] = Algorithm3DayIndicators(s, i);
}

void Algorithm3Sweep(const QVAlgorithm3Series& s, int time, double* best, QVAlgorithm3Faults& faults,
                     const QVAlgorithm3Spread& spread) {
  QVAlgorithm3Indicators indicators[kLastIndicatorDay + 1];
  Algorithm3Indicators(s, indicators);
  const QVAlgorithm3Lanes* lanes = spread.lanes;
  if (lanes == nullptr || !Algorithm3LanesSupported(*lanes)) lanes = &Algorithm3WidestLanes();
  const int threads = spread.threads == 1 ? 1 : ComputeThreadCount();
  const int used = spread.threads > 0 ? std::min(spread.threads, threads) : threads;
  const int parts = used == 1 ? 1 : std::min(used * kPartsPerThread, kMostParts);
  SweepParts sweep{lanes, {&s, indicators, time}, best, parts, {}};
  RunComputeParts(sweep.parts, used, &SweepPart, &sweep);
  for (int part = 0; part < sweep.parts; ++part) {
    faults.truncation = faults.truncation || sweep.faults[part].truncation;
    faults.blockOverflow = faults.blockOverflow || sweep.faults[part].blockOverflow;
  }
}

}  // namespace Quorvane

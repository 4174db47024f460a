// The building blocks of the price-band simulation: a day's indicators, one
// day's trade, and the run. The sweep, which makes the same day steps for 200
// values of k at once, is in application/qvalgorithm3sweep.h; RunAlgorithm3
// (application/qvalgorithm3.h) strings the phases together. They are separate
// so each rule can be exercised on hand-made days.
//
// Every series is indexed with day 0 the most recent; the callers guarantee at
// least kAlgorithm3Days values in each (CheckAlgorithm3Arguments).
#pragma once

#include <cstdint>

namespace Quorvane {

constexpr int kAlgorithm3Days = 250;
constexpr double kStartingCash = 100000.0;
constexpr int kLastIndicatorDay = 245;  // huan[i + 4] must stay inside the series

// The five series and the four turnover weights of one call.
struct QVAlgorithm3Series {
  const double* b = nullptr;     // reference price
  const double* h = nullptr;     // high
  const double* l = nullptr;     // low
  const double* e = nullptr;     // close, values the holdings
  const double* huan = nullptr;  // turnover
  double ratio1 = 0.0;
  double ratio2 = 0.0;
  double ratio3 = 0.0;
  double ratio4 = 0.0;
};

// What differs between the sweep and the run.
struct QVAlgorithm3Phase {
  double momentumScale;  // M
  double busyDown;       // D
  double busyUp;         // U
  double fee;            // f, applied to every sale
};
constexpr QVAlgorithm3Phase kSweepPhase{15.0, 0.02, 0.02, 0.995};
constexpr QVAlgorithm3Phase kRunPhase{20.0, 0.03, 0.06, 0.9985};

// Holding states.
constexpr int kFullyInvested = 0;
constexpr int kHalfInvested = 1;
constexpr int kAllCash = 2;

// The account of one pass. shares counts blocks of 100.
struct QVAlgorithm3Book {
  double cash = kStartingCash;
  std::int32_t shares = 0;
  int state = kAllCash;
};

// Things that make an answer meaningless; sticky across passes.
struct QVAlgorithm3Faults {
  bool truncation = false;     // a truncated term was NaN or outside 32 bits
  bool blockOverflow = false;  // the block count left the 32-bit range
};

// What a day's bands are made of, whatever k and the book: the weighted
// turnover, the five-value deviation and the momentum.
struct QVAlgorithm3Indicators {
  double mix = 0.0;
  double sd = 0.0;
  double mom = 0.0;
};

// The indicators of day i, for i <= kLastIndicatorDay.
QVAlgorithm3Indicators Algorithm3DayIndicators(const QVAlgorithm3Series& s, int i);

// x truncated toward zero to 32 bits. A NaN or a value outside the range gives
// -2147483648 (what the processor's truncating conversion gives) and marks the
// fault, so the outcome stays defined and reproducible.
std::int32_t TruncateTo32(double x, QVAlgorithm3Faults& faults);

// Equity on day j: cash plus the holdings valued at that day's close.
double Algorithm3Equity(const QVAlgorithm3Series& s, int j, const QVAlgorithm3Book& book);

// One day: the bands from the indicators, then at most one trade.
void Algorithm3DayStep(const QVAlgorithm3Series& s, int i, double k, const QVAlgorithm3Phase& phase,
                       QVAlgorithm3Book& book, QVAlgorithm3Faults& faults);

// The run: days 199 down to 4 with k = best[i], skipping days where i + 2 is a
// multiple of 5; answers the equity on day 4.
double Algorithm3Run(const QVAlgorithm3Series& s, const double* best, QVAlgorithm3Faults& faults);

}  // namespace Quorvane

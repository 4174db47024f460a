// Built with -ffp-contract=off, like the program's numerics (see
// application/CMakeLists.txt). The code as it was, but for its namespace: the
// calls name it, as the program's functions of the same names are also found.
#include "application/qvalgorithm3reference.h"

#include <cmath>
#include <limits>

#include "application/qvstatistics.h"

namespace Quorvane::reference {

// A division by a buy level of 0 must give an infinity (then a marked
// truncation), as IEEE arithmetic defines it.
static_assert(std::numeric_limits<double>::is_iec559, "IEEE doubles");

namespace {

constexpr double kBlock = 100.0;
constexpr double kHalf = 2.0;
constexpr double kInitialBand = 0.04;
constexpr double kQuietMix = 0.11;
constexpr double kBusyMix = 0.25;
constexpr double kTurnoverScale = 50.0;
constexpr double kDeviationScale = 10.0;
constexpr double kCents = 100.0;
constexpr double kSweepStep = 0.01;
constexpr double kSweepLimit = 2.0;
constexpr int kFirstSweepDay = 249;
constexpr int kLastSweepDay = 6;
constexpr int kFirstRunDay = 199;
constexpr int kLastRunDay = 4;
constexpr int kSkipDivisor = 5;

// The sweep's k is a running sum; count its passes the way the loop does.
constexpr int SweepPasses() {
  int passes = 0;
  for (double k = 0.0; k <= kSweepLimit; k = kSweepStep + k) {
    ++passes;
  }
  return passes;
}
static_assert(SweepPasses() == 200, "the sweep makes 200 passes, k = 0.00 to 1.99");
static_assert(SweepPasses() <= kPassSlots, "every pass has its slot");

double Cents(std::int32_t truncated) { return static_cast<double>(truncated) / kCents; }

}  // namespace

std::int32_t TruncateTo32(double x, QVAlgorithm3Faults& faults) {
  // Inside (-2^31 - 1, 2^31) truncation toward zero lands in range; outside it,
  // and for a NaN, the conversion would be undefined.
  if (x > -2147483649.0 && x < 2147483648.0) {
    return static_cast<std::int32_t>(x);
  }
  faults.truncation = true;
  return std::numeric_limits<std::int32_t>::min();
}

double Algorithm3Equity(const QVAlgorithm3Series& s, int j, const QVAlgorithm3Book& book) {
  return book.cash + static_cast<double>(book.shares) * s.e[j] * kBlock;
}

void Algorithm3DayStep(const QVAlgorithm3Series& s, int i, double k, const QVAlgorithm3Phase& phase,
                       QVAlgorithm3Book& book, QVAlgorithm3Faults& faults) {
  double down = kInitialBand;
  double up = kInitialBand;
  if (i <= kLastIndicatorDay) {
    const double mix = s.huan[i + 1] * s.ratio1 + s.huan[i + 2] * s.ratio2 + s.huan[i + 3] * s.ratio3 +
                       s.huan[i + 4] * s.ratio4;
    const double sd = STDEVP(s.b[i], s.h[i + 1], s.l[i + 1], s.b[i + 1], s.e[i + 1]);
    const double turnoverTerm = Cents(reference::TruncateTo32(k * mix * kTurnoverScale, faults));
    const double deviationTerm = Cents(reference::TruncateTo32(k * k * sd * kDeviationScale, faults));
    const double base = turnoverTerm + deviationTerm;
    const double mom = s.b[i] - 0.4 * s.e[i + 1] - 0.3 * s.b[i + 1] - 0.2 * s.e[i + 2] - 0.1 * s.b[i + 2];
    down = base;
    up = base + Cents(reference::TruncateTo32(k * k * mom * phase.momentumScale, faults));
    if (mix <= kQuietMix) {
      return;
    }
    if (mix >= kBusyMix) {
      down = phase.busyDown + down;
      up = phase.busyUp + up;
    }
  }
  const double buy = s.b[i] - down;
  const double sell = s.b[i] + up;
  const double high = s.h[i];
  const double low = s.l[i];

  // Each comparison is written out as the rule states it: with a NaN operand
  // every one is false and the day trades nothing.
  switch (book.state) {
    case kAllCash:
      if (low <= buy) {
        book.shares = reference::TruncateTo32(book.cash / kHalf / buy / kBlock, faults);
        book.cash = book.cash - static_cast<double>(book.shares) * buy * kBlock;
        book.state = kHalfInvested;
      }
      break;
    case kFullyInvested:
      if (high >= sell) {
        const std::int32_t sold = book.shares / 2;
        book.cash = book.cash + static_cast<double>(sold) * sell * kBlock * phase.fee;
        book.shares = book.shares - sold;
        book.state = kHalfInvested;
      }
      break;
    case kHalfInvested:
      if (high >= sell && low <= buy) {
        const std::int32_t bought = reference::TruncateTo32(book.cash / buy / kBlock, faults);
        book.cash = book.cash + static_cast<double>(book.shares) * sell * kBlock * phase.fee -
                    static_cast<double>(bought) * buy * kBlock;
        book.shares = bought;
      } else if (high >= sell && low > buy) {
        book.cash = book.cash + static_cast<double>(book.shares) * sell * kBlock * phase.fee;
        book.shares = 0;
        book.state = kAllCash;
      } else if (high < sell && low <= buy) {
        const std::int32_t bought = reference::TruncateTo32(book.cash / buy / kBlock, faults);
        std::int32_t held = 0;
        // Wraps like the machine's add instead of overflowing; the fault is kept.
        if (__builtin_add_overflow(book.shares, bought, &held)) {
          faults.blockOverflow = true;
        }
        book.shares = held;
        book.cash = book.cash - static_cast<double>(bought) * buy * kBlock;
        book.state = kFullyInvested;
      }
      break;
    default:
      break;
  }
}

void Algorithm3SweepCycle(const QVAlgorithm3Series& s, int t, int time, double* res,
                          QVAlgorithm3Faults& faults) {
  double k = 0.0;
  int p = 0;
  while (k <= kSweepLimit) {
    QVAlgorithm3Book book;
    for (int i = t; i >= t - time; --i) {
      reference::Algorithm3DayStep(s, i, k, kSweepPhase, book, faults);
    }
    res[p] = reference::Algorithm3Equity(s, t - time, book);
    k = kSweepStep + k;
    ++p;
  }
}

void Algorithm3Sweep(const QVAlgorithm3Series& s, int time, double* best, QVAlgorithm3Faults& faults) {
  double res[kPassSlots] = {};
  for (int t = kFirstSweepDay; t >= kLastSweepDay; --t) {
    reference::Algorithm3SweepCycle(s, t, time, res, faults);
    best[t - time - 1] = zuidazhi(res);
  }
}

double Algorithm3Run(const QVAlgorithm3Series& s, const double* best, QVAlgorithm3Faults& faults) {
  QVAlgorithm3Book book;
  for (int i = kFirstRunDay; i >= kLastRunDay; --i) {
    const double k = best[i];
    if ((i + 2) % kSkipDivisor == 0) {
      continue;
    }
    reference::Algorithm3DayStep(s, i, k, kRunPhase, book, faults);
  }
  return reference::Algorithm3Equity(s, kLastRunDay, book);
}

QVAlgorithm3Outcome RunAlgorithm3(const double* b, long bCount, const double* h, long hCount,
                                  const double* l, long lCount, const double* e, long eCount,
                                  const double* huan, long huanCount, int time, double ratio1,
                                  double ratio2, double ratio3, double ratio4) {
  QVAlgorithm3Outcome outcome;
  outcome.status =
      CheckAlgorithm3Arguments(b, bCount, h, hCount, l, lCount, e, eCount, huan, huanCount, time);
  if (outcome.status != qvalgorithm3status::ok) {
    return outcome;
  }
  const QVAlgorithm3Series series{b, h, l, e, huan, ratio1, ratio2, ratio3, ratio4};
  QVAlgorithm3Faults faults;
  double best[kAlgorithm3Days] = {};
  reference::Algorithm3Sweep(series, time, best, faults);
  outcome.value = reference::Algorithm3Run(series, best, faults);
  if (faults.truncation) {
    outcome.status = qvalgorithm3status::truncationOutOfRange;
  } else if (faults.blockOverflow) {
    outcome.status = qvalgorithm3status::blockCountOverflow;
  } else if (!std::isfinite(outcome.value)) {
    outcome.status = qvalgorithm3status::nonFiniteResult;
  }
  return outcome;
}

}  // namespace Quorvane::reference

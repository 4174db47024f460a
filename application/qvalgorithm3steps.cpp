// Built with -ffp-contract=off (see application/CMakeLists.txt). Every
// expression is written in the order of its operations: products and sums
// left to right, one rounding each, so that the answer is the same on every
// build. The rules themselves are in application/qvalgorithm3lanes.h, here
// taken one lane wide, the sweep's lanes being as many passes side by side.
#include "application/qvalgorithm3steps.h"

#include <limits>

#include "application/qvalgorithm3lanes.h"
#include "application/qvstatistics.h"

namespace Quorvane {

// A division by a buy level of 0 must give an infinity (then a marked
// truncation), as IEEE arithmetic defines it.
static_assert(std::numeric_limits<double>::is_iec559, "IEEE doubles");

namespace {

constexpr int kFirstRunDay = 199;
constexpr int kLastRunDay = 4;
constexpr int kSkipDivisor = 5;

struct OneLane {
  typedef double Real __attribute__((vector_size(8)));
  typedef long long Mask __attribute__((vector_size(8)));

  static Real Splat(double x) { return Real{x}; }
  static bool Any(Mask m) { return m[0] != 0; }
  static Real Select(Mask m, Real a, Real b) { return m[0] != 0 ? a : b; }
  static Real Toward0(Real x) { return Real{static_cast<double>(static_cast<std::int32_t>(x[0]))}; }
};

LaneBook<OneLane> ToLane(const QVAlgorithm3Book& book) {
  const auto inState = [&book](int state) { return OneLane::Mask{book.state == state ? -1 : 0}; };
  return {OneLane::Splat(book.cash), OneLane::Splat(static_cast<double>(book.shares)), inState(kAllCash),
          inState(kFullyInvested)};
}

// Shares stay whole numbers inside the 32-bit range, so they convert back exactly.
QVAlgorithm3Book FromLane(const LaneBook<OneLane>& lane) {
  const int state = lane.allCash[0] != 0 ? kAllCash : (lane.fullyInvested[0] != 0 ? kFullyInvested : kHalfInvested);
  return {lane.cash[0], static_cast<std::int32_t>(lane.shares[0]), state};
}

}  // namespace

QVAlgorithm3Indicators Algorithm3DayIndicators(const QVAlgorithm3Series& s, int i) {
  QVAlgorithm3Indicators day;
  day.mix = s.huan[i + 1] * s.ratio1 + s.huan[i + 2] * s.ratio2 + s.huan[i + 3] * s.ratio3 + s.huan[i + 4] * s.ratio4;
  day.sd = STDEVP(s.b[i], s.h[i + 1], s.l[i + 1], s.b[i + 1], s.e[i + 1]);
  day.mom = s.b[i] - 0.4 * s.e[i + 1] - 0.3 * s.b[i + 1] - 0.2 * s.e[i + 2] - 0.1 * s.b[i + 2];
  return day;
}

std::int32_t TruncateTo32(double x, QVAlgorithm3Faults& faults) {
  LaneFaults<OneLane> laneFaults;
  const OneLane::Real truncated = Truncated<OneLane>(OneLane::Splat(x), ~OneLane::Mask{}, laneFaults);
  laneFaults.AddTo(faults);
  return static_cast<std::int32_t>(truncated[0]);
}

double Algorithm3Equity(const QVAlgorithm3Series& s, int j, const QVAlgorithm3Book& book) {
  return LaneEquity<OneLane>(s.e[j], ToLane(book))[0];
}

void Algorithm3DayStep(const QVAlgorithm3Series& s, int i, double k, const QVAlgorithm3Phase& phase,
                       QVAlgorithm3Book& book, QVAlgorithm3Faults& faults) {
  LaneFaults<OneLane> laneFaults;
  OneLane::Real buy = OneLane::Splat(s.b[i] - kInitialBand);
  OneLane::Real sell = OneLane::Splat(s.b[i] + kInitialBand);
  bool trades = true;
  if (i <= kLastIndicatorDay) {
    const QVAlgorithm3Indicators day = Algorithm3DayIndicators(s, i);
    const OneLane::Real lane = OneLane::Splat(k);
    LaneLevels<OneLane>(lane, lane * lane, day, s.b[i], phase, buy, sell, laneFaults);
    trades = DayTrades(i, day);
  }
  if (trades) {
    LaneBook<OneLane> lane = ToLane(book);
    LaneTrade<OneLane>(buy, sell, s.h[i], s.l[i], phase.fee, lane, laneFaults);
    book = FromLane(lane);
  }
  laneFaults.AddTo(faults);
}

double Algorithm3Run(const QVAlgorithm3Series& s, const double* best, QVAlgorithm3Faults& faults) {
  QVAlgorithm3Book book;
  for (int i = kFirstRunDay; i >= kLastRunDay; --i) {
    const double k = best[i];
    if ((i + 2) % kSkipDivisor == 0) {
      continue;
    }
    Algorithm3DayStep(s, i, k, kRunPhase, book, faults);
  }
  return Algorithm3Equity(s, kLastRunDay, book);
}

}  // namespace Quorvane

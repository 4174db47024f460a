// The rules of one day of the price-band simulation, written once for lanes:
// each lane is one pass with its own k and its own book, and every lane goes
// through the same double operations, in the same order and with the same
// operands, as the rule written for one value. Where the one-value rule takes
// a branch, every lane computes both sides and keeps its own (a discarded
// side has no effect: no value of it is kept and floating-point exceptions
// are not trapped).
//
// A lanes type L brings the vector types and the few operations the language
// extension leaves to the instruction set:
//   L::Real, L::Mask        kWidth doubles; kWidth all-ones or all-zero words
//   L::Splat(x)             x in every lane
//   L::kWidth, L::Load(p), L::Store(p, v)   for the sweep's many lanes
//   L::Any(m)               some lane of m is set
//   L::Select(m, a, b)      a in the lanes of m, b in the others
//   L::Toward0(x)           x truncated toward zero, for x inside the 32-bit range
// Each file that builds the rules for one instruction set includes this header
// and defines its L; everything here has internal linkage, so that no copy
// built for one instruction set can stand in for another's.
//
// Include only from files compiled with -ffp-contract=off.
#pragma once

#include "application/qvalgorithm3steps.h"
#include "application/qvalgorithm3sweep.h"

namespace Quorvane {

namespace {  // one copy per instruction set, see above

constexpr double kBlock = 100.0;
constexpr double kInitialBand = 0.04;
constexpr double kQuietMix = 0.11;
constexpr double kBusyMix = 0.25;
constexpr double kTurnoverScale = 50.0;
constexpr double kDeviationScale = 10.0;
constexpr double kCents = 100.0;
// Inside (-2^31 - 1, 2^31) truncation toward zero lands in the 32-bit range.
constexpr double kAboveTruncation = -2147483649.0;
constexpr double kBelowTruncation = 2147483648.0;
constexpr double kLowest32 = -2147483648.0;
constexpr double kHighest32 = 2147483647.0;
constexpr double kWrap32 = 4294967296.0;

// The book of a pass in each lane. Shares are kept as doubles holding 32-bit
// integers exactly (every product reads them as doubles anyway); the state is
// two masks, neither set meaning half invested.
template <class L>
struct LaneBook {
  typename L::Real cash;
  typename L::Real shares;
  typename L::Mask allCash;
  typename L::Mask fullyInvested;
};

// Faults met in each lane, sticky like QVAlgorithm3Faults.
template <class L>
struct LaneFaults {
  typename L::Mask truncation{};
  typename L::Mask blockOverflow{};

  void AddTo(QVAlgorithm3Faults& faults) const {
    if (L::Any(truncation)) faults.truncation = true;
    if (L::Any(blockOverflow)) faults.blockOverflow = true;
  }
};

template <class L>
LaneBook<L> FreshLaneBook() {
  const typename L::Mask all = ~typename L::Mask{};
  return {L::Splat(kStartingCash), L::Splat(0.0), all, typename L::Mask{}};
}

// TruncateTo32 in every lane: out of range and NaN give -2^31, and the lanes
// of `taken` (those where the one-value rule makes this truncation) mark the
// fault.
template <class L>
typename L::Real Truncated(typename L::Real x, typename L::Mask taken, LaneFaults<L>& faults) {
  const typename L::Mask inRange = (x > kAboveTruncation) & (x < kBelowTruncation);
  faults.truncation |= taken & ~inRange;
  return L::Toward0(L::Select(inRange, x, L::Splat(kLowest32)));
}

template <class L>
typename L::Real Cents(typename L::Real truncated) {
  return truncated / kCents;
}

template <class L>
typename L::Real LaneEquity(double close, const LaneBook<L>& book) {
  return book.cash + book.shares * close * kBlock;
}

// Steps 2.3 to 2.7 and 3 of a day whose indicators are known and that is not
// quiet: the buy and sell levels of each lane's k (kk is k * k). Every lane
// makes all three truncations, as the one-value rule does before it looks at
// the mix.
template <class L>
void LaneLevels(typename L::Real k, typename L::Real kk, const QVAlgorithm3Indicators& day, double b,
                const QVAlgorithm3Phase& phase, typename L::Real& buy, typename L::Real& sell,
                LaneFaults<L>& faults) {
  const typename L::Mask every = ~typename L::Mask{};
  const typename L::Real turnoverTerm = Cents<L>(Truncated<L>(k * day.mix * kTurnoverScale, every, faults));
  const typename L::Real deviationTerm = Cents<L>(Truncated<L>(kk * day.sd * kDeviationScale, every, faults));
  const typename L::Real base = turnoverTerm + deviationTerm;
  typename L::Real down = base;
  typename L::Real up = base + Cents<L>(Truncated<L>(kk * day.mom * phase.momentumScale, every, faults));
  if (day.mix >= kBusyMix) {
    down = phase.busyDown + down;
    up = phase.busyUp + up;
  }
  buy = b - down;
  sell = b + up;
}

// True when the day trades at all: days after the indicator window always
// do, the others unless their mix is quiet (a NaN mix is not).
inline bool DayTrades(int i, const QVAlgorithm3Indicators& day) {
  return i > kLastIndicatorDay || !(day.mix <= kQuietMix);
}

// Step 4: at most one trade in each lane.
template <class L>
void LaneTrade(typename L::Real buy, typename L::Real sell, double high, double low, double fee, LaneBook<L>& book,
               LaneFaults<L>& faults) {
  using Real = typename L::Real;
  using Mask = typename L::Mask;
  // Each comparison as the rule states it: with a NaN operand every one is
  // false and the lane trades nothing.
  const Mask reachesBuy = low <= buy;
  const Mask reachesSell = high >= sell;
  const Mask aboveBuy = low > buy;
  const Mask belowSell = high < sell;
  const Mask halfInvested = ~(book.allCash | book.fullyInvested);

  const Mask firstBuy = book.allCash & reachesBuy;
  const Mask halfSale = book.fullyInvested & reachesSell;
  const Mask sellAndBuy = halfInvested & reachesSell & reachesBuy;
  const Mask sellAll = halfInvested & reachesSell & aboveBuy;
  const Mask buyMore = halfInvested & belowSell & reachesBuy;
  const Mask buying = firstBuy | sellAndBuy | buyMore;
  const Mask trading = buying | halfSale | sellAll;
  if (!L::Any(trading)) return;

  // Each kind of trade is worked out only when some lane makes it; the kinds
  // exclude each other, so each lane keeps the values of its own.
  Real cash = book.cash;
  Real shares = book.shares;
  Real cost = L::Splat(0.0);
  if (L::Any(buying)) {
    // From half the cash on a first buy, else from all of it (before any sale
    // of the day). cash * 0.5 is cash / 2.0 exactly: both are the correctly
    // rounded half of cash.
    const Real spendable = L::Select(book.allCash, book.cash * 0.5, book.cash);
    const Real bought = Truncated<L>(spendable / buy / kBlock, buying, faults);
    cost = bought * buy * kBlock;
    cash = L::Select(firstBuy | buyMore, book.cash - cost, cash);
    shares = L::Select(firstBuy | sellAndBuy, bought, shares);
    if (L::Any(buyMore)) {
      // Adds like the machine's 32-bit add: the sum of two 32-bit integers is
      // exact in a double, and one turn of 2^32 brings it back in range.
      const Real sum = book.shares + bought;
      const Mask above = sum > kHighest32;
      const Mask below = sum < kLowest32;
      faults.blockOverflow |= buyMore & (above | below);
      const Real held = L::Select(above, sum - kWrap32, L::Select(below, sum + kWrap32, sum));
      shares = L::Select(buyMore, held, shares);
    }
  }
  if (L::Any(halfSale)) {
    const Real sold = L::Toward0(book.shares * 0.5);  // shares / 2 toward zero, exactly
    cash = L::Select(halfSale, book.cash + sold * sell * kBlock * fee, cash);
    shares = L::Select(halfSale, book.shares - sold, shares);
  }
  const Mask sellingAll = sellAll | sellAndBuy;
  if (L::Any(sellingAll)) {
    const Real afterHeldSale = book.cash + book.shares * sell * kBlock * fee;
    cash = L::Select(sellAll, afterHeldSale, cash);
    cash = L::Select(sellAndBuy, afterHeldSale - cost, cash);
    shares = L::Select(sellAll, L::Splat(0.0), shares);
  }
  book.cash = cash;
  book.shares = shares;
  book.allCash = (book.allCash & ~firstBuy) | sellAll;
  book.fullyInvested = (book.fullyInvested & ~halfSale) | buyMore;
}

// QVAlgorithm3Lanes::day: the levels of every pass on day i of the sweep.
template <class L>
void LaneSweepDay(const QVAlgorithm3SweepInput& input, int i, QVAlgorithm3SweepDay& day, QVAlgorithm3Faults& faults) {
  const double b = input.series->b[i];
  if (i > kLastIndicatorDay) {
    const typename L::Real buy = L::Splat(b - kInitialBand);
    const typename L::Real sell = L::Splat(b + kInitialBand);
    for (int p = 0; p < kSweepPasses; p += L::kWidth) {
      L::Store(day.buy + p, buy);
      L::Store(day.sell + p, sell);
    }
    day.trades = true;
    return;
  }
  const QVAlgorithm3Indicators& indicators = input.indicators[i];
  LaneFaults<L> laneFaults;
  for (int p = 0; p < kSweepPasses; p += L::kWidth) {
    typename L::Real buy, sell;
    LaneLevels<L>(L::Load(kSweepKs.k + p), L::Load(kSweepKs.kk + p), indicators, b, kSweepPhase, buy, sell,
                  laneFaults);
    L::Store(day.buy + p, buy);
    L::Store(day.sell + p, sell);
  }
  day.trades = DayTrades(i, indicators);
  laneFaults.AddTo(faults);
}

// QVAlgorithm3Lanes::cycle: a fresh book per pass, days t down to t - time,
// then each pass's equity. The days go outermost so that the passes' trades
// of one day, which depend on nothing but their own book, overlap.
template <class L>
void LaneSweepCycle(const QVAlgorithm3SweepInput& input, int t, const QVAlgorithm3SweepDay* const* days, double* res,
                    QVAlgorithm3Faults& faults) {
  constexpr int kGroups = kSweepPasses / L::kWidth;
  static_assert(kGroups * L::kWidth == kSweepPasses, "the passes fill whole lanes");
  const QVAlgorithm3Series& s = *input.series;
  LaneBook<L> books[kGroups];
  for (LaneBook<L>& book : books) book = FreshLaneBook<L>();
  LaneFaults<L> laneFaults;
  for (int n = 0; n <= input.time; ++n) {
    const QVAlgorithm3SweepDay& day = *days[n];
    if (!day.trades) continue;
    const int i = t - n;
    const double high = s.h[i];
    const double low = s.l[i];
    for (int g = 0; g < kGroups; ++g) {
      LaneTrade<L>(L::Load(day.buy + g * L::kWidth), L::Load(day.sell + g * L::kWidth), high, low, kSweepPhase.fee,
                   books[g], laneFaults);
    }
  }
  const double close = s.e[t - input.time];
  for (int g = 0; g < kGroups; ++g) L::Store(res + g * L::kWidth, LaneEquity<L>(close, books[g]));
  laneFaults.AddTo(faults);
}

}  // namespace

}  // namespace Quorvane

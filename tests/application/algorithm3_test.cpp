#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "application/qvalgorithm3.h"
#include "application/qvalgorithm3steps.h"
#include "application/qvalgorithm3sweep.h"
#include "application/qvstatistics.h"

// Counts the allocations of this program, to show that a call makes none.
// ThreadSanitizer owns the global allocation operators, so the count is left
// out of such builds.
#if defined(__SANITIZE_THREAD__)
#define QV_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QV_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef QV_COUNT_ALLOCATIONS
#define QV_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<long> gAllocations{0};
}  // namespace

#if QV_COUNT_ALLOCATIONS
void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
// The replacement new above takes its memory from malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif  // QV_COUNT_ALLOCATIONS

namespace {

using namespace Quorvane;

constexpr int kDays = kAlgorithm3Days;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Five series of flat days at 100 with no turnover; tests shape single days.
struct Days {
  std::array<double, kDays> b, h, l, e, huan;
  double ratios[4] = {1.0, 0.0, 0.0, 0.0};  // mix of day i is huan[i + 1]

  Days() {
    b.fill(100.0);
    h.fill(100.0);
    l.fill(100.0);
    e.fill(100.0);
    huan.fill(0.0);
  }

  // Prices that swing through the bands, turnover around the thresholds.
  static Days Swinging() {
    Days d;
    for (int i = 0; i < kDays; ++i) {
      const double centre = std::round((50.0 + 2.0 * std::sin(i * 0.9)) * 100.0) / 100.0;
      d.b[i] = centre;
      d.e[i] = centre + 0.25;
      d.h[i] = centre + ((i % 4 == 0) ? 3.0 : 0.5);
      d.l[i] = centre - ((i % 3 == 0) ? 3.0 : 0.5);
      d.huan[i] = 0.05 * (i % 9);
    }
    d.ratios[0] = 0.4;
    d.ratios[1] = 0.3;
    d.ratios[2] = 0.2;
    d.ratios[3] = 0.1;
    return d;
  }

  QVAlgorithm3Series Series() const {
    return {b.data(), h.data(), l.data(), e.data(), huan.data(), ratios[0], ratios[1], ratios[2], ratios[3]};
  }

  QVAlgorithm3Outcome Run(int time) const {
    return RunAlgorithm3(b.data(), kDays, h.data(), kDays, l.data(), kDays, e.data(), kDays, huan.data(), kDays,
                         time, ratios[0], ratios[1], ratios[2], ratios[3]);
  }
};

// ---- truncation --------------------------------------------------------------

TEST(Algorithm3Truncation, OutOfRangeAndNaNGiveTheLowestValueAndAreMarked) {
  struct Case {
    double x;
    std::int32_t expected;
    bool fault;
  } const cases[] = {
      {2147483647.9, 2147483647, false},  {2147483648.0, std::numeric_limits<std::int32_t>::min(), true},
      {-2147483648.9, -2147483647 - 1, false}, {-2147483649.0, -2147483647 - 1, true},
      {-0.99, 0, false},                  {12.7, 12, false},
      {kNaN, -2147483647 - 1, true},      {kInf, -2147483647 - 1, true},
      {-kInf, -2147483647 - 1, true},     {1e300, -2147483647 - 1, true},
  };
  for (const Case& c : cases) {
    QVAlgorithm3Faults faults;
    EXPECT_EQ(TruncateTo32(c.x, faults), c.expected) << c.x;
    EXPECT_EQ(faults.truncation, c.fault) << c.x;
  }
}

// ---- one day -----------------------------------------------------------------
// With k = 0 every truncated term is 0, so the bands are 0 (or the busy
// widening alone) around b = 100.

constexpr int kDay = 100;

TEST(Algorithm3Day, MixAtTheQuietThresholdMakesNoTrade) {
  Days d;
  d.l[kDay] = 50.0;
  d.huan[kDay + 1] = 0.11;
  QVAlgorithm3Faults faults;
  QVAlgorithm3Book book;
  Algorithm3DayStep(d.Series(), kDay, 0.0, kRunPhase, book, faults);
  EXPECT_EQ(book.state, kAllCash);
  EXPECT_EQ(book.cash, kStartingCash);

  d.huan[kDay + 1] = std::nextafter(0.11, 1.0);
  Algorithm3DayStep(d.Series(), kDay, 0.0, kRunPhase, book, faults);
  EXPECT_EQ(book.state, kHalfInvested);
  EXPECT_EQ(book.shares, 5);  // T(100000 / 2 / 100 / 100)
  EXPECT_EQ(book.cash, 50000.0);
}

TEST(Algorithm3Day, MixAtTheBusyThresholdWidensBothBands) {
  for (const QVAlgorithm3Phase& phase : {kSweepPhase, kRunPhase}) {
    for (double mix : {0.25, std::nextafter(0.25, 0.0)}) {
      const bool busy = mix >= 0.25;
      Days d;
      d.huan[kDay + 1] = mix;
      // Just inside the widened bands, outside the plain ones (both 0 at k = 0).
      d.l[kDay] = 100.0 - phase.busyDown / 2;
      d.h[kDay] = 100.0 + phase.busyUp / 2;
      QVAlgorithm3Faults faults;
      QVAlgorithm3Book buyer;
      Algorithm3DayStep(d.Series(), kDay, 0.0, phase, buyer, faults);
      EXPECT_EQ(buyer.state, busy ? kAllCash : kHalfInvested) << mix;

      QVAlgorithm3Book seller{0.0, 8, kFullyInvested};
      Algorithm3DayStep(d.Series(), kDay, 0.0, phase, seller, faults);
      EXPECT_EQ(seller.shares, busy ? 8 : 4) << mix;
    }
  }
}

TEST(Algorithm3Day, TradesOfEachState) {
  struct Case {
    const char* name;
    QVAlgorithm3Book before;
    double high, low;
    int state;
    std::int32_t shares;
  } const cases[] = {
      {"cash, low reaches buy: half the cash", {100000.0, 0, kAllCash}, 100.0, 99.0, kHalfInvested, 5},
      {"cash, high only: nothing", {100000.0, 0, kAllCash}, 101.0, 100.5, kAllCash, 0},
      {"invested, 7 blocks: 3 sold, 4 kept", {0.0, 7, kFullyInvested}, 101.0, 100.5, kHalfInvested, 4},
      {"invested, -7 blocks: toward zero", {0.0, -7, kFullyInvested}, 101.0, 100.5, kHalfInvested, -4},
      {"invested, low only: nothing", {0.0, 7, kFullyInvested}, 99.5, 99.0, kFullyInvested, 7},
      {"half, high only: all sold", {1000.0, 30, kHalfInvested}, 101.0, 100.5, kAllCash, 0},
      {"half, low only: buys more", {20000.0, 30, kHalfInvested}, 99.5, 99.0, kFullyInvested, 32},
      {"half, neither: nothing", {20000.0, 30, kHalfInvested}, 99.5, 100.5, kHalfInvested, 30},
      {"half, NaN high and low", {20000.0, 30, kHalfInvested}, kNaN, kNaN, kHalfInvested, 30},
      {"cash, NaN low", {20000.0, 0, kAllCash}, kNaN, kNaN, kAllCash, 0},
      {"invested, NaN high", {0.0, 7, kFullyInvested}, kNaN, 99.0, kFullyInvested, 7},
  };
  for (const Case& c : cases) {
    Days d;
    d.huan[kDay + 1] = 0.2;  // trading, not busy: buy = sell = 100
    d.h[kDay] = c.high;
    d.l[kDay] = c.low;
    QVAlgorithm3Book book = c.before;
    QVAlgorithm3Faults faults;
    Algorithm3DayStep(d.Series(), kDay, 0.0, kRunPhase, book, faults);
    EXPECT_EQ(book.state, c.state) << c.name;
    EXPECT_EQ(book.shares, c.shares) << c.name;
    EXPECT_FALSE(faults.truncation || faults.blockOverflow) << c.name;
  }
}

TEST(Algorithm3Day, SaleFromFullyInvestedPaysTheFeeOnTheLowerHalf) {
  Days d;
  d.huan[kDay + 1] = 0.2;
  d.h[kDay] = 101.0;
  QVAlgorithm3Book book{10.0, 7, kFullyInvested};
  QVAlgorithm3Faults faults;
  Algorithm3DayStep(d.Series(), kDay, 0.0, kSweepPhase, book, faults);
  EXPECT_EQ(book.cash, 10.0 + 3.0 * 100.0 * 100.0 * 0.995);
  EXPECT_EQ(book.shares, 4);
}

TEST(Algorithm3Day, HalfInvestedReachingBothLevelsBuysFromTheCashBeforeTheSale) {
  Days d;
  d.huan[kDay + 1] = 0.2;
  d.h[kDay] = 101.0;
  d.l[kDay] = 99.0;
  QVAlgorithm3Book book{10000.0, 30, kHalfInvested};
  QVAlgorithm3Faults faults;
  Algorithm3DayStep(d.Series(), kDay, 0.0, kRunPhase, book, faults);
  // 10000 / 100 / 100 = 1 block; from the cash after the sale it would be 30.
  EXPECT_EQ(book.shares, 1);
  EXPECT_EQ(book.state, kHalfInvested);
  EXPECT_EQ(book.cash, 10000.0 + 30.0 * 100.0 * 100.0 * 0.9985 - 1.0 * 100.0 * 100.0);
}

TEST(Algorithm3Day, BlockCountPastThirtyTwoBitsWrapsAndIsMarked) {
  Days d;
  d.huan[kDay + 1] = 0.2;
  d.b[kDay] = 1e-4;  // buy = sell = 1e-4
  d.h[kDay] = 0.5e-4;
  d.l[kDay] = 0.5e-4;
  QVAlgorithm3Book book{100000.0, 2140000000, kHalfInvested};
  QVAlgorithm3Faults faults;
  Algorithm3DayStep(d.Series(), kDay, 0.0, kRunPhase, book, faults);
  EXPECT_TRUE(faults.blockOverflow);
  EXPECT_FALSE(faults.truncation);
  EXPECT_EQ(book.shares, static_cast<std::int32_t>(2140000000LL + 10000000LL - 4294967296LL));
  EXPECT_EQ(book.state, kFullyInvested);
}

TEST(Algorithm3Day, DaysAfterTheIndicatorWindowKeepTheInitialBands) {
  // Day 246 reads no turnover: the bands are 0.04 whatever huan holds.
  Days d;
  d.huan.fill(kNaN);
  d.l[246] = 100.0 - 0.04;
  QVAlgorithm3Book book;
  QVAlgorithm3Faults faults;
  Algorithm3DayStep(d.Series(), 246, 1.5, kSweepPhase, book, faults);
  EXPECT_EQ(book.state, kHalfInvested);
  EXPECT_FALSE(faults.truncation);
}

// ---- the sweep ---------------------------------------------------------------

TEST(Algorithm3Sweep, EachPassStoresItsEquityInItsOwnSlot) {
  const Days d = Days::Swinging();
  const QVAlgorithm3Series series = d.Series();
  QVAlgorithm3Indicators indicators[kLastIndicatorDay + 1];
  Algorithm3Indicators(series, indicators);
  constexpr int t = 120;
  constexpr int time = 3;
  const QVAlgorithm3SweepInput input{&series, indicators, time};
  for (const QVAlgorithm3Lanes* lanes : {&kAlgorithm3Sse2Lanes, &kAlgorithm3Avx2Lanes}) {
    if (!Algorithm3LanesSupported(*lanes)) continue;
    QVAlgorithm3SweepDay window[time + 1];
    const QVAlgorithm3SweepDay* days[time + 1];
    QVAlgorithm3Faults faults;
    for (int n = 0; n <= time; ++n) {
      lanes->day(input, t - n, window[n], faults);
      days[n] = &window[n];
    }
    std::array<double, kPassSlots> res;
    res.fill(-7.0);
    lanes->cycle(input, t, days, res.data(), faults);
    // Pass p runs with the p-th running sum of 0.01, one day step after another.
    double k = 0.0;
    for (int p = 0; p < 200; ++p) {
      QVAlgorithm3Book book;
      for (int i = t; i >= t - time; --i) {
        Algorithm3DayStep(series, i, k, kSweepPhase, book, faults);
      }
      EXPECT_EQ(res[p], Algorithm3Equity(series, t - time, book)) << lanes->name << " pass " << p;
      k = 0.01 + k;
    }
    for (int p = 200; p < kPassSlots; ++p) {
      EXPECT_EQ(res[p], -7.0) << "slot " << p << " is beyond the 200 passes";
    }
    EXPECT_FALSE(faults.truncation || faults.blockOverflow);
  }
}

TEST(Algorithm3Sweep, WritesTheChosenKJustBelowEachWindow) {
  const Days d = Days::Swinging();
  for (int time = 1; time <= 5; ++time) {
    std::array<double, kDays> best;
    best.fill(-1.0);
    QVAlgorithm3Faults faults;
    Algorithm3Sweep(d.Series(), time, best.data(), faults);
    for (int j = 0; j < kDays; ++j) {
      const bool written = j >= 5 - time && j <= 248 - time;
      if (written) {
        EXPECT_TRUE(best[j] >= 0.0 && best[j] <= 1.99) << "time " << time << " slot " << j;
      } else {
        EXPECT_EQ(best[j], -1.0) << "time " << time << " slot " << j;
      }
    }
  }
}

// ---- the run -----------------------------------------------------------------

TEST(Algorithm3Run, SkipsEveryFifthDayAndValuesOnDayFour) {
  std::array<double, kDays> best;
  best.fill(0.0);
  for (int day = 199; day >= 4; --day) {
    Days d;
    d.huan.fill(1.0);  // busy: buy = 100 - 0.03, sell = 100 + 0.06
    d.l[day] = 99.0;   // the only day whose low reaches the buy level
    d.e[4] = 123.0;
    QVAlgorithm3Faults faults;
    const double value = Algorithm3Run(d.Series(), best.data(), faults);
    if ((day + 2) % 5 == 0) {
      EXPECT_EQ(value, kStartingCash) << "day " << day << " must be skipped";
    } else {
      const double buy = 100.0 - 0.03;
      const double cash = kStartingCash - 5.0 * buy * 100.0;
      EXPECT_EQ(value, cash + 5.0 * 123.0 * 100.0) << "day " << day;
    }
  }
}

// ---- whole calls -------------------------------------------------------------

TEST(Algorithm3Call, NoTurnoverAnswersTheStartingCashExactly) {
  Days d = Days::Swinging();
  d.huan.fill(0.0);
  for (int time = 1; time <= 5; ++time) {
    const QVAlgorithm3Outcome outcome = d.Run(time);
    EXPECT_EQ(outcome.status, qvalgorithm3status::ok);
    EXPECT_EQ(outcome.value, 100000.0) << "time " << time;
  }
}

TEST(Algorithm3Call, RefusesWhatItIsNotDefinedForWithoutReadingIt) {
  // Buffers of the exact length, so a read past them is caught by the
  // address checker.
  std::vector<double> full(kDays, 100.0);
  std::vector<double> shorter(kDays - 1, 100.0);
  const double* f = full.data();
  struct Case {
    const char* name;
    const double* b;
    long bCount;
    const double* huan;
    long huanCount;
    int time;
    qvalgorithm3status status;
  } const cases[] = {
      {"null series", nullptr, kDays, f, kDays, 3, qvalgorithm3status::missingSeries},
      {"249 values", shorter.data(), kDays - 1, f, kDays, 3, qvalgorithm3status::seriesTooShort},
      {"249 turnover values", f, kDays, shorter.data(), kDays - 1, 3, qvalgorithm3status::seriesTooShort},
      {"negative count", f, -1, f, kDays, 3, qvalgorithm3status::seriesTooShort},
      {"time 0", f, kDays, f, kDays, 0, qvalgorithm3status::timeOutOfRange},
      {"time 6", f, kDays, f, kDays, 6, qvalgorithm3status::timeOutOfRange},
      {"time -1", f, kDays, f, kDays, -1, qvalgorithm3status::timeOutOfRange},
      {"huge time", f, kDays, f, kDays, std::numeric_limits<int>::max(), qvalgorithm3status::timeOutOfRange},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckAlgorithm3Arguments(c.b, c.bCount, f, kDays, f, kDays, f, kDays, c.huan, c.huanCount, c.time),
              c.status)
        << c.name;
    const QVAlgorithm3Outcome outcome =
        RunAlgorithm3(c.b, c.bCount, f, kDays, f, kDays, f, kDays, c.huan, c.huanCount, c.time, 0.4, 0.3, 0.2, 0.1);
    EXPECT_EQ(static_cast<int>(outcome.status), static_cast<int>(c.status)) << c.name;
    EXPECT_EQ(outcome.value, 0.0) << c.name;
  }
  // Longer series are fine; only the first 250 values count.
  std::vector<double> longer(400, 100.0);
  EXPECT_EQ(CheckAlgorithm3Arguments(longer.data(), 400, f, kDays, f, kDays, f, kDays, f, kDays, 1),
            qvalgorithm3status::ok);
}

TEST(Algorithm3Call, HostileValuesEndInADefinedRefusal) {
  struct Case {
    const char* name;
    void (*poison)(Days&);
    int time;
    qvalgorithm3status status;
  } const cases[] = {
      {"NaN everywhere", [](Days& d) { d.b.fill(kNaN); d.h.fill(kNaN); d.l.fill(kNaN); d.e.fill(kNaN); }, 5,
       qvalgorithm3status::truncationOutOfRange},
      {"infinite highs", [](Days& d) { d.h.fill(kInf); }, 2, qvalgorithm3status::truncationOutOfRange},
      {"huge turnover", [](Days& d) { d.huan.fill(1e12); }, 4, qvalgorithm3status::truncationOutOfRange},
      {"NaN weight", [](Days& d) { d.ratios[2] = kNaN; }, 1, qvalgorithm3status::truncationOutOfRange},
      {"huge prices", [](Days& d) { d.b.fill(1e300); d.h.fill(-1e300); }, 3,
       qvalgorithm3status::truncationOutOfRange},
      {"negative prices follow the rules",
       [](Days& d) {
         for (auto* s : {&d.b, &d.h, &d.l, &d.e}) {
           for (double& x : *s) x -= 200.0;
         }
       },
       3, qvalgorithm3status::ok},
      {"prices just above the band",
       [](Days& d) {
         d.b.fill(0.0300003);
         d.h.fill(0.0300003);
         d.e.fill(0.0300003);
         d.l.fill(1e-7);
         d.huan.fill(1.0);
         d.ratios[0] = 1.0;
         d.ratios[1] = d.ratios[2] = d.ratios[3] = 0.0;
       },
       2, qvalgorithm3status::blockCountOverflow},
      {"NaN close on the valuation day", [](Days& d) { d.e[4] = kNaN; }, 1, qvalgorithm3status::nonFiniteResult},
      {"zero prices: a buy level of 0",
       [](Days& d) { d.b.fill(0.0); d.h.fill(0.0); d.l.fill(0.0); d.e.fill(0.0); }, 5,
       qvalgorithm3status::truncationOutOfRange},
  };
  for (const Case& c : cases) {
    Days d = Days::Swinging();
    c.poison(d);
    const QVAlgorithm3Outcome outcome = d.Run(c.time);
    EXPECT_EQ(static_cast<int>(outcome.status), static_cast<int>(c.status)) << c.name;
    if (c.status == qvalgorithm3status::ok) {
      EXPECT_TRUE(std::isfinite(outcome.value)) << c.name;
    }
  }
}

TEST(Algorithm3Call, AllocatesNothing) {
  if (!QV_COUNT_ALLOCATIONS) GTEST_SKIP() << "allocation operators belong to the sanitizer";
  const Days d = Days::Swinging();
  for (int time = 1; time <= 5; ++time) {
    const long before = gAllocations.load();
    const QVAlgorithm3Outcome outcome = d.Run(time);
    EXPECT_EQ(gAllocations.load(), before) << "time " << time;
    EXPECT_EQ(outcome.status, qvalgorithm3status::ok);
  }
}

}  // namespace

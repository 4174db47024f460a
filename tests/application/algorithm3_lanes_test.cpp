// The sweep in lanes and threads against the simulation as it was computed
// before (tests/application/qvalgorithm3reference.h), bit for bit: the k that
// won each cycle, the faults, and the whole call's status and answer, on a few
// thousand generated calls of every kind, for each set of lanes the processor
// runs and for one, three and every thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "application/qvalgorithm3.h"
#include "application/qvalgorithm3reference.h"
#include "application/qvalgorithm3sample.h"
#include "application/qvalgorithm3steps.h"
#include "application/qvalgorithm3sweep.h"

namespace {

using namespace Quorvane;

constexpr int kDays = kAlgorithm3Days;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// b, h, l, e, huan, most recent day first, and the call's other arguments.
struct Call {
  std::vector<double> series[5];
  double ratios[4] = {0.4, 0.3, 0.2, 0.1};
  int time = 1;

  explicit Call(int days = kDays) {
    for (auto& s : series) s.assign(static_cast<size_t>(days), 0.0);
  }
  std::vector<double>& b() { return series[0]; }
  std::vector<double>& h() { return series[1]; }
  std::vector<double>& l() { return series[2]; }
  std::vector<double>& e() { return series[3]; }
  std::vector<double>& huan() { return series[4]; }
  QVAlgorithm3Series Series() const {
    return {series[0].data(), series[1].data(), series[2].data(), series[3].data(), series[4].data(),
            ratios[0],        ratios[1],        ratios[2],        ratios[3]};
  }
  long Count(int s) const { return static_cast<long>(series[s].size()); }
};

double Cents(double x) { return std::round(x * 100.0) / 100.0; }

// Days of a random walk with turnover around the thresholds: the calls a host makes.
Call RandomWalk(std::mt19937_64& rng) {
  Call call;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double prices[] = {3.0, 8.5, 17.2, 42.0, 120.0, 640.0};
  const double levels[] = {0.05, 0.12, 0.2, 0.4, 1.5};
  const double vol = 0.005 + 0.035 * unit(rng);
  const double level = levels[rng() % 5];
  std::normal_distribution<double> move(0.0, vol);
  std::lognormal_distribution<double> turnover(0.0, 0.7);
  double close = prices[rng() % 6] * (0.8 + 0.4 * unit(rng));
  for (int i = kDays - 1; i >= 0; --i) {
    const double open = Cents(close * (1.0 + move(rng) / 3.0));
    close = Cents(open * (1.0 + move(rng)));
    call.b()[i] = open;
    call.e()[i] = close;
    call.h()[i] = Cents(std::max(open, close) * (1.0 + std::abs(move(rng))));
    call.l()[i] = Cents(std::min(open, close) * (1.0 - std::abs(move(rng))));
    call.huan()[i] = std::round(level * turnover(rng) * 1e4) / 1e4;
  }
  if (rng() % 2 == 0) {
    for (double& ratio : call.ratios) ratio = std::round(unit(rng) * 600.0) / 1000.0;
  }
  return call;
}

// Prices that swing through the bands with wide days that reach both levels,
// turnover on the thresholds: every trade of every state is taken.
Call Swinging(std::mt19937_64& rng) {
  Call call;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double turnovers[] = {0.0, 0.05, 0.11, 0.11, 0.2, 0.25, 0.25, 0.3, 0.6, 1.2};
  const double mid = 20.0 + 60.0 * unit(rng);
  const int period = 3 + static_cast<int>(rng() % 7);
  const double amplitude = 0.5 + 2.5 * unit(rng);
  for (int d = 0; d < kDays; ++d) {
    const double centre = Cents(mid + amplitude * std::sin(2.0 * M_PI * d / period));
    const double reach = amplitude * (unit(rng) < 0.2 ? 2.0 : 0.6 * unit(rng));
    call.b()[d] = centre;
    call.e()[d] = Cents(centre + unit(rng) - 0.5);
    call.h()[d] = Cents(centre + reach + 0.3 * unit(rng));
    call.l()[d] = Cents(centre - reach - 0.3 * unit(rng));
    call.huan()[d] = turnovers[rng() % 10];
  }
  call.ratios[0] = 1.0;
  call.ratios[1] = call.ratios[2] = call.ratios[3] = 0.0;
  return call;
}

// Values no price should have, anywhere: NaN, infinities, zeros of both
// signs, negative, huge, subnormal and tiny values; or whole series shifted
// into them; or a poisoned weight.
Call Hostile(std::mt19937_64& rng) {
  Call call = RandomWalk(rng);
  const double poison[] = {kNaN, kInf, -kInf, 0.0, -0.0, -5.0, 1e300, -1e300, 5e-324, 3e-7, 1e12, 2147483648.0};
  switch (rng() % 7) {
    case 0:
      for (int n = 1 + static_cast<int>(rng() % 6); n > 0; --n) call.series[rng() % 5][rng() % kDays] = poison[rng() % 12];
      break;
    case 1:  // tiny prices: the block count runs past 32 bits
      for (int s = 0; s < 4; ++s) {
        for (double& x : call.series[s]) x *= 1e-8;
      }
      break;
    case 2:  // huge turnover: truncated terms out of range
      for (double& x : call.huan()) x *= 1e9;
      break;
    case 3:  // zero and negative prices from some day on
      for (int s = 0; s < 4; ++s) {
        for (size_t d = rng() % kDays; d < kDays; ++d) call.series[s][d] -= 200.0;
      }
      break;
    case 4:
      call.ratios[rng() % 4] = poison[rng() % 12];
      break;
    case 5:  // the close of the valuation day alone: read by the run's last equity
      call.e()[4] = poison[rng() % 3];
      break;
    default:  // one whole series poisoned
      for (double& x : call.series[rng() % 5]) x = poison[rng() % 12];
      break;
  }
  return call;
}

// Flat markets: every price the same (zero among them), turnover random,
// zero or constant.
Call Flat(std::mt19937_64& rng) {
  Call call = RandomWalk(rng);
  const double prices[] = {0.0, 0.01, 1.0, 50.0, 1e6};
  const double price = prices[rng() % 5];
  for (int s = 0; s < 4; ++s) call.series[s].assign(kDays, price);
  switch (rng() % 3) {
    case 0:
      call.huan().assign(kDays, 0.0);
      break;
    case 1:
      call.huan().assign(kDays, 0.25);
      break;
    default:
      break;
  }
  return call;
}

// Ordinary days scaled to magnitudes from the smallest to the largest doubles.
Call Magnitudes(std::mt19937_64& rng) {
  Call call = rng() % 2 == 0 ? RandomWalk(rng) : Swinging(rng);
  const double scale = std::ldexp(1.0, static_cast<int>(rng() % 2000) - 1000);
  const int scaled = static_cast<int>(rng() % 3);
  for (int s = 0; s < 5; ++s) {
    if (s < 4 ? scaled != 2 : scaled != 0) {
      for (double& x : call.series[s]) x *= scale;
    }
  }
  return call;
}

// Prices just above the band, every truncated term in range: the block count
// alone runs past 32 bits.
Call Crowded(std::mt19937_64& rng) {
  Call call;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double level = 0.0300003 + 1e-7 * unit(rng);
  call.b().assign(kDays, level);
  call.h().assign(kDays, level);
  call.e().assign(kDays, level);
  call.l().assign(kDays, 1e-7);
  call.huan().assign(kDays, 1.0);
  call.ratios[0] = 1.0;
  call.ratios[1] = call.ratios[2] = call.ratios[3] = 0.0;
  return call;
}

constexpr qvalgorithm3status kOk = qvalgorithm3status::ok;
constexpr qvalgorithm3status kTruncation = qvalgorithm3status::truncationOutOfRange;
constexpr qvalgorithm3status kOverflow = qvalgorithm3status::blockCountOverflow;
constexpr qvalgorithm3status kNonFinite = qvalgorithm3status::nonFiniteResult;

struct Kind {
  const char* name;
  Call (*make)(std::mt19937_64&);
  int calls;                                  // each made for every time 1 to 5
  std::vector<qvalgorithm3status> outcomes;  // each met at least once, so that each is compared
};

const Kind kKinds[] = {
    {"RandomWalk", &RandomWalk, 120, {kOk}},
    {"Swinging", &Swinging, 100, {kOk}},
    {"Hostile", &Hostile, 100, {kOk, kTruncation, kNonFinite}},
    {"Flat", &Flat, 40, {kOk, kTruncation}},
    {"Magnitudes", &Magnitudes, 60, {kOk, kTruncation}},
    {"Crowded", &Crowded, 20, {kOverflow}},
};

void PrintTo(const Kind& kind, std::ostream* os) { *os << kind.name; }

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The spreads the program's sweep is run with.
std::vector<QVAlgorithm3Spread> Spreads() {
  std::vector<QVAlgorithm3Spread> spreads;
  for (const QVAlgorithm3Lanes* lanes : {&kAlgorithm3Sse2Lanes, &kAlgorithm3Avx2Lanes}) {
    if (!Algorithm3LanesSupported(*lanes)) continue;
    for (int threads : {1, 3, 0}) spreads.push_back({lanes, threads});
  }
  return spreads;
}

std::string Describe(const QVAlgorithm3Spread& spread) {
  return std::string(spread.lanes->name) + " lanes, " +
         (spread.threads == 0 ? std::string("every thread") : std::to_string(spread.threads) + " thread(s)");
}

QVAlgorithm3Outcome Run(const Call& call, const QVAlgorithm3Spread* spread) {
  const auto& s = call.series;
  if (spread == nullptr) {
    return reference::RunAlgorithm3(s[0].data(), call.Count(0), s[1].data(), call.Count(1), s[2].data(),
                                    call.Count(2), s[3].data(), call.Count(3), s[4].data(), call.Count(4), call.time,
                                    call.ratios[0], call.ratios[1], call.ratios[2], call.ratios[3]);
  }
  return RunAlgorithm3(s[0].data(), call.Count(0), s[1].data(), call.Count(1), s[2].data(), call.Count(2),
                       s[3].data(), call.Count(3), s[4].data(), call.Count(4), call.time, call.ratios[0],
                       call.ratios[1], call.ratios[2], call.ratios[3], *spread);
}

// Holds every spread of the program to the reference on one call: the sweep's
// k of every day and its faults, then the whole call.
// The reference's status goes to *status when given.
void ExpectSameAsReference(const Call& call, const std::string& what, qvalgorithm3status* status = nullptr) {
  const QVAlgorithm3Outcome expected = Run(call, nullptr);
  if (status != nullptr) *status = expected.status;
  const bool sweeps = CheckAlgorithm3Arguments(call.series[0].data(), call.Count(0), call.series[1].data(),
                                               call.Count(1), call.series[2].data(), call.Count(2),
                                               call.series[3].data(), call.Count(3), call.series[4].data(),
                                               call.Count(4), call.time) == qvalgorithm3status::ok;
  double expectedBest[kDays];
  QVAlgorithm3Faults expectedFaults;
  const QVAlgorithm3Series series = call.Series();
  if (sweeps) {
    std::fill(std::begin(expectedBest), std::end(expectedBest), -1.0);
    reference::Algorithm3Sweep(series, call.time, expectedBest, expectedFaults);
  }
  for (const QVAlgorithm3Spread& spread : Spreads()) {
    const std::string where = what + ", time " + std::to_string(call.time) + ", " + Describe(spread);
    if (sweeps) {
      double best[kDays];
      std::fill(std::begin(best), std::end(best), -1.0);
      QVAlgorithm3Faults faults;
      Algorithm3Sweep(series, call.time, best, faults, spread);
      for (int j = 0; j < kDays; ++j) {
        ASSERT_TRUE(SameBits(best[j], expectedBest[j])) << where << ": k of day " << j << " is " << best[j]
                                                        << ", was " << expectedBest[j];
      }
      ASSERT_EQ(faults.truncation, expectedFaults.truncation) << where;
      ASSERT_EQ(faults.blockOverflow, expectedFaults.blockOverflow) << where;
    }
    const QVAlgorithm3Outcome outcome = Run(call, &spread);
    ASSERT_EQ(static_cast<int>(outcome.status), static_cast<int>(expected.status)) << where;
    ASSERT_TRUE(SameBits(outcome.value, expected.value)) << where << ": " << outcome.value << ", was "
                                                         << expected.value;
  }
}

class Algorithm3SameAsBefore : public ::testing::TestWithParam<Kind> {};

TEST_P(Algorithm3SameAsBefore, OnGeneratedCallsForEveryTime) {
  const Kind& kind = GetParam();
  std::mt19937_64 rng(std::hash<std::string>{}(kind.name));
  std::vector<qvalgorithm3status> met;
  for (int n = 0; n < kind.calls; ++n) {
    Call call = kind.make(rng);
    for (int time = 1; time <= 5; ++time) {
      call.time = time;
      qvalgorithm3status status;
      ASSERT_NO_FATAL_FAILURE(
          ExpectSameAsReference(call, std::string(kind.name) + " call " + std::to_string(n), &status));
      met.push_back(status);
    }
  }
  for (qvalgorithm3status outcome : kind.outcomes) {
    EXPECT_NE(std::find(met.begin(), met.end(), outcome), met.end())
        << "no call ended with status " << static_cast<int>(outcome);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Algorithm3SameAsBefore, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& kind) { return std::string(kind.param.name); });

// Calls the simulation refuses, and series longer than it reads: the same
// status and the same answer as before.
TEST(Algorithm3SameAsBeforeAtTheEdges, RefusedAndLongerCalls) {
  std::mt19937_64 rng(7);
  const int times[] = {std::numeric_limits<int>::min(), -1, 0, 6, 7, std::numeric_limits<int>::max()};
  for (int time : times) {
    Call call = RandomWalk(rng);
    call.time = time;
    ASSERT_NO_FATAL_FAILURE(ExpectSameAsReference(call, "time out of range"));
  }
  for (int days : {0, 1, 249}) {
    Call call(days);
    call.time = 3;
    ASSERT_NO_FATAL_FAILURE(ExpectSameAsReference(call, std::to_string(days) + " days"));
  }
  for (int days : {251, 400, 4000}) {
    const Call walk = RandomWalk(rng);
    Call call(days);
    for (int s = 0; s < 5; ++s) {
      for (int d = 0; d < days; ++d) call.series[s][d] = walk.series[s][d % kDays];
    }
    for (int time = 1; time <= 5; ++time) {
      call.time = time;
      ASSERT_NO_FATAL_FAILURE(ExpectSameAsReference(call, std::to_string(days) + " days"));
    }
  }
}

// The sample the host tests send, at the lengths they send it.
TEST(Algorithm3SameAsBeforeAtTheEdges, TheHostTestsSample) {
  for (int days : {250, 4000, 16000}) {
    const qvtest::Algorithm3Sample sample(days);
    Call call(days);
    for (int s = 0; s < 5; ++s) call.series[s] = sample.series[s];
    for (int r = 0; r < 4; ++r) call.ratios[r] = sample.ratios[r];
    for (int time = 1; time <= 5; ++time) {
      call.time = time;
      ASSERT_NO_FATAL_FAILURE(ExpectSameAsReference(call, "sample of " + std::to_string(days) + " days"));
    }
  }
}

// The table of k the lanes read is the running sum the loop computes.
TEST(Algorithm3SweepKs, AreTheRunningSumAndItsSquares) {
  volatile double step = 0.01;
  double k = 0.0;
  for (int p = 0; p < kSweepPasses; ++p) {
    ASSERT_TRUE(SameBits(kSweepKs.k[p], k)) << p;
    ASSERT_TRUE(SameBits(kSweepKs.kk[p], k * k)) << p;
    k = step + k;
  }
  EXPECT_GT(k, 2.0);
}

}  // namespace

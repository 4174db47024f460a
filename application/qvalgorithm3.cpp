#include "application/qvalgorithm3.h"

#include <cmath>
#include <initializer_list>

#include "application/qvalgorithm3steps.h"
#include "application/qvalgorithm3sweep.h"

namespace Quorvane {

namespace {

constexpr int kShortestTime = 1;
constexpr int kLongestTime = 5;  // longer windows would reach before day 0

}  // namespace

qvalgorithm3status CheckAlgorithm3Arguments(const double* b, long bCount, const double* h, long hCount,
                                            const double* l, long lCount, const double* e, long eCount,
                                            const double* huan, long huanCount, int time) {
  if (b == nullptr || h == nullptr || l == nullptr || e == nullptr || huan == nullptr) {
    return qvalgorithm3status::missingSeries;
  }
  for (long count : {bCount, hCount, lCount, eCount, huanCount}) {
    if (count < kAlgorithm3Days) {
      return qvalgorithm3status::seriesTooShort;
    }
  }
  if (time < kShortestTime || time > kLongestTime) {
    return qvalgorithm3status::timeOutOfRange;
  }
  return qvalgorithm3status::ok;
}

QVAlgorithm3Outcome RunAlgorithm3(const double* b, long bCount, const double* h, long hCount,
                                  const double* l, long lCount, const double* e, long eCount,
                                  const double* huan, long huanCount, int time, double ratio1,
                                  double ratio2, double ratio3, double ratio4,
                                  const QVAlgorithm3Spread& spread) {
  QVAlgorithm3Outcome outcome;
  outcome.status =
      CheckAlgorithm3Arguments(b, bCount, h, hCount, l, lCount, e, eCount, huan, huanCount, time);
  if (outcome.status != qvalgorithm3status::ok) {
    return outcome;
  }
  const QVAlgorithm3Series series{b, h, l, e, huan, ratio1, ratio2, ratio3, ratio4};
  QVAlgorithm3Faults faults;
  double best[kAlgorithm3Days] = {};
  Algorithm3Sweep(series, time, best, faults, spread);
  outcome.value = Algorithm3Run(series, best, faults);
  if (faults.truncation) {
    outcome.status = qvalgorithm3status::truncationOutOfRange;
  } else if (faults.blockOverflow) {
    outcome.status = qvalgorithm3status::blockCountOverflow;
  } else if (!std::isfinite(outcome.value)) {
    outcome.status = qvalgorithm3status::nonFiniteResult;
  }
  return outcome;
}

}  // namespace Quorvane

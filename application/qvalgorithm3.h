// algorithm3: the price-band trading simulation behind the installed
// "Algorithm3" call. The argument reader checks a call with
// CheckAlgorithm3Arguments before anything else, runs it with RunAlgorithm3,
// and answers "$Failed" unless the outcome's status is ok.
#pragma once

#include "application/qvalgorithm3sweep.h"

namespace Quorvane {

enum class qvalgorithm3status {
  ok = 0,
  missingSeries,         // a series pointer is null
  seriesTooShort,        // a series holds fewer than 250 values
  timeOutOfRange,        // time is not 1 to 5
  truncationOutOfRange,  // a truncated term was NaN or outside 32 bits
  blockCountOverflow,    // the count of blocks held left the 32-bit range
  nonFiniteResult,       // the final equity is NaN or infinite
};

// Refuses the calls the simulation is not defined for, before it reads any
// value: with these checks passed no index it uses is outside a series.
qvalgorithm3status CheckAlgorithm3Arguments(const double* b, long bCount, const double* h, long hCount,
                                            const double* l, long lCount, const double* e, long eCount,
                                            const double* huan, long huanCount, int time);

struct QVAlgorithm3Outcome {
  double value = 0.0;  // the final equity; meaningful only when status is ok
  qvalgorithm3status status = qvalgorithm3status::ok;
};

// Checks the call, then runs both phases, the sweep spread as told (by
// default over the widest lanes and every thread the process may use). When
// the check refuses, nothing is read and value is 0.0. When a fault turns up
// on the way, the run completes with the defined substitutes (see
// TruncateTo32) and the status names the first kind of fault in the order of
// the enum. Allocates nothing once the compute threads have started.
QVAlgorithm3Outcome RunAlgorithm3(const double* b, long bCount, const double* h, long hCount,
                                  const double* l, long lCount, const double* e, long eCount,
                                  const double* huan, long huanCount, int time, double ratio1,
                                  double ratio2, double ratio3, double ratio4,
                                  const QVAlgorithm3Spread& spread = {});

}  // namespace Quorvane

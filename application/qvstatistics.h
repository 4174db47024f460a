// The two small statistics of the price-band simulation.
#pragma once

namespace Quorvane {

// Number of slots of the pass table that zuidazhi scans.
constexpr int kPassSlots = 250;

// Population standard deviation of five values: the mean, then the squared
// deviations added in order x1 to x5, then the root of a fifth of the sum.
double STDEVP(double x1, double x2, double x3, double x4, double x5);

// Slot of the largest of kPassSlots values, scaled by 0.01 (the k of that
// pass). The search starts from 0.0, so negative values never win; ties go to
// the lowest slot; a NaN never wins. 0.0 when nothing equals the maximum.
double zuidazhi(const double* a);

}  // namespace Quorvane

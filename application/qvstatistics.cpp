// Built with -ffp-contract=off (see application/CMakeLists.txt): the
// simulation's answer must not depend on the compiler fusing operations.
#include "application/qvstatistics.h"

#include <cmath>

namespace Quorvane {

double STDEVP(double x1, double x2, double x3, double x4, double x5) {
  const double mean = (x1 + x2 + x3 + x4 + x5) / 5.0;
  double acc = 0.0;
  acc = acc + (x1 - mean) * (x1 - mean);
  acc = acc + (x2 - mean) * (x2 - mean);
  acc = acc + (x3 - mean) * (x3 - mean);
  acc = acc + (x4 - mean) * (x4 - mean);
  acc = acc + (x5 - mean) * (x5 - mean);
  return std::sqrt(0.2 * acc);
}

double zuidazhi(const double* a) {
  double max = 0.0;
  for (int j = 0; j < kPassSlots; ++j) {
    if (a[j] >= max) {  // false for a NaN, so a NaN never becomes the maximum
      max = a[j];
    }
  }
  for (int j = 0; j < kPassSlots; ++j) {
    if (a[j] == max) {
      return static_cast<double>(j) * 0.01;
    }
  }
  return 0.0;
}

}  // namespace Quorvane

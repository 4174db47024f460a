// The sweep's rules in two lanes, SSE2: every x86-64 processor runs them.
// Built with -ffp-contract=off (see application/CMakeLists.txt).
#include <emmintrin.h>

#include "application/qvalgorithm3lanes.h"

namespace Quorvane {

namespace {

struct Sse2Lanes {
  static constexpr int kWidth = 2;
  typedef double Real __attribute__((vector_size(16)));
  typedef long long Mask __attribute__((vector_size(16)));

  static Real Splat(double x) { return Real{x, x}; }
  static Real Load(const double* p) { return _mm_loadu_pd(p); }
  static void Store(double* p, Real v) { _mm_storeu_pd(p, v); }
  static bool Any(Mask m) { return _mm_movemask_pd(_mm_castsi128_pd(m)) != 0; }
  static Real Select(Mask m, Real a, Real b) {
    const __m128d lanes = _mm_castsi128_pd(m);
    return _mm_or_pd(_mm_and_pd(lanes, a), _mm_andnot_pd(lanes, b));
  }
  static Real Toward0(Real x) { return _mm_cvtepi32_pd(_mm_cvttpd_epi32(x)); }
};

}  // namespace

const QVAlgorithm3Lanes kAlgorithm3Sse2Lanes{"sse2", Sse2Lanes::kWidth, qvalgorithm3isa::baseline,
                                             &LaneSweepDay<Sse2Lanes>, &LaneSweepCycle<Sse2Lanes>};

}  // namespace Quorvane

// The sweep's rules in four lanes, for processors with AVX2; this file alone
// is built for them (-mavx2, see application/CMakeLists.txt), and it is only
// reached once the processor has said it runs them. It defines nothing with
// external linkage but the table below, so no function built for AVX2 can
// stand in for one of another file. Built with -ffp-contract=off.
#include <immintrin.h>

#include "application/qvalgorithm3lanes.h"

namespace Quorvane {

namespace {

struct Avx2Lanes {
  static constexpr int kWidth = 4;
  typedef double Real __attribute__((vector_size(32)));
  typedef long long Mask __attribute__((vector_size(32)));

  static Real Splat(double x) { return Real{x, x, x, x}; }
  static Real Load(const double* p) { return _mm256_loadu_pd(p); }
  static void Store(double* p, Real v) { _mm256_storeu_pd(p, v); }
  static bool Any(Mask m) { return _mm256_movemask_pd(_mm256_castsi256_pd(m)) != 0; }
  static Real Select(Mask m, Real a, Real b) { return _mm256_blendv_pd(b, a, _mm256_castsi256_pd(m)); }
  static Real Toward0(Real x) { return _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(x)); }
};

}  // namespace

const QVAlgorithm3Lanes kAlgorithm3Avx2Lanes{"avx2", Avx2Lanes::kWidth, qvalgorithm3isa::avx2,
                                             &LaneSweepDay<Avx2Lanes>, &LaneSweepCycle<Avx2Lanes>};

}  // namespace Quorvane

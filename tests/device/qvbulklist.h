// The List of reals a bulk transfer test sends: far longer than any test
// lets it run, so that it is always cut off by the death of one side.
#pragma once

namespace qvtest {

inline constexpr int kBulkListLength = 1 << 30;

// The i-th real of the List: whole and half numbers, whose bytes hold the
// framing's escape byte now and then.
inline double BulkReal(long i) { return 0.5 * static_cast<double>(i); }

}  // namespace qvtest

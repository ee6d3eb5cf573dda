#pragma once
// The one orientation rule of singular vectors: a decomposition leaves each vector's sign
// free, and the filtered series is the negated dominant vector, so the sign is fixed here.

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace vexa {

/*!
 * True when the n components (stride apart) must be negated: when they sum to a positive
 * number, or, summing to 0, when the first non-zero one is positive. So an oriented vector
 * of positive series has negative components, and the filtered series comes out positive.
 */
inline bool pointsTheWrongWay(const double* v, int n, std::ptrdiff_t stride = 1) {
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += v[i * stride];
  if (sum != 0.0) return sum > 0.0;
  for (int i = 0; i < n; ++i)
    if (v[i * stride] != 0.0) return v[i * stride] > 0.0;
  return false;
}

/*!
 * The rule for vectors whose components sum to 0 by construction (those of demeaned
 * courses, all orthogonal to the constant course), where the sum's sign is rounding's:
 * true when the component largest in magnitude is positive, so that the filtered series
 * peaks upwards. Components equal to it but for rounding (1e-9) count as equal, and the
 * first of equals decides: (1, -1) / sqrt 2 must not turn with the last bit.
 */
inline bool peaksTheWrongWay(const double* v, int n, std::ptrdiff_t stride = 1) {
  double largest = 0;
  for (int i = 0; i < n; ++i) largest = std::max(largest, std::abs(v[i * stride]));
  for (int i = 0; i < n; ++i)
    if (std::abs(v[i * stride]) >= largest * (1 - 1e-9)) return v[i * stride] > 0.0;
  return false;
}

}  // namespace vexa

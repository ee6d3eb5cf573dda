#pragma once
// The one orientation rule of singular vectors: a decomposition leaves each vector's sign
// free, and the filtered series is the negated dominant vector, so the sign is fixed here.

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

}  // namespace vexa

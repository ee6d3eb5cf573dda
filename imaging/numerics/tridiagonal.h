#pragma once
// Eigenvalues of a symmetric tridiagonal matrix, one at a time: Laguerre's iteration
// guarded by Sturm counts (the signs of the LDL' pivots of T - x I). See Parlett, The
// Symmetric Eigenvalue Problem, for the counts, and Kahan's notes on Laguerre's method.
//
// This is the scalar copy. The batched solver has its own, lane by lane, in
// per_instruction_set/batched_lanes.inc: it cannot share code compiled for a wider
// instruction set, so a fix to one must be made to the other.

#include <limits>

namespace vexa {

// Pivots of the normalised tridiagonal below this are nudged to it: an eigenvalue
// perturbation far below rounding, but it keeps the derivative recurrences finite.
constexpr double kPivotMin = 1e-30;

/*!
 * The eigenvalue of rank m (0 = smallest) of the tridiagonal with diagonal d and squared
 * off-diagonal e2 (n and n - 1 values), normalised so that its entries are at most 1 in
 * magnitude, within [lo, hi], iterating from start. A finite known root is divided out of
 * the steps, so that they head for the next one. The result is within a few units of
 * rounding of |lo| + |hi|.
 */
double tridiagonalEigenvalue(const double* d, const double* e2, int n, int m, double lo, double hi, double start,
                             double known = std::numeric_limits<double>::quiet_NaN());

}  // namespace vexa

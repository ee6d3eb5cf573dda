#include "imaging/numerics/tridiagonal.h"

#include <algorithm>
#include <cmath>

namespace vexa {

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Evaluation {
  int below = 0;  // eigenvalues smaller than x
  double g = 0;   // sum of 1 / (x - lambda)
  double h = 0;   // sum of 1 / (x - lambda)^2
};

// Sturm count with the first two derivatives of log|det(T - x I)|, from the LDL^T pivots.
Evaluation evaluate(const double* d, const double* e2, int n, double x) {
  Evaluation out;
  double q = d[0] - x;
  if (std::abs(q) < kPivotMin) q = -kPivotMin;
  double dq = -1.0, ddq = 0.0;
  double s = 1.0 / q;
  out.below = q < 0;
  out.g = dq * s;
  out.h = (dq * s) * (dq * s) - ddq * s;
  for (int k = 1; k < n; ++k) {
    const double r = s;
    const double e2r2 = e2[k - 1] * r * r;
    const double ddqNext = e2r2 * (ddq - 2.0 * dq * dq * r);
    const double dqNext = -1.0 + e2r2 * dq;
    q = d[k] - x - e2[k - 1] * r;
    if (std::abs(q) < kPivotMin) q = -kPivotMin;
    s = 1.0 / q;
    dq = dqNext;
    ddq = ddqNext;
    out.below += q < 0;
    // log|det(T - x I)| is the sum of log|q|, and its derivative is the sum of 1 / (x - lambda).
    out.g += dq * s;
    out.h += (dq * s) * (dq * s) - ddq * s;
  }
  return out;
}

}  // namespace

// The Sturm count keeps a bracket around the target, so the result is within a few units
// of rounding even where Laguerre's steps would wander.
double tridiagonalEigenvalue(const double* d, const double* e2, int n, int m, double lo, double hi, double start,
                             double known) {
  const bool deflate = std::isfinite(known);
  const int degree = deflate ? n - 1 : n;
  const double tolerance = 4 * kEpsilon * std::max({std::abs(lo), std::abs(hi), 1e-300});
  double x = start;
  for (int iteration = 0; iteration < 300; ++iteration) {
    Evaluation at = evaluate(d, e2, n, x);
    if (deflate) {
      const double r = 1.0 / (x - known);
      at.g -= r;
      at.h -= r * r;
    }
    const bool left = at.below > m;  // the target lies below x
    if (left) {
      hi = std::min(hi, x);
    } else {
      lo = std::max(lo, x);
    }
    // Laguerre's step towards the target never passes the neighbouring root, so it is
    // taken only when that root is the target; otherwise the bracket is halved.
    double next = kNaN;
    const int effective = at.below - (deflate && x > known ? 1 : 0);
    const bool adjacent = left ? effective == m + 1 : effective == m;
    const double root = std::sqrt(std::max(0.0, (degree - 1) * (degree * at.h - at.g * at.g)));
    const double denominator = left ? at.g + root : at.g - root;
    if (adjacent && std::isfinite(denominator) && (left ? denominator > 0 : denominator < 0)) {
      next = x - degree / denominator;
    }
    // Converged: the step has shrunk to rounding (the bracket may end right at x).
    if (adjacent && std::abs(next - x) <= tolerance) return next;
    if (!(next > lo && next < hi)) {
      if (hi - lo <= tolerance) return 0.5 * (lo + hi);
      next = 0.5 * (lo + hi);
    }
    if (hi - lo <= tolerance) return next;
    x = next;
  }
  return 0.5 * (lo + hi);
}

}  // namespace vexa

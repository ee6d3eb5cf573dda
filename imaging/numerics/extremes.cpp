#include "imaging/numerics/extremes.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Dense>

#include "imaging/numerics/inverse_iteration.h"
#include "imaging/numerics/orientation.h"

namespace vexa {

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Pivots of the normalised tridiagonal below this are nudged to it: an eigenvalue
// perturbation far below rounding, but it keeps the derivative recurrences finite.
constexpr double kPivotMin = 1e-30;

struct Evaluation {
  int below = 0;  // eigenvalues smaller than x
  double g = 0;   // sum of 1 / (x - lambda)
  double h = 0;   // sum of 1 / (x - lambda)^2
};

}  // namespace

struct ExtremesSolver::Work {
  explicit Work(int n) : tri(n), d(n), e(std::max(n - 1, 1)), e2(std::max(n - 1, 1)), y(n), start(n), workspace(1) {
    for (int i = 0; i < n; ++i) start(i) = 1.0 + 0.25 * std::sin(1.0 + 1.7 * i);
  }

  Eigen::Tridiagonalization<Eigen::MatrixXd> tri;
  // The tridiagonal, divided by scale: diagonal d, off-diagonal e and its squares e2.
  std::vector<double> d, e, e2;
  double scale = 0;
  // Bounds of the spectrum of the scaled tridiagonal (Gershgorin discs, widened by rounding).
  double lo = 0, hi = 0;
  InverseIteration inverse;
  Eigen::VectorXd y, start, workspace;
};

ExtremesSolver::ExtremesSolver(int n) : _n(n), _work(std::make_unique<Work>(std::max(n, 1))) {}
ExtremesSolver::~ExtremesSolver() = default;

namespace {

// Sturm count with the first two derivatives of log|det(T - x I)|, from the LDL^T pivots.
Evaluation evaluate(const std::vector<double>& d, const std::vector<double>& e2, int n, double x) {
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

/*!
 * The eigenvalue of rank m (0 = smallest) of the tridiagonal, within [lo, hi], from start.
 * A finite known root is divided out of the Laguerre steps, so that they head for the next
 * one. The Sturm count keeps a bracket around the target, so the result is within a few
 * units of rounding of |lo| + |hi| even where Laguerre's steps would wander.
 */
double eigenvalue(const std::vector<double>& d, const std::vector<double>& e2, int n, int m, double lo, double hi,
                  double start, double known = kNaN) {
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

}  // namespace

bool ExtremesSolver::trivialCase(const double* a, Extremes& out, double* vector) const {
  const int n = _n;
  bool finite = true;
  for (int i = 0; i < n * n; ++i) finite = finite && std::isfinite(a[i]);
  if (!finite) {
    out.first = out.second = out.last = kNaN;
    std::fill(vector, vector + n, kNaN);
    return true;
  }
  if (n == 1) {
    out.first = out.second = out.last = std::abs(a[0]);
    vector[0] = -1.0;
    return true;
  }
  return false;
}

bool ExtremesSolver::tridiagonalise(const double* a) {
  Work& w = *_work;
  const int n = _n;
  w.tri.compute(Eigen::Map<const Eigen::MatrixXd>(a, n, n));
  w.scale = 0;
  for (int i = 0; i < n; ++i) {
    w.d[i] = w.tri.diagonal()(i);
    w.scale = std::max(w.scale, std::abs(w.d[i]));
  }
  for (int i = 0; i < n - 1; ++i) {
    w.e[i] = w.tri.subDiagonal()(i);
    w.scale = std::max(w.scale, std::abs(w.e[i]));
  }
  if (w.scale == 0) return false;
  // Work on T / scale, so that the recurrences stay far from overflow.
  for (int i = 0; i < n; ++i) {
    w.d[i] /= w.scale;
    if (i < n - 1) {
      w.e[i] /= w.scale;
      w.e2[i] = w.e[i] * w.e[i];
    }
  }
  w.lo = std::numeric_limits<double>::infinity();
  w.hi = -w.lo;
  for (int i = 0; i < n; ++i) {
    const double radius = (i > 0 ? std::abs(w.e[i - 1]) : 0.0) + (i < n - 1 ? std::abs(w.e[i]) : 0.0);
    w.lo = std::min(w.lo, w.d[i] - radius);
    w.hi = std::max(w.hi, w.d[i] + radius);
  }
  const double margin = 4 * kEpsilon * std::max(std::abs(w.lo), std::abs(w.hi));
  w.lo -= margin;
  w.hi += margin;
  return true;
}

void ExtremesSolver::threeEigenvalues(double& largest, double& second, double& smallest) const {
  const Work& w = *_work;
  const int n = _n;
  // A positive semi-definite matrix has no eigenvalue below 0 beyond rounding, and its
  // second largest is at most the trace less the largest: starting there, close to the
  // clustered small eigenvalues, saves the iteration its long approach from the bounds.
  double trace = 0;
  for (int i = 0; i < n; ++i) trace += w.d[i];
  const double rounding = 8 * n * kEpsilon * std::max(std::abs(w.lo), std::abs(w.hi));
  largest = eigenvalue(w.d, w.e2, n, n - 1, w.lo, w.hi, w.hi);
  smallest = eigenvalue(w.d, w.e2, n, 0, w.lo, w.hi, std::max(w.lo, -rounding));
  second = smallest;
  if (n > 2) {
    // Far enough above the largest that dividing it out costs no accuracy.
    const double bound = std::min(w.hi, trace - largest + rounding);
    const double start = bound < largest - 0.125 * (largest - w.lo) ? bound : w.hi + 0.125 * (w.hi - w.lo);
    second = eigenvalue(w.d, w.e2, n, n - 2, w.lo, w.hi + 0.25 * (w.hi - w.lo), start, largest);
  }
}

void ExtremesSolver::tridiagonalVector(double largest) {
  Work& w = *_work;
  w.inverse.factor(w.d.data(), w.e.data(), _n, largest, kEpsilon * std::max(std::abs(w.lo), std::abs(w.hi)));
  w.y = w.start;
  w.inverse.solve(w.y.data());
}

void ExtremesSolver::backTransform(double* vector) {
  Work& w = *_work;
  const int n = _n;
  w.tri.matrixQ().applyThisOnTheLeft(w.y, w.workspace);
  w.y.normalize();
  const double sign = pointsTheWrongWay(w.y.data(), n) ? -1.0 : 1.0;
  for (int i = 0; i < n; ++i) vector[i] = sign * w.y(i);
}

Extremes ExtremesSolver::solve(const double* a, double* vector) {
  Extremes out;
  if (trivialCase(a, out, vector)) return out;
  if (!tridiagonalise(a)) {
    // The zero matrix: every vector is an eigenvector; take the first axis.
    std::fill(vector, vector + _n, 0.0);
    vector[0] = -1.0;
    return out;
  }
  double largest, second, smallest;
  threeEigenvalues(largest, second, smallest);
  // The eigenvalues of a positive semi-definite matrix are its singular values; rounding
  // may leave the smallest a few units of rounding below 0, hence the absolute values.
  const double scale = _work->scale;
  out.first = std::abs(largest) * scale;
  out.second = std::abs(second) * scale;
  out.last = std::abs(smallest) * scale;
  tridiagonalVector(largest);
  backTransform(vector);
  return out;
}

}  // namespace vexa

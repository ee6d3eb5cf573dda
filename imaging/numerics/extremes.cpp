#include "imaging/numerics/extremes.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Dense>

#include "imaging/numerics/inverse_iteration.h"
#include "imaging/numerics/orientation.h"
#include "imaging/numerics/tridiagonal.h"

namespace vexa {

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
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
  // No prescaling before the Householder steps (as in batched_lanes.inc): every entry is a
  // mean of products of 32-bit floats, at most about 1e77 in magnitude and, when not 0, at
  // least about 1e-94, so the sums of squares the reflectors form stay inside double's
  // range. Only the tridiagonal is scaled, for the Laguerre recurrences.
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
  largest = tridiagonalEigenvalue(w.d.data(), w.e2.data(), n, n - 1, w.lo, w.hi, w.hi);
  smallest = tridiagonalEigenvalue(w.d.data(), w.e2.data(), n, 0, w.lo, w.hi, std::max(w.lo, -rounding));
  second = smallest;
  if (n > 2) {
    // Far enough above the largest that dividing it out costs no accuracy.
    const double bound = std::min(w.hi, trace - largest + rounding);
    const double start = bound < largest - 0.125 * (largest - w.lo) ? bound : w.hi + 0.125 * (w.hi - w.lo);
    second =
        tridiagonalEigenvalue(w.d.data(), w.e2.data(), n, n - 2, w.lo, w.hi + 0.25 * (w.hi - w.lo), start, largest);
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

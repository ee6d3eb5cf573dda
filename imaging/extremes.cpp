#include "imaging/extremes.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Dense>

namespace vexa {

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
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
  explicit Work(int n)
      : tri(n),
        d(n),
        e(std::max(n - 1, 1)),
        e2(std::max(n - 1, 1)),
        diag(n),
        up1(n),
        up2(n),
        low(n),
        multiplier(n),
        swapped(n),
        y(n),
        start(n),
        workspace(1) {
    for (int i = 0; i < n; ++i) start(i) = 1.0 + 0.25 * std::sin(1.0 + 1.7 * i);
  }

  Eigen::Tridiagonalization<Eigen::MatrixXd> tri;
  std::vector<double> d, e, e2;
  // Inverse iteration: the LU factors of T - shift I with partial pivoting.
  std::vector<double> diag, up1, up2, low, multiplier;
  std::vector<char> swapped;
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
    const double e2r2 = e2[static_cast<std::size_t>(k - 1)] * r * r;
    const double ddqNext = e2r2 * (ddq - 2.0 * dq * dq * r);
    const double dqNext = -1.0 + e2r2 * dq;
    q = d[static_cast<std::size_t>(k)] - x - e2[static_cast<std::size_t>(k - 1)] * r;
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

// The eigenvalue of rank m (0 = smallest) of the tridiagonal, within [lo, hi], from start.
// A finite known root is divided out of the Laguerre steps, so that they head for the next one.
double eigenvalue(const std::vector<double>& d, const std::vector<double>& e2, int n, int m, double lo, double hi,
                  double start, double known = std::numeric_limits<double>::quiet_NaN()) {
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
    double next = std::numeric_limits<double>::quiet_NaN();
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

Extremes ExtremesSolver::solve(const double* a, double* vector) {
  Work& w = *_work;
  const int n = _n;
  Extremes out;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  bool finite = true;
  for (int i = 0; i < n * n; ++i) finite = finite && std::isfinite(a[i]);
  if (!finite) {
    out.first = out.second = out.last = nan;
    std::fill(vector, vector + n, nan);
    return out;
  }
  if (n == 1) {
    out.first = out.second = out.last = std::abs(a[0]);
    out.positive = a[0] >= 0;
    vector[0] = -1.0;
    return out;
  }

  w.tri.compute(Eigen::Map<const Eigen::MatrixXd>(a, n, n));
  double scale = 0;
  for (int i = 0; i < n; ++i) {
    w.d[static_cast<std::size_t>(i)] = w.tri.diagonal()(i);
    scale = std::max(scale, std::abs(w.d[static_cast<std::size_t>(i)]));
  }
  for (int i = 0; i < n - 1; ++i) {
    w.e[static_cast<std::size_t>(i)] = w.tri.subDiagonal()(i);
    scale = std::max(scale, std::abs(w.e[static_cast<std::size_t>(i)]));
  }
  if (scale == 0) {
    // The zero matrix: every vector is an eigenvector; take the first axis.
    out.first = out.second = out.last = 0;
    std::fill(vector, vector + n, 0.0);
    vector[0] = -1.0;
    return out;
  }
  // Work on T / scale, so that the recurrences stay far from overflow.
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (int i = 0; i < n; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    w.d[k] /= scale;
    if (i < n - 1) {
      w.e[k] /= scale;
      w.e2[k] = w.e[k] * w.e[k];
    }
  }
  for (int i = 0; i < n; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    const double radius = (i > 0 ? std::abs(w.e[k - 1]) : 0.0) + (i < n - 1 ? std::abs(w.e[k]) : 0.0);
    lo = std::min(lo, w.d[k] - radius);
    hi = std::max(hi, w.d[k] + radius);
  }
  const double margin = 4 * kEpsilon * std::max(std::abs(lo), std::abs(hi));
  lo -= margin;
  hi += margin;

  // A positive semi-definite matrix has no eigenvalue below 0 beyond rounding, and its
  // second largest is at most the trace less the largest: starting there, close to the
  // clustered small eigenvalues, saves the iteration its long approach from the bounds.
  double trace = 0;
  for (int i = 0; i < n; ++i) trace += w.d[static_cast<std::size_t>(i)];
  const double rounding = 8 * n * kEpsilon * std::max(std::abs(lo), std::abs(hi));
  const double largest = eigenvalue(w.d, w.e2, n, n - 1, lo, hi, hi);
  const double smallest = eigenvalue(w.d, w.e2, n, 0, lo, hi, std::max(lo, -rounding));
  double secondLargest = smallest;
  if (n > 2) {
    // Far enough above the largest that dividing it out costs no accuracy.
    const double bound = std::min(hi, trace - largest + rounding);
    const double start = bound < largest - 0.125 * (largest - lo) ? bound : hi + 0.125 * (hi - lo);
    secondLargest = eigenvalue(w.d, w.e2, n, n - 2, lo, hi + 0.25 * (hi - lo), start, largest);
  }
  out.first = std::abs(largest) * scale;
  out.second = std::abs(secondLargest) * scale;
  out.last = std::abs(smallest) * scale;
  // Rounding leaves a positive semi-definite matrix's smallest eigenvalue at most a few
  // units of rounding below 0; beyond that |lambda| no longer sorts like lambda.
  out.positive = smallest >= -1e-9 * std::abs(largest);

  // Inverse iteration for the largest eigenvalue's vector: LU of T - largest I with
  // partial pivoting; a zero pivot is replaced by a tiny one.
  const double tiny = kEpsilon * std::max(std::abs(lo), std::abs(hi));
  for (int i = 0; i < n; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    w.diag[k] = w.d[k] - largest;
    w.up1[k] = i < n - 1 ? w.e[k] : 0.0;
    w.up2[k] = 0.0;
    w.low[k] = i < n - 1 ? w.e[k] : 0.0;
  }
  for (int i = 0; i < n - 1; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    if (std::abs(w.diag[k]) >= std::abs(w.low[k])) {
      w.swapped[k] = 0;
      if (w.diag[k] == 0.0) w.diag[k] = tiny;
      const double mult = w.low[k] / w.diag[k];
      w.multiplier[k] = mult;
      w.diag[k + 1] -= mult * w.up1[k];
    } else {
      w.swapped[k] = 1;
      const double mult = w.diag[k] / w.low[k];
      w.multiplier[k] = mult;
      // Row k becomes the old row k + 1; row k + 1 the old row k minus mult times it.
      const double oldUp1 = w.up1[k];
      w.diag[k] = w.low[k];
      w.up1[k] = w.diag[k + 1];
      w.up2[k] = i < n - 2 ? w.up1[k + 1] : 0.0;
      w.diag[k + 1] = oldUp1 - mult * w.up1[k];
      if (i < n - 2) w.up1[k + 1] = -mult * w.up2[k];
    }
  }
  if (w.diag[static_cast<std::size_t>(n - 1)] == 0.0) w.diag[static_cast<std::size_t>(n - 1)] = tiny;

  // A fixed start with no special direction, then three solves.
  w.y = w.start;
  for (int sweep = 0; sweep < 3; ++sweep) {
    for (int i = 0; i < n - 1; ++i) {
      const std::size_t k = static_cast<std::size_t>(i);
      if (w.swapped[k]) std::swap(w.y(i), w.y(i + 1));
      w.y(i + 1) -= w.multiplier[k] * w.y(i);
    }
    for (int i = n - 1; i >= 0; --i) {
      const std::size_t k = static_cast<std::size_t>(i);
      double value = w.y(i);
      if (i + 1 < n) value -= w.up1[k] * w.y(i + 1);
      if (i + 2 < n) value -= w.up2[k] * w.y(i + 2);
      w.y(i) = value / w.diag[k];
    }
    const double norm = w.y.norm();
    if (!(norm > 0) || !std::isfinite(norm)) break;
    w.y /= norm;
  }

  w.tri.matrixQ().applyThisOnTheLeft(w.y, w.workspace);
  w.y.normalize();
  double sum = w.y.sum();
  bool flip = sum > 0;
  if (sum == 0) {
    for (int i = 0; i < n; ++i) {
      if (w.y(i) != 0) {
        flip = w.y(i) > 0;
        break;
      }
    }
  }
  for (int i = 0; i < n; ++i) vector[i] = flip ? -w.y(i) : w.y(i);
  return out;
}

}  // namespace vexa

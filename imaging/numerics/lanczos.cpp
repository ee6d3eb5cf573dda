#include "imaging/numerics/lanczos.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "imaging/numerics/inverse_iteration.h"
#include "imaging/numerics/tridiagonal.h"
#include "imaging/numerics/vector_kernels.h"

namespace vexa {

namespace {

constexpr int kDirectBelow = 10;           // orders below this go to the full solver at once
constexpr double kValueTolerance = 1e-13;  // error bound / largest value: both ratios to 1e-13
constexpr double kVectorTolerance = 1e-9;  // residual / gap to the second value
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

/*
 * The small tridiagonal of the Lanczos recurrence: alpha on the diagonal, beta beside it.
 * Its top eigenvalues by Laguerre's iteration on Sturm counts, its eigenvectors by inverse
 * iteration: both O(k) for order k, so the Ritz pairs cost little beside a product with
 * the matrix.
 */
class Tridiagonal {
 public:
  void set(const std::vector<double>& alpha, const std::vector<double>& beta, int k) {
    _alpha = &alpha;
    _beta = &beta;
    _k = k;
    _scale = 0;
    for (int i = 0; i < k; ++i) _scale = std::max({_scale, std::abs(alpha[i]), i + 1 < k ? std::abs(beta[i]) : 0.0});
    if (!(_scale > 0)) _scale = 1;
    // Scaled to entries of at most 1, as the Laguerre iteration wants them.
    _d.resize(k);
    _e2.resize(std::max(k - 1, 1));
    _lo = std::numeric_limits<double>::infinity();
    _hi = -_lo;
    for (int i = 0; i < k; ++i) {
      _d[i] = alpha[i] / _scale;
      if (i + 1 < k) _e2[i] = (beta[i] / _scale) * (beta[i] / _scale);
      const double radius = ((i > 0 ? std::abs(beta[i - 1]) : 0.0) + (i + 1 < k ? std::abs(beta[i]) : 0.0)) / _scale;
      _lo = std::min(_lo, _d[i] - radius);
      _hi = std::max(_hi, _d[i] + radius);
    }
    const double margin = 4 * kEpsilon * std::max(std::abs(_lo), std::abs(_hi));
    _lo -= margin;
    _hi += margin;
  }

  /*!
   * The three largest eigenvalues (k >= 2; third is second when k is 2), to a few units of
   * rounding of the spectrum. The matrix is positive semi-definite (it is Q' G Q), so the
   * trace less the larger ones bounds the next from above: starting there saves the
   * iteration its approach from the bounds.
   */
  void topThree(double& first, double& second, double& third) const {
    const int k = _k;
    double trace = 0;
    for (int i = 0; i < k; ++i) trace += _d[i];
    const double rounding = 8 * k * kEpsilon * std::max(std::abs(_lo), std::abs(_hi));
    first = tridiagonalEigenvalue(_d.data(), _e2.data(), k, k - 1, _lo, _hi, _hi);
    const double bound = std::min(_hi, trace - first + rounding);
    const double start = bound < first - 0.125 * (first - _lo) ? bound : _hi + 0.125 * (_hi - _lo);
    second = tridiagonalEigenvalue(_d.data(), _e2.data(), k, k - 2, _lo, _hi + 0.25 * (_hi - _lo), start, first);
    third = second;
    if (k >= 3) {
      const double below = std::min(trace - first - second + rounding, second - 0.125 * (second - _lo));
      third = tridiagonalEigenvalue(_d.data(), _e2.data(), k, k - 3, _lo, second, std::max(below, _lo), second);
    }
    first *= _scale;
    second *= _scale;
    third *= _scale;
  }

  //! The unit eigenvector of theta (an eigenvalue to rounding), into y (k values).
  void eigenvector(double theta, std::vector<double>& y) const {
    const std::vector<double>& a = *_alpha;
    const std::vector<double>& b = *_beta;
    const int k = _k;
    y.assign(k, 0.0);
    if (k == 1) {
      y[0] = 1.0;
      return;
    }
    _inverse.factor(a.data(), b.data(), k, theta, kEpsilon * _scale * std::max(std::abs(_lo), std::abs(_hi)));
    for (int i = 0; i < k; ++i) y[i] = 1.0 + 0.25 * std::sin(1.0 + 1.7 * i);
    _inverse.solve(y.data());
  }

 private:
  const std::vector<double>* _alpha = nullptr;
  const std::vector<double>* _beta = nullptr;
  int _k = 0;
  double _scale = 1;
  std::vector<double> _d, _e2;  // the scaled diagonal and squared off-diagonal
  double _lo = 0, _hi = 0;      // Gershgorin bounds of the scaled spectrum
  mutable InverseIteration _inverse;
};

}  // namespace

struct LanczosSolver::Work {
  Work(int capacity, InstructionSet set, int maxSteps)
      : kernels(vectorKernels(set)),
        basis(static_cast<std::size_t>(capacity) * (std::min(maxSteps, capacity) + 1)),
        w(capacity),
        z(capacity),
        start(capacity),
        check(capacity),
        z2(capacity),
        deflated(capacity),
        full(static_cast<std::size_t>(capacity) + 1) {
    for (int i = 0; i < capacity; ++i) {
      start[i] = 1.0 + 0.25 * std::sin(1.0 + 1.7 * i);
      check[i] = 1.0 + 0.5 * std::cos(0.3 + 2.9 * i);
    }
  }
  const VectorKernels& kernels;
  std::vector<double> basis;  // the Lanczos vectors, one after another
  std::vector<double> w, z, start, check, z2, deflated;
  std::vector<double> alpha, beta, ritz;
  double residual = 0;  // of the last answer's vector
  Tridiagonal tridiagonal;
  std::vector<std::unique_ptr<ExtremesSolver>> full;  // by order, made when first needed
};

LanczosSolver::LanczosSolver(int capacity, InstructionSet set, int maxSteps)
    : _capacity(capacity), _maxSteps(maxSteps), _work(std::make_unique<Work>(capacity, set, maxSteps)) {}
LanczosSolver::~LanczosSolver() = default;

/*
 * Lanczos from a fixed start, every new vector made orthogonal to all the earlier ones,
 * twice. A single vector's Krylov space holds only one direction of the plane of two
 * (nearly) equal top eigenvalues, and then Lanczos would report the third as the second:
 * one product of the matrix with a vector orthogonal to the answer finds such a missed
 * value (its growth quotient can reach it, never exceed it), and the full solver answers.
 */
double LanczosSolver::lanczosStep(const Apply& apply, int m, int j) {
  Work& work = *_work;
  const VectorKernels& k = work.kernels;
  double* w = work.w.data();
  auto column = [&](int c) { return work.basis.data() + static_cast<std::size_t>(c) * m; };
  apply(column(j), w);
  double alpha = 0;
  // Full reorthogonalisation, twice: the three-term recurrence alone loses orthogonality
  // as soon as a Ritz value converges. The first pass's coefficient on the newest vector
  // is the diagonal entry.
  for (int pass = 0; pass < 2; ++pass) {
    for (int c = j; c >= 0; --c) {
      const double coefficient = k.dotDoubles(column(c), w, m);
      if (c == j) alpha += coefficient;
      k.subtractMultiple(coefficient, column(c), w, m);
    }
  }
  work.alpha.push_back(alpha);
  return std::sqrt(k.dotDoubles(w, w, m));
}

LanczosSolver::Ritz LanczosSolver::ritzPairs(int m, int size, double beta, const Wants& wants) {
  Work& work = *_work;
  Ritz ritz;
  work.tridiagonal.set(work.alpha, work.beta, size);
  double third;
  work.tridiagonal.topThree(ritz.first, ritz.second, third);
  ritz.scale = std::max(std::abs(ritz.first), 1e-300);
  work.tridiagonal.eigenvector(ritz.second, work.ritz);
  const double r2 = std::abs(beta * work.ritz[size - 1]);
  work.tridiagonal.eigenvector(ritz.first, work.ritz);  // kept: it makes the answer
  const double r1 = std::abs(beta * work.ritz[size - 1]);
  ritz.exhausted = size == m || !(beta > 1e-14 * ritz.scale);
  // A Ritz value is within its residual of an eigenvalue, and within residual^2 / gap once
  // the gap to the others exceeds the residual; the vector's angle to the true one is
  // within the residual over the gap to the second value.
  ritz.gap = ritz.first - ritz.second;
  const double gap2 = std::min(ritz.gap, ritz.second - third);
  auto bound = [](double r, double gap) { return gap > r ? std::min(r, r * r / gap) : r; };
  double tolerance = wants.valueTolerance * std::max(ritz.scale, wants.scale);
  if (wants.inverseOf > 0) {
    // theta = 1 / smallest: an error d in theta is d / theta^2 in the smallest, wanted
    // within 1e-11 of C's largest; and the residual within 1e-5 of the value, lest a
    // bound met early stop on the value next to the smallest.
    tolerance = std::min(1e-11 * wants.inverseOf * ritz.first * ritz.first, 1e-6 * ritz.first);
    if (!(r1 <= 1e-5 * ritz.first)) tolerance = -1;
  }
  ritz.vouched = bound(r1, ritz.gap) <= tolerance && (!wants.second || bound(r2, gap2) <= tolerance) &&
                 (!wants.vector || r1 <= kVectorTolerance * ritz.gap);
  return ritz;
}

bool LanczosSolver::confirm(const Apply& apply, int m, int size, const Ritz& ritz, const Wants& wants, double* vector) {
  Work& work = *_work;
  const VectorKernels& k = work.kernels;
  double* w = work.w.data();
  std::fill(vector, vector + m, 0.0);
  for (int c = 0; c < size; ++c)
    k.subtractMultiple(-work.ritz[c], work.basis.data() + static_cast<std::size_t>(c) * m, vector, m);
  const double norm = std::sqrt(k.dotDoubles(vector, vector, m));
  for (int i = 0; i < m; ++i) vector[i] /= norm;
  // The vector's own residual, which the recurrence's estimate may understate when the
  // top two values nearly coincide.
  double residual = 0;
  if (wants.vector) {
    apply(vector, w);
    k.subtractMultiple(ritz.first, vector, w, m);
    residual = std::sqrt(k.dotDoubles(w, w, m));
  }
  work.residual = residual;
  // A second value that Lanczos could not see: z orthogonal to the answer, and the
  // quotient |G z|^2 / z'G z, at most the second value and near it when z leans on it.
  double* z = work.z.data();
  std::copy(work.check.begin(), work.check.begin() + m, z);
  k.subtractMultiple(k.dotDoubles(vector, z, m), vector, z, m);
  apply(z, w);
  const double quotient = k.dotDoubles(w, w, m) / k.dotDoubles(z, w, m);
  const bool accurate = ritz.exhausted || !wants.vector || residual <= kVectorTolerance * ritz.gap;
  // Where only the largest value is wanted, one equal to it (a repeated eigenvalue) is no
  // harm: only one above it is.
  const double ceiling = wants.second ? ritz.second : ritz.first;
  double allowance = 1e-6 * std::abs(ceiling) + kValueTolerance * ritz.scale;
  // On an inverse, what counts is the error in C's smallest value: 1e-11 of C's largest.
  if (wants.inverseOf > 0) allowance = std::max(allowance, 1e-11 * wants.inverseOf * ceiling * ceiling);
  if (!accurate || quotient > ceiling + allowance) return false;
  if (wants.next) {
    work.tridiagonal.eigenvector(ritz.second, work.ritz);
    std::fill(wants.next, wants.next + m, 0.0);
    for (int c = 0; c < size; ++c)
      k.subtractMultiple(-work.ritz[c], work.basis.data() + static_cast<std::size_t>(c) * m, wants.next, m);
  }
  return true;
}

namespace {
void checkOrder(int m, int capacity) {
  if (m < 2 || m > capacity) {
    throw std::invalid_argument("a Gram solver of capacity " + std::to_string(capacity) +
                                " cannot solve a matrix of order " + std::to_string(m));
  }
}
}  // namespace

LanczosExtremes LanczosSolver::solve(const double* g, int m, double* vector, const double* start) {
  checkOrder(m, _capacity);
  Work& work = *_work;
  LanczosExtremes out;
  const VectorKernels& k = work.kernels;
  const Apply apply = [&](const double* x, double* y) { k.multiplyMatrix(g, m, x, y); };
  if (m >= kDirectBelow && topTwo(apply, m, vector, start, out)) return out;
  if (!work.full[m]) work.full[m] = std::make_unique<ExtremesSolver>(m);
  // g is symmetric: its row-major storage is its column-major storage.
  const Extremes e = work.full[m]->solve(g, vector);
  out.first = e.first;
  out.second = e.second;
  out.steps = 0;
  out.fellBack = m >= kDirectBelow;
  return out;
}

bool LanczosSolver::topTwo(const Apply& apply, int m, double* vector, const double* start, LanczosExtremes& out,
                           double valueTolerance) {
  checkOrder(m, _capacity);
  Work& work = *_work;
  const VectorKernels& k = work.kernels;
  Wants largest;
  largest.valueTolerance = valueTolerance;
  largest.second = false;
  largest.next = work.z.data();
  LanczosExtremes top;
  if (!lanczos(apply, m, largest, top, vector, start)) return false;
  const double residual = _work->residual;

  // The second: the largest of (I - v v') A (I - v v'), to within valueTolerance of the
  // first, from the first search's Ritz vector of its second value (near the answer unless
  // the top is repeated) and a twentieth of the fixed check vector (which reaches a repeated
  // top's other directions), v's direction taken out.
  double* deflated = work.deflated.data();
  const Apply rest = [&](const double* x, double* y) {
    std::copy(x, x + m, deflated);
    k.subtractMultiple(k.dotDoubles(vector, deflated, m), vector, deflated, m);
    apply(deflated, y);
    k.subtractMultiple(k.dotDoubles(vector, y, m), vector, y, m);
  };
  double* from = work.z.data();
  const double size = std::sqrt(k.dotDoubles(from, from, m));
  for (int i = 0; i < m; ++i) from[i] = (size > 0 ? from[i] / size : 0.0) + 0.05 * work.check[i];
  k.subtractMultiple(k.dotDoubles(vector, from, m), vector, from, m);
  Wants second;
  second.valueTolerance = valueTolerance;
  second.scale = std::abs(top.first);
  second.second = false;
  second.vector = false;
  LanczosExtremes next;
  if (!lanczos(rest, m, second, next, work.z2.data(), from)) return false;
  // Now that the gap to the second is known, the vector must be vouched for across it
  // (its angle to the true one is at most its residual over the gap): not so where the top
  // two are equal, or nearly, and the full solver answers.
  const double gap = top.first - next.first;
  if (!(gap > 0) || residual > kVectorTolerance * gap) return false;
  out.first = top.first;
  out.second = next.first;
  out.steps = top.steps + next.steps;
  return true;
}

bool LanczosSolver::lanczos(const Apply& apply, int m, const Wants& wants, LanczosExtremes& out, double* vector,
                            const double* start) {
  Work& work = *_work;
  auto column = [&](int c) { return work.basis.data() + static_cast<std::size_t>(c) * m; };
  std::copy(start ? start : work.start.data(), (start ? start : work.start.data()) + m, column(0));
  const double norm0 = std::sqrt(work.kernels.dotDoubles(column(0), column(0), m));
  for (int i = 0; i < m; ++i) column(0)[i] /= norm0;
  work.alpha.clear();
  work.beta.clear();
  for (int j = 0; j < std::min(_maxSteps, m); ++j) {
    const double beta = lanczosStep(apply, m, j);
    const int size = j + 1;
    // The Ritz pairs are looked at from four vectors on, every other step: a step more
    // than needed costs less than the checks it saves.
    const bool check = (size >= 4 && size % 2 == 0) || size == m || !(beta > 1e-13 * std::abs(work.alpha.front()));
    if (size >= 2 && check) {
      const Ritz ritz = ritzPairs(m, size, beta, wants);
      if (ritz.vouched || ritz.exhausted) {
        if (!confirm(apply, m, size, ritz, wants, vector)) return false;
        out.first = ritz.first;
        out.second = ritz.second;
        out.steps = size;
        return true;
      }
    } else if (!(beta > 0)) {
      return false;  // an invariant subspace before the first check: the full solver answers
    }
    work.beta.push_back(beta);
    for (int i = 0; i < m; ++i) column(j + 1)[i] = work.w[i] / beta;
  }
  return false;
}

bool LanczosSolver::smallestByInverse(const Apply& inverse, int m, double largest, double& smallest, int* steps) {
  checkOrder(m, _capacity);
  Wants wants;
  wants.inverseOf = largest;
  wants.second = false;
  wants.vector = false;
  LanczosExtremes out;
  const bool found = lanczos(inverse, m, wants, out, _work->z2.data()) && out.first > 0;
  if (steps) *steps = out.steps;
  if (found) smallest = 1.0 / out.first;
  return found;
}

}  // namespace vexa

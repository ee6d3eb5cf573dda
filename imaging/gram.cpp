#include "imaging/gram.h"

#include <algorithm>
#include <cmath>

#include <Eigen/Dense>

namespace vexa {

namespace {

constexpr int kMaxSteps = 40;
constexpr int kDirectBelow = 10;           // orders below this go to the full solver at once
constexpr double kValueTolerance = 1e-12;  // residual / largest value
constexpr double kVectorTolerance = 1e-9;  // residual / gap to the second value

// Dot product with four partial sums: a fixed order, and room for the vector unit.
double dot(const double* a, const double* b, int m) {
  double s[4] = {0, 0, 0, 0};
  int i = 0;
  for (; i + 4 <= m; i += 4)
    for (int k = 0; k < 4; ++k) s[k] += a[i + k] * b[i + k];
  for (; i < m; ++i) s[0] += a[i] * b[i];
  return (s[0] + s[1]) + (s[2] + s[3]);
}

}  // namespace

struct GramSolver::Work {
  explicit Work(int capacity)
      : capacity(capacity),
        basis(static_cast<std::size_t>(capacity) * (kMaxSteps + 1)),
        w(capacity),
        start(capacity),
        full(static_cast<std::size_t>(capacity) + 1) {
    for (int i = 0; i < capacity; ++i) start[i] = 1.0 + 0.25 * std::sin(1.0 + 1.7 * i);
  }
  int capacity;
  std::vector<double> basis;  // the Lanczos vectors, one after another
  std::vector<double> w;
  std::vector<double> start;
  std::vector<double> alpha, beta;
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> ritz;
  std::vector<std::unique_ptr<ExtremesSolver>> full;  // by order, made when first needed
};

GramSolver::GramSolver(int capacity) : _work(std::make_unique<Work>(capacity)) {}
GramSolver::~GramSolver() = default;

GramExtremes GramSolver::solve(const double* g, int m, double* vector) {
  Work& work = *_work;
  GramExtremes out;
  auto directly = [&]() {
    if (!work.full[m]) work.full[m] = std::make_unique<ExtremesSolver>(m);
    // g is symmetric: its row-major storage is its column-major storage.
    const Extremes e = work.full[m]->solve(g, vector);
    out.first = e.first;
    out.second = e.second;
    return out;
  };
  if (m < kDirectBelow) return directly();

  double* q = work.basis.data();
  double* w = work.w.data();
  std::copy(work.start.begin(), work.start.begin() + m, q);
  const double norm0 = std::sqrt(dot(q, q, m));
  for (int i = 0; i < m; ++i) q[i] /= norm0;
  work.alpha.clear();
  work.beta.clear();
  const int steps = std::min(kMaxSteps, m);
  bool converged = false;
  for (int j = 0; j < steps && !converged; ++j) {
    const double* qj = q + static_cast<std::size_t>(j) * m;
    for (int i = 0; i < m; ++i) w[i] = dot(g + static_cast<std::size_t>(i) * m, qj, m);
    work.alpha.push_back(dot(qj, w, m));
    // Full reorthogonalisation, twice: the three-term recurrence alone loses
    // orthogonality as soon as a Ritz value converges.
    for (int pass = 0; pass < 2; ++pass) {
      for (int k = 0; k <= j; ++k) {
        const double* qk = q + static_cast<std::size_t>(k) * m;
        const double c = dot(qk, w, m);
        for (int i = 0; i < m; ++i) w[i] -= c * qk[i];
      }
    }
    const double b = std::sqrt(dot(w, w, m));
    const int size = j + 1;
    Eigen::VectorXd diagonal = Eigen::Map<const Eigen::VectorXd>(work.alpha.data(), size);
    Eigen::VectorXd sub =
        size > 1 ? Eigen::VectorXd(Eigen::Map<const Eigen::VectorXd>(work.beta.data(), size - 1)) : Eigen::VectorXd(0);
    work.ritz.computeFromTridiagonal(diagonal, sub, Eigen::ComputeEigenvectors);
    const Eigen::VectorXd& theta = work.ritz.eigenvalues();  // ascending
    const double first = theta(size - 1);
    const bool exhausted = !(b > 1e-14 * std::abs(first)) || size == m;
    if (size >= 2) {
      const double second = theta(size - 2);
      const double r1 = std::abs(b * work.ritz.eigenvectors()(size - 1, size - 1));
      const double r2 = std::abs(b * work.ritz.eigenvectors()(size - 1, size - 2));
      const double gap = first - second;
      converged =
          exhausted || (r1 <= kValueTolerance * first && r2 <= kValueTolerance * first && r1 <= kVectorTolerance * gap);
      if (converged) {
        out.first = first;
        out.second = second;
        out.steps = size;
        const Eigen::VectorXd s = work.ritz.eigenvectors().col(size - 1);
        std::fill(vector, vector + m, 0.0);
        for (int k = 0; k < size; ++k)
          for (int i = 0; i < m; ++i) vector[i] += s(k) * q[static_cast<std::size_t>(k) * m + i];
        const double norm = std::sqrt(dot(vector, vector, m));
        for (int i = 0; i < m; ++i) vector[i] /= norm;
        return out;
      }
    }
    if (exhausted) break;
    work.beta.push_back(b);
    double* next = q + static_cast<std::size_t>(j + 1) * m;
    for (int i = 0; i < m; ++i) next[i] = w[i] / b;
  }
  out = directly();
  out.fellBack = true;
  return out;
}

}  // namespace vexa

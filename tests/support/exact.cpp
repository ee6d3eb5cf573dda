#include "tests/support/exact.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include <Eigen/Dense>

namespace exact {

Symmetric symmetric(const Eigen::MatrixXd& a) {
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(a);
  // Eigen means to return them ascending, but on a matrix of low rank with exactly
  // repeated values (a travelling wave's Gram matrix) it was seen not to: sorted here.
  const Eigen::Index n = a.rows();
  std::vector<Eigen::Index> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](Eigen::Index i, Eigen::Index j) { return solver.eigenvalues()(i) < solver.eigenvalues()(j); });
  Symmetric sorted{Eigen::VectorXd(n), Eigen::MatrixXd(n, n)};
  for (Eigen::Index k = 0; k < n; ++k) {
    sorted.values(k) = solver.eigenvalues()(order[k]);
    sorted.vectors.col(k) = solver.eigenvectors().col(order[k]);
  }
  return sorted;
}

Singular singular(const Eigen::MatrixXd& a) {
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(a, Eigen::ComputeFullU);
  return {svd.singularValues(), svd.matrixU()};
}

Eigen::MatrixXd rotation(int n) { return Eigen::MatrixXd::Random(n, n).householderQr().householderQ(); }

Eigen::MatrixXd withSpectrum(const Eigen::MatrixXd& q, const Eigen::VectorXd& spectrum) {
  return q * spectrum.asDiagonal() * q.transpose();
}

Eigen::MatrixXd columnProducts(const Eigen::MatrixXd& m, double divisor) { return m.transpose() * m / divisor; }
Eigen::MatrixXd rowProducts(const Eigen::MatrixXd& m, double divisor) { return m * m.transpose() / divisor; }

}  // namespace exact

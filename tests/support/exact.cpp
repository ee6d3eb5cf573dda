#include "tests/support/exact.h"

#include <Eigen/Dense>

namespace exact {

Symmetric symmetric(const Eigen::MatrixXd& a) {
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(a);
  return {solver.eigenvalues(), solver.eigenvectors()};
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

#pragma once
// Exact decompositions for the tests to check against. They are compiled once, here:
// Eigen's solvers take long to compile, and every numeric test needs one.

#include <Eigen/Core>

namespace exact {

//! The eigenvalues of a symmetric matrix, ascending, and their unit eigenvectors (columns).
struct Symmetric {
  Eigen::VectorXd values;
  Eigen::MatrixXd vectors;
};
Symmetric symmetric(const Eigen::MatrixXd& a);

//! The singular values, descending, and the left singular vectors (columns), by Jacobi.
struct Singular {
  Eigen::VectorXd values;
  Eigen::MatrixXd left;
};
Singular singular(const Eigen::MatrixXd& a);

//! A random orthogonal matrix of order n, from Eigen's random numbers.
Eigen::MatrixXd rotation(int n);
//! q diag(spectrum) q'.
Eigen::MatrixXd withSpectrum(const Eigen::MatrixXd& q, const Eigen::VectorXd& spectrum);
//! m' m / divisor and m m' / divisor.
Eigen::MatrixXd columnProducts(const Eigen::MatrixXd& m, double divisor);
Eigen::MatrixXd rowProducts(const Eigen::MatrixXd& m, double divisor);

}  // namespace exact

#include "imaging/numerics/svd.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "imaging/numerics/orientation.h"

namespace {

using Matrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic>;

void checkSquare(const VexaData<double>& U) {
  if (U.dimX() != U.dimY() || U.dimZ() != 1 || U.dimT() != 1) {
    throw std::invalid_argument("singular value decomposition of a " + std::to_string(U.dimX()) + " x " +
                                std::to_string(U.dimY()) + " x " + std::to_string(U.dimZ()) + " x " +
                                std::to_string(U.dimT()) + " volume: a square matrix is needed");
  }
}

Matrix toMatrix(const VexaData<double>& U) {
  const int n = U.dimX();
  Matrix m(n, n);
  for (int column = 0; column < n; ++column)
    for (int row = 0; row < n; ++row) m(row, column) = U(row, column);
  return m;
}

void fromMatrix(const Matrix& m, VexaData<double>& U) {
  for (int column = 0; column < m.cols(); ++column)
    for (int row = 0; row < m.rows(); ++row) U(row, column) = m(row, column);
}

VexaData<double> newValues(int n) { return VexaData<double>(n, 1, 1, 1, 0, norbe::AllocatorContext()); }

}  // namespace

VexaData<double> VexaSVD<double>::doit(VexaData<double>& U, VexaData<double>* V) {
  checkSquare(U);
  const int n = U.dimX();
  VexaData<double> W = newValues(n);
  if (n == 0) return W;
  const Matrix a = toMatrix(U);

  if (!a.allFinite()) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int k = 0; k < n; ++k) W(k) = nan;
    fromMatrix(Matrix::Constant(n, n, nan), U);
    if (V) fromMatrix(Matrix::Constant(n, n, nan), *V);
    return W;
  }

  Matrix left, right;
  Eigen::VectorXd values(n);
  if (_returnMode == 1 || a == a.transpose()) {
    // Symmetric: A = Q diag(l) Q^T, so the singular values are |l|, U = Q and V = Q sign(l).
    Eigen::SelfAdjointEigenSolver<Matrix> solver(a, Eigen::ComputeEigenvectors);
    left = solver.eigenvectors();
    values = solver.eigenvalues().cwiseAbs();
    right = left;
    for (int k = 0; k < n; ++k)
      if (solver.eigenvalues()(k) < 0) right.col(k) = -right.col(k);
  } else {
    Eigen::JacobiSVD<Matrix> svd(a, Eigen::ComputeFullU | Eigen::ComputeFullV);
    left = svd.matrixU();
    right = svd.matrixV();
    values = svd.singularValues();
  }
  for (int k = 0; k < n; ++k) {
    if (vexa::pointsTheWrongWay(left.col(k).data(), n)) {
      left.col(k) = -left.col(k);
      right.col(k) = -right.col(k);
    }
    W(k) = values(k);
  }
  fromMatrix(left, U);
  if (V) {
    checkSquare(*V);
    fromMatrix(right, *V);
  }
  return W;
}

void VexaSVD<double>::sort(VexaData<double>& U, VexaData<double>& W, VexaData<double>* V) {
  const int n = W.dimX();
  std::vector<int> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  // Stable, so that equal values keep their columns' order; NaN goes last.
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    const double va = W(a), vb = W(b);
    if (std::isnan(vb)) return !std::isnan(va);
    return va > vb;
  });
  std::vector<double> values(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) values[static_cast<std::size_t>(k)] = W(order[static_cast<std::size_t>(k)]);
  for (int k = 0; k < n; ++k) W(k) = values[static_cast<std::size_t>(k)];
  for (VexaData<double>* m : {&U, V}) {
    if (!m) continue;
    const int rows = m->dimX();
    Matrix copy = toMatrix(*m);
    for (int k = 0; k < n && k < m->dimY(); ++k)
      for (int row = 0; row < rows; ++row) (*m)(row, k) = copy(row, order[static_cast<std::size_t>(k)]);
  }
}

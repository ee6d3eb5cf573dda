#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>
#include <Eigen/Core>

#include "imaging/numerics/svd.h"
#include "tests/support/exact.h"

namespace {

VexaData<double> matrixOf(const Eigen::MatrixXd& m) {
  VexaData<double> data(static_cast<int>(m.rows()), static_cast<int>(m.cols()), 1, 1, 0);
  for (int c = 0; c < m.cols(); ++c)
    for (int r = 0; r < m.rows(); ++r) data(r, c) = m(r, c);
  return data;
}

Eigen::MatrixXd toEigen(const VexaData<double>& data) {
  Eigen::MatrixXd m(data.dimX(), data.dimY());
  for (int c = 0; c < data.dimY(); ++c)
    for (int r = 0; r < data.dimX(); ++r) m(r, c) = data(r, c);
  return m;
}

}  // namespace

TEST(Decomposition, GeneralAndSymmetricMatricesDecompose) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (int n : {1, 2, 5, 12}) {
    for (bool symmetric : {false, true}) {
      SCOPED_TRACE(std::to_string(n) + (symmetric ? " symmetric" : " general"));
      Eigen::MatrixXd a(n, n);
      for (int c = 0; c < n; ++c)
        for (int r = 0; r < n; ++r) a(r, c) = value(random);
      if (symmetric) a = (a + a.transpose()).eval();
      VexaData<double> U = matrixOf(a), V(n, n, 1, 1, 0);
      VexaSVD<double> svd;
      VexaData<double> W = svd.doit(U, &V);
      svd.sort(U, W, &V);
      Eigen::VectorXd s(n);
      for (int k = 0; k < n; ++k) s(k) = W(k);
      const Eigen::MatrixXd u = toEigen(U), v = toEigen(V);
      EXPECT_LT((u * s.asDiagonal() * v.transpose() - a).norm(), 1e-12);
      EXPECT_LT((u.transpose() * u - Eigen::MatrixXd::Identity(n, n)).norm(), 1e-12);
      const exact::Singular reference = exact::singular(a);
      for (int k = 0; k < n; ++k) {
        EXPECT_GE(s(k), 0.0);
        if (k > 0) {
          EXPECT_GE(s(k - 1), s(k));
        }
        EXPECT_NEAR(s(k), reference.values(k), 1e-12);
        EXPECT_LT(u.col(k).sum(), 0.0);  // the agreed orientation
      }
    }
  }
}

TEST(Decomposition, OrientationWhenTheComponentsCancel) {
  // Eigenvectors (1, -1)/sqrt 2 and (1, 1)/sqrt 2: the first sums to 0.
  Eigen::MatrixXd a(2, 2);
  a << 1, -3, -3, 1;
  VexaData<double> U = matrixOf(a);
  VexaSVD<double> svd;
  VexaData<double> W = svd.doit(U);
  svd.sort(U, W);
  EXPECT_NEAR(W(0), 4.0, 1e-14);
  EXPECT_NEAR(W(1), 2.0, 1e-14);
  EXPECT_LT(U(0, 0), 0.0);  // the first non-zero component is negative
  EXPECT_NEAR(U(0, 0), -U(1, 0), 1e-15);
}

TEST(Decomposition, NonFiniteGivesNaN) {
  Eigen::MatrixXd a = Eigen::MatrixXd::Identity(3, 3);
  a(1, 2) = a(2, 1) = std::numeric_limits<double>::infinity();
  VexaData<double> U = matrixOf(a);
  VexaSVD<double> svd(1);
  VexaData<double> W = svd.doit(U);
  svd.sort(U, W);
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(std::isnan(W(k)));
    EXPECT_TRUE(std::isnan(U(k, 0)));
  }
  VexaData<double> notSquare(3, 2, 1, 1, 0);
  EXPECT_THROW(svd.doit(notSquare), std::invalid_argument);
}

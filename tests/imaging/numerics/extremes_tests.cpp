#include <cmath>
#include <random>

#include <gtest/gtest.h>
#include <Eigen/Core>

#include "imaging/numerics/extremes.h"
#include "tests/support/exact.h"

namespace {

struct Reference {
  double first, second, last;
  Eigen::VectorXd vector;
};

Reference reference(const Eigen::MatrixXd& a) {
  const exact::Singular svd = exact::singular(a);
  const int n = static_cast<int>(a.rows());
  Reference r{svd.values(0), svd.values(n > 1 ? 1 : 0), svd.values(n - 1), svd.left.col(0)};
  if (r.vector.sum() > 0) r.vector = -r.vector;
  return r;
}

// Mean products of count positive series of n frames: a common course plus noise.
Eigen::MatrixXd meanProducts(std::mt19937& random, int n, int count, double noise, bool centred = false) {
  std::normal_distribution<double> gauss(0.0, 1.0);
  Eigen::MatrixXd m(count, n);
  for (int k = 0; k < count; ++k) {
    const double baseline = 50 + 10 * gauss(random);
    for (int t = 0; t < n; ++t) {
      const double course = centred ? 0.0 : baseline * (1 + std::sin(0.3 * t));
      m(k, t) = static_cast<float>(course + noise * gauss(random));
    }
  }
  return exact::columnProducts(m, count - 1);
}

void expectAgreement(const Eigen::MatrixXd& a, double vectorTolerance) {
  const int n = static_cast<int>(a.rows());
  vexa::ExtremesSolver solver(n);
  Eigen::VectorXd u(n);
  const vexa::Extremes got = solver.solve(a.data(), u.data());
  const Reference want = reference(a);
  EXPECT_NEAR(got.first, want.first, 1e-13 * want.first);
  EXPECT_NEAR(got.second, want.second, 1e-13 * want.first);
  EXPECT_NEAR(got.last, want.last, 1e-13 * want.first);
  EXPECT_LT((u - want.vector).cwiseAbs().maxCoeff(), vectorTolerance);
  EXPECT_NEAR(u.norm(), 1.0, 1e-14);
}

}  // namespace

TEST(Extremes, AgreeWithAFullDecomposition) {
  std::mt19937 random(11);
  for (int n : {2, 3, 5, 12, 24, 40, 64}) {
    for (int count : {2, n / 2 + 2, 125}) {
      SCOPED_TRACE("n " + std::to_string(n) + " count " + std::to_string(count));
      expectAgreement(meanProducts(random, n, count, 3.0), 1e-10);
    }
  }
}

TEST(Extremes, HardSpectra) {
  std::mt19937 random(3);
  // Centred data: small gaps at the top.
  expectAgreement(meanProducts(random, 24, 125, 1.0, true), 1e-6);
  // Rank one: every row a multiple of one course.
  Eigen::VectorXd course(24);
  for (int t = 0; t < 24; ++t) course(t) = 1 + t % 5;
  expectAgreement(course * course.transpose() * 3.5, 1e-12);
  // Diagonal with a graded spectrum, and all ones.
  Eigen::VectorXd graded(16);
  for (int i = 0; i < 16; ++i) graded(i) = std::pow(10.0, 10 - 1.4 * i);
  expectAgreement(Eigen::MatrixXd(graded.asDiagonal()), 1e-12);
  expectAgreement(Eigen::MatrixXd::Ones(7, 7), 1e-12);
}

TEST(Extremes, EdgeCases) {
  vexa::ExtremesSolver one(1);
  double u = 0;
  const double a = 4.0;
  vexa::Extremes got = one.solve(&a, &u);
  EXPECT_EQ(got.first, 4.0);
  EXPECT_EQ(u, -1.0);

  vexa::ExtremesSolver three(3);
  Eigen::MatrixXd zero = Eigen::MatrixXd::Zero(3, 3);
  Eigen::Vector3d v;
  got = three.solve(zero.data(), v.data());
  EXPECT_EQ(got.first, 0.0);
  EXPECT_EQ(v, Eigen::Vector3d(-1, 0, 0));

  Eigen::MatrixXd bad = Eigen::MatrixXd::Identity(3, 3);
  bad(2, 2) = std::nan("");
  got = three.solve(bad.data(), v.data());
  EXPECT_TRUE(std::isnan(got.first) && std::isnan(got.last) && std::isnan(v(1)));
}

TEST(Extremes, RepeatedLargestValue) {
  // Any unit vector of the top eigenspace is right; check values and the residual.
  for (const Eigen::VectorXd& diagonal :
       {Eigen::VectorXd(Eigen::VectorXd::Ones(6)), Eigen::VectorXd((Eigen::VectorXd(4) << 2, 2, 1, 0.5).finished())}) {
    const int n = static_cast<int>(diagonal.size());
    const Eigen::MatrixXd a = exact::withSpectrum(exact::rotation(n), diagonal);
    vexa::ExtremesSolver solver(n);
    Eigen::VectorXd u(n);
    const vexa::Extremes got = solver.solve(a.data(), u.data());
    EXPECT_NEAR(got.first, diagonal.maxCoeff(), 1e-14);
    EXPECT_NEAR(got.second, diagonal.maxCoeff(), 1e-14);
    EXPECT_NEAR(got.last, diagonal.minCoeff(), 1e-14);
    EXPECT_LT((a * u - got.first * u).norm(), 1e-13);
    EXPECT_LT(u.sum(), 0.0);
  }
}

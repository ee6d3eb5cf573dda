// The Lanczos solver of Gram matrices: its answers against a full decomposition, and the
// fall-back to the full solver when the top two values are too close to vouch for the vector.

#include <cmath>
#include <random>

#include <gtest/gtest.h>
#include <Eigen/Core>

#include "imaging/numerics/lanczos.h"
#include "tests/support/exact.h"

namespace {

// The Gram matrix of count positive series of frames frames, divided by count - 1.
Eigen::MatrixXd gram(std::mt19937& random, int count, int frames, double noise) {
  std::normal_distribution<double> gauss(0.0, 1.0);
  Eigen::MatrixXd m(count, frames);
  for (int k = 0; k < count; ++k) {
    const double baseline = 50 + 10 * gauss(random);
    for (int t = 0; t < frames; ++t)
      m(k, t) = static_cast<float>(baseline * (1 + std::sin(0.05 * t)) + noise * gauss(random));
  }
  return exact::rowProducts(m, count - 1);
}

void expectTopTwo(const Eigen::MatrixXd& g, const vexa::LanczosExtremes& got, const Eigen::VectorXd& v, bool vector) {
  const exact::Symmetric full = exact::symmetric(g);
  const int m = static_cast<int>(g.rows());
  const double first = full.values(m - 1), second = full.values(m - 2);
  // Both ratios of the maps to far below what they show: the values to 1e-13 of the largest.
  EXPECT_NEAR(got.first, first, 1e-13 * first);
  EXPECT_NEAR(got.second, second, 1e-13 * first);
  EXPECT_NEAR(v.norm(), 1.0, 1e-13);
  // The residual says the vector belongs to the largest value (or, falling back, to the top pair).
  EXPECT_LT((g * v - got.first * v).norm(), 1e-8 * first);
  if (vector) {
    const Eigen::VectorXd u = full.vectors.col(m - 1);
    EXPECT_LT(std::min((v - u).norm(), (v + u).norm()), 1e-8);
  }
}

}  // namespace

TEST(Gram, LanczosAgreesWithAFullDecomposition) {
  std::mt19937 random(4);
  vexa::LanczosSolver solver(125);
  for (int count : {2, 9, 27, 45, 75, 100, 125}) {
    for (int frames : {count + 1, 200, 1000}) {
      SCOPED_TRACE(std::to_string(count) + " neighbours, " + std::to_string(frames) + " frames");
      const Eigen::MatrixXd g = gram(random, count, frames, 4.0);
      Eigen::VectorXd v(count);
      const vexa::LanczosExtremes got = solver.solve(g.data(), count, v.data());
      EXPECT_FALSE(got.fellBack);
      expectTopTwo(g, got, v, true);
      RecordProperty("steps_" + std::to_string(count) + "_" + std::to_string(frames), got.steps);
    }
  }
}

TEST(Gram, TopTwoValuesTooCloseFallBackToTheFullSolver) {
  std::mt19937 random(8);
  const int m = 60;
  const Eigen::MatrixXd rotation = exact::rotation(m);
  Eigen::VectorXd spectrum(m);
  for (int i = 0; i < m; ++i) spectrum(i) = 1.0 / (i + 2);
  spectrum(0) = 10.0;
  spectrum(1) = 10.0 * (1 - 1e-12);  // the vector cannot be told from its neighbour's
  const Eigen::MatrixXd g = exact::withSpectrum(rotation, spectrum);
  vexa::LanczosSolver solver(m);
  Eigen::VectorXd v(m);
  const vexa::LanczosExtremes got = solver.solve(g.data(), m, v.data());
  EXPECT_TRUE(got.fellBack);
  expectTopTwo(g, got, v, false);

  // A clear gap: Lanczos answers itself, in few steps.
  spectrum(1) = 5.0;
  const Eigen::MatrixXd clear = exact::withSpectrum(rotation, spectrum);
  const vexa::LanczosExtremes quick = solver.solve(clear.data(), m, v.data());
  EXPECT_FALSE(quick.fellBack);
  EXPECT_LT(quick.steps, 30);
  expectTopTwo(clear, quick, v, true);
}

TEST(Gram, OrdersBeyondTheCapacityAreRefused) {
  // A workspace is sized for its capacity: a larger matrix must not reach the buffers.
  vexa::LanczosSolver solver(20);
  const Eigen::MatrixXd g = Eigen::MatrixXd::Identity(30, 30);
  Eigen::VectorXd v(30);
  EXPECT_THROW(solver.solve(g.data(), 30, v.data()), std::invalid_argument);
  EXPECT_THROW(solver.solve(g.data(), 1, v.data()), std::invalid_argument);
}

// The large-matrix solver and the packed-triangle loops it stands on, on every instruction
// set this processor runs, against plain loops and an exact decomposition.

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <Eigen/Core>

#include "imaging/numerics/large_extremes.h"
#include "imaging/numerics/orientation.h"
#include "imaging/numerics/processor.h"
#include "tests/support/exact.h"

namespace {

std::vector<double> packedOf(const Eigen::MatrixXd& a) {
  std::vector<double> p;
  for (int i = 0; i < a.rows(); ++i)
    for (int j = 0; j <= i; ++j) p.push_back(a(i, j));
  return p;
}

// A matrix with the given spectrum, in packed form.
std::vector<double> withSpectrum(int n, const Eigen::VectorXd& spectrum) {
  return packedOf(exact::withSpectrum(exact::rotation(n), spectrum));
}

// vectorDefined: the top two apart enough for the dominant vector to be defined to 1e-6;
// otherwise it need only lie in their plane.
void expectExtremes(const std::vector<double>& packed, int n, const vexa::Extremes& got, const double* vector,
                    bool vectorDefined = true) {
  Eigen::MatrixXd a(n, n);
  for (int i = 0, at = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j, ++at) a(i, j) = a(j, i) = packed[at];
  const exact::Symmetric full = exact::symmetric(a);
  const double first = full.values(n - 1);
  EXPECT_NEAR(got.first, first, 1e-12 * first);
  EXPECT_NEAR(got.second / got.first, full.values(n - 2) / first, 1e-10);
  EXPECT_NEAR(got.last / got.first, std::max(full.values(0), 0.0) / first, 1e-10);
  const Eigen::Map<const Eigen::VectorXd> v(vector, n);
  Eigen::VectorXd u = full.vectors.col(n - 1);
  if (vexa::pointsTheWrongWay(u.data(), n)) u = -u;
  if (vectorDefined) {
    EXPECT_LT((v - u).norm(), 1e-6);
  } else {
    const Eigen::MatrixXd plane = full.vectors.rightCols(2);
    EXPECT_LT((v - plane * (plane.transpose() * v)).norm(), 1e-6);
  }
}

}  // namespace

TEST(PackedLoops, MatchPlainLoopsOnEveryInstructionSet) {
  std::mt19937 random(5);
  std::uniform_int_distribution<int> sample(-3000, 3000);
  for (int n : {1, 3, 4, 5, 8, 13, 37, 130}) {
    const int count = 2 * n + 3;
    // Courses of floats, as the series hold them, with weights of +1 and -1.
    std::vector<std::vector<double>> c(count, std::vector<double>(n));
    std::vector<double> weights(count);
    for (int k = 0; k < count; ++k) {
      for (double& v : c[k]) v = static_cast<float>(sample(random) * 0.37);
      weights[k] = k % 3 == 0 ? -1.0 : 1.0;
    }
    const int blocks = (n + 7) / 8;
    std::vector<double> panel(8L * blocks * count, 0.0);
    for (int k = 0; k < count; ++k)
      for (int t = 0; t < n; ++t) panel[(t / 8) * 8L * count + 8L * k + t % 8] = c[k][t];
    std::vector<double> plain(n * (n + 1) / 2, 0.5);
    for (int i = 0, at = 0; i < n; ++i)
      for (int j = 0; j <= i; ++j, ++at)
        for (int k = 0; k < count; ++k) plain[at] += (weights[k] * c[k][i]) * c[k][j];
    // A positive definite matrix for the factor, and a vector.
    Eigen::MatrixXd a = Eigen::MatrixXd::Random(n, n);
    a = a * a.transpose() + n * Eigen::MatrixXd::Identity(n, n);
    const std::vector<double> packed = packedOf(a);
    const Eigen::VectorXd x = Eigen::VectorXd::Random(n);
    for (vexa::InstructionSet set : vexa::supportedInstructionSets()) {
      SCOPED_TRACE("n " + std::to_string(n) + ", " + vexa::nameOf(set));
      const vexa::VectorKernels& kernels = vexa::vectorKernels(set);
      std::vector<double> sum(plain.size(), 0.5);
      kernels.addOuterProducts(panel.data(), weights.data(), count, n, sum.data());
      EXPECT_EQ(sum, plain) << "each entry summed in order, as the plain loop does";

      Eigen::VectorXd y(n);
      kernels.multiplyPacked(packed.data(), n, x.data(), y.data());
      EXPECT_LT((y - a * x).norm(), 1e-12 * (a * x).norm());

      std::vector<double> factor = packed, inverses(n);
      ASSERT_TRUE(kernels.choleskyFactor(factor.data(), n, inverses.data()));
      Eigen::VectorXd solved = x;
      kernels.choleskySolve(factor.data(), inverses.data(), n, solved.data());
      EXPECT_LT((a * solved - x).norm(), 1e-12 * x.norm());

      std::vector<double> to(5, 1.0);
      const double in[5] = {1, 2, 3, 4, 5}, out[5] = {0.5, 0.5, 0.5, 0.5, 0.5};
      kernels.slideSum(to.data(), in, out, 5);
      kernels.slideSum(to.data(), nullptr, out, 5);
      EXPECT_EQ(to, (std::vector<double>{1, 2, 3, 4, 5}));
    }
  }
  // Not positive definite: the factor says so.
  const std::vector<double> indefinite = {1.0, 2.0, 1.0};
  std::vector<double> factor = indefinite, inverses(2);
  EXPECT_FALSE(vexa::vectorKernels(vexa::detectedInstructionSet()).choleskyFactor(factor.data(), 2, inverses.data()));
}

TEST(LargeExtremes, HardSpectraAgainstAnExactDecomposition) {
  // Top two or bottom two values that nearly coincide, a wide range, a tight cluster.
  const int n = 150;
  std::vector<Eigen::VectorXd> spectra;
  Eigen::VectorXd s = Eigen::VectorXd::LinSpaced(n, 1.0, 100.0);
  s(n - 1) = s(n - 2) * (1 + 1e-5);  // top two nearly equal
  spectra.push_back(s);
  s(n - 1) = s(n - 2) * (1 + 1e-8);  // closer than the vector can be told apart
  spectra.push_back(s);
  s = Eigen::VectorXd::LinSpaced(n, 1.0, 100.0);
  s(1) = s(0) * (1 + 1e-9);  // bottom two nearly equal
  spectra.push_back(s);
  s = Eigen::VectorXd::LinSpaced(n, 1e-9, 1.0);
  s(n - 1) = 1e4;  // smallest 1e-13 of the largest
  spectra.push_back(s);
  s = Eigen::VectorXd::Constant(n, 2.0);
  s(n - 1) = 3.0;
  s(0) = 1.0;  // every other value equal
  spectra.push_back(s);
  for (vexa::InstructionSet set : vexa::supportedInstructionSets()) {
    vexa::LargeExtremes solver(n, set);
    for (std::size_t i = 0; i < spectra.size(); ++i) {
      SCOPED_TRACE("spectrum " + std::to_string(i) + ", " + vexa::nameOf(set));
      const std::vector<double> packed = withSpectrum(n, spectra[i]);
      std::vector<double> vector(n);
      vexa::LargeExtremesSteps steps;
      const vexa::Extremes e = solver.solve(packed.data(), nullptr, false, vector.data(), &steps);
      expectExtremes(packed, n, e, vector.data(), i != 1);
      // Started from its own answer, the next voxel's search agrees.
      const std::vector<double> previous = vector;
      const vexa::Extremes again = solver.solve(packed.data(), previous.data(), false, vector.data());
      EXPECT_NEAR(again.first, e.first, 1e-12 * e.first);
      EXPECT_NEAR(again.last / again.first, e.last / e.first, 1e-10);
    }
  }
}

TEST(LargeExtremes, SingularAndIndefiniteMatricesStillAnswer) {
  const int n = 140;
  vexa::LargeExtremes solver(n);
  std::vector<double> vector(n);
  vexa::LargeExtremesSteps steps;
  // Rank 100 (courses that repeat): no factor, a shifted one answers 0.
  Eigen::VectorXd s = Eigen::VectorXd::LinSpaced(n, 1.0, 20.0);
  s(n - 1) = 50.0;
  s.head(40).setZero();
  std::vector<double> packed = withSpectrum(n, s);
  vexa::Extremes e = solver.solve(packed.data(), nullptr, false, vector.data(), &steps);
  expectExtremes(packed, n, e, vector.data());
  EXPECT_FALSE(steps.fellBack);
  EXPECT_LT(e.last, 1e-12 * e.first);
  // A negative eigenvalue: no factor even shifted; the full solver answers, its |smallest|.
  s = Eigen::VectorXd::LinSpaced(n, 1.0, 50.0);
  s(0) = -0.5;
  packed = withSpectrum(n, s);
  e = solver.solve(packed.data(), nullptr, false, vector.data(), &steps);
  EXPECT_TRUE(steps.fellBack);
  EXPECT_NEAR(e.first, 50.0, 1e-12 * 50);
  EXPECT_NEAR(e.second, s(n - 2), 1e-12 * 50);
  // Known singular (demeaned courses): the smallest is not searched for.
  s = Eigen::VectorXd::LinSpaced(n, 1.0, 20.0);
  s(n - 1) = 50.0;
  packed = withSpectrum(n, s);
  e = solver.solve(packed.data(), nullptr, true, vector.data(), &steps);
  EXPECT_EQ(e.last, 0.0);
  EXPECT_EQ(steps.smallest, 0);
}

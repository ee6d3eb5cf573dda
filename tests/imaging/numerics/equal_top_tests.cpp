// Equal or nearly equal top eigenvalues on every solver, against an exact decomposition: a
// single Lanczos search holds only one direction of a repeated value, and the third must
// never be reported as the second. Spectra in the style of Eigen's svd_fill: duplicates at
// the top, a crowd close below, zeroed rows and columns, the cyclic shifts of one course.

#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <Eigen/Core>

#include "imaging/numerics/batched.h"
#include "imaging/numerics/extremes.h"
#include "imaging/numerics/lanczos.h"
#include "imaging/numerics/large_extremes.h"
#include "tests/support/exact.h"

namespace {

constexpr int kOrder = 60;

//! Top two equal (or within tie of each other), the third drop below them, a crowd below it.
Eigen::MatrixXd topPair(double tie, double drop, int equal = 2) {
  Eigen::VectorXd s(kOrder);
  for (int i = 0; i < kOrder; ++i) s(i) = 0.5 * std::exp(-0.1 * i);                               // the tail
  for (int i = 0; i < 12; ++i) s(kOrder - equal - 1 - i) = 100.0 * (1 - drop) * (1 - 0.002 * i);  // the crowd
  for (int i = 0; i < equal; ++i) s(kOrder - 1 - i) = 100.0 * (1 - i * tie);
  return exact::withSpectrum(exact::rotation(kOrder), s);
}

//! The products of the cyclic shifts of one course: a travelling wave's cube.
Eigen::MatrixXd travellingWave() {
  Eigen::MatrixXd courses(kOrder, kOrder);
  for (int k = 0; k < kOrder; ++k)
    for (int t = 0; t < kOrder; ++t) {
      const int s = (t + 7 * k) % kOrder;
      courses(k, t) = 10.0 + 3.0 * std::sin(2 * M_PI * s / kOrder) + std::cos(6 * M_PI * s / kOrder);
    }
  return exact::columnProducts(courses, kOrder - 1);
}

Eigen::MatrixXd zeroed(Eigen::MatrixXd a) {
  for (int i : {3, 17, 40}) {
    a.row(i).setZero();
    a.col(i).setZero();
  }
  return a;
}

struct Answer {
  double first, second, last;
  Eigen::VectorXd vector;
  bool hasLast;
};

void expectExact(const Eigen::MatrixXd& a, const Answer& got) {
  const exact::Symmetric e = exact::symmetric(a);
  const int n = static_cast<int>(a.rows());
  const double first = e.values(n - 1);
  EXPECT_NEAR(got.first, first, 1e-12 * first);
  EXPECT_NEAR(got.second, e.values(n - 2), 1e-12 * first);
  if (got.hasLast) {
    EXPECT_NEAR(got.last, std::abs(e.values(0)), 1e-11 * first);
  }
  // Any unit vector of the top eigenspace is right.
  EXPECT_NEAR(got.vector.norm(), 1.0, 1e-12);
  EXPECT_LT((a * got.vector - first * got.vector).norm(), 1e-9 * first);
}

using Solver = std::function<Answer(const Eigen::MatrixXd&)>;

std::vector<std::pair<std::string, Solver>> solvers() {
  std::vector<std::pair<std::string, Solver>> all;
  all.emplace_back("full", [](const Eigen::MatrixXd& a) {
    vexa::ExtremesSolver solver(kOrder);
    Answer out{0, 0, 0, Eigen::VectorXd(kOrder), true};
    const vexa::Extremes e = solver.solve(a.data(), out.vector.data());
    out.first = e.first, out.second = e.second, out.last = e.last;
    return out;
  });
  all.emplace_back("lanczos", [](const Eigen::MatrixXd& a) {
    vexa::LanczosSolver solver(kOrder);
    Answer out{0, 0, 0, Eigen::VectorXd(kOrder), false};
    const vexa::LanczosExtremes e = solver.solve(a.data(), kOrder, out.vector.data());
    out.first = e.first, out.second = e.second;
    return out;
  });
  for (vexa::InstructionSet set : vexa::supportedInstructionSets()) {
    all.emplace_back(std::string("batched ") + vexa::nameOf(set), [set](const Eigen::MatrixXd& a) {
      vexa::BatchedExtremes solver(kOrder, set);
      const int lanes = solver.lanes();
      for (int lane = 0; lane < lanes; ++lane) solver.fillIdentity(lane);
      for (int i = 0, k = 0; i < kOrder; ++i)
        for (int j = 0; j <= i; ++j, ++k) solver.matrices()[k * lanes] = a(i, j);
      solver.solve();
      Answer out{solver.first(0), solver.second(0), solver.last(0), Eigen::VectorXd(kOrder), true};
      for (int i = 0; i < kOrder; ++i) out.vector(i) = solver.vector(0, i);
      return out;
    });
    all.emplace_back(std::string("large ") + vexa::nameOf(set), [set](const Eigen::MatrixXd& a) {
      vexa::LargeExtremes solver(kOrder, set);
      std::vector<double> packed;
      for (int i = 0; i < kOrder; ++i)
        for (int j = 0; j <= i; ++j) packed.push_back(a(i, j));
      Answer out{0, 0, 0, Eigen::VectorXd(kOrder), true};
      const vexa::Extremes e = solver.solve(packed.data(), nullptr, false, out.vector.data());
      out.first = e.first, out.second = e.second, out.last = e.last;
      return out;
    });
  }
  return all;
}

}  // namespace

TEST(EqualTopValues, EverySolverAgainstAnExactDecomposition) {
  std::srand(5);  // the rotations, whatever ran before
  const std::vector<std::pair<std::string, Eigen::MatrixXd>> cases = {
      {"top two equal, a crowd 3 % below", topPair(0, 0.03)},
      {"top two within 1e-10, a crowd 1 % below", topPair(1e-10, 0.01)},
      {"top three equal", topPair(0, 0.02, 3)},
      {"top two within 1e-5", topPair(1e-5, 0.02)},
      {"top two equal, rows and columns zeroed", zeroed(topPair(0, 0.03))},
      {"a travelling wave", travellingWave()},
  };
  for (const auto& [solver, solve] : solvers()) {
    for (const auto& [name, matrix] : cases) {
      SCOPED_TRACE(solver + ": " + name);
      expectExact(matrix, solve(matrix));
    }
  }
}

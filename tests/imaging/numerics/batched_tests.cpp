// The batched solver on every instruction set this processor runs: against a full
// decomposition, lane by lane independent, and on the spectra that make solvers stumble.

#include <cmath>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <Eigen/Core>

#include "imaging/numerics/batched.h"
#include "tests/support/exact.h"

using vexa::BatchedExtremes;
using vexa::InstructionSet;

namespace {

// Mean products of count positive series of n frames: a common course plus noise.
Eigen::MatrixXd meanProducts(std::mt19937& random, int n, int count, double noise) {
  std::normal_distribution<double> gauss(0.0, 1.0);
  Eigen::MatrixXd m(count, n);
  for (int k = 0; k < count; ++k) {
    const double baseline = 50 + 10 * gauss(random);
    for (int t = 0; t < n; ++t)
      m(k, t) = static_cast<float>(baseline * (1 + std::sin(0.3 * t)) + noise * gauss(random));
  }
  return exact::columnProducts(m, count - 1);
}

void load(BatchedExtremes& solver, int lane, const Eigen::MatrixXd& a) {
  const int n = solver.order();
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j)
      solver.matrices()[(static_cast<std::size_t>(i) * (i + 1) / 2 + j) * solver.lanes() + lane] = a(i, j);
}

struct Result {
  double first, second, last;
  Eigen::VectorXd vector;
};

Result resultOf(const BatchedExtremes& solver, int lane) {
  Result r{solver.first(lane), solver.second(lane), solver.last(lane), Eigen::VectorXd(solver.order())};
  for (int i = 0; i < solver.order(); ++i) r.vector(i) = solver.vector(lane, i);
  return r;
}

void expectAgreement(const Result& got, const Eigen::MatrixXd& a, double vectorTolerance) {
  const exact::Singular svd = exact::singular(a);
  const Eigen::VectorXd& s = svd.values;
  const int n = static_cast<int>(a.rows());
  Eigen::VectorXd u = svd.left.col(0);
  if (u.sum() > 0) u = -u;
  EXPECT_NEAR(got.first, s(0), 1e-13 * s(0));
  EXPECT_NEAR(got.second, s(1), 1e-13 * s(0));
  EXPECT_NEAR(got.last, s(n - 1), 1e-13 * s(0));
  EXPECT_LT((got.vector - u).cwiseAbs().maxCoeff(), vectorTolerance);
  EXPECT_NEAR(got.vector.norm(), 1.0, 1e-14);
}

}  // namespace

TEST(Batched, EveryInstructionSetAgreesWithAFullDecomposition) {
  for (InstructionSet set : vexa::supportedInstructionSets()) {
    std::mt19937 random(5);
    for (int n : {3, 4, 7, 12, 24, 40, 64}) {
      SCOPED_TRACE(vexa::nameOf(set) + ", order " + std::to_string(n));
      BatchedExtremes solver(n, set);
      std::vector<Eigen::MatrixXd> matrices;
      for (int lane = 0; lane < solver.lanes(); ++lane) {
        matrices.push_back(meanProducts(random, n, lane % 2 ? 125 : n / 2 + 2, 3.0));
        load(solver, lane, matrices.back());
      }
      solver.solve();
      for (int lane = 0; lane < solver.lanes(); ++lane) expectAgreement(resultOf(solver, lane), matrices[lane], 1e-10);
    }
  }
}

TEST(Batched, ALanesResultDoesNotDependOnItsNeighbours) {
  std::mt19937 random(9);
  const Eigen::MatrixXd target = meanProducts(random, 24, 125, 3.0);
  for (InstructionSet set : vexa::supportedInstructionSets()) {
    SCOPED_TRACE(vexa::nameOf(set));
    BatchedExtremes solver(24, set);
    std::vector<Result> seen;
    for (int trial = 0; trial < 3; ++trial) {
      const int lane = trial % solver.lanes();
      for (int other = 0; other < solver.lanes(); ++other) {
        if (other == lane) continue;
        if (trial == 2) {
          solver.fillIdentity(other);
        } else {
          Eigen::MatrixXd noise = meanProducts(random, 24, 30 + other, 20.0 * trial);
          if (trial == 1 && other == (lane + 1) % solver.lanes()) noise(3, 3) = std::nan("");
          load(solver, other, noise);
        }
      }
      load(solver, lane, target);
      solver.solve();
      seen.push_back(resultOf(solver, lane));
    }
    for (const Result& r : seen) {
      EXPECT_EQ(r.first, seen[0].first);
      EXPECT_EQ(r.second, seen[0].second);
      EXPECT_EQ(r.last, seen[0].last);
      EXPECT_TRUE(r.vector == seen[0].vector);
    }
  }
}

TEST(Batched, HardSpectraAndSpecialLanes) {
  for (InstructionSet set : vexa::supportedInstructionSets()) {
    SCOPED_TRACE(vexa::nameOf(set));
    std::mt19937 random(3);
    const int n = 16;
    BatchedExtremes solver(n, set);
    Eigen::VectorXd course(n), graded(n);
    for (int t = 0; t < n; ++t) course(t) = 1 + t % 5;
    for (int i = 0; i < n; ++i) graded(i) = std::pow(10.0, 10 - 1.3 * i);
    const Eigen::MatrixXd rotation = exact::rotation(n);
    Eigen::VectorXd top(n);
    for (int i = 0; i < n; ++i) top(i) = i < 2 ? 3.0 : 1.0 / (i + 1);  // the largest value twice
    const std::vector<Eigen::MatrixXd> cases = {
        course * course.transpose() * 3.5,     // rank one
        Eigen::MatrixXd(graded.asDiagonal()),  // a graded spectrum
        Eigen::MatrixXd::Ones(n, n),           // all ones
        rotation * top.asDiagonal() * rotation.transpose(),
    };
    for (std::size_t lane = 0; lane < cases.size() && static_cast<int>(lane) < solver.lanes(); ++lane) {
      load(solver, static_cast<int>(lane), cases[lane]);
    }
    const int zeroLane = solver.lanes() - 1;
    load(solver, zeroLane, Eigen::MatrixXd::Zero(n, n));
    solver.solve();
    for (std::size_t lane = 0; lane < cases.size() && static_cast<int>(lane) < solver.lanes() - 1; ++lane) {
      SCOPED_TRACE("case " + std::to_string(lane));
      const Result got = resultOf(solver, static_cast<int>(lane));
      if (lane == 3) {
        // Any unit vector of the top eigenspace is right: check values and the residual.
        EXPECT_NEAR(got.first, 3.0, 1e-14);
        EXPECT_NEAR(got.second, 3.0, 1e-14);
        EXPECT_LT((cases[lane] * got.vector - got.first * got.vector).norm(), 1e-13);
      } else {
        expectAgreement(got, cases[lane], 1e-12);
      }
    }
    EXPECT_EQ(solver.first(zeroLane), 0.0);
    EXPECT_EQ(solver.vector(zeroLane, 0), -1.0);

    // A lane that is not finite gives NaN; the others are untouched by it.
    const Eigen::MatrixXd good = meanProducts(random, n, 125, 3.0);
    for (int lane = 0; lane < solver.lanes(); ++lane) load(solver, lane, good);
    Eigen::MatrixXd bad = good;
    bad(5, 2) = std::numeric_limits<double>::infinity();
    load(solver, 1, bad);
    solver.solve();
    EXPECT_TRUE(std::isnan(solver.first(1)) && std::isnan(solver.vector(1, 0)));
    expectAgreement(resultOf(solver, 0), good, 1e-10);
  }
}

TEST(Batched, InstructionSetsAgreeWithEachOther) {
  std::mt19937 random(21);
  const Eigen::MatrixXd a = meanProducts(random, 40, 125, 5.0);
  std::vector<Result> results;
  for (InstructionSet set : vexa::supportedInstructionSets()) {
    BatchedExtremes solver(40, set);
    for (int lane = 0; lane < solver.lanes(); ++lane) load(solver, lane, a);
    solver.solve();
    results.push_back(resultOf(solver, 0));
  }
  for (const Result& r : results) {
    EXPECT_NEAR(r.first, results[0].first, 1e-13 * results[0].first);
    EXPECT_NEAR(r.second, results[0].second, 1e-13 * results[0].first);
    EXPECT_LT((r.vector - results[0].vector).cwiseAbs().maxCoeff(), 1e-12);
  }
}

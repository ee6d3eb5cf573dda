// The spectrum solvers on every instruction set this processor runs, lane by lane, against
// a full decomposition: the noise variance, the rank and the projection, on data matrices
// of a known rank plus noise, with clustered components, a structural zero, nothing but
// noise and the zero matrix.

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <Eigen/Core>

#include "imaging/numerics/noise_threshold.h"
#include "imaging/numerics/processor.h"
#include "tests/support/exact.h"

using vexa::InstructionSet;
using vexa::NoiseEstimator;
using vexa::SpectrumShape;

namespace {

// A frames x courses data matrix: rank components (the first `twins` of equal strength)
// plus Gaussian noise of sigma, each entry a float as images hold them.
Eigen::MatrixXd dataMatrix(std::mt19937& random, int frames, int courses, int rank, int twins, double sigma) {
  std::normal_distribution<double> gauss(0.0, 1.0);
  Eigen::MatrixXd x = Eigen::MatrixXd::Constant(frames, courses, 100.0);
  for (int k = 0; k < rank; ++k) {
    const double strength = k < twins ? 40.0 : 40.0 / (k + 1);
    Eigen::VectorXd course(frames), map(courses);
    for (int t = 0; t < frames; ++t) course(t) = gauss(random);
    for (int v = 0; v < courses; ++v) map(v) = gauss(random);
    x += strength * course.normalized() * map.transpose() * std::sqrt(frames);
  }
  for (int t = 0; t < frames; ++t)
    for (int v = 0; v < courses; ++v) x(t, v) = static_cast<float>(x(t, v) + sigma * gauss(random));
  return x;
}

struct Case {
  const char* name;
  int frames, courses, rank, twins;
  bool demean;
  NoiseEstimator estimator;
};

class Spectra : public ::testing::TestWithParam<Case> {};

TEST_P(Spectra, AgreeWithAFullDecompositionLaneByLane) {
  const Case c = GetParam();
  std::mt19937 random(17);
  for (InstructionSet set : vexa::supportedInstructionSets()) {
    SCOPED_TRACE(vexa::nameOf(set));
    const int n = c.courses - (c.demean ? 1 : 0);
    SpectrumShape shape;
    shape.order = std::min(c.frames, c.courses);
    shape.used = std::min(c.frames, n);
    shape.larger = std::max(c.frames, n);
    shape.estimator = c.estimator;
    auto solver = vexa::spectrumSolver(shape, set);
    const int lanes = solver->lanes();
    std::vector<Eigen::MatrixXd> products(lanes);
    std::vector<Eigen::VectorXd> probes(lanes);
    for (int lane = 0; lane < lanes; ++lane) {
      // Lane 1 holds nothing but noise; the last, the zero matrix.
      Eigen::MatrixXd x = dataMatrix(random, c.frames, c.courses, lane == 1 ? 0 : c.rank, c.twins, 3.0);
      if (c.demean) x.colwise() -= x.rowwise().mean();
      products[lane] = c.frames <= c.courses ? Eigen::MatrixXd(x * x.transpose()) : Eigen::MatrixXd(x.transpose() * x);
      if (lane == lanes - 1 && lanes > 2) products[lane].setZero();
      probes[lane] = Eigen::VectorXd::Random(shape.order);
      for (int i = 0; i < shape.order; ++i)
        for (int j = 0; j <= i; ++j)
          solver->matrices()[(static_cast<std::size_t>(i) * (i + 1) / 2 + j) * lanes + lane] = products[lane](i, j);
    }
    solver->solve();
    for (int lane = 0; lane < lanes; ++lane)
      for (int i = 0; i < shape.order; ++i) solver->vectors()[i * lanes + lane] = probes[lane](i);
    solver->project();

    for (int lane = 0; lane < lanes; ++lane) {
      SCOPED_TRACE("lane " + std::to_string(lane));
      const exact::Symmetric e = exact::symmetric(products[lane]);
      const vexa::Threshold threshold = vexa::marchenkoPastur(e.values.data(), shape);
      const int rank = shape.used - threshold.cut;
      EXPECT_EQ(solver->rank(lane), rank);
      EXPECT_NEAR(solver->noiseVariance(lane), threshold.sigma2, 1e-10 * threshold.sigma2);
      Eigen::VectorXd expected = probes[lane];
      if (threshold.cut > 0) {
        const auto kept = e.vectors.rightCols(rank);
        expected = kept * (kept.transpose() * probes[lane]);
      }
      Eigen::VectorXd got(shape.order);
      for (int i = 0; i < shape.order; ++i) got(i) = solver->vectors()[i * lanes + lane];
      EXPECT_LE((got - expected).norm(), 1e-9 * probes[lane].norm());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, Spectra,
                         ::testing::Values(Case{"FewFrames", 12, 27, 3, 0, false, NoiseEstimator::Exp2},
                                           Case{"Diffusion", 65, 125, 6, 0, false, NoiseEstimator::Exp2},
                                           Case{"DiffusionExp1", 65, 125, 6, 0, false, NoiseEstimator::Exp1},
                                           Case{"EqualComponents", 65, 125, 6, 3, false, NoiseEstimator::Exp2},
                                           Case{"MoreFramesThanCourses", 90, 27, 4, 0, false, NoiseEstimator::Exp2},
                                           Case{"DemeanedStructuralZero", 40, 27, 4, 0, true, NoiseEstimator::Exp2},
                                           Case{"Demeaned", 30, 125, 4, 0, true, NoiseEstimator::Exp1},
                                           Case{"LargeOrder", 200, 343, 8, 0, false, NoiseEstimator::Exp2}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace

// Denoising against a plain reference: each voxel's window gathered afresh, its matrix
// decomposed by Jacobi SVD, the threshold read off the whole spectrum. Over windows of one
// and three sides, both shapes of the matrix, demeaned windows, the image's edges, both
// estimators and every instruction set; and the noise level of a series of known noise.

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <Eigen/Core>

#include "analysis/denoise.h"
#include "tests/support/exact.h"

namespace {

using mirlune::WindowSides;
using vexa::NoiseEstimator;

//! rank smooth components over the grid, Gaussian noise of sd sigma, a zero plane (background)
//! and one voxel with a NaN sample.
VexaData<float> lowRankSeries(int X, int Y, int Z, int T, int rank, double sigma, unsigned seed) {
  std::mt19937 engine(seed);
  std::normal_distribution<double> gauss(0.0, sigma);
  VexaData<float> input(X, Y, Z, T, 0);
  for (int z = 0; z < Z; ++z)
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x)
        for (int t = 0; t < T; ++t) {
          double value = 100;
          for (int k = 1; k <= rank; ++k)
            value += 40.0 / k * std::sin(0.3 * k * (x + 2 * y + 3 * z) + k) * std::cos(0.7 * k * t + k * k);
          input(x, y, z, t) = static_cast<float>(y == Y - 1 ? 0.0 : value + gauss(engine));
        }
  input(1, 2, 1, T / 2) = std::numeric_limits<float>::quiet_NaN();
  return input;
}

struct Reference {
  std::vector<double> course;
  double sigma = 0;
  int rank = 0;
};

//! The window of (c.x, c.y, c.z), moved inside the image, decomposed exactly.
Reference referenceAt(const VexaData<float>& input, const WindowSides& sides, const std::array<int, 3>& c,
                      const mirlune::DenoiseOptions& options) {
  const std::array<int, 3> size{input.dimX(), input.dimY(), input.dimZ()};
  std::array<int, 3> from{}, extent{};
  for (int a = 0; a < 3; ++a) {
    extent[a] = std::min(sides[a], size[a]);
    from[a] = std::clamp(c[a] - sides[a] / 2, 0, size[a] - extent[a]);
  }
  const int T = input.dimT(), n = extent[0] * extent[1] * extent[2];
  Eigen::MatrixXd m(T, n);
  int centre = 0, k = 0;
  for (int z = from[2]; z < from[2] + extent[2]; ++z)
    for (int y = from[1]; y < from[1] + extent[1]; ++y)
      for (int x = from[0]; x < from[0] + extent[0]; ++x, ++k) {
        if (std::array<int, 3>{x, y, z} == c) centre = k;
        for (int t = 0; t < T; ++t) m(t, k) = std::isfinite(input(x, y, z, t)) ? input(x, y, z, t) : 0.0;
      }
  Eigen::VectorXd mean = Eigen::VectorXd::Zero(T);
  if (options.demean) mean = m.rowwise().mean();
  m.colwise() -= mean;
  const int effective = options.demean ? n - 1 : n;
  const vexa::SpectrumShape shape{std::min(T, n), std::min(T, effective), std::max(T, effective), options.estimator};
  const exact::Singular svd = exact::singular(m);
  std::vector<double> ascending(shape.order);
  for (int i = 0; i < shape.order; ++i) ascending[i] = std::pow(svd.values(shape.order - 1 - i), 2);
  const vexa::Threshold threshold = vexa::marchenkoPastur(ascending.data(), shape);
  Reference r;
  r.rank = shape.used - threshold.cut;
  r.sigma = std::sqrt(threshold.sigma2);
  const Eigen::MatrixXd kept = svd.left.leftCols(r.rank);
  const Eigen::VectorXd course = kept * (kept.transpose() * m.col(centre)) + mean;
  r.course.assign(course.data(), course.data() + T);
  if (threshold.cut == 0) {
    for (int t = 0; t < T; ++t) r.course[t] = m(t, centre) + mean(t);
  }
  return r;
}

struct Case {
  const char* name;
  int X, Y, Z, T;
  WindowSides sides;
  bool demean;
  NoiseEstimator estimator;
};

class Denoising : public testing::TestWithParam<Case> {};

TEST_P(Denoising, EveryVoxelAsAnExactDecompositionOfItsWindow) {
  const Case& c = GetParam();
  const VexaData<float> input = lowRankSeries(c.X, c.Y, c.Z, c.T, 3, 2.0, 7);
  const mirlune::SeriesGeometry geometry = mirlune::SeriesGeometry::of(input);
  int count = 0;
  const VexaData<short> mask = mirlune::buildMask(input, count);
  mirlune::DenoiseOptions options;
  options.window = c.sides;
  options.demean = c.demean;
  options.estimator = c.estimator;
  options.threads = 1;
  std::vector<mirlune::DenoisedSeries> runs;
  for (vexa::InstructionSet set : vexa::supportedInstructionSets()) {
    options.instructionSet = set;
    runs.push_back(mirlune::denoiseSeries(geometry, input, mask, options));
  }
  options.threads = 3;
  runs.push_back(mirlune::denoiseSeries(geometry, input, mask, options));

  const mirlune::DenoisedSeries& first = runs.front();
  EXPECT_EQ(first.voxels, count);
  for (const mirlune::DenoisedSeries& run : runs) {
    EXPECT_TRUE(std::equal(run.series.volume().begin(), run.series.volume().end(), first.series.volume().begin()))
        << "an instruction set or the worker count changed a result";
  }
  for (int z = 0; z < c.Z; ++z)
    for (int y = 0; y < c.Y; ++y)
      for (int x = 0; x < c.X; ++x) {
        SCOPED_TRACE(std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(z));
        if (mask(x, y, z) != 1) {
          EXPECT_EQ(first.rank(x, y, z), 0);
          for (int t = 0; t < c.T; ++t) ASSERT_EQ(first.series(x, y, z, t), 0.0f);
          continue;
        }
        const Reference r = referenceAt(input, c.sides, {x, y, z}, options);
        ASSERT_EQ(first.rank(x, y, z), r.rank);
        EXPECT_NEAR(first.noise(x, y, z), r.sigma, 1e-6 * r.sigma);
        const double scale = *std::max_element(r.course.begin(), r.course.end(),
                                               [](double a, double b) { return std::abs(a) < std::abs(b); });
        for (int t = 0; t < c.T; ++t) ASSERT_NEAR(first.series(x, y, z, t), r.course[t], 1e-6 * std::abs(scale));
      }
}

INSTANTIATE_TEST_SUITE_P(
    WindowsAndShapes, Denoising,
    testing::Values(Case{"Cube5", 9, 8, 7, 20, {5, 5, 5}, false, NoiseEstimator::Exp2},
                    Case{"Side3MoreFramesThanCourses", 7, 6, 5, 40, {3, 3, 3}, false, NoiseEstimator::Exp2},
                    Case{"ThreeSidesOneLongerThanItsAxis", 9, 8, 5, 24, {3, 5, 7}, false, NoiseEstimator::Exp1},
                    Case{"ThickSlices", 10, 9, 6, 30, {5, 5, 3}, false, NoiseEstimator::Exp1},
                    Case{"Side7Slid", 11, 10, 9, 60, {7, 7, 7}, false, NoiseEstimator::Exp2},
                    Case{"Demeaned", 8, 8, 6, 30, {5, 5, 5}, true, NoiseEstimator::Exp2},
                    Case{"DemeanedMoreFramesThanCourses", 6, 6, 5, 30, {3, 3, 3}, true, NoiseEstimator::Exp1}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Denoising, NoiseOfKnownLevelAndRankWithBothEstimators) {
  // A baseline and three strong components under noise of sd 2: the estimate within a few
  // per cent, the rank 4 at most voxels.
  const VexaData<float> input = lowRankSeries(14, 14, 10, 50, 3, 2.0, 11);
  int count = 0;
  const VexaData<short> mask = mirlune::buildMask(input, count);
  for (NoiseEstimator estimator : {NoiseEstimator::Exp1, NoiseEstimator::Exp2}) {
    SCOPED_TRACE(mirlune::estimatorName(estimator));
    mirlune::DenoiseOptions options;
    options.estimator = estimator;
    const mirlune::DenoisedSeries run =
        mirlune::denoiseSeries(mirlune::SeriesGeometry::of(input), input, mask, options);
    std::vector<double> sigmas;
    int right = 0;
    for (int z = 2; z < 8; ++z)
      for (int y = 2; y < 11; ++y)
        for (int x = 2; x < 12; ++x) {
          sigmas.push_back(run.noise(x, y, z));
          right += run.rank(x, y, z) == 4;
        }
    std::nth_element(sigmas.begin(), sigmas.begin() + sigmas.size() / 2, sigmas.end());
    EXPECT_NEAR(sigmas[sigmas.size() / 2], 2.0, 0.1);
    // The largest noise eigenvalue strays past the law's edge now and then (a finite window):
    // one more component kept at one voxel in five to ten (exp1 more often).
    EXPECT_GE(right, static_cast<int>(0.75 * sigmas.size()));
  }
}

}  // namespace

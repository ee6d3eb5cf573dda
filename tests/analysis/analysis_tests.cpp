#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "analysis/stages.h"

using mirlune::LocalMaps;

namespace {

struct Analysed {
  VexaData<short> mask;
  int count = 0;
  LocalMaps maps;
};

Analysed analyse(const VexaData<float>& input, int threads = 1, bool reference = false) {
  Analysed run;
  run.mask = mirlune::buildMask(input, run.count);
  VexaData<Individu> serie = mirlune::gatherRecords(input, run.mask, run.count);
  mirlune::AnalysisOptions options;
  options.threads = threads;
  options.reference = reference;
  run.maps = mirlune::analyseLocally(mirlune::SeriesGeometry::of(input), run.mask, serie, options);
  return run;
}

}  // namespace

TEST(Mask, SelectionRules) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Row {
    std::vector<float> series;
    bool selected;
    bool nonFinite = false;  // left out for a sample that is not a finite number
  };
  const Row rows[] = {
      {{2.0f}, true},  // one frame: positive is enough
      {{-2.0f}, false},
      {{1, 1, 0, 1}, false},          // a zero frame
      {{1, 1, -0.0f, 1}, false},      // minus zero is zero
      {{-1, -1, 3, -1}, true},        // negative elsewhere, positive in the middle (frame 2)
      {{1, 1, -3, 1}, false},         // negative in the middle
      {{1, 1, nan, 1}, false},        // not a number in the middle
      {{nan, 1, 2, 1}, false, true},  // not a number elsewhere: left out, not spread to its cube
      {{1, 1, inf, 1}, false, true},  // infinite in the middle
      {{1, -inf, 2, 1}, false, true},
      {{nan, 0, 2, 1}, false},  // a zero frame already leaves it out
      {{1, 5}, true},           // T = 2: the middle frame is frame 1
      {{5, -1}, false},
  };
  for (const Row& row : rows) {
    const int T = static_cast<int>(row.series.size());
    VexaData<float> input(2, 1, 1, T, 0);
    for (int t = 0; t < T; ++t) input(1, 0, 0, t) = row.series[static_cast<std::size_t>(t)];
    int count = -1;
    long long nonFinite = -1;
    VexaData<short> mask = mirlune::buildMask(input, count, &nonFinite);
    EXPECT_EQ(count, row.selected ? 1 : 0);
    EXPECT_EQ(nonFinite, row.nonFinite ? 1 : 0);
    EXPECT_EQ(mask(1, 0, 0), row.selected ? 1 : 0);
    EXPECT_EQ(mask(0, 0, 0), 0);
  }
}

TEST(Mask, CarriesTheInputVoxelSize) {
  VexaData<float> input(2, 2, 2, 3, 0);
  input.setVoxelSize(1.5f, 2.0f, 3.5f, 60.0f);
  int count = 0;
  VexaData<short> mask = mirlune::buildMask(input, count);
  std::vector<float> sizes;
  mask.pythonHeader()->getProperty("voxel_size", sizes);
  EXPECT_EQ(sizes, (std::vector<float>{1.5f, 2.0f, 3.5f, 1.0f}));
  EXPECT_EQ(mask.dimT(), 1);
}

TEST(Records, RasterOrderAndExactValues) {
  VexaData<float> input(4, 2, 1, 2, 0);
  VexaData<short> mask(4, 2, 1, 1, 0);
  mask(3, 0, 0) = 1;
  mask(0, 1, 0) = 1;
  mask(2, 1, 0) = 2;  // not 1: no record
  input(3, 0, 0, 0) = -0.0f;
  input(3, 0, 0, 1) = 1e-30f;
  input(0, 1, 0, 0) = -7.25f;
  VexaData<Individu> serie = mirlune::gatherRecords(input, mask, 2);
  ASSERT_EQ(serie.dimX(), 2);
  EXPECT_EQ(serie(0).position[0], 3);
  EXPECT_EQ(serie(0).position[1], 0);
  EXPECT_EQ(serie(1).position[0], 0);
  EXPECT_EQ(serie(1).position[1], 1);
  EXPECT_TRUE(std::signbit(serie(0).values[0]));
  EXPECT_EQ(serie(0).values[1], 1e-30f);
  EXPECT_EQ(serie(1).values, (std::vector<float>{-7.25f, 0.0f}));
  // A count smaller than the mask's ones never writes past the series.
  EXPECT_EQ(mirlune::gatherRecords(input, mask, 1).dimX(), 1);
}

TEST(LocalAnalysis, TwoVoxelsSideBySide) {
  // Series a = (1, 2) and b = (3, 4): divisor 1, C = a a' + b b' = [[10, 14], [14, 20]].
  VexaData<float> input(2, 1, 1, 2, 0);
  input(0, 0, 0, 0) = 1;
  input(0, 0, 0, 1) = 2;
  input(1, 0, 0, 0) = 3;
  input(1, 0, 0, 1) = 4;
  Analysed run = analyse(input);
  ASSERT_EQ(run.count, 2);
  const double root = std::sqrt(221.0);  // eigenvalues 15 +- sqrt(221)
  for (int x = 0; x < 2; ++x) {
    EXPECT_NEAR(run.maps.disparite(x, 0, 0), 2 * root, 1e-12);
    EXPECT_NEAR(run.maps.dispersion(x, 0, 0), (15 - root) / (15 + root), 1e-15);
    EXPECT_NEAR(run.maps.dispersion2(x, 0, 0), (15 - root) / (15 + root), 1e-15);
    // The dominant vector of C, made positive by the negation.
    const double u0 = 14.0, u1 = 15 + root - 10;
    const double norm = std::hypot(u0, u1);
    EXPECT_NEAR(run.maps.ratFiltre(x, 0, 0, 0), u0 / norm, 1e-7);
    EXPECT_NEAR(run.maps.ratFiltre(x, 0, 0, 1), u1 / norm, 1e-7);
  }
}

TEST(LocalAnalysis, NeighbourCountsAtCornersEdgesAndFaces) {
  // Every voxel holds (1, 1): C = c/(c-1) [[1, 1], [1, 1]], whose largest value 2c/(c-1)
  // tells the number c of neighbours.
  VexaData<float> input(9, 9, 9, 2, 0);
  for (float& v : input.volume()) v = 1.0f;
  Analysed run = analyse(input);
  ASSERT_EQ(run.count, 729);
  struct Row {
    int x, y, z, count;
  };
  const Row rows[] = {{0, 0, 0, 27}, {0, 0, 4, 45}, {0, 4, 4, 75}, {4, 4, 4, 125}, {1, 4, 4, 100}, {8, 1, 8, 36}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.count);
    const double first = 2.0 * row.count / (row.count - 1);
    EXPECT_NEAR(run.maps.disparite(row.x, row.y, row.z), first, 1e-12);
    // Rank 1: both dispersion maps vanish to rounding.
    EXPECT_LT(std::abs(run.maps.dispersion(row.x, row.y, row.z)), 1e-12);
    EXPECT_LT(std::abs(run.maps.dispersion2(row.x, row.y, row.z)), 1e-12);
    EXPECT_NEAR(run.maps.ratFiltre(row.x, row.y, row.z, 0), std::sqrt(0.5), 1e-7);
  }
}

TEST(LocalAnalysis, OnlyMaskVoxelsTakePart) {
  VexaData<float> input(7, 1, 1, 2, 0);
  // An isolated voxel at x = 0; a pair at x = 5, 6; x = 3 is in no one's mask.
  input(0, 0, 0, 0) = 4;
  input(0, 0, 0, 1) = 4;
  input(5, 0, 0, 0) = input(6, 0, 0, 0) = 1;
  input(5, 0, 0, 1) = input(6, 0, 0, 1) = 2;
  input(3, 0, 0, 0) = 5;  // zero in frame 1: not in the mask
  Analysed run = analyse(input);
  EXPECT_EQ(run.count, 3);
  for (int x : {0, 1, 3}) {
    EXPECT_EQ(run.maps.disparite(x, 0, 0), 0.0);
    EXPECT_EQ(run.maps.dispersion(x, 0, 0), 0.0);
    EXPECT_EQ(run.maps.dispersion2(x, 0, 0), 0.0);
    EXPECT_EQ(run.maps.ratFiltre(x, 0, 0, 0), 0.0f);
    EXPECT_EQ(run.maps.ratFiltre(x, 0, 0, 1), 0.0f);
  }
  EXPECT_NEAR(run.maps.disparite(5, 0, 0), 10.0, 1e-12);  // (1, 2) twice, divisor 1: C = 2 [[1, 2], [2, 4]]

  // A neighbour whose mask value is 2 is not used.
  VexaData<short> mask = run.mask;  // shared volume
  mask(6, 0, 0) = 2;
  VexaData<Individu> serie = mirlune::gatherRecords(input, mask, 2);
  LocalMaps maps = mirlune::analyseLocally(mirlune::SeriesGeometry::of(input), mask, serie);
  EXPECT_EQ(maps.disparite(5, 0, 0), 0.0);
}

TEST(LocalAnalysis, SingleFrameAndNonFiniteValues) {
  VexaData<float> one(3, 1, 1, 1, 0);
  one(0, 0, 0) = 1;
  one(1, 0, 0) = 2;
  Analysed single = analyse(one);
  EXPECT_NEAR(single.maps.disparite(0, 0, 0), 0.0, 1e-15);  // one value: first = last
  EXPECT_NEAR(single.maps.dispersion(0, 0, 0), 1.0, 1e-15);
  EXPECT_EQ(single.maps.dispersion2(0, 0, 0), 0.0);
  EXPECT_FLOAT_EQ(single.maps.ratFiltre(0, 0, 0, 0), 1.0f);

  // An infinite sample leaves its voxel out, under the built-in mask and a user's alike;
  // its neighbours' maps stay finite.
  VexaData<float> bad(3, 1, 1, 3, 0);
  for (float& v : bad.volume()) v = 1.0f;
  bad(1, 0, 0) = 2.0f;
  bad(2, 0, 0, 0) = std::numeric_limits<float>::infinity();
  Analysed run = analyse(bad);
  EXPECT_EQ(run.count, 2);
  EXPECT_EQ(run.mask(2, 0, 0), 0);
  for (int x = 0; x < 2; ++x) {
    EXPECT_TRUE(std::isfinite(run.maps.disparite(x, 0, 0)));
    EXPECT_TRUE(std::isfinite(run.maps.dispersion2(x, 0, 0)));
    EXPECT_TRUE(std::isfinite(run.maps.ratFiltre(x, 0, 0, 2)));
  }
  VexaData<short> everything(3, 1, 1, 1, 0);
  for (short& v : everything.volume()) v = 1;
  int count = 3;
  EXPECT_EQ(mirlune::leaveOutNonFinite(bad, everything, count), 1);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(everything(2, 0, 0), 0);
}

TEST(LocalAnalysis, SameResultWhateverTheNumberOfWorkers) {
  VexaData<float> input(11, 9, 7, 4, 0);
  unsigned state = 5;
  for (float& v : input.volume()) {
    state = state * 1664525u + 1013904223u;
    v = 0.5f + static_cast<float>(state >> 8) / 16777216.0f;
  }
  input(5, 5, 5, 2) = 0.0f;  // a hole in the mask
  Analysed one = analyse(input, 1);
  Analysed three = analyse(input, 3);
  ASSERT_EQ(one.count, 11 * 9 * 7 - 1);
  const auto same = [](const auto& a, const auto& b) {
    return std::equal(a.volume().begin(), a.volume().end(), b.volume().begin());
  };
  EXPECT_TRUE(same(one.maps.disparite, three.maps.disparite));
  EXPECT_TRUE(same(one.maps.dispersion, three.maps.dispersion));
  EXPECT_TRUE(same(one.maps.dispersion2, three.maps.dispersion2));
  EXPECT_TRUE(same(one.maps.ratFiltre, three.maps.ratFiltre));
}

TEST(LocalAnalysis, ExtentsBeyondSixteenBitsAreRefused) {
  // Positions are kept in 16 bits: a silent wrap would put results in the wrong voxels;
  // and the filtered series, a NIfTI-1 file, holds at most 32767 frames.
  EXPECT_NO_THROW(mirlune::checkExtents({32767, 1, 1, 32767}));
  try {
    mirlune::checkExtents({1, 32768, 1, 1});
    ADD_FAILURE() << "32768 voxels accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "the input has 32768 voxels along y; at most 32767 per axis can be analysed");
  }
  EXPECT_THROW(mirlune::checkExtents({4, 4, 4, 33000}), std::runtime_error);
}

TEST(LocalAnalysis, FastRouteAgreesWithThePlainOne) {
  // A PET-like series: a few tissues with their own courses, noise, holes in the mask,
  // and edges on every side.
  const int X = 13, Y = 11, Z = 9, T = 24;
  VexaData<float> input(X, Y, Z, T, 0);
  unsigned state = 17;
  auto noise = [&] {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
  };
  for (int z = 0; z < Z; ++z)
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x) {
        const int tissue = (x / 4 + y / 5 + z / 3) % 3;
        const bool outside = (x * 7 + y * 3 + z) % 11 == 0;
        for (int t = 0; t < T; ++t) {
          const float course = tissue == 0 ? 1.0f + t : tissue == 1 ? 20.0f - 0.5f * t : 5.0f + (t % 4);
          input(x, y, z, t) = outside ? 0.0f : (3.0f + tissue) * course + noise();
        }
      }
  Analysed plain = analyse(input, 1, true);
  Analysed fast = analyse(input, 2, false);
  ASSERT_GT(plain.count, 900);
  int analysed = 0;
  for (int z = 0; z < Z; ++z)
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x) {
        // Both dispersion maps are ratios to s_first, so s_first = disparity / (1 - dispersion).
        const double first = plain.maps.disparite(x, y, z) / (1.0 - plain.maps.dispersion(x, y, z));
        if (plain.maps.disparite(x, y, z) == 0.0) {
          EXPECT_EQ(fast.maps.disparite(x, y, z), 0.0);
          continue;
        }
        ++analysed;
        ASSERT_NEAR(fast.maps.disparite(x, y, z), plain.maps.disparite(x, y, z), 1e-10 * first);
        ASSERT_NEAR(fast.maps.dispersion(x, y, z), plain.maps.dispersion(x, y, z), 1e-10);
        ASSERT_NEAR(fast.maps.dispersion2(x, y, z), plain.maps.dispersion2(x, y, z), 1e-10);
        for (int t = 0; t < T; ++t) {
          ASSERT_NEAR(fast.maps.ratFiltre(x, y, z, t), plain.maps.ratFiltre(x, y, z, t), 1e-6);
        }
      }
  EXPECT_EQ(analysed, plain.count);
}

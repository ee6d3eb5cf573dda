// The two routes of the local analysis and their boundary, on every instruction set this
// processor runs, against an exact decomposition of each voxel's matrix.

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <Eigen/Core>

#include "analysis/routes.h"
#include "analysis/stages.h"
#include "imaging/numerics/orientation.h"
#include "tests/support/exact.h"

using mirlune::LocalMaps;

namespace {

// A PET-like series: a few tissues with their own courses, noise, and holes in the mask.
VexaData<float> series(int X, int Y, int Z, int T, unsigned seed, bool holes = true) {
  VexaData<float> input(X, Y, Z, T, 0);
  unsigned state = seed;
  auto noise = [&] {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
  };
  for (int z = 0; z < Z; ++z)
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x) {
        const int tissue = (x / 3 + y / 4 + z / 2) % 3;
        const bool outside = holes && (x * 7 + y * 3 + z) % 11 == 0;
        for (int t = 0; t < T; ++t) {
          const float course = tissue == 0 ? 1.0f + 0.1f * t : tissue == 1 ? 20.0f - 0.05f * t : 5.0f + (t % 4);
          input(x, y, z, t) = outside ? 0.0f : (3.0f + tissue) * course + noise();
        }
      }
  return input;
}

struct Analysed {
  VexaData<short> mask;
  LocalMaps maps;
};

//! How a run is asked for beyond the defaults.
struct Asked {
  mirlune::WindowSides sides = mirlune::kDefaultWindow;
  void cube(int side) { sides = {side, side, side}; }
  bool demean = false;
  bool voisins = false;
};

Analysed analyse(const VexaData<float>& input, vexa::InstructionSet set, int threads = 1, double budget = 0,
                 const Asked& asked = {}) {
  Analysed run;
  int count = 0;
  run.mask = mirlune::buildMask(input, count);
  const VexaData<Individu> serie = mirlune::gatherRecords(input, run.mask, count);
  mirlune::AnalysisOptions options;
  options.threads = threads;
  options.instructionSet = set;
  options.scratchBudget = budget;
  options.window = asked.sides;
  options.demean = asked.demean;
  options.voisins = asked.voisins;
  run.maps = mirlune::analyseLocally(mirlune::SeriesGeometry::of(input), run.mask, serie, options);
  return run;
}

//! A neighbourhood's values as an exact decomposition gives them, its vector oriented.
struct Exact {
  double first, second, last;
  Eigen::VectorXd u;
  bool byGram;  // T above the neighbours (or the window): the Gram matrix, last 0
};

/*!
 * The neighbourhood's courses m (count x T) decomposed by Eigen: C when T is at most the
 * neighbours and the window's voxels, G (and M' v) past that.
 */
Exact exactOf(Eigen::MatrixXd m, const Asked& asked) {
  const int count = static_cast<int>(m.rows()), T = static_cast<int>(m.cols());
  // Demeaned: each course less its mean over frames, in double, before any product.
  if (asked.demean) m.colwise() -= m.rowwise().mean();
  Exact e;
  e.byGram = !(T <= count && T <= asked.sides[0] * asked.sides[1] * asked.sides[2]);
  if (!e.byGram) {
    const exact::Symmetric full = exact::symmetric(exact::columnProducts(m, count - 1));
    e.first = full.values(T - 1);
    e.second = T > 1 ? full.values(T - 2) : 0;
    e.last = std::abs(full.values(0));
    e.u = full.vectors.col(T - 1);
  } else {
    const exact::Symmetric full = exact::symmetric(exact::rowProducts(m, count - 1));
    e.first = full.values(count - 1);
    e.second = full.values(count - 2);
    e.last = 0;
    e.u = (m.transpose() * full.vectors.col(count - 1)).normalized();
  }
  // Oriented: the sum negative, or, demeaned (the sum is 0), the largest component.
  if (asked.demean ? vexa::peaksTheWrongWay(e.u.data(), T) : e.u.sum() > 0) e.u = -e.u;
  return e;
}

//! The raster indices of the mask voxels in the cube of half-side h around (x, y, z).
std::vector<int> neighboursOf(const VexaData<short>& mask, int x, int y, int z, const mirlune::WindowSides& sides) {
  const int X = mask.dimX(), Y = mask.dimY(), Z = mask.dimZ();
  const int hx = sides[0] / 2, hy = sides[1] / 2, hz = sides[2] / 2;
  std::vector<int> at;
  for (int a = std::max(x - hx, 0); a < std::min(x + hx + 1, X); ++a)
    for (int b = std::max(y - hy, 0); b < std::min(y + hy + 1, Y); ++b)
      for (int c = std::max(z - hz, 0); c < std::min(z + hz + 1, Z); ++c)
        if (mask(a, b, c) == 1) at.push_back(a + X * (b + Y * c));
  return at;
}

//! The voxel (x, y, z) against its neighbourhood's matrix decomposed exactly; whether it
//! went by the Gram matrix, or nothing when its cube holds at most one course.
std::optional<bool> expectVoxelExact(const VexaData<float>& input, const Analysed& run, const Asked& asked, int x,
                                     int y, int z) {
  const int X = input.dimX(), Y = input.dimY(), Z = input.dimZ(), T = input.dimT();
  const std::vector<int> at = neighboursOf(run.mask, x, y, z, asked.sides);
  const int count = static_cast<int>(at.size());
  if (asked.voisins) {
    EXPECT_EQ(run.maps.voisins(x, y, z), count > 1 ? count : 0);
  }
  if (count <= 1) return std::nullopt;
  Eigen::MatrixXd m(count, T);
  for (int k = 0; k < count; ++k)
    for (int t = 0; t < T; ++t) m(k, t) = input.volume().begin()[at[k] + static_cast<long>(X) * Y * Z * t];
  const Exact e = exactOf(m, asked);
  SCOPED_TRACE(std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(z) + ", count " +
               std::to_string(count));
  // Past the neighbours, the smallest singular value is 0 exactly.
  if (e.byGram) {
    EXPECT_EQ(run.maps.dispersion(x, y, z), 0.0);
  }
  EXPECT_NEAR(run.maps.disparite(x, y, z), e.first - e.last, 1e-9 * e.first);
  // Demeaned, the sums lose what the means cancel: about eps (mean / spread)^2.
  const double ratios = asked.demean ? 1e-9 : 1e-13;
  EXPECT_NEAR(run.maps.dispersion(x, y, z), e.last / e.first, ratios);
  EXPECT_NEAR(run.maps.dispersion2(x, y, z), e.second / e.first, ratios);
  if (e.first - e.second > 1e-6 * e.first) {
    for (int t = 0; t < T; ++t) EXPECT_NEAR(run.maps.ratFiltre(x, y, z, t), -e.u(t), 1e-6);
  } else {
    // The top two equal: any unit vector of their plane is the dominant one.
    Eigen::VectorXd u(T);
    for (int t = 0; t < T; ++t) u(t) = run.maps.ratFiltre(x, y, z, t);
    if (asked.demean) m.colwise() -= m.rowwise().mean();
    EXPECT_NEAR((m.transpose() * (m * u)).norm() / (count - 1), e.first * u.norm(), 1e-5 * e.first);
  }
  return e.byGram;
}

/*!
 * Every voxel against its neighbourhood's matrix decomposed exactly. Returns how many
 * voxels went each way (C, G).
 */
std::pair<int, int> expectExact(const VexaData<float>& input, const Analysed& run, const Asked& asked = {}) {
  int covariance = 0, gram = 0;
  for (int z = 0; z < input.dimZ(); ++z)
    for (int y = 0; y < input.dimY(); ++y)
      for (int x = 0; x < input.dimX(); ++x) {
        if (run.mask(x, y, z) != 1) continue;
        if (const std::optional<bool> byGram = expectVoxelExact(input, run, asked, x, y, z))
          ++(*byGram ? gram : covariance);
      }
  return {covariance, gram};
}

bool sameMaps(const LocalMaps& a, const LocalMaps& b) {
  auto same = [](const auto& p, const auto& q) {
    return std::equal(p.volume().begin(), p.volume().end(), q.volume().begin());
  };
  return same(a.disparite, b.disparite) && same(a.dispersion, b.dispersion) && same(a.dispersion2, b.dispersion2) &&
         same(a.ratFiltre, b.ratFiltre);
}

}  // namespace

TEST(Routes, BothSidesOfTheBoundaryOnEveryInstructionSet) {
  // A 3 x 3 x 4 block: the cubes of its end planes hold 27 voxels, the others 36. T around both.
  for (int T : {26, 27, 28, 35, 36, 37}) {
    const VexaData<float> input = series(3, 3, 4, T, 7, false);
    for (vexa::InstructionSet set : vexa::supportedInstructionSets()) {
      SCOPED_TRACE("T " + std::to_string(T) + ", " + vexa::nameOf(set));
      const auto [covariance, gram] = expectExact(input, analyse(input, set));
      EXPECT_EQ(covariance + gram, 36);
      EXPECT_EQ(gram, T > 36 ? 36 : T > 27 ? 18 : 0);
    }
  }
}

TEST(Routes, SeriesLongerThanAnyNeighbourhood) {
  // Past 125 frames every voxel takes the Gram route, with the dot products shared
  // between cubes; corners, edges, faces and holes give every count.
  const VexaData<float> input = series(9, 8, 7, 131, 3);
  for (vexa::InstructionSet set : vexa::supportedInstructionSets()) {
    SCOPED_TRACE(vexa::nameOf(set));
    const Analysed one = analyse(input, set, 1);
    const auto [covariance, gram] = expectExact(input, one);
    EXPECT_EQ(covariance, 0);
    EXPECT_GT(gram, 400);
    EXPECT_TRUE(sameMaps(one.maps, analyse(input, set, 3).maps)) << "the worker count changed a result";
  }
}

TEST(Routes, ShortSeriesOnEveryInstructionSetAndWorkerCount) {
  const VexaData<float> input = series(13, 11, 9, 26, 17);
  std::vector<LocalMaps> results;
  for (vexa::InstructionSet set : vexa::supportedInstructionSets()) {
    SCOPED_TRACE(vexa::nameOf(set));
    const Analysed one = analyse(input, set, 1);
    const auto [covariance, gram] = expectExact(input, one);
    EXPECT_GT(covariance, 500);
    EXPECT_GT(gram, 0);  // corner cubes of 27 voxels less their holes have fewer than 26
    EXPECT_TRUE(sameMaps(one.maps, analyse(input, set, 2).maps)) << "the worker count changed a result";
  }
}

TEST(Routes, TilesKeepScratchWithinBudgetAndChangeNoResult) {
  // A thin slab with many frames: whole planes of sums or of dot products would outweigh
  // the series, so both routes work in tiles that fit the budget.
  mirlune::SeriesGeometry slab;
  slab.sizeX = slab.sizeY = 96;
  slab.sizeZ = 5;
  for (int T : {120, 130}) {
    slab.frames = T;
    const double budget = mirlune::defaultScratchBudget(slab);
    if (T <= 125) {
      const int width = mirlune::shortSeriesTileWidth(slab, mirlune::Window({5, 5, 5}), false, 2, budget);
      EXPECT_LT(width, 96);
      EXPECT_LE(2 * 6.0 * (width + 4) * (T * (T + 1) / 2.0) * sizeof(double), budget);
    } else {
      const int rows = mirlune::longSeriesTileRows(slab, mirlune::Window({5, 5, 5}), budget);
      EXPECT_LT(rows, 96);
      EXPECT_LE(5.0 * 96 * (rows + 4) * 365 * sizeof(double), budget);  // 365 pairs per anchor
    }
  }
  // Tiles as narrow as they go give every voxel the same sums, so the same maps.
  for (int T : {20, 131}) {
    SCOPED_TRACE("T " + std::to_string(T));
    const VexaData<float> input = series(13, 11, 6, T, 5);
    const vexa::InstructionSet set = vexa::detectedInstructionSet();
    EXPECT_TRUE(sameMaps(analyse(input, set, 2).maps, analyse(input, set, 2, 1.0).maps));
  }
  // A wide window slides its sums along rows: tiles of whole blocks of columns, or none,
  // give the same maps, and they agree with an exact decomposition.
  const VexaData<float> wide = series(40, 9, 6, 20, 5);
  Asked asked;
  asked.cube(7);
  const mirlune::SeriesGeometry g = mirlune::SeriesGeometry::of(wide);
  ASSERT_TRUE(mirlune::shortSeriesSlides(g, mirlune::Window({7, 7, 7}), false, 7e5));
  EXPECT_EQ(mirlune::shortSeriesTileWidth(g, mirlune::Window({7, 7, 7}), false, 3, 7e5), 16);
  const Analysed whole = analyse(wide, vexa::detectedInstructionSet(), 1, 1e12, asked);
  expectExact(wide, whole, asked);
  EXPECT_TRUE(sameMaps(whole.maps, analyse(wide, vexa::detectedInstructionSet(), 3, 7e5, asked).maps));
}

TEST(Routes, EveryWindowSideOnEveryRoute) {
  // Short series (the batched solver, and Gram cubes at the corners), and series longer than
  // the window holds (the long route), for the widths users choose; a small grid makes
  // every count from corners to whole cubes.
  struct Case {
    mirlune::WindowSides sides;
    int T;
    int X, Y, Z;  // long series on the wider windows: a small grid keeps the exact check quick
  };
  const Case cases[] = {{{3, 3, 3}, 2, 7, 6, 5},
                        {{3, 3, 3}, 12, 7, 6, 5},
                        {{3, 3, 3}, 20, 7, 6, 5},
                        {{3, 3, 3}, 28, 7, 6, 5},
                        {{7, 7, 7}, 10, 7, 6, 5},
                        {{7, 7, 7}, 40, 7, 6, 5},
                        {{7, 7, 7}, 344, 5, 4, 3},
                        {{9, 9, 9}, 30, 7, 6, 5},
                        {{9, 9, 9}, 730, 5, 4, 3},
                        {{11, 11, 11}, 24, 7, 6, 5},
                        {{11, 11, 11}, 1332, 4, 3, 3},
                        {{15, 15, 15}, 10, 7, 6, 5},
                        // Three sides, for thick slices: the short route (sliding, in a cube wider than the
                        // default), the long route and the wide-window route.
                        {{5, 5, 3}, 30, 7, 6, 5},
                        {{9, 7, 3}, 40, 11, 8, 5},
                        {{3, 5, 7}, 120, 5, 6, 8},
                        {{9, 7, 3}, 150, 11, 8, 4}};
  for (const Case& c : cases) {
    const VexaData<float> input = series(c.X, c.Y, c.Z, c.T, 11);
    for (vexa::InstructionSet set : vexa::supportedInstructionSets()) {
      SCOPED_TRACE("window " + mirlune::windowText(c.sides) + ", T " + std::to_string(c.T) + ", " + vexa::nameOf(set));
      Asked asked;
      asked.sides = c.sides;
      asked.voisins = true;
      const Analysed run = analyse(input, set, 2, 0, asked);
      const auto [covariance, gram] = expectExact(input, run, asked);
      EXPECT_GT(covariance + gram, c.X * c.Y * c.Z / 3);
    }
  }
  EXPECT_EQ(mirlune::autoSide(200), 7);
  EXPECT_EQ(mirlune::autoSide(1000), 11);
  EXPECT_EQ(mirlune::autoSide(26), 3);
  EXPECT_EQ(mirlune::autoSide(3375), 0);
}

TEST(Routes, DemeanedCoursesOnEveryRoute) {
  // Against each course less its mean, decomposed plainly: the shared sums' correction on
  // the short route, the dot products' on the Gram and long routes, and the reference.
  for (int T : {2, 16, 40, 131}) {
    SCOPED_TRACE("T " + std::to_string(T));
    const VexaData<float> input = series(9, 8, 7, T, 23);
    Asked asked;
    asked.demean = true;
    const Analysed run = analyse(input, vexa::detectedInstructionSet(), 2, 0, asked);
    expectExact(input, run, asked);
    EXPECT_TRUE(sameMaps(run.maps, analyse(input, vexa::detectedInstructionSet(), 1, 0, asked).maps));
  }
}

TEST(Routes, CubesOfZeroSignalGiveZeroRatios) {
  // A user's mask over a zero background: the whole cube's courses are 0.
  VexaData<float> input = series(9, 8, 7, 12, 5, false);
  for (int z = 0; z < 7; ++z)
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 9; ++x)
        if (x < 6)
          for (int t = 0; t < 12; ++t) input(x, y, z, t) = 0;
  VexaData<short> mask(9, 8, 7, 1, 0);
  for (short& v : mask.volume()) v = 1;
  const VexaData<Individu> serie = mirlune::gatherRecords(input, mask, 9 * 8 * 7);
  for (bool reference : {false, true}) {
    mirlune::AnalysisOptions options;
    options.reference = reference;
    const LocalMaps maps = mirlune::analyseLocally(mirlune::SeriesGeometry::of(input), mask, serie, options);
    EXPECT_EQ(maps.dispersion(0, 0, 0), 0.0);
    EXPECT_EQ(maps.dispersion2(1, 1, 1), 0.0);
    for (double v : maps.dispersion.volume()) ASSERT_FALSE(std::isnan(v));
    for (double v : maps.dispersion2.volume()) ASSERT_FALSE(std::isnan(v));
  }
}

namespace {

//! Two runs' maps within what the rounding of two ways of summing allows.
void expectClose(const LocalMaps& a, const LocalMaps& b) {
  auto close = [](const auto& p, const auto& q, double tolerance, const char* what) {
    auto i = q.volume().begin();
    for (const double v : p.volume()) {
      const double w = *i++;
      ASSERT_NEAR(v, w, tolerance * std::max(1.0, std::abs(v))) << what;
    }
  };
  close(a.disparite, b.disparite, 1e-11, "disparite");
  close(a.dispersion, b.dispersion, 1e-11, "dispersion");
  close(a.dispersion2, b.dispersion2, 1e-11, "dispersion2");
  close(a.ratFiltre, b.ratFiltre, 1e-6, "ratFiltre");
}

}  // namespace

TEST(Routes, WideWindowsAtManyFrames) {
  // Past kLargeFrom frames a wide window's cubes go to the large-matrix solver, their
  // matrices slid along rows: planes added and taken away (a budget with no room), or plane
  // sums kept (a roomy one). Counts run from corners far below T to whole cubes above it.
  struct Case {
    int side, T, X, Y, Z;
    bool demean;
  };
  const Case cases[] = {
      {7, 130, 8, 7, 5, false}, {9, 140, 8, 7, 5, false}, {11, 170, 7, 6, 5, false}, {7, 150, 7, 7, 5, true}};
  const vexa::InstructionSet detected = vexa::detectedInstructionSet();
  for (const Case& c : cases) {
    SCOPED_TRACE("side " + std::to_string(c.side) + ", T " + std::to_string(c.T) + (c.demean ? ", demeaned" : ""));
    const VexaData<float> input = series(c.X, c.Y, c.Z, c.T, 29);
    Asked asked;
    asked.cube(c.side);
    asked.demean = c.demean;
    asked.voisins = true;
    const Analysed planes = analyse(input, detected, 1, 1.0, asked);
    const auto [covariance, gram] = expectExact(input, planes, asked);
    EXPECT_GT(covariance, 0);
    EXPECT_GT(gram, 0);
    // Bit for bit whatever the number of workers, either way.
    EXPECT_TRUE(sameMaps(planes.maps, analyse(input, detected, 3, 1.0, asked).maps));
    const Analysed sums = analyse(input, detected, 2, 1e12, asked);
    EXPECT_TRUE(sameMaps(sums.maps, analyse(input, detected, 1, 1e12, asked).maps));
    expectClose(planes.maps, sums.maps);
    for (vexa::InstructionSet set : vexa::supportedInstructionSets()) {
      SCOPED_TRACE(vexa::nameOf(set));
      expectClose(planes.maps, analyse(input, set, 2, 1.0, asked).maps);
    }
  }
  const mirlune::SeriesGeometry g = mirlune::SeriesGeometry::of(series(32, 32, 16, 1, 1));
  mirlune::SeriesGeometry many = g;
  many.frames = 300;
  EXPECT_TRUE(mirlune::usesLargeSolver(many, mirlune::Window({7, 7, 7})));
  EXPECT_FALSE(mirlune::usesLargeSolver(many, mirlune::Window({5, 5, 5})));
  EXPECT_TRUE(mirlune::wideWindowKeepsPlaneSums(many, mirlune::Window({7, 7, 7}), mirlune::defaultScratchBudget(many)));
  many.frames = 1000;
  EXPECT_FALSE(
      mirlune::wideWindowKeepsPlaneSums(many, mirlune::Window({11, 11, 11}), mirlune::defaultScratchBudget(many)));
}

namespace {

//! What passes along a row before the cubes that are checked.
enum class Passing { BrainThenZeros, Spike, BrightBesideDim, ZeroPlane };

/*!
 * A series whose cubes slide past something that leaves rounding behind in a slid sum,
 * every voxel in the mask (a mask of ones, as over a skull-stripped series): along x, a
 * bright brain then zeros; a spike of 1e12; a bright half beside a dim one; a plane of zeros.
 */
VexaData<float> passing(Passing what, int X, int T) {
  VexaData<float> input(X, 5, 5, T, 0);
  for (int z = 0; z < 5; ++z)
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < X; ++x)
        for (int t = 0; t < T; ++t) {
          double value = 100.0 * (1.0 + 0.3 * std::sin(0.7 * t + 0.4 * x + 0.9 * y + 0.2 * z)) +
                         3.0 * std::cos(1.3 * t * (x + 2 * y + 3 * z + 1));
          if (what == Passing::BrainThenZeros && x >= 9) value = 0;
          if (what == Passing::Spike && x == 5 && y == 2 && z == 2) value *= 1e12;
          if (what == Passing::BrightBesideDim && x < 8) value *= 1e6;
          if (what == Passing::ZeroPlane && x == 8) value = 0;
          input(x, y, z, t) = static_cast<float>(value);
        }
  return input;
}

}  // namespace

TEST(Routes, SlidSumsKeepNoRoundingOfWhatPassed) {
  // Short series slide their sums in wide windows; past kLargeFrom frames the wide-window
  // route slides each cube's matrix. Every voxel of the middle row, which each cube's slide
  // reaches after what passed, against an exact decomposition of its own cube.
  struct Case {
    int side, T;
  };
  for (const Case c : {Case{7, 12}, Case{9, 12}, Case{7, 64}, Case{7, 130}}) {
    for (Passing what : {Passing::BrainThenZeros, Passing::Spike, Passing::BrightBesideDim, Passing::ZeroPlane}) {
      SCOPED_TRACE("side " + std::to_string(c.side) + ", T " + std::to_string(c.T) + ", case " +
                   std::to_string(static_cast<int>(what)));
      const int X = 22;
      const VexaData<float> input = passing(what, X, c.T);
      VexaData<short> mask(X, 5, 5, 1, 0);
      for (short& v : mask.volume()) v = 1;
      const VexaData<Individu> serie = mirlune::gatherRecords(input, mask, X * 25);
      mirlune::AnalysisOptions options;
      options.window = {c.side, c.side, c.side};
      options.threads = 1;
      const LocalMaps maps = mirlune::analyseLocally(mirlune::SeriesGeometry::of(input), mask, serie, options);
      Asked asked;
      asked.cube(c.side);
      for (int x = 0; x < X; ++x) {
        SCOPED_TRACE("x " + std::to_string(x));
        const std::vector<int> at = neighboursOf(mask, x, 2, 2, {c.side, c.side, c.side});
        Eigen::MatrixXd m(at.size(), c.T);
        for (std::size_t k = 0; k < at.size(); ++k)
          for (int t = 0; t < c.T; ++t) m(k, t) = input.volume().begin()[at[k] + static_cast<long>(X) * 25 * t];
        const Exact e = exactOf(m, asked);
        if (e.first == 0) {
          // A cube of zero courses: nothing to measure, and no rounding of what passed.
          EXPECT_EQ(maps.disparite(x, 2, 2), 0.0);
          EXPECT_EQ(maps.dispersion(x, 2, 2), 0.0);
          EXPECT_EQ(maps.dispersion2(x, 2, 2), 0.0);
          continue;
        }
        EXPECT_NEAR(maps.disparite(x, 2, 2), e.first - e.last, 1e-9 * e.first);
        EXPECT_NEAR(maps.dispersion(x, 2, 2), e.last / e.first, 1e-9);
        EXPECT_NEAR(maps.dispersion2(x, 2, 2), e.second / e.first, 1e-9);
        for (int t = 0; t < c.T; ++t) EXPECT_NEAR(maps.ratFiltre(x, 2, 2, t), -e.u(t), 1e-6);
      }
    }
  }
}

TEST(Routes, EqualTopValuesOfATravellingWave) {
  // Every course a cyclic shift of one, a whole period across each cube's side: the cubes'
  // top singular values come in equal pairs, the next pair a few per cent below, where a
  // single Lanczos search reports the third as the second. The long-series route (side 5)
  // and the wide-window route (side 7).
  struct Case {
    int side, T;
  };
  for (const Case c : {Case{5, 140}, Case{7, 140}}) {
    SCOPED_TRACE("side " + std::to_string(c.side) + ", T " + std::to_string(c.T));
    VexaData<float> input(8, 7, 6, c.T, 0);
    for (int z = 0; z < 6; ++z)
      for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 8; ++x)
          for (int t = 0; t < c.T; ++t) {
            const double phase = 2 * M_PI * (double(t) / c.T + double(x) / c.side + 0.13 * y + 0.07 * z);
            input(x, y, z, t) = static_cast<float>(50 + 10 * std::sin(phase) + 9.7 * std::cos(2 * phase));
          }
    Asked asked;
    asked.cube(c.side);
    asked.demean = true;  // the wave's pairs on top, not the baseline
    expectExact(input, analyse(input, vexa::detectedInstructionSet(), 2, 0, asked), asked);
  }
}

#pragma once
// What every route of the local analysis shares: the window, where each mask voxel's
// record is, the cube around a voxel, and how one voxel's answer is stored.

#include <algorithm>
#include <cstddef>
#include <vector>

#include "analysis/stages.h"
#include "imaging/numerics/orientation.h"

namespace mirlune {

using Index = std::ptrdiff_t;

/*!
 * The cube around each voxel, side[a] voxels along axis a (x, y, z; each odd, 3 to
 * kMostSide). Two voxels of one cube are at most reach[a] apart on axis a.
 */
struct Window {
  explicit Window(const WindowSides& sides = kDefaultWindow)
      : side{sides[0], sides[1], sides[2]},
        half{sides[0] / 2, sides[1] / 2, sides[2] / 2},
        reach{2 * (sides[0] / 2), 2 * (sides[1] / 2), 2 * (sides[2] / 2)},
        capacity(sides[0] * sides[1] * sides[2]) {}
  int side[3];   // voxels along each axis
  int half[3];   // the cube spans c - half ... c + half
  int reach[3];  // 2 half
  int capacity;  // voxels of a whole cube: the most a neighbourhood holds

  //! Wider than the default cube: sums slide along rows (the default's outputs stay as they were).
  bool wide() const { return capacity > kDefaultSide * kDefaultSide * kDefaultSide; }
};

//! What one analysed voxel gives.
struct VoxelResult {
  double first, second, last;
  const double* vector;  // the dominant singular vector, T values, oriented
};

/*!
 * Writes one analysed voxel's maps (count is the mask voxels in its cube) and its filtered
 * series (the negated vector). A cube whose courses are all 0 has no spread to measure:
 * its ratios are 0, not 0 / 0. Vectors of demeaned courses sum to 0, so the solvers' rule
 * (by the sum's sign) cannot orient them: they are oriented by their largest frame.
 */
inline void store(LocalMaps& maps, int x, int y, int z, int frames, int count, const VoxelResult& r) {
  const bool zero = r.first == 0;
  // Demeaned courses are orthogonal to the constant one, so the smallest singular value is
  // 0, not the rounding a solver leaves there; of two frames they span one direction, so the
  // second is 0 as well.
  const double last = maps.demeaned ? 0.0 : r.last;
  const double second = maps.demeaned && frames == 2 ? 0.0 : r.second;
  maps.disparite(x, y, z) = r.first - last;
  maps.dispersion(x, y, z) = zero ? 0.0 : last / r.first;
  maps.dispersion2(x, y, z) = zero ? 0.0 : second / r.first;
  const double sign = maps.demeaned && vexa::peaksTheWrongWay(r.vector, frames) ? 1.0 : -1.0;
  for (int t = 0; t < frames; ++t) maps.ratFiltre(x, y, z, t) = static_cast<float>(sign * r.vector[t]);
  if (maps.withVoisins) maps.voisins(x, y, z) = static_cast<short>(count);
}

//! Where each mask voxel's record is in serie, -1 elsewhere; raster index x + X (y + Y z).
class RecordIndex {
 public:
  RecordIndex(const SeriesGeometry& g, const VexaData<Individu>& serie);
  int operator()(int x, int y, int z) const { return _records[at(x, y, z)]; }

 private:
  Index at(Index x, Index y, Index z) const { return x + _sizeX * (y + _sizeY * z); }
  Index _sizeX, _sizeY;
  std::vector<int> _records;
};

//! The cube around (x, y, z), clipped to the grid: on each axis lo <= c < hi.
struct Cube {
  Cube(int x, int y, int z, const SeriesGeometry& g, const Window& w)
      : lo{std::max(x - w.half[0], 0), std::max(y - w.half[1], 0), std::max(z - w.half[2], 0)},
        hi{std::min(x + w.half[0] + 1, g.sizeX), std::min(y + w.half[1] + 1, g.sizeY),
           std::min(z + w.half[2] + 1, g.sizeZ)} {}
  int lo[3], hi[3];
};

//! Each record's mean over its frames, for demeaned courses (summed in double).
std::vector<double> recordMeans(const VexaData<Individu>& serie, int threads);

}  // namespace mirlune

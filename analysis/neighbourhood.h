#pragma once
// What every route of the local analysis shares: the window, where each mask voxel's
// record is, the cube around a voxel, and how one voxel's answer is stored.

#include <algorithm>
#include <cstddef>
#include <vector>

#include "analysis/stages.h"

namespace mirlune {

using Index = std::ptrdiff_t;

constexpr int kEdge = 5;                          // neighbourhood edge, in voxels
constexpr int kHalf = kEdge / 2;                  // 2
constexpr int kCapacity = kEdge * kEdge * kEdge;  // 125 records
constexpr int kReach = 2 * kHalf;                 // two voxels of one cube are at most 4 apart

//! What one analysed voxel gives.
struct VoxelResult {
  double first, second, last;
  const double* vector;  // the dominant singular vector, T values, oriented
};

//! Writes one analysed voxel's three maps and its filtered series (the negated vector).
inline void store(LocalMaps& maps, int x, int y, int z, int frames, const VoxelResult& r) {
  maps.disparite(x, y, z) = r.first - r.last;
  maps.dispersion(x, y, z) = r.last / r.first;
  maps.dispersion2(x, y, z) = r.second / r.first;
  for (int t = 0; t < frames; ++t) maps.ratFiltre(x, y, z, t) = static_cast<float>(-r.vector[t]);
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
  Cube(int x, int y, int z, const SeriesGeometry& g)
      : lo{std::max(x - kHalf, 0), std::max(y - kHalf, 0), std::max(z - kHalf, 0)},
        hi{std::min(x + kHalf + 1, g.sizeX), std::min(y + kHalf + 1, g.sizeY), std::min(z + kHalf + 1, g.sizeZ)} {}
  int lo[3], hi[3];
};

}  // namespace mirlune

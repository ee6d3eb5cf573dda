// The local principal component analysis: for every mask voxel, the singular values and
// the dominant singular vector of its neighbourhood's matrix of mean products.
//
// Two routes give the same quantities, chosen voxel by voxel. While the frames T are at
// most the neighbours (count), the T x T matrix C is built from sums shared between
// neighbouring cubes and decomposed several voxels at a time, one per SIMD lane. Past that,
// C's non-zero eigenvalues are those of the count x count Gram matrix G of the
// neighbours' series, C's smallest singular value is exactly 0 (its rank is at most
// count < T), and its dominant vector is M' v for G's dominant v: Lanczos on G costs what
// the neighbourhood costs, whatever T.

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "analysis/stages.h"
#include "imaging/numerics/batched.h"
#include "imaging/numerics/extremes.h"
#include "imaging/numerics/gram.h"
#include "imaging/numerics/orientation.h"
#include "imaging/numerics/svd.h"
#include "imaging/numerics/vector_kernels.h"

namespace mirlune {

namespace {

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

void store(LocalMaps& maps, int x, int y, int z, int frames, const VoxelResult& r) {
  maps.disparite(x, y, z) = r.first - r.last;
  maps.dispersion(x, y, z) = r.last / r.first;
  maps.dispersion2(x, y, z) = r.second / r.first;
  for (int t = 0; t < frames; ++t) maps.ratFiltre(x, y, z, t) = static_cast<float>(-r.vector[t]);
}

//! Where each mask voxel's record is in serie, -1 elsewhere; raster index x + X (y + Y z).
class RecordIndex {
 public:
  RecordIndex(const SeriesGeometry& g, const VexaData<Individu>& serie)
      : _sizeX(g.sizeX), _sizeY(g.sizeY), _records(Index(g.sizeX) * g.sizeY * g.sizeZ, -1) {
    for (int i = 0; i < serie.dimX(); ++i) {
      const Individu& r = serie(i);
      _records[at(r.position[0], r.position[1], r.position[2])] = i;
    }
  }
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

/*!
 * The plain route: walks each record's cube (x outermost, z innermost), builds the
 * mean-product matrix term by term and decomposes it fully.
 */
class ReferenceAnalyser {
 public:
  ReferenceAnalyser(const SeriesGeometry& geometry, const VexaData<short>& mask, const RecordIndex& records,
                    const VexaData<Individu>& serie)
      : _geometry(geometry),
        _mask(mask),
        _records(records),
        _serie(serie),
        _frames(geometry.frames),
        _neighbours(kCapacity),
        _products(_frames, _frames, 1, 1, 0),
        _vector(_frames) {}

  //! Returns the number of voxels analysed (0 or 1).
  int analyse(const Individu& record, LocalMaps& maps) {
    const int x = record.position[0], y = record.position[1], z = record.position[2];
    const int T = _frames;
    const Cube cube(x, y, z, _geometry);
    int count = 0;
    for (int nx = cube.lo[0]; nx < cube.hi[0]; ++nx)
      for (int ny = cube.lo[1]; ny < cube.hi[1]; ++ny)
        for (int nz = cube.lo[2]; nz < cube.hi[2]; ++nz)
          if (_mask(nx, ny, nz) == 1) _neighbours[count++] = &_serie(_records(nx, ny, nz)).values;
    if (count <= 1) return 0;  // an isolated voxel keeps its zeros

    // C(b, a): float products summed in doubles over the neighbours in order, divided by count - 1.
    const double divisor = static_cast<double>(count - 1);
    for (int a = 0; a < T; ++a)
      for (int b = 0; b < T; ++b) {
        double sum = 0.0;
        for (int k = 0; k < count; ++k) {
          const std::vector<float>& values = *_neighbours[k];
          sum += static_cast<double>(values[a]) * values[b];
        }
        _products(b, a) = sum / divisor;
      }
    VexaData<double> vectors = _products.deepCopy();
    VexaSVD<double> svd(0);
    svd.setReturnMode(1);
    VexaData<double> W = svd.doit(vectors, nullptr);
    svd.sort(vectors, W, nullptr);
    const int n = W.dimX();
    for (int t = 0; t < T; ++t) _vector[t] = vectors(t, 0);
    // A single frame has no second value.
    store(maps, x, y, z, T, {W(0), n > 1 ? W(1) : 0.0, W(n - 1), _vector.data()});
    ++_analysed;
    return 1;
  }

  long long analysed() const { return _analysed; }

 private:
  const SeriesGeometry& _geometry;
  const VexaData<short>& _mask;
  const RecordIndex& _records;
  const VexaData<Individu>& _serie;
  int _frames;
  std::vector<const std::vector<float>*> _neighbours;
  VexaData<double> _products;
  std::vector<double> _vector;
  long long _analysed = 0;
};

/*!
 * The Gram route of one voxel: G from the dot products of its neighbours' series (found by
 * dot(i, j), undivided), the two largest eigenpairs of G / (count - 1), and the dominant
 * vector of C as M' v, normalised and oriented.
 */
class GramRoute {
 public:
  GramRoute(int frames, vexa::InstructionSet set)
      : _frames(frames),
        _kernels(vexa::vectorKernels(set)),
        _solver(kCapacity, set),
        _gram(static_cast<std::size_t>(kCapacity) * kCapacity),
        _v(kCapacity),
        _u(frames) {}

  template <class Dot>
  VoxelResult solve(int count, const float* const* series, const Dot& dot) {
    const double divisor = static_cast<double>(count - 1);
    for (int i = 0; i < count; ++i)
      for (int j = 0; j <= i; ++j) {
        const double value = dot(i, j) / divisor;
        _gram[static_cast<std::size_t>(i) * count + j] = value;
        _gram[static_cast<std::size_t>(j) * count + i] = value;
      }
    const vexa::GramExtremes e = _solver.solve(_gram.data(), count, _v.data());
    const int T = _frames;
    std::fill(_u.begin(), _u.end(), 0.0);
    for (int i = 0; i < count; ++i)
      for (int t = 0; t < T; ++t) _u[t] += _v[i] * static_cast<double>(series[i][t]);
    const double norm = std::sqrt(_kernels.dotDoubles(_u.data(), _u.data(), T));
    if (norm > 0) {
      for (double& value : _u) value /= norm;
      if (vexa::pointsTheWrongWay(_u.data(), T))
        for (double& value : _u) value = -value;
    } else if (norm == 0) {
      // The zero matrix: every vector is an eigenvector; take the first axis.
      std::fill(_u.begin(), _u.end(), 0.0);
      _u[0] = -1.0;
    } else {
      std::fill(_u.begin(), _u.end(), e.first);  // not a number
    }
    // T exceeds count, C's rank: its smallest singular value is 0.
    return {e.first, e.second, std::isnan(e.first) ? e.first : 0.0, _u.data()};
  }

 private:
  int _frames;
  const vexa::VectorKernels& _kernels;
  vexa::GramSolver _solver;
  std::vector<double> _gram;
  std::vector<double> _v, _u;
};

/*!
 * The route for T up to 125, one z plane at a time. The cube sum of the neighbours' outer
 * products is separable: column sums over z, then over y (row sums), then over x (cube
 * sum), each partial sum computed once and shared by every cube that contains it. Every
 * term is the exact product of two floats in double and nothing is subtracted, so a sum
 * does not depend on which worker makes it; its order differs from the plain route's, so
 * the two agree to rounding. Only the lower triangle is kept, packed row by row.
 *
 * Voxels whose count reaches T wait in the lanes of the batched solver until they fill
 * them (or the plane ends); voxels with fewer neighbours than frames take the Gram route,
 * their dot products made on the spot.
 */
class PlaneAnalyser {
 public:
  PlaneAnalyser(const SeriesGeometry& geometry, const VexaData<short>& mask, const RecordIndex& records,
                const VexaData<Individu>& serie, vexa::InstructionSet set)
      : _mask(mask),
        _records(records),
        _serie(serie),
        _sizeX(geometry.sizeX),
        _sizeY(geometry.sizeY),
        _sizeZ(geometry.sizeZ),
        _frames(geometry.frames),
        _packed(Index(_frames) * (_frames + 1) / 2),
        _kernels(vexa::vectorKernels(set)),
        _columnSums(new double[kEdge * _sizeX * _packed]),
        _columnCounts(kEdge * _sizeX),
        _ringRow(kEdge, -1),
        _rowSums(new double[_sizeX * _packed]),
        _rowCounts(_sizeX),
        _cubeSum(new double[_packed]),
        _gram(_frames, set),
        _geometry(geometry) {
    if (_frames >= 3) {
      _batch = std::make_unique<vexa::BatchedExtremes>(_frames, set);
    } else {
      _small = std::make_unique<vexa::ExtremesSolver>(_frames);
      _matrix.resize(static_cast<std::size_t>(_frames) * _frames);
    }
    _vector.resize(_frames);
    if (_batch) _waiting.reserve(_batch->lanes());
    _neighbours.reserve(kCapacity);
  }

  //! Analyses the mask voxels of plane z; returns how many it visited.
  int analysePlane(int z, LocalMaps& maps) {
    std::fill(_ringRow.begin(), _ringRow.end(), -1);
    int visited = 0;
    for (int y = 0; y < _sizeY; ++y) {
      int first = -1, last = -1;
      for (int x = 0; x < _sizeX; ++x) {
        if (_mask(x, y, z) == 1) {
          if (first < 0) first = x;
          last = x;
        }
      }
      if (first < 0) continue;
      for (int row = std::max(y - kHalf, 0); row <= std::min<int>(y + kHalf, _sizeY - 1); ++row) columnSums(row, z);
      rowSums(y, std::max(first - kHalf, 0), std::min<int>(last + kHalf, _sizeX - 1));
      for (int x = first; x <= last; ++x) {
        if (_mask(x, y, z) != 1) continue;
        ++visited;
        analyseVoxel(x, y, z, maps);
      }
    }
    flush(maps);
    return visited;
  }

  long long analysed() const { return _analysed; }

 private:
  struct Waiting {
    int x, y, z;
  };

  Index slot(int row) const { return row % kEdge; }

  // Column sum at (x', row): the outer products at (x', row, z') over the cube's z range.
  void columnSums(int row, int z) {
    const Index s = slot(row);
    if (_ringRow[s] == row) return;
    _ringRow[s] = row;
    const int z0 = std::max(z - kHalf, 0), z1 = std::min<int>(z + kHalf, _sizeZ - 1);
    const float* series[kEdge];
    for (int x = 0; x < _sizeX; ++x) {
      int count = 0;
      for (int zz = z0; zz <= z1; ++zz) {
        const int record = _records(x, row, zz);
        if (record >= 0) series[count++] = _serie(record).values.data();
      }
      _columnCounts[s * _sizeX + x] = count;
      if (count > 0) _kernels.sumOuterProducts(series, count, _frames, &_columnSums[(s * _sizeX + x) * _packed]);
    }
  }

  // Row sum at x': the column sums over the cube's y range, for x' in [x0, x1].
  void rowSums(int y, int x0, int x1) {
    const int y0 = std::max(y - kHalf, 0), y1 = std::min<int>(y + kHalf, _sizeY - 1);
    const double* parts[kEdge];
    for (int x = x0; x <= x1; ++x) {
      int count = 0, used = 0;
      for (int row = y0; row <= y1; ++row) {
        const Index at = slot(row) * _sizeX + x;
        if (_columnCounts[at] == 0) continue;
        parts[used++] = &_columnSums[at * _packed];
        count += _columnCounts[at];
      }
      _rowCounts[x] = count;
      if (used > 0) _kernels.sumVectors(parts, used, &_rowSums[x * _packed], _packed);
    }
  }

  void analyseVoxel(int x, int y, int z, LocalMaps& maps) {
    const int x0 = std::max(x - kHalf, 0), x1 = std::min<int>(x + kHalf, _sizeX - 1);
    int count = 0;
    for (int xx = x0; xx <= x1; ++xx) count += _rowCounts[xx];
    if (count <= 1) return;  // an isolated voxel keeps its zeros
    ++_analysed;
    if (count < _frames) return gramRoute(x, y, z, maps);

    const double* parts[kEdge];
    int used = 0;
    for (int xx = x0; xx <= x1; ++xx)
      if (_rowCounts[xx] > 0) parts[used++] = &_rowSums[xx * _packed];
    _kernels.sumVectors(parts, used, _cubeSum.get(), _packed);
    const double divisor = static_cast<double>(count - 1);
    if (!_batch) return smallRoute(x, y, z, divisor, maps);
    // Into the next free lane; a full set of lanes is solved at once.
    const int lane = static_cast<int>(_waiting.size());
    const int lanes = _batch->lanes();
    double* matrices = _batch->matrices();
    for (Index k = 0; k < _packed; ++k) matrices[k * lanes + lane] = _cubeSum[k] / divisor;
    _waiting.push_back({x, y, z});
    if (static_cast<int>(_waiting.size()) == lanes) flush(maps);
  }

  //! Solves the lanes that hold a voxel (the others hold the identity) and stores them.
  void flush(LocalMaps& maps) {
    if (_waiting.empty()) return;
    for (int lane = static_cast<int>(_waiting.size()); lane < _batch->lanes(); ++lane) _batch->fillIdentity(lane);
    _batch->solve();
    for (int lane = 0; lane < static_cast<int>(_waiting.size()); ++lane) {
      for (int t = 0; t < _frames; ++t) _vector[t] = _batch->vector(lane, t);
      const Waiting& w = _waiting[lane];
      store(maps, w.x, w.y, w.z, _frames,
            {_batch->first(lane), _batch->second(lane), _batch->last(lane), _vector.data()});
    }
    _waiting.clear();
  }

  // One or two frames: the full extremes solver on the whole matrix.
  void smallRoute(int x, int y, int z, double divisor, LocalMaps& maps) {
    const Index T = _frames;
    for (Index a = 0; a < T; ++a)
      for (Index b = 0; b <= a; ++b) {
        const double value = _cubeSum[a * (a + 1) / 2 + b] / divisor;
        _matrix[a * T + b] = value;
        _matrix[b * T + a] = value;
      }
    const vexa::Extremes e = _small->solve(_matrix.data(), _vector.data());
    // A single frame has no second value.
    store(maps, x, y, z, _frames, {e.first, _frames > 1 ? e.second : 0.0, e.last, _vector.data()});
  }

  void gramRoute(int x, int y, int z, LocalMaps& maps) {
    const Cube cube(x, y, z, _geometry);
    _neighbours.clear();
    for (int nx = cube.lo[0]; nx < cube.hi[0]; ++nx)
      for (int ny = cube.lo[1]; ny < cube.hi[1]; ++ny)
        for (int nz = cube.lo[2]; nz < cube.hi[2]; ++nz) {
          const int record = _records(nx, ny, nz);
          if (record >= 0) _neighbours.push_back(_serie(record).values.data());
        }
    const float* const* series = _neighbours.data();
    const int T = _frames;
    const vexa::VectorKernels& kernels = _kernels;
    const VoxelResult r = _gram.solve(static_cast<int>(_neighbours.size()), series,
                                      [&](int i, int j) { return kernels.dotFloats(series[i], series[j], T); });
    store(maps, x, y, z, T, r);
  }

  const VexaData<short>& _mask;
  const RecordIndex& _records;
  const VexaData<Individu>& _serie;
  const Index _sizeX, _sizeY, _sizeZ;
  const int _frames;
  const Index _packed;  // entries of a packed lower triangle
  const vexa::VectorKernels& _kernels;
  // Sums are written before they are read: their storage is left as it comes.
  std::unique_ptr<double[]> _columnSums;
  std::vector<int> _columnCounts;
  std::vector<int> _ringRow;  // which row each ring slot holds
  std::unique_ptr<double[]> _rowSums;
  std::vector<int> _rowCounts;
  std::unique_ptr<double[]> _cubeSum;
  std::unique_ptr<vexa::BatchedExtremes> _batch;
  std::vector<Waiting> _waiting;
  std::unique_ptr<vexa::ExtremesSolver> _small;
  std::vector<double> _matrix, _vector;
  GramRoute _gram;
  std::vector<const float*> _neighbours;
  const SeriesGeometry& _geometry;
  long long _analysed = 0;
};

/*!
 * The forward offsets of the reach: every (dx, dy, dz) with |dx|, |dy|, |dz| <= 4 that
 * comes after (0, 0, 0) in raster order, (0, 0, 0) itself first. Two voxels of one cube
 * are one of these apart, the earlier one (the anchor) first: 365 in all.
 */
class ForwardOffsets {
 public:
  static constexpr int kSide = 2 * kReach + 1;

  ForwardOffsets() {
    for (int& s : _slotOf) s = -1;
    for (int dz = 0; dz <= kReach; ++dz)
      for (int dy = -kReach; dy <= kReach; ++dy)
        for (int dx = -kReach; dx <= kReach; ++dx) {
          const bool forward = dz > 0 || dy > 0 || (dy == 0 && dx >= 0);
          if (!forward) continue;
          _slotOf[key(dx, dy, dz)] = static_cast<int>(_offsets.size());
          _offsets.push_back({dx, dy, dz});
        }
  }
  int size() const { return static_cast<int>(_offsets.size()); }
  const int* operator[](int slot) const { return _offsets[slot].d; }
  //! The slot of an offset from an anchor to a later voxel.
  int slotOf(int dx, int dy, int dz) const { return _slotOf[key(dx, dy, dz)]; }

 private:
  struct Offset {
    int d[3];
  };
  static int key(int dx, int dy, int dz) { return (dx + kReach) + kSide * ((dy + kReach) + kSide * dz); }
  std::vector<Offset> _offsets;
  int _slotOf[kSide * kSide * (kReach + 1)];
};

/*!
 * The route for T above 125, where every voxel takes the Gram route. The dot product of
 * every pair of mask voxels that share a cube is made once, into a table kept for the five
 * z planes of anchors that the cubes of one plane reach; a plane's voxels then build their
 * matrices from the table. Planes are done in order, each in two phases shared out by rows:
 * the table of the plane two ahead, then the plane's voxels.
 */
class GramPlanes {
 public:
  GramPlanes(const SeriesGeometry& geometry, const VexaData<short>& mask, const RecordIndex& records,
             const VexaData<Individu>& serie, vexa::InstructionSet set, int workers)
      : _geometry(geometry),
        _mask(mask),
        _records(records),
        _serie(serie),
        _kernels(vexa::vectorKernels(set)),
        _planeEntries(Index(geometry.sizeX) * geometry.sizeY * _offsets.size()),
        _table(new double[kEdge * _planeEntries]) {
    for (int w = 0; w < workers; ++w) _workers.push_back(std::make_unique<Worker>(geometry.frames, set));
  }

  long long run(LocalMaps& maps, const norbe::Progress& progress, long long total) {
    const int Z = _geometry.sizeZ, Y = _geometry.sizeY;
    const int workers = static_cast<int>(_workers.size());
    for (int z = 0; z < std::min(kHalf, Z); ++z) fillTable(z, workers);
    long long done = 0;
    auto lastReport = std::chrono::steady_clock::now();
    for (int z = 0; z < Z; ++z) {
      if (z + kHalf < Z) fillTable(z + kHalf, workers);
      norbe::runTasks(Y, workers, [&](int worker, int y) { return analyseRow(*_workers[worker], y, z, maps); });
      for (const auto& worker : _workers) done += worker->visited, worker->visited = 0;
      if (progress && std::chrono::steady_clock::now() - lastReport > std::chrono::milliseconds(200)) {
        progress(done, total);
        lastReport = std::chrono::steady_clock::now();
      }
    }
    if (progress) progress(total, total);
    long long analysed = 0;
    for (const auto& worker : _workers) analysed += worker->analysed;
    return analysed;
  }

 private:
  struct Worker {
    Worker(int frames, vexa::InstructionSet set) : gram(frames, set) {
      series.reserve(kCapacity);
      places.reserve(kCapacity);
      rows.reserve(kCapacity);
    }
    GramRoute gram;
    std::vector<const float*> series;
    std::vector<std::array<int, 3>> places;
    std::vector<const double*> rows;  // each neighbour's row of the table
    long long visited = 0, analysed = 0;
  };

  double* tableAt(int x, int y, int z) {
    return &_table[(z % kEdge) * _planeEntries + (Index(y) * _geometry.sizeX + x) * _offsets.size()];
  }

  // The dot products of every mask voxel of plane z with the later ones within reach.
  void fillTable(int z, int workers) {
    const int X = _geometry.sizeX, Y = _geometry.sizeY, Z = _geometry.sizeZ, T = _geometry.frames;
    norbe::runTasks(Y, workers, [&](int, int y) {
      for (int x = 0; x < X; ++x) {
        const int anchor = _records(x, y, z);
        if (anchor < 0) continue;
        const float* a = _serie(anchor).values.data();
        double* row = tableAt(x, y, z);
        for (int s = 0; s < _offsets.size(); ++s) {
          const int* d = _offsets[s];
          const int px = x + d[0], py = y + d[1], pz = z + d[2];
          if (px < 0 || px >= X || py < 0 || py >= Y || pz >= Z) continue;
          const int partner = _records(px, py, pz);
          if (partner >= 0) row[s] = _kernels.dotFloats(a, _serie(partner).values.data(), T);
        }
      }
      return 0LL;
    });
  }

  long long analyseRow(Worker& worker, int y, int z, LocalMaps& maps) {
    const int X = _geometry.sizeX, T = _geometry.frames;
    for (int x = 0; x < X; ++x) {
      if (_mask(x, y, z) != 1) continue;
      ++worker.visited;
      const Cube cube(x, y, z, _geometry);
      worker.series.clear();
      worker.places.clear();
      worker.rows.clear();
      // In raster order, so that of two neighbours the earlier one, whose row of the table
      // holds their pair, is the one listed first.
      for (int nz = cube.lo[2]; nz < cube.hi[2]; ++nz)
        for (int ny = cube.lo[1]; ny < cube.hi[1]; ++ny)
          for (int nx = cube.lo[0]; nx < cube.hi[0]; ++nx) {
            const int record = _records(nx, ny, nz);
            if (record < 0) continue;
            worker.series.push_back(_serie(record).values.data());
            worker.places.push_back({nx, ny, nz});
            worker.rows.push_back(tableAt(nx, ny, nz));
          }
      const int count = static_cast<int>(worker.series.size());
      if (count <= 1) continue;  // an isolated voxel keeps its zeros
      ++worker.analysed;
      const VoxelResult r = worker.gram.solve(count, worker.series.data(), [&](int i, int j) {
        const std::array<int, 3>& later = worker.places[i];
        const std::array<int, 3>& earlier = worker.places[j];  // j <= i
        return worker.rows[j][_offsets.slotOf(later[0] - earlier[0], later[1] - earlier[1], later[2] - earlier[2])];
      });
      store(maps, x, y, z, T, r);
    }
    return 0LL;
  }

  const SeriesGeometry& _geometry;
  const VexaData<short>& _mask;
  const RecordIndex& _records;
  const VexaData<Individu>& _serie;
  const vexa::VectorKernels& _kernels;
  const ForwardOffsets _offsets;
  const Index _planeEntries;
  std::unique_ptr<double[]> _table;  // written before it is read, left as it comes
  std::vector<std::unique_ptr<Worker>> _workers;
};

}  // namespace

LocalMaps analyseLocally(const SeriesGeometry& geometry, const VexaData<short>& mask, const VexaData<Individu>& serie,
                         const AnalysisOptions& options) {
  const int T = geometry.frames, Z = geometry.sizeZ;
  const int records = serie.dimX();
  // Large outputs come zero-filled from the kernel: voxels that are not analysed are never
  // written.
  LocalMaps maps{newOutput<double>(geometry, 1), newOutput<double>(geometry, 1), newOutput<double>(geometry, 1),
                 newOutput<float>(geometry, T)};
  if (records == 0) return maps;

  // Workers share only read-only data and write disjoint voxels of the maps. Their
  // analysers, and every counted object they use, are made here: the reference counts of
  // the containers are not atomic.
  const RecordIndex recordIndex(geometry, serie);
  const int threads = norbe::workerThreads(options.threads);
  if (options.reference) {
    constexpr int kBlock = 64;
    const int blocks = (records + kBlock - 1) / kBlock;
    const int workers = std::min(threads, blocks);
    std::vector<std::unique_ptr<ReferenceAnalyser>> analysers;
    analysers.reserve(workers);
    for (int w = 0; w < workers; ++w)
      analysers.push_back(std::make_unique<ReferenceAnalyser>(geometry, mask, recordIndex, serie));
    norbe::runTasks(
        blocks, workers,
        [&](int worker, int block) {
          const int last = std::min((block + 1) * kBlock, records);
          for (int i = block * kBlock; i < last; ++i) analysers[worker]->analyse(serie(i), maps);
          return static_cast<long long>(last - block * kBlock);
        },
        options.progress, records);
    for (const auto& analyser : analysers) maps.analysed += analyser->analysed();
    return maps;
  }

  if (T > kCapacity) {
    GramPlanes gram(geometry, mask, recordIndex, serie, options.instructionSet, threads);
    maps.analysed = gram.run(maps, options.progress, records);
    return maps;
  }
  // Each worker holds five rows of column sums and one of row sums; on wide series with
  // many cores, fewer workers keep that within the size of the series itself (and 256 MiB).
  const double perWorker = 6.0 * geometry.sizeX * (T * (T + 1) / 2.0) * sizeof(double);
  const double budget = std::max(256.0 * (1 << 20), 4.0 * geometry.sizeX * geometry.sizeY * Z * T);
  const int affordable = std::max(1, static_cast<int>(budget / perWorker));
  const int workers = std::min({threads, Z, affordable});
  std::vector<std::unique_ptr<PlaneAnalyser>> analysers;
  analysers.reserve(workers);
  for (int w = 0; w < workers; ++w) {
    analysers.push_back(std::make_unique<PlaneAnalyser>(geometry, mask, recordIndex, serie, options.instructionSet));
  }
  norbe::runTasks(
      Z, workers, [&](int worker, int z) { return static_cast<long long>(analysers[worker]->analysePlane(z, maps)); },
      options.progress, records);
  for (const auto& analyser : analysers) maps.analysed += analyser->analysed();
  return maps;
}

}  // namespace mirlune

// The route for long series: more frames than any cube holds voxels.

#include <array>
#include <chrono>
#include <memory>
#include <vector>

#include "analysis/gram_voxel.h"
#include "analysis/routes.h"

namespace mirlune {

namespace {

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
 * Long series (T above the window's 125 voxels), where every voxel takes the Gram route.
 * The dot product of every pair of mask voxels that share a cube is made once, into a
 * table kept for the five z planes of anchors that the cubes of one plane reach; a plane's
 * voxels then build their matrices from the table. Planes are done in order, each in two
 * phases shared out by rows: the table of the plane two ahead, then the plane's voxels.
 *
 * The table holds 365 doubles per anchor, which on a thin slab outweighs the series
 * itself; so the rows are done in tiles whose table fits the budget, each tile's table
 * covering its rows and the two on either side that its cubes reach. A pair's dot product
 * is the same whichever tile makes it, so the tiling changes the work, never a result.
 */
class LongSeriesRoute {
 public:
  LongSeriesRoute(const SeriesGeometry& geometry, const VexaData<short>& mask, const RecordIndex& records,
                  const VexaData<Individu>& serie, vexa::InstructionSet set, int workers, double budget)
      : _geometry(geometry),
        _mask(mask),
        _records(records),
        _serie(serie),
        _kernels(vexa::vectorKernels(set)),
        _tileRows(longSeriesTileRows(geometry, budget)),
        _tableRows(std::min(geometry.sizeY, _tileRows + (_tileRows < geometry.sizeY ? 2 * kHalf : 0))),
        _planeEntries(Index(geometry.sizeX) * _tableRows * _offsets.size()),
        _table(new double[kEdge * _planeEntries]) {
    for (int w = 0; w < workers; ++w) _workers.push_back(std::make_unique<Worker>(geometry.frames, set));
  }

  long long run(LocalMaps& maps, const norbe::Progress& progress, long long total) {
    const int Z = _geometry.sizeZ, Y = _geometry.sizeY;
    const int workers = static_cast<int>(_workers.size());
    long long done = 0;
    auto lastReport = std::chrono::steady_clock::now();
    for (int first = 0; first < Y; first += _tileRows) {
      const int last = std::min(first + _tileRows, Y);  // the tile's rows: first <= y < last
      _rowLo = std::max(first - kHalf, 0);
      _rowHi = std::min(last + kHalf, Y);
      for (int z = 0; z < std::min(kHalf, Z); ++z) fillTable(z, workers);
      for (int z = 0; z < Z; ++z) {
        if (z + kHalf < Z) fillTable(z + kHalf, workers);
        norbe::runTasks(last - first, workers,
                        [&](int worker, int row) { return analyseRow(*_workers[worker], first + row, z, maps); });
        for (const auto& worker : _workers) done += worker->visited, worker->visited = 0;
        if (progress && std::chrono::steady_clock::now() - lastReport > std::chrono::milliseconds(200)) {
          progress(done, total);
          lastReport = std::chrono::steady_clock::now();
        }
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
    return &_table[(z % kEdge) * _planeEntries + (Index(y - _rowLo) * _geometry.sizeX + x) * _offsets.size()];
  }

  // The dot products of every mask voxel of plane z, in the tile's reach, with the later
  // ones within reach; pairs that leave the tile's reach belong to no cube of the tile.
  void fillTable(int z, int workers) {
    const int X = _geometry.sizeX, Z = _geometry.sizeZ, T = _geometry.frames;
    norbe::runTasks(_rowHi - _rowLo, workers, [&](int, int row) {
      const int y = _rowLo + row;
      for (int x = 0; x < X; ++x) {
        const int anchor = _records(x, y, z);
        if (anchor < 0) continue;
        const float* a = _serie(anchor).values.data();
        double* row = tableAt(x, y, z);
        for (int s = 0; s < _offsets.size(); ++s) {
          const int* d = _offsets[s];
          const int px = x + d[0], py = y + d[1], pz = z + d[2];
          if (px < 0 || px >= X || py < _rowLo || py >= _rowHi || pz >= Z) continue;
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
  const int _tileRows;   // rows analysed per tile
  const int _tableRows;  // rows of anchors the table holds per plane
  const Index _planeEntries;
  int _rowLo = 0, _rowHi = 0;        // the current tile's reach: _rowLo <= y < _rowHi
  std::unique_ptr<double[]> _table;  // written before it is read, left as it comes
  std::vector<std::unique_ptr<Worker>> _workers;
};

}  // namespace

int longSeriesTileRows(const SeriesGeometry& g, double budget) {
  const double perRow = double(kEdge) * g.sizeX * ForwardOffsets().size() * sizeof(double);
  if (perRow * g.sizeY <= budget) return g.sizeY;
  return std::max(1, static_cast<int>(budget / perRow) - 2 * kHalf);
}

long long analyseLongSeries(const RouteInputs& in, const AnalysisOptions& options, int threads, LocalMaps& maps) {
  const SeriesGeometry& g = in.geometry;
  const double budget = options.scratchBudget > 0 ? options.scratchBudget : defaultScratchBudget(g);
  LongSeriesRoute route(g, in.mask, in.records, in.serie, options.instructionSet, threads, budget);
  return route.run(maps, options.progress, in.serie.dimX());
}

}  // namespace mirlune

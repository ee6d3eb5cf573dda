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
 * The forward offsets of the reaches r (x, y, z): every (dx, dy, dz) with |dx| <= rx,
 * |dy| <= ry, |dz| <= rz that comes after (0, 0, 0) in raster order, (0, 0, 0) itself
 * first. Two voxels of one cube are one of these apart, the earlier one (the anchor) first:
 * 365 of them for the window of 5 (r = 4).
 */
class ForwardOffsets {
 public:
  explicit ForwardOffsets(const int (&reach)[3])
      : _reachX(reach[0]),
        _reachY(reach[1]),
        _spanX(2 * reach[0] + 1),
        _spanY(2 * reach[1] + 1),
        _slotOf(static_cast<std::size_t>(_spanX) * _spanY * (reach[2] + 1), -1) {
    for (int dz = 0; dz <= reach[2]; ++dz)
      for (int dy = -reach[1]; dy <= reach[1]; ++dy)
        for (int dx = -reach[0]; dx <= reach[0]; ++dx) {
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
  std::size_t key(int dx, int dy, int dz) const {
    return static_cast<std::size_t>(dx + _reachX) +
           static_cast<std::size_t>(_spanX) *
               (static_cast<std::size_t>(dy + _reachY) + static_cast<std::size_t>(_spanY) * dz);
  }
  int _reachX, _reachY, _spanX, _spanY;
  std::vector<Offset> _offsets;
  std::vector<int> _slotOf;
};

/*!
 * Long series (T above the window's voxels), where every voxel takes the Gram route. The
 * dot product of every pair of mask voxels that share a cube is made once, into a table
 * kept for the side z planes of anchors that the cubes of one plane reach; a plane's voxels
 * then build their matrices from the table. Planes are done in order, each in two phases
 * shared out by rows: the table of the plane half a side ahead, then the plane's voxels.
 *
 * The table holds a double per forward offset and anchor (365 for the window of 5), which
 * on a thin slab outweighs the series itself; so the rows are done in tiles whose table
 * fits the budget, each tile's table covering its rows and those on either side that its
 * cubes reach. A pair's dot product is the same whichever tile makes it, so the tiling
 * changes the work, never a result.
 */
class LongSeriesRoute {
 public:
  LongSeriesRoute(const RouteInputs& in, vexa::InstructionSet set, int workers, double budget)
      : _in(in),
        _window(in.window),
        _kernels(vexa::vectorKernels(set)),
        _offsets(in.window.reach),
        _tileRows(longSeriesTileRows(in.geometry, in.window, budget)),
        _tableRows(
            std::min(in.geometry.sizeY, _tileRows + (_tileRows < in.geometry.sizeY ? 2 * in.window.half[1] : 0))),
        _planeEntries(Index(in.geometry.sizeX) * _tableRows * _offsets.size()),
        _table(new double[_window.side[2] * _planeEntries]) {
    for (int w = 0; w < workers; ++w) {
      _workers.push_back(std::make_unique<Worker>(in.geometry.frames, _window.capacity, set));
    }
  }

  long long run(LocalMaps& maps, const norbe::Progress& progress, long long total) {
    const int Z = _in.geometry.sizeZ, Y = _in.geometry.sizeY, hy = _window.half[1], hz = _window.half[2];
    const int workers = static_cast<int>(_workers.size());
    long long done = 0;
    auto lastReport = std::chrono::steady_clock::now();
    for (int first = 0; first < Y; first += _tileRows) {
      const int last = std::min(first + _tileRows, Y);  // the tile's rows: first <= y < last
      _rowLo = std::max(first - hy, 0);
      _rowHi = std::min(last + hy, Y);
      for (int z = 0; z < std::min(hz, Z); ++z) fillTable(z, workers);
      for (int z = 0; z < Z; ++z) {
        if (z + hz < Z) fillTable(z + hz, workers);
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
    Worker(int frames, int capacity, vexa::InstructionSet set) : gram(frames, capacity, set) {}
    GramRoute gram;
    std::vector<const float*> series;
    std::vector<double> means;
    std::vector<std::array<int, 3>> places;
    std::vector<const double*> rows;  // each neighbour's row of the table
    long long visited = 0, analysed = 0;
  };

  double* tableAt(int x, int y, int z) {
    return &_table[(z % _window.side[2]) * _planeEntries +
                   (Index(y - _rowLo) * _in.geometry.sizeX + x) * _offsets.size()];
  }

  // The dot products of every mask voxel of plane z, in the tile's reach, with the later
  // ones within reach; pairs that leave the tile's reach belong to no cube of the tile.
  void fillTable(int z, int workers) {
    const int X = _in.geometry.sizeX, Z = _in.geometry.sizeZ, T = _in.geometry.frames;
    norbe::runTasks(_rowHi - _rowLo, workers, [&](int, int row) {
      const int y = _rowLo + row;
      _in.stopIfAsked();
      for (int x = 0; x < X; ++x) {
        const int anchor = _in.records(x, y, z);
        if (anchor < 0) continue;
        const float* a = _in.serie(anchor).values.data();
        double* entries = tableAt(x, y, z);
        for (int s = 0; s < _offsets.size(); ++s) {
          const int* d = _offsets[s];
          const int px = x + d[0], py = y + d[1], pz = z + d[2];
          if (px < 0 || px >= X || py < _rowLo || py >= _rowHi || pz >= Z) continue;
          const int partner = _in.records(px, py, pz);
          if (partner >= 0) entries[s] = _kernels.dotFloats(a, _in.serie(partner).values.data(), T);
        }
      }
      return 0LL;
    });
  }

  long long analyseRow(Worker& worker, int y, int z, LocalMaps& maps) {
    const int X = _in.geometry.sizeX, T = _in.geometry.frames;
    for (int x = 0; x < X; ++x) {
      if (_in.mask(x, y, z) != 1) continue;
      _in.stopIfAsked();
      ++worker.visited;
      const Cube cube(x, y, z, _in.geometry, _window);
      worker.series.clear();
      worker.means.clear();
      worker.places.clear();
      worker.rows.clear();
      // In raster order, so that of two neighbours the earlier one, whose row of the table
      // holds their pair, is the one listed first.
      for (int nz = cube.lo[2]; nz < cube.hi[2]; ++nz)
        for (int ny = cube.lo[1]; ny < cube.hi[1]; ++ny)
          for (int nx = cube.lo[0]; nx < cube.hi[0]; ++nx) {
            const int record = _in.records(nx, ny, nz);
            if (record < 0) continue;
            worker.series.push_back(_in.serie(record).values.data());
            if (_in.means) worker.means.push_back(_in.means[record]);
            worker.places.push_back({nx, ny, nz});
            worker.rows.push_back(tableAt(nx, ny, nz));
          }
      const int count = static_cast<int>(worker.series.size());
      if (count <= 1) continue;  // an isolated voxel keeps its zeros
      ++worker.analysed;
      const VoxelResult r =
          worker.gram.solve(count, worker.series.data(), _in.means ? worker.means.data() : nullptr, [&](int i, int j) {
            const std::array<int, 3>& later = worker.places[i];
            const std::array<int, 3>& earlier = worker.places[j];  // j <= i
            return worker.rows[j][_offsets.slotOf(later[0] - earlier[0], later[1] - earlier[1], later[2] - earlier[2])];
          });
      store(maps, x, y, z, T, count, r);
    }
    return 0LL;
  }

  const RouteInputs& _in;
  const Window& _window;
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

int longSeriesTileRows(const SeriesGeometry& g, const Window& w, double budget) {
  const double perRow = double(w.side[2]) * g.sizeX * ForwardOffsets(w.reach).size() * sizeof(double);
  if (perRow * g.sizeY <= budget) return g.sizeY;
  return std::max(1, static_cast<int>(budget / perRow) - 2 * w.half[1]);
}

long long analyseLongSeries(const RouteInputs& in, const AnalysisOptions& options, int threads, LocalMaps& maps) {
  const double budget = options.scratchBudget > 0 ? options.scratchBudget : defaultScratchBudget(in.geometry);
  LongSeriesRoute route(in, options.instructionSet, threads, budget);
  const long long analysed = route.run(maps, options.progress, in.serie.dimX());
  maps.fewerThanFrames += analysed;  // every cube here holds fewer voxels than frames
  return analysed;
}

}  // namespace mirlune

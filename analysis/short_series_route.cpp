// The route for short series: no more frames than the window holds voxels.

#include <algorithm>
#include <memory>
#include <vector>

#include "analysis/gram_voxel.h"
#include "analysis/routes.h"
#include "imaging/numerics/batched.h"
#include "imaging/numerics/extremes.h"

namespace mirlune {

namespace {

/*!
 * Short series (T at most the window's voxels), one z plane at a time. The cube sum of the
 * neighbours' outer products is separable: column sums over z, then over y (row sums),
 * then over x (cube sum), each partial sum computed once and shared by every cube that
 * contains it. Every term is the exact product of two floats in double and nothing is
 * subtracted, so a sum does not depend on which worker makes it; its order differs from
 * the plain route's, so the two agree to rounding. Only the lower triangle is kept, packed
 * row by row.
 *
 * Demeaned courses need, beside the sums of m m', the sums of mean m (T values) and of
 * mean^2 (one): (m - mean)(m - mean)' is m m' less mean m' and m mean, plus mean^2. They
 * ride along in each sum, after the triangle.
 *
 * The sums of wide rows with many frames can outweigh the series: a plane is then done in
 * tiles of columns whose sums fit the budget, each keeping the columns on either side that
 * its cubes reach. A sum is the same whichever tile makes it.
 *
 * Voxels whose count reaches T wait in the lanes of the batched solver until they fill
 * them (or the plane ends); voxels with fewer neighbours than frames take the Gram route,
 * their dot products made on the spot. (Past kLargeFrom frames in a wide window, full
 * cubes take the wide-window route instead.)
 *
 * In a window wider than the default, the cube sum slides along x: one step adds the
 * row sum that enters and takes away the one that leaves, two vectors instead of side.
 * The slide restarts at every kSlideBlock-th column (and where voxels are too far apart),
 * and tiles start on those columns, so which sums a voxel's matrix is made from depends
 * on its place alone, never on the tiling or the number of workers. Each sum's trace (its
 * courses' squared norms) is kept beside it, and a row or cube sum whose slide has carried
 * more than kSlideMass times its own trace is made afresh (routes.h), so that a dim cube
 * after bright ones keeps none of their rounding. A row sum is judged as it slides, a cube
 * sum when it is formed: both by their place alone.
 */
class ShortSeriesRoute {
 public:
  ShortSeriesRoute(const RouteInputs& in, vexa::InstructionSet set, int tileWidth, bool slides)
      : _in(in),
        _window(in.window),
        _sizeX(in.geometry.sizeX),
        _sizeY(in.geometry.sizeY),
        _sizeZ(in.geometry.sizeZ),
        _frames(in.geometry.frames),
        _packed(Index(_frames) * (_frames + 1) / 2),
        _entries(_packed + (in.means ? _frames + 1 : 0)),
        _tileWidth(tileWidth),
        _width(std::min<Index>(_sizeX, tileWidth + (tileWidth < _sizeX ? 2 * _window.half[0] : 0))),
        _kernels(vexa::vectorKernels(set)),
        _columnSums(new double[_window.side[1] * _width * _entries]),
        _columnCounts(_window.side[1] * _width),
        _columnTraces(slides ? _window.side[1] * _width : 0),
        _ringRow(_window.side[1], -1),
        _rowSums(new double[_width * _entries]),
        _rowCounts(_width),
        _rowTraces(slides ? _width : 0),
        _rowMass(slides ? _width : 0),
        _cubeSum(new double[_entries]),
        _gram(_frames, _window.capacity, set),
        _slides(slides) {
    if (_frames >= 3) {
      _batch = std::make_unique<vexa::BatchedExtremes>(_frames, set);
    } else {
      _small = std::make_unique<vexa::ExtremesSolver>(_frames);
      _matrix.resize(static_cast<std::size_t>(_frames) * _frames);
    }
    _vector.resize(_frames);
    if (_batch) _waiting.reserve(_batch->lanes());
  }

  //! Analyses the mask voxels of plane z; returns how many it visited.
  int analysePlane(int z, LocalMaps& maps) {
    int visited = 0;
    for (int begin = 0; begin < _sizeX; begin += _tileWidth) {
      const int end = static_cast<int>(std::min<Index>(begin + _tileWidth, _sizeX));
      visited += analyseTile(z, begin, end, maps);
    }
    flush(maps);
    return visited;
  }

  long long analysed() const { return _analysed; }
  long long fewerThanFrames() const { return _fewerThanFrames; }

 private:
  struct Waiting {
    int x, y, z, count;
  };

  // The voxels of plane z with begin <= x < end; the sums cover the columns their cubes reach.
  int analyseTile(int z, int begin, int end, LocalMaps& maps) {
    const int hx = _window.half[0], hy = _window.half[1];
    _xLo = std::max(begin - hx, 0);
    _xHi = static_cast<int>(std::min<Index>(end + hx, _sizeX));
    std::fill(_ringRow.begin(), _ringRow.end(), -1);
    int visited = 0, madeRow = -1;
    for (int y = 0; y < _sizeY; ++y) {
      _in.stopIfAsked();
      int first = -1, last = -1;
      for (int x = begin; x < end; ++x) {
        if (_in.mask(x, y, z) == 1) {
          if (first < 0) first = x;
          last = x;
        }
      }
      if (first < 0) continue;
      _cubeAt = -1;
      if (_slides) {
        // Every row from the block's start, so that each row sum is slid from the one
        // above it, or made afresh on the block's first row, wherever this tile begins.
        for (int row = std::max(madeRow + 1, y / kSlideBlock * kSlideBlock); row <= y; ++row) slideRowSums(row, z);
        madeRow = y;
      } else {
        for (int row = std::max(y - hy, 0); row <= std::min<int>(y + hy, _sizeY - 1); ++row) columnSums(row, z);
        rowSums(y, std::max(first - hx, 0), std::min<int>(last + hx, _sizeX - 1));
      }
      for (int x = first; x <= last; ++x) {
        if (_in.mask(x, y, z) != 1) continue;
        ++visited;
        analyseVoxel(x, y, z, maps);
      }
    }
    return visited;
  }

  // The row sums of row y over the tile's reach, slid from those of row y - 1: the column
  // sums of the row that leaves the cube taken away (before the ring slot they hold is
  // reused), those of the row that enters added. A row sum left empty holds nothing, and
  // is copied afresh when a column enters; one whose slide carried too much is made afresh.
  void slideRowSums(int y, int z) {
    const int h = _window.half[1];
    if (y % kSlideBlock == 0) {
      for (int row = std::max(y - h, 0); row <= std::min<int>(y + h, _sizeY - 1); ++row) columnSums(row, z);
      rowSums(y, _xLo, _xHi - 1);
      return;
    }
    const int leaving = y - h - 1, entering = y + h;
    for (int x = _xLo; x < _xHi && leaving >= 0; ++x) {
      const Index at = slot(leaving) * _width + column(x);
      const int count = _columnCounts[at];
      if (count == 0) continue;
      int& rowCount = _rowCounts[column(x)];
      rowCount -= count;
      _rowMass[column(x)] += _rowTraces[column(x)] + _columnTraces[at];
      if (rowCount > 0)
        _kernels.slideSum(&_rowSums[column(x) * _entries], nullptr, &_columnSums[at * _entries], _entries);
    }
    if (entering < _sizeY) columnSums(entering, z);
    for (int x = _xLo; x < _xHi; ++x) {
      const Index c = column(x);
      if (entering < _sizeY) {
        const Index at = slot(entering) * _width + c;
        const int count = _columnCounts[at];
        if (count > 0) {
          int& rowCount = _rowCounts[c];
          double* sum = &_rowSums[c * _entries];
          const double* parts[1] = {&_columnSums[at * _entries]};
          if (rowCount == 0) {
            _kernels.sumVectors(parts, 1, sum, _entries);
            _rowMass[c] = 0;
          } else {
            _kernels.slideSum(sum, parts[0], nullptr, _entries);
            _rowMass[c] += _columnTraces[at];
          }
          rowCount += count;
        }
      }
      _rowTraces[c] = rowTrace(y, x);
      if (_rowCounts[c] > 0 && _rowMass[c] > kSlideMass * _rowTraces[c]) rowSums(y, x, x);
    }
  }

  // The trace of the row sum at (x, y): its column sums' traces, from the ring.
  double rowTrace(int y, int x) const {
    double trace = 0;
    for (int row = std::max(y - _window.half[1], 0); row <= std::min<int>(y + _window.half[1], _sizeY - 1); ++row)
      trace += _columnTraces[slot(row) * _width + column(x)];
    return trace;
  }

  Index slot(int row) const { return row % _window.side[1]; }
  // Where column x of the current tile's reach is kept.
  Index column(int x) const { return x - _xLo; }

  // Column sum at (x', row): the outer products at (x', row, z') over the cube's z range
  // (and, for demeaned courses, the sums of mean m and mean^2).
  void columnSums(int row, int z) {
    const Index s = slot(row);
    if (_ringRow[s] == row) return;
    _ringRow[s] = row;
    const int z0 = std::max(z - _window.half[2], 0), z1 = std::min<int>(z + _window.half[2], _sizeZ - 1);
    const float* series[kMostSide];
    double means[kMostSide];
    for (int x = _xLo; x < _xHi; ++x) {
      int count = 0;
      for (int zz = z0; zz <= z1; ++zz) {
        const int record = _in.records(x, row, zz);
        if (record < 0) continue;
        series[count] = _in.serie(record).values.data();
        if (_in.means) means[count] = _in.means[record];
        ++count;
      }
      const Index at = s * _width + column(x);
      _columnCounts[at] = count;
      if (_slides) {
        double trace = 0;
        for (int k = 0; k < count; ++k) trace += _kernels.dotFloats(series[k], series[k], _frames);
        _columnTraces[at] = trace;
      }
      if (count == 0) continue;
      double* sum = &_columnSums[at * _entries];
      _kernels.sumOuterProducts(series, count, _frames, sum);
      if (_in.means) meanSums(series, means, count, sum + _packed);
    }
  }

  // sums[t] = the sum of mean_k m_k(t), sums[T] = the sum of mean_k^2, over k in order.
  void meanSums(const float* const* series, const double* means, int count, double* sums) const {
    for (int t = 0; t <= _frames; ++t) sums[t] = 0;
    for (int k = 0; k < count; ++k) {
      for (int t = 0; t < _frames; ++t) sums[t] += means[k] * static_cast<double>(series[k][t]);
      sums[_frames] += means[k] * means[k];
    }
  }

  // Row sum at x': the column sums over the cube's y range, for x' in [x0, x1].
  void rowSums(int y, int x0, int x1) {
    const int y0 = std::max(y - _window.half[1], 0), y1 = std::min<int>(y + _window.half[1], _sizeY - 1);
    const double* parts[kMostSide];
    for (int x = x0; x <= x1; ++x) {
      int count = 0, used = 0;
      for (int row = y0; row <= y1; ++row) {
        const Index at = slot(row) * _width + column(x);
        if (_columnCounts[at] == 0) continue;
        parts[used++] = &_columnSums[at * _entries];
        count += _columnCounts[at];
      }
      _rowCounts[column(x)] = count;
      if (used > 0) _kernels.sumVectors(parts, used, &_rowSums[column(x) * _entries], _entries);
      if (_slides) _rowMass[column(x)] = _rowTraces[column(x)] = rowTrace(y, x);
    }
  }

  // C(a, b) of the cube sum, divided: demeaned, m m' less mean m' and m mean, plus mean^2.
  double product(Index a, Index b, double divisor) const {
    const double sum = _cubeSum[a * (a + 1) / 2 + b];
    if (!_in.means) return sum / divisor;
    const double* means = _cubeSum.get() + _packed;
    return (sum - means[a] - means[b] + means[_frames]) / divisor;
  }

  void analyseVoxel(int x, int y, int z, LocalMaps& maps) {
    const int x0 = std::max(x - _window.half[0], 0), x1 = std::min<int>(x + _window.half[0], _sizeX - 1);
    int count = 0;
    for (int xx = x0; xx <= x1; ++xx) count += _rowCounts[column(xx)];
    if (count <= 1) return;  // an isolated voxel keeps its zeros
    ++_analysed;
    if (count < _frames) {
      ++_fewerThanFrames;
      return gramRoute(x, y, z, count, maps);
    }

    formCubeSum(x);
    const double divisor = static_cast<double>(count - 1);
    if (!_batch) return smallRoute(x, y, z, count, divisor, maps);
    // Into the next free lane; a full set of lanes is solved at once.
    const int lane = static_cast<int>(_waiting.size());
    const int lanes = _batch->lanes();
    double* matrices = _batch->matrices();
    for (Index a = 0, k = 0; a < _frames; ++a)
      for (Index b = 0; b <= a; ++b, ++k) matrices[k * lanes + lane] = product(a, b, divisor);
    _waiting.push_back({x, y, z, count});
    if (static_cast<int>(_waiting.size()) == lanes) flush(maps);
  }

  // The cube sum of the voxel at x from the row sums: slid from the last one made when
  // that is in the same block of columns and near, and its rounding within bounds; made
  // afresh otherwise.
  void formCubeSum(int x) {
    const int h = _window.half[0];
    auto rowSum = [&](int column) -> const double* {
      if (column < 0 || column >= _sizeX || _rowCounts[this->column(column)] == 0) return nullptr;
      return &_rowSums[this->column(column) * _entries];
    };
    const int previous = _cubeAt;
    _cubeAt = x;
    if (_slides && previous >= 0 && previous / kSlideBlock == x / kSlideBlock && x - previous <= h) {
      for (int step = previous + 1; step <= x; ++step) {
        _kernels.slideSum(_cubeSum.get(), rowSum(step + h), rowSum(step - h - 1), _entries);
        _cubeMass += cubeTrace(step - 1) + rowTraceAt(step + h) + rowTraceAt(step - h - 1);
      }
      if (_cubeMass <= kSlideMass * cubeTrace(x)) return;
    }
    const double* parts[kMostSide];
    int used = 0;
    for (int xx = x - h; xx <= x + h; ++xx)
      if (const double* sum = rowSum(xx)) parts[used++] = sum;
    _kernels.sumVectors(parts, used, _cubeSum.get(), _entries);
    if (_slides) _cubeMass = cubeTrace(x);
  }

  // The trace of the row sum at column x of the current row (0 outside the series), and of
  // the cube sum around x.
  double rowTraceAt(int x) const {
    return x < 0 || x >= _sizeX || _rowCounts[column(x)] == 0 ? 0.0 : _rowTraces[column(x)];
  }
  double cubeTrace(int x) const {
    double trace = 0;
    for (int xx = x - _window.half[0]; xx <= x + _window.half[0]; ++xx) trace += rowTraceAt(xx);
    return trace;
  }

  //! Solves the lanes that hold a voxel (the others hold the identity) and stores them.
  void flush(LocalMaps& maps) {
    if (_waiting.empty()) return;
    for (int lane = static_cast<int>(_waiting.size()); lane < _batch->lanes(); ++lane) _batch->fillIdentity(lane);
    _batch->solve();
    for (int lane = 0; lane < static_cast<int>(_waiting.size()); ++lane) {
      for (int t = 0; t < _frames; ++t) _vector[t] = _batch->vector(lane, t);
      const Waiting& w = _waiting[lane];
      store(maps, w.x, w.y, w.z, _frames, w.count,
            {_batch->first(lane), _batch->second(lane), _batch->last(lane), _vector.data()});
    }
    _waiting.clear();
  }

  // One or two frames: the full extremes solver on the whole matrix.
  void smallRoute(int x, int y, int z, int count, double divisor, LocalMaps& maps) {
    const Index T = _frames;
    for (Index a = 0; a < T; ++a)
      for (Index b = 0; b <= a; ++b) {
        const double value = product(a, b, divisor);
        _matrix[a * T + b] = value;
        _matrix[b * T + a] = value;
      }
    const vexa::Extremes e = _small->solve(_matrix.data(), _vector.data());
    // A single frame has no second value.
    store(maps, x, y, z, _frames, count, {e.first, _frames > 1 ? e.second : 0.0, e.last, _vector.data()});
  }

  void gramRoute(int x, int y, int z, int count, LocalMaps& maps) {
    const Cube cube(x, y, z, _in.geometry, _window);
    _neighbours.clear();
    _means.clear();
    for (int nx = cube.lo[0]; nx < cube.hi[0]; ++nx)
      for (int ny = cube.lo[1]; ny < cube.hi[1]; ++ny)
        for (int nz = cube.lo[2]; nz < cube.hi[2]; ++nz) {
          const int record = _in.records(nx, ny, nz);
          if (record < 0) continue;
          _neighbours.push_back(_in.serie(record).values.data());
          if (_in.means) _means.push_back(_in.means[record]);
        }
    const float* const* series = _neighbours.data();
    const int T = _frames;
    const vexa::VectorKernels& kernels = _kernels;
    const VoxelResult r = _gram.solve(count, series, _in.means ? _means.data() : nullptr,
                                      [&](int i, int j) { return kernels.dotFloats(series[i], series[j], T); });
    store(maps, x, y, z, T, count, r);
  }

  const RouteInputs& _in;
  const Window& _window;
  const Index _sizeX, _sizeY, _sizeZ;
  const int _frames;
  const Index _packed;     // entries of a packed lower triangle
  const Index _entries;    // of each sum: the triangle, and for demeaned courses T + 1 more
  const Index _tileWidth;  // columns analysed per tile
  const Index _width;      // columns of sums kept: a tile's and those on either side its cubes reach
  int _xLo = 0, _xHi = 0;  // the current tile's reach: _xLo <= x < _xHi
  const vexa::VectorKernels& _kernels;
  // Sums are written before they are read: their storage is left as it comes.
  std::unique_ptr<double[]> _columnSums;
  std::vector<int> _columnCounts;
  std::vector<double> _columnTraces;  // their courses' squared norms, when sums slide
  std::vector<int> _ringRow;          // which row each ring slot holds
  std::unique_ptr<double[]> _rowSums;
  std::vector<int> _rowCounts;
  std::vector<double> _rowTraces, _rowMass;  // traces and what their slides carried (routes.h)
  std::unique_ptr<double[]> _cubeSum;
  std::unique_ptr<vexa::BatchedExtremes> _batch;
  std::vector<Waiting> _waiting;
  std::unique_ptr<vexa::ExtremesSolver> _small;
  std::vector<double> _matrix, _vector;
  GramRoute _gram;
  std::vector<const float*> _neighbours;
  std::vector<double> _means;
  const bool _slides;
  int _cubeAt = -1;      // the column whose cube sum is in _cubeSum, in the current row
  double _cubeMass = 0;  // what its slide has carried
  long long _analysed = 0, _fewerThanFrames = 0;
};

}  // namespace

namespace {

// Each worker keeps side rows of column sums and one of row sums, a sum per column.
double bytesPerColumn(const SeriesGeometry& g, const Window& w, bool demean) {
  const double entries = g.frames * (g.frames + 1) / 2.0 + (demean ? g.frames + 1 : 0);
  return (w.side[1] + 1.0) * entries * sizeof(double);
}

}  // namespace

bool shortSeriesSlides(const SeriesGeometry& g, const Window& w, bool demean, double budget) {
  // Below a few MiB, scratch is outweighed by the program itself: a small series slides too.
  constexpr double kSmallScratch = 8 << 20;
  const double columns = std::min<double>(g.sizeX, kSlideBlock + 2 * w.half[0]);
  return w.wide() && 2 * columns * bytesPerColumn(g, w, demean) <= std::max(budget, kSmallScratch);
}

int shortSeriesTileWidth(const SeriesGeometry& g, const Window& w, bool demean, int workers, double budget) {
  const double perColumn = bytesPerColumn(g, w, demean) * workers;
  if (perColumn * g.sizeX <= budget) return g.sizeX;
  const int width = std::max(1, static_cast<int>(budget / perColumn) - 2 * w.half[0]);
  // Tiles start where slides restart.
  if (!shortSeriesSlides(g, w, demean, budget)) return width;
  return std::max(kSlideBlock, width / kSlideBlock * kSlideBlock);
}

long long analyseShortSeries(const RouteInputs& in, const AnalysisOptions& options, int threads, LocalMaps& maps) {
  const SeriesGeometry& geometry = in.geometry;
  const int Z = geometry.sizeZ;
  const int workers = std::min(threads, Z);
  const double budget = options.scratchBudget > 0 ? options.scratchBudget : defaultScratchBudget(geometry);
  const int width = shortSeriesTileWidth(geometry, in.window, in.means != nullptr, workers, budget);
  const bool slides = shortSeriesSlides(geometry, in.window, in.means != nullptr, budget);
  std::vector<std::unique_ptr<ShortSeriesRoute>> analysers;
  analysers.reserve(workers);
  for (int w = 0; w < workers; ++w) {
    analysers.push_back(std::make_unique<ShortSeriesRoute>(in, options.instructionSet, width, slides));
  }
  return analysePlanes(in, options, analysers, maps);
}

}  // namespace mirlune

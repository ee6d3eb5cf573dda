#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "analysis/stages.h"
#include "imaging/extremes.h"
#include "imaging/svd.h"

namespace mirlune {

namespace {

using Index = std::ptrdiff_t;

constexpr int kEdge = 5;                          // neighbourhood edge, in voxels
constexpr int kHalf = kEdge / 2;                  // 2
constexpr int kCapacity = kEdge * kEdge * kEdge;  // 125 records

//! What one analysed voxel gives.
struct VoxelResult {
  double first, second, last;
  const double* vector;  // the dominant singular vector, T values
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

/*!
 * The plain route: walks each record's cube (x outermost, z innermost), builds the
 * mean-product matrix term by term and decomposes it fully.
 */
class ReferenceAnalyser {
 public:
  ReferenceAnalyser(const VexaData<short>& mask, const RecordIndex& records, const VexaData<Individu>& serie,
                    int frames)
      : _mask(mask),
        _records(records),
        _serie(serie),
        _frames(frames),
        _neighbours(kCapacity),
        _products(frames, frames, 1, 1, 0),
        _vector(frames) {}

  //! Returns the number of voxels analysed (0 or 1).
  int analyse(const Individu& record, LocalMaps& maps) {
    const int x = record.position[0], y = record.position[1], z = record.position[2];
    const int T = _frames;
    const int count = gatherNeighbours(x, y, z);
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
  int gatherNeighbours(int x, int y, int z) {
    const int loX = std::max(x - kHalf, 0), hiX = std::min(x + kHalf + 1, _mask.dimX());
    const int loY = std::max(y - kHalf, 0), hiY = std::min(y + kHalf + 1, _mask.dimY());
    const int loZ = std::max(z - kHalf, 0), hiZ = std::min(z + kHalf + 1, _mask.dimZ());
    int count = 0;
    for (int nx = loX; nx < hiX; ++nx)
      for (int ny = loY; ny < hiY; ++ny)
        for (int nz = loZ; nz < hiZ; ++nz) {
          if (_mask(nx, ny, nz) != 1) continue;
          _neighbours[count++] = &_serie(_records(nx, ny, nz)).values;
        }
    return count;
  }

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
 * The fast route, one z plane at a time. The cube sum of the neighbours' outer products
 * is separable: column sums over z, then over y (row sums), then over x (cube sum), each
 * partial sum computed once and shared by every cube that contains it. Every term is the
 * exact product of two floats in double and nothing is subtracted, so the result does not
 * depend on which worker runs a plane; the order of the additions differs from the plain
 * route's, hence agreement to rounding rather than bit for bit.
 * Only the upper triangle is kept, packed row by row.
 */
class PlaneAnalyser {
 public:
  PlaneAnalyser(const VexaData<short>& mask, const RecordIndex& records, const VexaData<Individu>& serie, int frames)
      : _mask(mask),
        _records(records),
        _serie(serie),
        _sizeX(mask.dimX()),
        _sizeY(mask.dimY()),
        _sizeZ(mask.dimZ()),
        _frames(frames),
        _packed(Index(frames) * (frames + 1) / 2),
        _columnSums(kEdge * _sizeX * _packed),
        _columnCounts(kEdge * _sizeX),
        _ringRow(kEdge, -1),
        _rowSums(_sizeX * _packed),
        _rowCounts(_sizeX),
        _cubeSum(_packed),
        _matrix(Index(frames) * frames),
        _series(frames),
        _vector(frames),
        _solver(frames) {}

  //! Clears plane z of the outputs, then analyses its mask voxels; returns how many it visited.
  int analysePlane(int z, LocalMaps& maps) {
    const Index area = _sizeX * _sizeY;
    std::fill_n(&maps.disparite(0, 0, z), area, 0.0);
    std::fill_n(&maps.dispersion(0, 0, z), area, 0.0);
    std::fill_n(&maps.dispersion2(0, 0, z), area, 0.0);
    for (int t = 0; t < _frames; ++t) std::fill_n(&maps.ratFiltre(0, 0, z, t), area, 0.0f);
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
        _analysed += analyseVoxel(x, y, z, maps);
      }
    }
    return visited;
  }

 private:
  Index slot(int row) const { return row % kEdge; }

  // Column sum at (x', row): the outer products at (x', row, z') over the cube's z range.
  void columnSums(int row, int z) {
    const Index s = slot(row);
    if (_ringRow[s] == row) return;
    _ringRow[s] = row;
    const int z0 = std::max(z - kHalf, 0), z1 = std::min<int>(z + kHalf, _sizeZ - 1);
    for (int x = 0; x < _sizeX; ++x) {
      double* sum = &_columnSums[(s * _sizeX + x) * _packed];
      int& count = _columnCounts[s * _sizeX + x];
      count = 0;
      for (int zz = z0; zz <= z1; ++zz) {
        const int record = _records(x, row, zz);
        if (record < 0) continue;
        addOuterProduct(_serie(record).values, sum, count == 0);
        ++count;
      }
    }
  }

  // Row sum at x': the column sums over the cube's y range, for x' in [x0, x1].
  void rowSums(int y, int x0, int x1) {
    const int y0 = std::max(y - kHalf, 0), y1 = std::min<int>(y + kHalf, _sizeY - 1);
    for (int x = x0; x <= x1; ++x) {
      double* sum = &_rowSums[x * _packed];
      int& count = _rowCounts[x];
      count = 0;
      for (int row = y0; row <= y1; ++row) {
        const Index at = slot(row) * _sizeX + x;
        if (_columnCounts[at] == 0) continue;
        accumulate(&_columnSums[at * _packed], sum, count == 0);
        count += _columnCounts[at];
      }
    }
  }

  bool analyseVoxel(int x, int y, int z, LocalMaps& maps) {
    const int x0 = std::max(x - kHalf, 0), x1 = std::min<int>(x + kHalf, _sizeX - 1);
    int count = 0;
    for (int xx = x0; xx <= x1; ++xx) {
      const int part = _rowCounts[xx];
      if (part == 0) continue;
      accumulate(&_rowSums[xx * _packed], _cubeSum.data(), count == 0);
      count += part;
    }
    if (count <= 1) return false;  // an isolated voxel keeps its zeros

    // The full symmetric matrix, divided by count - 1 (column-major; both halves).
    const double divisor = static_cast<double>(count - 1);
    const Index T = _frames;
    Index packed = 0;
    for (Index a = 0; a < T; ++a)
      for (Index b = a; b < T; ++b) {
        const double value = _cubeSum[packed++] / divisor;
        _matrix[a * T + b] = value;
        _matrix[b * T + a] = value;
      }
    // A single frame has no second value.
    const vexa::Extremes e = _solver.solve(_matrix.data(), _vector.data());
    store(maps, x, y, z, _frames, {e.first, _frames > 1 ? e.second : 0.0, e.last, _vector.data()});
    return true;
  }

 public:
  long long analysed() const { return _analysed; }

 private:
  void addOuterProduct(const std::vector<float>& values, double* sum, bool assign) {
    const Index T = _frames;
    for (Index t = 0; t < T; ++t) _series[t] = values[t];
    const double* m = _series.data();
    Index at = 0;
    for (Index a = 0; a < T; ++a) {
      const double ma = m[a];
      double* out = sum + at;
      const Index length = T - a;
      if (assign) {
        for (Index b = 0; b < length; ++b) out[b] = ma * m[a + b];
      } else {
        for (Index b = 0; b < length; ++b) out[b] += ma * m[a + b];
      }
      at += length;
    }
  }

  void accumulate(const double* from, double* to, bool assign) {
    if (assign) {
      std::copy(from, from + _packed, to);
    } else {
      for (Index i = 0; i < _packed; ++i) to[i] += from[i];
    }
  }

  const VexaData<short>& _mask;
  const RecordIndex& _records;
  const VexaData<Individu>& _serie;
  const Index _sizeX, _sizeY, _sizeZ;
  const int _frames;
  const Index _packed;  // entries of a packed upper triangle
  std::vector<double> _columnSums;
  std::vector<int> _columnCounts;
  std::vector<int> _ringRow;  // which row each ring slot holds
  std::vector<double> _rowSums;
  std::vector<int> _rowCounts;
  std::vector<double> _cubeSum;
  std::vector<double> _matrix;
  std::vector<double> _series;
  std::vector<double> _vector;
  vexa::ExtremesSolver _solver;
  long long _analysed = 0;
};

}  // namespace

LocalMaps analyseLocally(const SeriesGeometry& geometry, const VexaData<short>& mask, const VexaData<Individu>& serie,
                         const AnalysisOptions& options) {
  const int X = geometry.sizeX, Y = geometry.sizeY, Z = geometry.sizeZ, T = geometry.frames;
  const int records = serie.dimX();
  // The fast route clears each plane of the outputs in the worker that fills it, so
  // that clearing (and the first touch of the memory) is shared out too.
  const bool planes = !options.reference && records > 0;
  const norbe::AllocatorContext context(planes ? norbe::Overwrite : norbe::ReadWrite);
  LocalMaps maps{newOutput<double>(geometry, 1, context), newOutput<double>(geometry, 1, context),
                 newOutput<double>(geometry, 1, context), newOutput<float>(geometry, T, context)};
  if (records == 0) return maps;

  // Workers share only read-only data and write disjoint voxels of the maps. Their
  // analysers, and every counted object they use, are made here: the reference counts of
  // the containers are not atomic.
  const RecordIndex recordIndex(geometry, serie);
  if (options.reference) {
    constexpr int kBlock = 64;
    const int blocks = (records + kBlock - 1) / kBlock;
    const int workers = std::min(norbe::workerThreads(options.threads), blocks);
    std::vector<std::unique_ptr<ReferenceAnalyser>> analysers;
    analysers.reserve(workers);
    for (int w = 0; w < workers; ++w)
      analysers.push_back(std::make_unique<ReferenceAnalyser>(mask, recordIndex, serie, T));
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

  // Each worker holds five rows of column sums and one of row sums; on wide series with
  // many frames and many cores, fewer workers keep that within the size of the series
  // itself (and 256 MiB).
  const double perWorker = 6.0 * X * (T * (T + 1) / 2.0) * sizeof(double);
  const double budget = std::max(256.0 * (1 << 20), 4.0 * X * Y * Z * T);
  const int affordable = std::max(1, static_cast<int>(budget / perWorker));
  const int workers = std::min({norbe::workerThreads(options.threads), Z, affordable});
  std::vector<std::unique_ptr<PlaneAnalyser>> analysers;
  analysers.reserve(workers);
  for (int w = 0; w < workers; ++w) analysers.push_back(std::make_unique<PlaneAnalyser>(mask, recordIndex, serie, T));
  norbe::runTasks(
      Z, workers, [&](int worker, int z) { return static_cast<long long>(analysers[worker]->analysePlane(z, maps)); },
      options.progress, records);
  for (const auto& analyser : analysers) maps.analysed += analyser->analysed();
  return maps;
}

}  // namespace mirlune

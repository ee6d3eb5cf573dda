#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

#include "analysis/stages.h"
#include "analysis/workers.h"
#include "imaging/extremes.h"
#include "imaging/svd.h"

namespace mirlune {

namespace {

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

/*!
 * The plain route: walks each record's cube (x outermost, z innermost), builds the
 * mean-product matrix term by term and decomposes it fully.
 */
class ReferenceAnalyser {
 public:
  ReferenceAnalyser(const VexaData<float>& input, const VexaData<short>& mask)
      : _input(input),
        _mask(mask),
        _frames(input.dimT()),
        _buffer(kCapacity, 1, 1, 1, 0),
        _products(input.dimT(), input.dimT(), 1, 1, 0),
        _vectors(input.dimT(), input.dimT(), 1, 1, 0),
        _vector(static_cast<std::size_t>(input.dimT())) {
    for (int j = 0; j < kCapacity; ++j) _buffer(j).values.resize(static_cast<std::size_t>(_frames));
  }

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
          const std::vector<float>& values = _buffer(k).values;
          sum += static_cast<double>(values[static_cast<std::size_t>(a)]) * values[static_cast<std::size_t>(b)];
        }
        _products(b, a) = sum / divisor;
        _vectors(b, a) = _products(b, a);
      }
    VexaSVD<double> svd(0);
    VexaData<double> W = svd.doit(_vectors, nullptr);
    svd.sort(_vectors, W, nullptr);
    const int n = W.dimX();
    for (int t = 0; t < T; ++t) _vector[static_cast<std::size_t>(t)] = _vectors(t, 0);
    // A single frame has no second value.
    store(maps, x, y, z, T, {W(0), n > 1 ? W(1) : 0.0, W(n - 1), _vector.data()});
    return 1;
  }

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
          Individu& neighbour = _buffer(count);
          for (int t = 0; t < _frames; ++t) neighbour.values[static_cast<std::size_t>(t)] = _input(nx, ny, nz, t);
          neighbour.position[0] = static_cast<std::int16_t>(nx);
          neighbour.position[1] = static_cast<std::int16_t>(ny);
          neighbour.position[2] = static_cast<std::int16_t>(nz);
          ++count;
        }
    return count;
  }

  const VexaData<float>& _input;
  const VexaData<short>& _mask;
  int _frames;
  VexaData<Individu> _buffer;
  VexaData<double> _products;
  VexaData<double> _vectors;
  std::vector<double> _vector;
};

/*!
 * The fast route, one z plane at a time. The cube sum of the neighbours' outer products
 * is separable: column sums over z (Q), then over y (R), then over x (C), each partial
 * sum computed once and shared by every cube that contains it, with no subtraction, so
 * the rounding stays that of a plain sum. Products of floats are exact in double.
 * Only the upper triangle is kept, packed row by row.
 */
class PlaneAnalyser {
 public:
  PlaneAnalyser(const VexaData<short>& mask, const std::vector<int>& recordOf, const VexaData<Individu>& serie,
                int frames)
      : _mask(mask),
        _recordOf(recordOf),
        _serie(serie),
        _X(mask.dimX()),
        _Y(mask.dimY()),
        _Z(mask.dimZ()),
        _T(frames),
        _P(static_cast<std::size_t>(frames) * static_cast<std::size_t>(frames + 1) / 2),
        _q(static_cast<std::size_t>(kEdge) * static_cast<std::size_t>(_X) * _P),
        _qCount(static_cast<std::size_t>(kEdge) * static_cast<std::size_t>(_X)),
        _qRow(kEdge, -1),
        _r(static_cast<std::size_t>(_X) * _P),
        _rCount(static_cast<std::size_t>(_X)),
        _c(_P),
        _full(static_cast<std::size_t>(frames) * static_cast<std::size_t>(frames)),
        _series(static_cast<std::size_t>(frames)),
        _vector(static_cast<std::size_t>(frames)),
        _solver(frames) {}

  //! Clears plane z of the outputs, then analyses its mask voxels; returns how many it visited.
  int analysePlane(int z, LocalMaps& maps) {
    const std::size_t area = static_cast<std::size_t>(_X) * static_cast<std::size_t>(_Y);
    std::fill_n(&maps.disparite(0, 0, z), area, 0.0);
    std::fill_n(&maps.dispersion(0, 0, z), area, 0.0);
    std::fill_n(&maps.dispersion2(0, 0, z), area, 0.0);
    for (int t = 0; t < _T; ++t) std::fill_n(&maps.ratFiltre(0, 0, z, t), area, 0.0f);
    std::fill(_qRow.begin(), _qRow.end(), -1);
    int visited = 0;
    for (int y = 0; y < _Y; ++y) {
      int first = -1, last = -1;
      for (int x = 0; x < _X; ++x) {
        if (_mask(x, y, z) == 1) {
          if (first < 0) first = x;
          last = x;
        }
      }
      if (first < 0) continue;
      for (int row = std::max(y - kHalf, 0); row <= std::min(y + kHalf, _Y - 1); ++row) columnSums(row, z);
      rowSums(y, std::max(first - kHalf, 0), std::min(last + kHalf, _X - 1));
      for (int x = first; x <= last; ++x) {
        if (_mask(x, y, z) != 1) continue;
        ++visited;
        analyseVoxel(x, y, z, maps);
      }
    }
    return visited;
  }

 private:
  std::size_t slot(int row) const { return static_cast<std::size_t>(row % kEdge); }

  // Q(x', row) = sum over z' of the cube's z range of the outer products at (x', row, z').
  void columnSums(int row, int z) {
    const std::size_t s = slot(row);
    if (_qRow[s] == row) return;
    _qRow[s] = row;
    const int z0 = std::max(z - kHalf, 0), z1 = std::min(z + kHalf, _Z - 1);
    for (int x = 0; x < _X; ++x) {
      double* q = &_q[(s * static_cast<std::size_t>(_X) + static_cast<std::size_t>(x)) * _P];
      int& count = _qCount[s * static_cast<std::size_t>(_X) + static_cast<std::size_t>(x)];
      count = 0;
      for (int zz = z0; zz <= z1; ++zz) {
        const int record = _recordOf[index(x, row, zz)];
        if (record < 0) continue;
        addOuterProduct(_serie(record).values, q, count == 0);
        ++count;
      }
    }
  }

  // R(x') = sum over the cube's y range of Q, for x' in [x0, x1].
  void rowSums(int y, int x0, int x1) {
    const int y0 = std::max(y - kHalf, 0), y1 = std::min(y + kHalf, _Y - 1);
    for (int x = x0; x <= x1; ++x) {
      double* r = &_r[static_cast<std::size_t>(x) * _P];
      int& count = _rCount[static_cast<std::size_t>(x)];
      count = 0;
      for (int row = y0; row <= y1; ++row) {
        const std::size_t at = slot(row) * static_cast<std::size_t>(_X) + static_cast<std::size_t>(x);
        if (_qCount[at] == 0) continue;
        accumulate(&_q[at * _P], r, count == 0);
        count += _qCount[at];
      }
    }
  }

  void analyseVoxel(int x, int y, int z, LocalMaps& maps) {
    const int x0 = std::max(x - kHalf, 0), x1 = std::min(x + kHalf, _X - 1);
    int count = 0;
    for (int xx = x0; xx <= x1; ++xx) {
      const int part = _rCount[static_cast<std::size_t>(xx)];
      if (part == 0) continue;
      accumulate(&_r[static_cast<std::size_t>(xx) * _P], _c.data(), count == 0);
      count += part;
    }
    if (count <= 1) return;  // an isolated voxel keeps its zeros

    // The full symmetric matrix, divided by count - 1 (column-major; both halves).
    const double divisor = static_cast<double>(count - 1);
    const std::size_t T = static_cast<std::size_t>(_T);
    std::size_t packed = 0;
    for (std::size_t a = 0; a < T; ++a)
      for (std::size_t b = a; b < T; ++b) {
        const double value = _c[packed++] / divisor;
        _full[a * T + b] = value;
        _full[b * T + a] = value;
      }
    const vexa::Extremes e = _solver.solve(_full.data(), _vector.data());
    if (e.positive) {
      store(maps, x, y, z, _T, {e.first, _T > 1 ? e.second : 0.0, e.last, _vector.data()});
      return;
    }
    // Not positive semi-definite to rounding (only with non-finite or absurd input):
    // the general decomposition sorts by absolute value properly.
    VexaData<double> U(_T, _T, 1, 1, 0);
    for (int a = 0; a < _T; ++a)
      for (int b = 0; b < _T; ++b) U(b, a) = _full[static_cast<std::size_t>(a) * T + static_cast<std::size_t>(b)];
    VexaSVD<double> svd(0);
    VexaData<double> W = svd.doit(U);
    svd.sort(U, W);
    for (int t = 0; t < _T; ++t) _vector[static_cast<std::size_t>(t)] = U(t, 0);
    store(maps, x, y, z, _T, {W(0), _T > 1 ? W(1) : 0.0, W(_T - 1), _vector.data()});
  }

  void addOuterProduct(const std::vector<float>& values, double* q, bool assign) {
    const std::size_t T = static_cast<std::size_t>(_T);
    for (std::size_t t = 0; t < T; ++t) _series[t] = values[t];
    const double* m = _series.data();
    std::size_t at = 0;
    for (std::size_t a = 0; a < T; ++a) {
      const double ma = m[a];
      double* out = q + at;
      const std::size_t length = T - a;
      if (assign) {
        for (std::size_t b = 0; b < length; ++b) out[b] = ma * m[a + b];
      } else {
        for (std::size_t b = 0; b < length; ++b) out[b] += ma * m[a + b];
      }
      at += length;
    }
  }

  void accumulate(const double* from, double* to, bool assign) {
    if (assign) {
      std::copy(from, from + _P, to);
    } else {
      for (std::size_t i = 0; i < _P; ++i) to[i] += from[i];
    }
  }

  std::size_t index(int x, int y, int z) const {
    return static_cast<std::size_t>(x) +
           static_cast<std::size_t>(_X) *
               (static_cast<std::size_t>(y) + static_cast<std::size_t>(_Y) * static_cast<std::size_t>(z));
  }

  const VexaData<short>& _mask;
  const std::vector<int>& _recordOf;
  const VexaData<Individu>& _serie;
  const int _X, _Y, _Z, _T;
  const std::size_t _P;
  std::vector<double> _q;
  std::vector<int> _qCount;
  std::vector<int> _qRow;  // which row each ring slot holds
  std::vector<double> _r;
  std::vector<int> _rCount;
  std::vector<double> _c;
  std::vector<double> _full;
  std::vector<double> _series;
  std::vector<double> _vector;
  vexa::ExtremesSolver _solver;
};

}  // namespace

LocalMaps analyseLocally(const VexaData<float>& input, const VexaData<short>& mask, const VexaData<Individu>& serie,
                         const AnalysisOptions& options) {
  const int X = input.dimX(), Y = input.dimY(), Z = input.dimZ(), T = input.dimT();
  const int records = serie.dimX();
  // The fast route clears each plane of the outputs in the worker that fills it, so
  // that clearing (and the first touch of the memory) is shared out too.
  const bool planes = !options.reference && records > 0;
  const norbe::AllocatorContext context(planes ? norbe::Overwrite : norbe::ReadWrite);
  LocalMaps maps{VexaData<double>(X, Y, Z, 1, 0, context), VexaData<double>(X, Y, Z, 1, 0, context),
                 VexaData<double>(X, Y, Z, 1, 0, context),
                 VexaData<float>(mask.dimX(), mask.dimY(), mask.dimZ(), T, 0, context)};
  VexaData<float>& source = const_cast<VexaData<float>&>(input);
  const float sx = source.voxelSizeX(), sy = source.voxelSizeY(), sz = source.voxelSizeZ();
  maps.ratFiltre.setVoxelSize(sx, sy, sz, 1.0f);
  maps.disparite.setVoxelSize(sx, sy, sz, 1.0f);
  maps.dispersion.setVoxelSize(sx, sy, sz, 1.0f);
  maps.dispersion2.setVoxelSize(sx, sy, sz, 1.0f);
  copyOrientation(source, maps.ratFiltre);
  copyOrientation(source, maps.disparite);
  copyOrientation(source, maps.dispersion);
  copyOrientation(source, maps.dispersion2);

  if (records == 0) return maps;

  // Everything a worker touches is built here, on the calling thread: the containers'
  // reference counts are not atomic. Workers write only their own voxels of the maps.
  if (options.reference) {
    if (!input.volume().isAllocated()) throw std::logic_error("the reference route reads the input's voxels");
    constexpr int kBlock = 64;
    const int blocks = (records + kBlock - 1) / kBlock;
    const int workers = workerCount(options.threads, blocks);
    std::vector<std::unique_ptr<ReferenceAnalyser>> analysers;
    for (int w = 0; w < workers; ++w) analysers.push_back(std::make_unique<ReferenceAnalyser>(input, mask));
    runTasks(blocks, workers, records, options.progress, [&](int worker, int block) {
      const int last = std::min((block + 1) * kBlock, records);
      for (int i = block * kBlock; i < last; ++i) analysers[static_cast<std::size_t>(worker)]->analyse(serie(i), maps);
      return last - block * kBlock;
    });
    return maps;
  }

  // Where each mask voxel's record is; -1 elsewhere.
  std::vector<int> recordOf(static_cast<std::size_t>(X) * static_cast<std::size_t>(Y) * static_cast<std::size_t>(Z),
                            -1);
  for (int i = 0; i < records; ++i) {
    const Individu& r = serie(i);
    recordOf[static_cast<std::size_t>(r.position[0]) +
             static_cast<std::size_t>(X) * (static_cast<std::size_t>(r.position[1]) +
                                            static_cast<std::size_t>(Y) * static_cast<std::size_t>(r.position[2]))] = i;
  }
  // Each worker holds six rows of partial sums; on wide series with many frames and many
  // cores, fewer workers keep that within the size of the series itself (and 256 MiB).
  const double perWorker = 6.0 * X * (T * (T + 1) / 2.0) * sizeof(double);
  const double budget = std::max(256.0 * (1 << 20), 4.0 * X * Y * Z * T);
  const int affordable = std::max(1, static_cast<int>(budget / perWorker));
  const int workers = std::min(workerCount(options.threads, Z), affordable);
  std::vector<std::unique_ptr<PlaneAnalyser>> analysers;
  for (int w = 0; w < workers; ++w) analysers.push_back(std::make_unique<PlaneAnalyser>(mask, recordOf, serie, T));
  runTasks(Z, workers, records, options.progress,
           [&](int worker, int z) { return analysers[static_cast<std::size_t>(worker)]->analysePlane(z, maps); });
  return maps;
}

}  // namespace mirlune

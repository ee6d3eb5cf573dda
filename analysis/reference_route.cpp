// The reference route: each record's cube walked plainly and its matrix decomposed fully.

#include <memory>
#include <vector>

#include "analysis/routes.h"
#include "imaging/numerics/svd.h"

namespace mirlune {

namespace {

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

}  // namespace

long long analyseByReference(const RouteInputs& in, const AnalysisOptions& options, int threads, LocalMaps& maps) {
  const int records = in.serie.dimX();
  constexpr int kBlock = 64;
  const int blocks = (records + kBlock - 1) / kBlock;
  const int workers = std::min(threads, blocks);
  std::vector<std::unique_ptr<ReferenceAnalyser>> analysers;
  analysers.reserve(workers);
  for (int w = 0; w < workers; ++w)
    analysers.push_back(std::make_unique<ReferenceAnalyser>(in.geometry, in.mask, in.records, in.serie));
  norbe::runTasks(
      blocks, workers,
      [&](int worker, int block) {
        const int last = std::min((block + 1) * kBlock, records);
        for (int i = block * kBlock; i < last; ++i) analysers[worker]->analyse(in.serie(i), maps);
        return static_cast<long long>(last - block * kBlock);
      },
      options.progress, records);
  long long analysed = 0;
  for (const auto& analyser : analysers) analysed += analyser->analysed();
  return analysed;
}

}  // namespace mirlune

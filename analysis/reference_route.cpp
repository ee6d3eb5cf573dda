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
  explicit ReferenceAnalyser(const RouteInputs& in)
      : _in(in),
        _frames(in.geometry.frames),
        _neighbours(in.window.capacity),
        _means(in.window.capacity),
        _products(_frames, _frames, 1, 1, 0),
        _vector(_frames) {}

  //! Returns the number of voxels analysed (0 or 1).
  int analyse(const Individu& record, LocalMaps& maps) {
    const int x = record.position[0], y = record.position[1], z = record.position[2];
    const int T = _frames;
    const Cube cube(x, y, z, _in.geometry, _in.window);
    int count = 0;
    for (int nx = cube.lo[0]; nx < cube.hi[0]; ++nx)
      for (int ny = cube.lo[1]; ny < cube.hi[1]; ++ny)
        for (int nz = cube.lo[2]; nz < cube.hi[2]; ++nz) {
          if (_in.mask(nx, ny, nz) != 1) continue;
          const int record = _in.records(nx, ny, nz);
          _means[count] = _in.means ? _in.means[record] : 0.0;
          _neighbours[count++] = &_in.serie(record).values;
        }
    if (count <= 1) return 0;  // an isolated voxel keeps its zeros

    // C(b, a): products summed in doubles over the neighbours in order, divided by count - 1;
    // each course less its mean first when they are demeaned.
    const double divisor = static_cast<double>(count - 1);
    for (int a = 0; a < T; ++a)
      for (int b = 0; b < T; ++b) {
        double sum = 0.0;
        for (int k = 0; k < count; ++k) {
          const std::vector<float>& values = *_neighbours[k];
          sum += (static_cast<double>(values[a]) - _means[k]) * (static_cast<double>(values[b]) - _means[k]);
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
    store(maps, x, y, z, T, count, {W(0), n > 1 ? W(1) : 0.0, W(n - 1), _vector.data()});
    ++_analysed;
    if (count < T) ++_fewerThanFrames;
    return 1;
  }

  long long analysed() const { return _analysed; }
  long long fewerThanFrames() const { return _fewerThanFrames; }

 private:
  const RouteInputs& _in;
  int _frames;
  std::vector<const std::vector<float>*> _neighbours;
  std::vector<double> _means;
  VexaData<double> _products;
  std::vector<double> _vector;
  long long _analysed = 0, _fewerThanFrames = 0;
};

}  // namespace

long long analyseByReference(const RouteInputs& in, const AnalysisOptions& options, int threads, LocalMaps& maps) {
  const int records = in.serie.dimX();
  constexpr int kBlock = 64;
  const int blocks = (records + kBlock - 1) / kBlock;
  const int workers = std::min(threads, blocks);
  std::vector<std::unique_ptr<ReferenceAnalyser>> analysers;
  analysers.reserve(workers);
  for (int w = 0; w < workers; ++w) analysers.push_back(std::make_unique<ReferenceAnalyser>(in));
  norbe::runTasks(
      blocks, workers,
      [&](int worker, int block) {
        const int last = std::min((block + 1) * kBlock, records);
        for (int i = block * kBlock; i < last; ++i) {
          in.stopIfAsked();
          analysers[worker]->analyse(in.serie(i), maps);
        }
        return static_cast<long long>(last - block * kBlock);
      },
      options.progress, records);
  return totals(analysers, maps);
}

}  // namespace mirlune

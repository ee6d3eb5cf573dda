#include "analysis/denoise.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "analysis/routes.h"
#include "imaging/numerics/vector_kernels.h"

namespace mirlune {

namespace {

/*!
 * One axis of the windows. The window of centre c starts at start(c), `extent` voxels long:
 * the cube's side, moved inside the image at its ends, or the whole axis where it is
 * shorter. Windows are known by their start (their key); the centres whose window starts
 * at key k run from firstCentre(k) to lastCentre(k): one inside, the half side and more at
 * the ends.
 */
struct Axis {
  Axis(int size, int side) : size(size), extent(std::min(side, size)), half(side / 2) {}
  int keys() const { return size - extent + 1; }
  int firstCentre(int key) const { return key == 0 ? 0 : key + half; }
  int lastCentre(int key) const { return key == keys() - 1 ? size - 1 : key + half; }
  int size, extent, half;
};

struct Voxel {
  int x, y, z;
};

//! What the workers share: every voxel's course (frames contiguous, what is not a finite
//! number made 0) and its squared norm; the windows; the outputs.
struct Shared {
  const SeriesGeometry& geometry;
  const VexaData<short>& mask;
  const DenoiseOptions& options;
  Axis axes[3];
  int frames;
  int courses;  // voxels of a window
  bool gram;    // more frames than courses: the courses' dot products are decomposed
  vexa::SpectrumShape shape;
  std::unique_ptr<float[]> series;  // voxel after voxel, raster order
  std::vector<double> norms;
  DenoisedSeries& out;

  const float* course(int x, int y, int z) const {
    return series.get() + (x + static_cast<Index>(geometry.sizeX) * (y + static_cast<Index>(geometry.sizeY) * z)) *
                              static_cast<Index>(frames);
  }
  double norm(int x, int y, int z) const {
    return norms[x + static_cast<Index>(geometry.sizeX) * (y + static_cast<Index>(geometry.sizeY) * z)];
  }
};

/*!
 * A worker: the windows of one plane of keys at a time. A window's product matrix is the
 * sum of its planes' (the outer products of the courses of one x, over the window's y and
 * z), each made afresh from its courses and kept in a ring while the window slides along
 * x: one step adds the plane that enters and takes away the one that leaves. The slide
 * restarts (the matrix summed from the ring) at every kSlideBlock-th key, wherever the
 * previous window was not needed, and once it has carried more than kSlideMass times the
 * window's trace (routes.h); so each window's matrix depends on its place alone, never on
 * the workers. Demeaned windows and the dot products of the courses (more frames than
 * courses) are made afresh at each window. Windows wait in the solver's lanes until they
 * fill them.
 */
class Denoiser {
 public:
  explicit Denoiser(const Shared& shared)
      : _s(shared),
        _kernels(vexa::vectorKernels(shared.options.instructionSet)),
        _solver(shared.options.exact ? vexa::exactSpectrumSolver(shared.shape)
                                     : vexa::spectrumSolver(shared.shape, shared.options.instructionSet)),
        _order(shared.shape.order),
        _entries(static_cast<std::size_t>(_order) * (_order + 1) / 2),
        _matrix(_entries),
        _blocks((shared.frames + 7) / 8),
        _waiting(_solver->lanes()) {
    const std::size_t panelCourses = _s.gram ? 0 : static_cast<std::size_t>(_s.courses);
    _panel.resize(8 * _blocks * panelCourses);
    _weights.assign(panelCourses, 1.0);
    if (!_s.gram && !_s.options.demean && !_s.options.exact) {
      const int slots = _s.axes[0].extent + 1;
      _ring.resize(static_cast<std::size_t>(slots) * _entries);
      _ringColumn.assign(slots, -1);
      _ringTrace.assign(slots, 0.0);
    }
    _window.resize(_s.courses);
    _mean.resize(_s.frames);
    if (_s.gram && _s.options.demean) _demeaned.resize(static_cast<std::size_t>(_s.courses) * _s.frames);
    _output.resize(_s.frames);
  }

  //! Denoises the centres of the windows whose z key is zKey; returns how many.
  long long plane(int zKey) {
    long long done = 0;
    const Axis& ax = _s.axes[0];
    for (int yKey = 0; yKey < _s.axes[1].keys(); ++yKey) {
      if (_s.options.stop && _s.options.stop->load(std::memory_order_relaxed)) throw Stopped();
      bool slid = false;  // the matrix holds the previous key's window
      double mass = 0;
      std::fill(_ringColumn.begin(), _ringColumn.end(), -1);
      for (int xKey = 0; xKey < ax.keys(); ++xKey) {
        // Made in the next lane's slot, whose storage the earlier windows there leave.
        Slot& slot = _waiting[_filled];
        slot.key = {xKey, yKey, zKey};
        slot.centres.clear();
        for (int z = _s.axes[2].firstCentre(zKey); z <= _s.axes[2].lastCentre(zKey); ++z)
          for (int y = _s.axes[1].firstCentre(yKey); y <= _s.axes[1].lastCentre(yKey); ++y)
            for (int x = ax.firstCentre(xKey); x <= ax.lastCentre(xKey); ++x)
              if (_s.mask(x, y, z) == 1) slot.centres.push_back({x, y, z});
        if (slot.centres.empty()) {
          slid = false;
          continue;
        }
        done += static_cast<long long>(slot.centres.size());
        if (_s.gram) {
          gramMatrix(slot.key);
        } else if (_s.options.demean || _s.options.exact) {
          productsAfresh(slot.key);
        } else {
          if (slid && xKey % kSlideBlock != 0) {
            mass += slide(slot.key);
            if (mass > kSlideMass * windowTrace(slot.key)) slid = false;
          } else {
            slid = false;
          }
          if (!slid) {
            sumOfPlanes(slot.key);
            mass = 0;
          }
          slid = true;
        }
        enqueue();
      }
    }
    flush();
    return done;
  }

 private:
  struct Slot {
    Voxel key;
    std::vector<Voxel> centres;
    std::vector<double> mean;  // the window's mean course, when demeaned
  };

  // The window's courses, z outermost, then y, then x.
  int gatherWindow(const Voxel& key) {
    int count = 0;
    for (int z = key.z; z < key.z + _s.axes[2].extent; ++z)
      for (int y = key.y; y < key.y + _s.axes[1].extent; ++y)
        for (int x = key.x; x < key.x + _s.axes[0].extent; ++x) _window[count++] = _s.course(x, y, z);
    return count;
  }

  double windowTrace(const Voxel& key) const {
    double trace = 0;
    for (int z = key.z; z < key.z + _s.axes[2].extent; ++z)
      for (int y = key.y; y < key.y + _s.axes[1].extent; ++y)
        for (int x = key.x; x < key.x + _s.axes[0].extent; ++x) trace += _s.norm(x, y, z);
    return trace;
  }

  // _mean = the window's mean course (when demeaned; 0 otherwise).
  void windowMean(int count) {
    std::fill(_mean.begin(), _mean.end(), 0.0);
    if (!_s.options.demean) return;
    for (int k = 0; k < count; ++k)
      for (int t = 0; t < _s.frames; ++t) _mean[t] += _window[k][t];
    for (double& value : _mean) value /= count;
  }

  // Course k of the window less the mean into the kernel's panel (frames in blocks of 8).
  void widen(int k, int slotIndex, int count) {
    double* at = &_panel[8 * static_cast<std::size_t>(slotIndex)];
    const std::size_t block = 8 * static_cast<std::size_t>(count);
    const float* c = _window[k];
    for (int t = 0; t < _s.frames; ++t) at[(t / 8) * block + t % 8] = c[t] - _mean[t];
    for (int t = _s.frames; t % 8 != 0; ++t) at[(t / 8) * block + t % 8] = 0.0;
  }

  // The sum of the window's outer products (demeaned when asked), made afresh.
  void productsAfresh(const Voxel& key) {
    const int count = gatherWindow(key);
    windowMean(count);
    for (int k = 0; k < count; ++k) {
      widen(k, k, count);
      _weights[k] = 1.0;
    }
    std::fill(_matrix.begin(), _matrix.end(), 0.0);
    _kernels.addOuterProducts(_panel.data(), _weights.data(), count, _s.frames, _matrix.data());
  }

  // The ring slot holding the plane at column x of the current row, made when missing.
  double* plane(int x, const Voxel& key) {
    const int slots = static_cast<int>(_ringColumn.size());
    int slot = -1;
    for (int k = 0; k < slots && slot < 0; ++k)
      if (_ringColumn[k] == x) slot = k;
    if (slot >= 0) return &_ring[static_cast<std::size_t>(slot) * _entries];
    // The slot of the column farthest behind (never one of the window's).
    slot = 0;
    for (int k = 1; k < slots; ++k)
      if (_ringColumn[k] < _ringColumn[slot]) slot = k;
    int count = 0;
    double trace = 0;
    for (int z = key.z; z < key.z + _s.axes[2].extent; ++z)
      for (int y = key.y; y < key.y + _s.axes[1].extent; ++y) {
        _window[count++] = _s.course(x, y, z);
        trace += _s.norm(x, y, z);
      }
    std::fill(_mean.begin(), _mean.end(), 0.0);
    for (int k = 0; k < count; ++k) widen(k, k, count);
    double* sum = &_ring[static_cast<std::size_t>(slot) * _entries];
    std::fill(sum, sum + _entries, 0.0);
    _kernels.addOuterProducts(_panel.data(), _weights.data(), count, _s.frames, sum);
    _ringColumn[slot] = x;
    _ringTrace[slot] = trace;
    return sum;
  }

  double planeTrace(int x) const {
    for (std::size_t k = 0; k < _ringColumn.size(); ++k)
      if (_ringColumn[k] == x) return _ringTrace[k];
    return 0;
  }

  // The window's matrix as the sum of its planes, in the order of x.
  void sumOfPlanes(const Voxel& key) {
    const int extent = _s.axes[0].extent;
    std::vector<const double*>& parts = _parts;
    parts.resize(extent);
    for (int k = 0; k < extent; ++k) parts[k] = plane(key.x + k, key);
    _kernels.sumVectors(parts.data(), extent, _matrix.data(), static_cast<long>(_entries));
  }

  // From the window at key.x - 1 to the one at key.x: returns the traces handled.
  double slide(const Voxel& key) {
    const int entering = key.x + _s.axes[0].extent - 1, leaving = key.x - 1;
    const double* out = plane(leaving, key);  // before the ring slot it holds may be reused
    const double mass = planeTrace(leaving);
    // The slot of the leaving plane is not reused for the entering one: the ring holds one
    // slot more than the window's planes.
    const double* in = plane(entering, key);
    _kernels.slideSum(_matrix.data(), in, out, static_cast<long>(_entries));
    return mass + planeTrace(entering);
  }

  // The courses' dot products (demeaned when asked), as a packed lower triangle.
  void gramMatrix(const Voxel& key) {
    const int count = gatherWindow(key);
    const int T = _s.frames;
    if (!_s.options.demean) {
      for (int i = 0; i < count; ++i)
        for (int j = 0; j <= i; ++j)
          _matrix[static_cast<std::size_t>(i) * (i + 1) / 2 + j] = _kernels.dotFloats(_window[i], _window[j], T);
      return;
    }
    windowMean(count);
    for (int i = 0; i < count; ++i)
      for (int t = 0; t < T; ++t) _demeaned[static_cast<std::size_t>(i) * T + t] = _window[i][t] - _mean[t];
    for (int i = 0; i < count; ++i)
      for (int j = 0; j <= i; ++j)
        _matrix[static_cast<std::size_t>(i) * (i + 1) / 2 + j] = _kernels.dotDoubles(
            &_demeaned[static_cast<std::size_t>(i) * T], &_demeaned[static_cast<std::size_t>(j) * T], T);
  }

  // Hands the next lane's slot, and _matrix, to the solver.
  void enqueue() {
    const int lanes = _solver->lanes();
    const int lane = _filled++;
    double* matrices = _solver->matrices();
    for (std::size_t k = 0; k < _entries; ++k) matrices[k * lanes + lane] = _matrix[k];
    if (_s.options.demean) _waiting[lane].mean = _mean;
    if (_filled == lanes) flush();
  }

  void flush() {
    if (_filled == 0) return;
    const int lanes = _solver->lanes();
    for (int lane = _filled; lane < lanes; ++lane) _solver->fillZero(lane);
    _solver->solve();
    std::size_t rounds = 0;
    for (int lane = 0; lane < _filled; ++lane) {
      rounds = std::max(rounds, _waiting[lane].centres.size());
      const Voxel& c = _waiting[lane].key;
      const float sigma = static_cast<float>(std::sqrt(_solver->noiseVariance(lane)));
      const short rank = static_cast<short>(_solver->rank(lane));
      for (const Voxel& v : _waiting[lane].centres) {
        _s.out.noise(v.x, v.y, v.z) = sigma;
        _s.out.rank(v.x, v.y, v.z) = rank;
      }
      (void)c;
    }
    double* vectors = _solver->vectors();
    for (std::size_t round = 0; round < rounds; ++round) {
      for (int lane = 0; lane < lanes; ++lane) {
        const bool has = lane < _filled && round < _waiting[lane].centres.size();
        for (int i = 0; i < _order; ++i) vectors[static_cast<std::size_t>(i) * lanes + lane] = 0.0;
        if (has) load(_waiting[lane], _waiting[lane].centres[round], lane);
      }
      _solver->project();
      for (int lane = 0; lane < _filled; ++lane)
        if (round < _waiting[lane].centres.size()) store(_waiting[lane], _waiting[lane].centres[round], lane);
    }
    _filled = 0;
  }

  // Where the centre is among the window's courses.
  int indexInWindow(const Voxel& key, const Voxel& v) const {
    return (v.x - key.x) + _s.axes[0].extent * ((v.y - key.y) + _s.axes[1].extent * (v.z - key.z));
  }

  void load(const Slot& slot, const Voxel& v, int lane) {
    const int lanes = _solver->lanes();
    double* vectors = _solver->vectors();
    if (_s.gram) {
      vectors[static_cast<std::size_t>(indexInWindow(slot.key, v)) * lanes + lane] = 1.0;
      return;
    }
    const float* c = _s.course(v.x, v.y, v.z);
    for (int t = 0; t < _s.frames; ++t)
      vectors[static_cast<std::size_t>(t) * lanes + lane] = c[t] - (slot.mean.empty() ? 0.0 : slot.mean[t]);
  }

  void store(const Slot& slot, const Voxel& v, int lane) {
    const int lanes = _solver->lanes();
    const double* vectors = _solver->vectors();
    const int T = _s.frames;
    const float* original = _s.course(v.x, v.y, v.z);
    VexaData<float>& series = _s.out.series;
    // Where nothing is cut, the course stays as it was, to the bit.
    if (_solver->rank(lane) == _s.shape.used) {
      for (int t = 0; t < T; ++t) series(v.x, v.y, v.z, t) = original[t];
      return;
    }
    if (_s.gram) {
      // The course is the window's courses weighted by the projected unit vector.
      const int count = gatherWindow(slot.key);
      std::fill(_output.begin(), _output.end(), 0.0);
      for (int k = 0; k < count; ++k) {
        const double w = vectors[static_cast<std::size_t>(k) * lanes + lane];
        if (w == 0.0) continue;
        for (int t = 0; t < T; ++t) _output[t] += w * (_window[k][t] - (slot.mean.empty() ? 0.0 : slot.mean[t]));
      }
    } else {
      for (int t = 0; t < T; ++t) _output[t] = vectors[static_cast<std::size_t>(t) * lanes + lane];
    }
    for (int t = 0; t < T; ++t)
      series(v.x, v.y, v.z, t) = static_cast<float>(_output[t] + (slot.mean.empty() ? 0.0 : slot.mean[t]));
  }

  const Shared& _s;
  const vexa::VectorKernels& _kernels;
  std::unique_ptr<vexa::SpectrumSolver> _solver;
  const int _order;
  const std::size_t _entries;
  std::vector<double> _matrix;  // the current window's, packed lower triangle
  const std::size_t _blocks;    // of eight frames
  std::vector<Slot> _waiting;   // the windows in the solver's lanes
  int _filled = 0;
  std::vector<const float*> _window;
  std::vector<double> _panel, _weights, _mean, _demeaned, _output;
  // The planes' sums of the current row, by column: one slot more than a window holds.
  std::vector<double> _ring;
  std::vector<int> _ringColumn;
  std::vector<double> _ringTrace;
  std::vector<const double*> _parts;
};

}  // namespace

vexa::NoiseEstimator estimatorNamed(const std::string& name) {
  // Either case: users of other tools write Exp1 and Exp2.
  if (name == "exp1" || name == "Exp1") return vexa::NoiseEstimator::Exp1;
  if (name == "exp2" || name == "Exp2" || name.empty()) return vexa::NoiseEstimator::Exp2;
  throw std::runtime_error("-estimator " + name + ": the estimator is exp1 or exp2");
}

const char* estimatorName(vexa::NoiseEstimator estimator) {
  return estimator == vexa::NoiseEstimator::Exp1 ? "exp1" : "exp2";
}

DenoisedSeries denoiseSeries(const SeriesGeometry& geometry, const VexaData<float>& input, const VexaData<short>& mask,
                             const DenoiseOptions& options) {
  for (int side : options.window) {
    if (side < 3 || side > kMostSide || side % 2 == 0) {
      throw std::invalid_argument("the window's sides must be odd, from 3 to " + std::to_string(kMostSide));
    }
  }
  const int X = geometry.sizeX, Y = geometry.sizeY, Z = geometry.sizeZ, T = geometry.frames;
  DenoisedSeries out;
  out.series = newOutput<float>(geometry, T);
  keepTiming(geometry, out.series);
  out.noise = newOutput<float>(geometry, 1);
  out.rank = newOutput<short>(geometry, 1);
  long long centres = 0;
  for (int z = 0; z < Z; ++z)
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x) centres += mask(x, y, z) == 1;
  if (centres == 0 || T == 0) return out;

  Shared shared{
      geometry, mask, options, {Axis(X, options.window[0]), Axis(Y, options.window[1]), Axis(Z, options.window[2])},
      T,        0,    false,   {},
      nullptr,  {},   out};
  shared.courses = shared.axes[0].extent * shared.axes[1].extent * shared.axes[2].extent;
  shared.gram = T > shared.courses;
  // Demeaned courses span one direction fewer: the law counts one course fewer.
  const int n = shared.courses - (options.demean ? 1 : 0);
  shared.shape.order = std::min(T, shared.courses);
  shared.shape.used = std::max(1, std::min(T, n));
  shared.shape.larger = std::max(T, n);
  shared.shape.estimator = options.estimator;

  const int threads = norbe::workerThreads(options.threads);
  const Index voxels = static_cast<Index>(X) * Y * Z;
  shared.series.reset(new float[voxels * T]);
  shared.norms.assign(voxels, 0.0);
  norbe::runTasks(Z, threads, [&](int, int z) {
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x) {
        const Index v = x + static_cast<Index>(X) * (y + static_cast<Index>(Y) * z);
        float* to = shared.series.get() + v * T;
        double norm = 0;
        for (int t = 0; t < T; ++t) {
          const float value = input(x, y, z, t);
          to[t] = std::isfinite(value) ? value : 0.0f;
          norm += static_cast<double>(to[t]) * to[t];
        }
        shared.norms[v] = norm;
      }
    return 0LL;
  });

  std::vector<std::unique_ptr<Denoiser>> workers;
  workers.reserve(threads);
  for (int w = 0; w < threads; ++w) workers.push_back(std::make_unique<Denoiser>(shared));
  norbe::runTasks(
      shared.axes[2].keys(), threads, [&](int worker, int zKey) { return workers[worker]->plane(zKey); },
      options.progress, centres);
  out.voxels = centres;
  return out;
}

}  // namespace mirlune

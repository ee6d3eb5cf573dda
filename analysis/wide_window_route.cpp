// The route for wide windows at many frames: the cube's T x T matrix slid along x and
// handed to the large-matrix solver, one voxel at a time.

#include <algorithm>
#include <memory>
#include <vector>

#include "analysis/routes.h"
#include "imaging/numerics/large_extremes.h"

namespace mirlune {

namespace {

/*!
 * One z plane at a time. A cube differs from its neighbour along x by two yz planes of
 * side x side courses, so its matrix of mean-product sums is the neighbour's plus the outer
 * products of the plane that enters, less those of the plane that leaves: about 2 side^2
 * T^2 / 2 multiply-adds, against side^3 T^2 / 2 afresh, and a matrix of T^2 / 2 values per
 * worker rather than sums per column. Where the budget has room for side + 2 plane sums
 * per worker, each plane's sum is made once, when it enters, and taken away as a whole when
 * it leaves.
 *
 * The slide restarts at every kSlideBlock-th column and where voxels of a row lie more than
 * half a side apart, so which terms a voxel's matrix holds, in which order, and which
 * vector starts its search depend on its place alone, never on the number of workers.
 * Demeaned courses are demeaned before their products are taken, so that what the slide
 * cancels is of the courses' own size, not of their baseline's. Each plane's trace (its
 * courses' squared norms) is kept beside it, and a cube whose slide has carried more than
 * kSlideMass times its own trace is made afresh (routes.h): a dim cube after bright planes
 * keeps none of their rounding.
 */
class WideWindowRoute {
 public:
  WideWindowRoute(const RouteInputs& in, vexa::InstructionSet set, bool ring)
      : _in(in),
        _half(in.window.half[0]),
        _halfY(in.window.half[1]),
        _halfZ(in.window.half[2]),
        _sizeX(in.geometry.sizeX),
        _frames(in.geometry.frames),
        _entries(Index(_frames) * (_frames + 1) / 2),
        _kernels(vexa::vectorKernels(set)),
        _cube(_entries),
        _large(_frames, set),
        _courses(2 * in.window.side[1] * in.window.side[2]),
        _panel(static_cast<std::size_t>(_courses.size()) * ((_frames + 7) / 8 * 8)),
        _weights(_courses.size()),
        _means(_courses.size()),
        _vector(_frames),
        _previous(_frames),
        _planeTrace(in.geometry.sizeX) {
    if (ring) {
      _ring.resize((in.window.side[0] + 2) * _entries);
      _ringColumn.assign(in.window.side[0] + 2, -1);
      _ringCount.assign(in.window.side[0] + 2, 0);
      _ringTrace.assign(in.window.side[0] + 2, 0.0);
    }
  }

  //! Analyses the mask voxels of plane z; returns how many it visited.
  int analysePlane(int z, LocalMaps& maps) {
    int visited = 0;
    for (int y = 0; y < _in.geometry.sizeY; ++y) {
      _cubeAt = _solvedAt = -1;
      std::fill(_ringColumn.begin(), _ringColumn.end(), -1);
      for (int x = 0; x < _sizeX; ++x) {
        if (_in.mask(x, y, z) != 1) continue;
        _in.stopIfAsked();
        ++visited;
        analyseVoxel(x, y, z, maps);
      }
    }
    return visited;
  }

  long long analysed() const { return _analysed; }
  long long fewerThanFrames() const { return _fewerThanFrames; }

 private:
  void analyseVoxel(int x, int y, int z, LocalMaps& maps) {
    slideTo(x, y, z);
    if (_count <= 1) return;  // an isolated voxel keeps its zeros
    ++_analysed;
    if (_count < _frames) ++_fewerThanFrames;
    const double* matrix = _cube.data();
    const bool warm = _solvedAt >= 0 && _solvedAt / kSlideBlock == x / kSlideBlock;
    // Of rank at most count - 1 when the courses are demeaned, at most count otherwise.
    const bool singular = _in.means != nullptr || _count < _frames;
    const vexa::Extremes e = _large.solve(matrix, warm ? _previous.data() : nullptr, singular, _vector.data());
    std::copy(_vector.begin(), _vector.end(), _previous.begin());
    _solvedAt = x;
    const double divisor = static_cast<double>(_count - 1);
    store(maps, x, y, z, _frames, _count, {e.first / divisor, e.second / divisor, e.last / divisor, _vector.data()});
  }

  // _cube and _count for the cube around (x, y, z): slid from the last one made when that is
  // in the same block of columns and near, and its rounding within bounds; made afresh
  // otherwise.
  void slideTo(int x, int y, int z) {
    if (_cubeAt >= 0 && _cubeAt / kSlideBlock == x / kSlideBlock && x - _cubeAt <= _half) {
      for (int step = _cubeAt + 1; step <= x; ++step) slideOne(step, y, z);
      if (_mass > kSlideMass * traceAround(x)) makeAfresh(x, y, z);
    } else {
      makeAfresh(x, y, z);
    }
    _cubeAt = x;
  }

  void makeAfresh(int x, int y, int z) {
    std::fill(_cube.begin(), _cube.end(), 0.0);
    _count = 0;
    for (int column = std::max(x - _half, 0); column <= std::min<Index>(x + _half, _sizeX - 1); ++column) {
      if (_ring.empty()) {
        _count += addPlane(column, y, z, _cube.data());
      } else {
        const Index slot = planeSum(column, y, z);
        _kernels.slideSum(_cube.data(), &_ring[slot * _entries], nullptr, _entries);
        _count += _ringCount[slot];
      }
    }
    _mass = traceAround(x);
  }

  //! The cube's trace around x: its planes' traces, each a sum of squared norms.
  double traceAround(int x) const {
    double trace = 0;
    for (int column = std::max(x - _half, 0); column <= std::min<Index>(x + _half, _sizeX - 1); ++column)
      trace += _planeTrace[column];
    return trace;
  }

  // One step along x, to the cube around step: the plane entering added, the one leaving
  // taken away (either may lie outside the series).
  void slideOne(int step, int y, int z) {
    const int entering = step + _half, leaving = step - _half - 1;
    const double before = traceAround(step - 1);
    Traces moved;
    if (_ring.empty()) {
      const bool enters = entering < _sizeX, leaves = leaving >= 0;
      const int added = enters ? gather(entering, 1.0, y, z, 0) : 0;
      const int taken = leaves ? gather(leaving, -1.0, y, z, added) : 0;
      moved = addCourses(added + taken, _cube.data());
      if (enters) _planeTrace[entering] = moved.in;
      _count += added - taken;
    } else {
      moved = slideRing(entering, leaving, y, z);
    }
    _mass += before + moved.in + moved.out;
    // An empty cube holds nothing, not the rounding of what it held.
    if (_count == 0) {
      std::fill(_cube.begin(), _cube.end(), 0.0);
      _mass = 0;
    }
  }

  //! The squared norms of the courses a step added and took away.
  struct Traces {
    double in = 0, out = 0;
  };

  Traces slideRing(int entering, int leaving, int y, int z) {
    const bool enters = entering < _sizeX, leaves = leaving >= 0;
    const double* in = nullptr;
    const double* out = nullptr;
    Traces moved;
    if (enters) {
      const Index slot = planeSum(entering, y, z);
      _count += _ringCount[slot];
      moved.in = _ringTrace[slot];
      if (_ringCount[slot] > 0) in = &_ring[slot * _entries];
    }
    if (leaves) {
      const Index slot = planeSum(leaving, y, z);
      _count -= _ringCount[slot];
      moved.out = _ringTrace[slot];
      if (_ringCount[slot] > 0) out = &_ring[slot * _entries];
    }
    _kernels.slideSum(_cube.data(), in, out, _entries);
    return moved;
  }

  // The ring slot holding the sum of the plane at column (made now if it is not there).
  Index planeSum(int column, int y, int z) {
    const Index slot = column % static_cast<int>(_ringColumn.size());
    if (_ringColumn[slot] != column) {
      double* sum = &_ring[slot * _entries];
      std::fill(sum, sum + _entries, 0.0);
      _ringCount[slot] = addPlane(column, y, z, sum);
      _ringTrace[slot] = _planeTrace[column];
      _ringColumn[slot] = column;
    }
    _planeTrace[column] = _ringTrace[slot];
    return slot;
  }

  // Adds the outer products of the plane's courses to target, its trace to _planeTrace;
  // returns how many.
  int addPlane(int column, int y, int z, double* target) {
    const int count = gather(column, 1.0, y, z, 0);
    _planeTrace[column] = addCourses(count, target).in;
    return count;
  }

  // The courses of the plane at column (rows y +- half, slices z +- half), after the first
  // `from` gathered, each with weight; returns how many.
  int gather(int column, double weight, int y, int z, int from) {
    const auto& g = _in.geometry;
    int count = from;
    for (int yy = std::max(y - _halfY, 0); yy <= std::min(y + _halfY, g.sizeY - 1); ++yy)
      for (int zz = std::max(z - _halfZ, 0); zz <= std::min(z + _halfZ, g.sizeZ - 1); ++zz) {
        const int record = _in.records(column, yy, zz);
        if (record < 0) continue;
        _courses[count] = _in.serie(record).values.data();
        _means[count] = _in.means ? _in.means[record] : 0.0;
        _weights[count] = weight;
        ++count;
      }
    return count - from;
  }

  // target += the weighted outer products of the first count gathered courses, widened
  // (and, if asked, demeaned) into the kernel's panel; returns the squared norms of those
  // added and of those taken away.
  Traces addCourses(int count, double* target) {
    Traces traces;
    if (count == 0) return traces;
    const std::size_t block = 8 * static_cast<std::size_t>(count);
    for (int k = 0; k < count; ++k) {
      double* at = &_panel[8 * static_cast<std::size_t>(k)];
      double norm = 0;
      for (int t = 0; t < _frames; ++t) {
        const double value = _courses[k][t] - _means[k];
        at[(t / 8) * block + t % 8] = value;
        norm += value * value;
      }
      for (int t = _frames; t % 8 != 0; ++t) at[(t / 8) * block + t % 8] = 0.0;
      (_weights[k] > 0 ? traces.in : traces.out) += norm;
    }
    _kernels.addOuterProducts(_panel.data(), _weights.data(), count, _frames, target);
    return traces;
  }

  const RouteInputs& _in;
  const int _half, _halfY, _halfZ;  // of the cube along x (the slide's), y and z
  const Index _sizeX;
  const int _frames;
  const Index _entries;  // of a packed lower triangle
  const vexa::VectorKernels& _kernels;
  std::vector<double> _cube;  // the current cube's sums
  int _count = 0;             // the courses in _cube
  vexa::LargeExtremes _large;
  std::vector<const float*> _courses;            // gathered courses
  std::vector<double> _panel, _weights, _means;  // the courses widened for the kernel
  std::vector<double> _ring;                     // plane sums, when the budget has room
  std::vector<int> _ringColumn, _ringCount;      // which column each slot holds; its courses
  std::vector<double> _ringTrace;                // and their squared norms
  std::vector<double> _vector, _previous;
  std::vector<double> _planeTrace;  // each plane's squared norms, by column, in the current row
  double _mass = 0;                 // what the current cube's slide has carried (routes.h)
  int _cubeAt = -1;                 // the column whose cube is in _cube, in the current row
  int _solvedAt = -1;               // the column of the last voxel solved, in the current row
  long long _analysed = 0, _fewerThanFrames = 0;
};

}  // namespace

bool wideWindowKeepsPlaneSums(const SeriesGeometry& g, const Window& w, double budget) {
  const double entries = g.frames * (g.frames + 1) / 2.0;
  // Room for two workers' rings: the choice must not depend on the number of workers,
  // since the two ways round differently.
  return 2.0 * (w.side[0] + 2) * entries * sizeof(double) <= budget;
}

long long analyseWideWindow(const RouteInputs& in, const AnalysisOptions& options, int threads, LocalMaps& maps) {
  const SeriesGeometry& geometry = in.geometry;
  const int Z = geometry.sizeZ;
  const int workers = std::min(threads, Z);
  const double budget = options.scratchBudget > 0 ? options.scratchBudget : defaultScratchBudget(geometry);
  const bool ring = wideWindowKeepsPlaneSums(geometry, in.window, budget);
  std::vector<std::unique_ptr<WideWindowRoute>> analysers;
  analysers.reserve(workers);
  for (int w = 0; w < workers; ++w)
    analysers.push_back(std::make_unique<WideWindowRoute>(in, options.instructionSet, ring));
  return analysePlanes(in, options, analysers, maps);
}

}  // namespace mirlune

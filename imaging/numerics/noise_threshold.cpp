#include "imaging/numerics/noise_threshold.h"
#include "imaging/numerics/zero_floor.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <vector>

#include "imaging/numerics/processor.h"

namespace vexa {

// Defined once per instruction set, in per_instruction_set/.
#define MIRLUNE_SPECTRUM_LANES(set)                                                                    \
  void spectrumLanes_##set(int n, int used, int larger, bool exp1, double* matrices, double* scratch); \
  void keptLanes_##set(int n, double* scratch, double* kept, const double* start, double* otherStart); \
  void projectLanes_##set(int n, const double* matrices, const double* scratch, const double* kept, double* vectors);
MIRLUNE_SPECTRUM_LANES(avx512)
MIRLUNE_SPECTRUM_LANES(avx2)
MIRLUNE_SPECTRUM_LANES(baseline)
#undef MIRLUNE_SPECTRUM_LANES

Threshold marchenkoPastur(const double* ascending, const SpectrumShape& shape) {
  const int used = shape.used;
  const double q = shape.larger;
  const double* s = ascending + (shape.order - used);
  double trace = 0;
  for (int i = 0; i < shape.order; ++i) trace += ascending[i];
  const double floor = kZeroFloor * trace;
  const auto clipped = [floor](double value) { return value > floor ? value : 0.0; };
  const double lambdaR = clipped(s[0]) / q;
  Threshold result;
  double sum = 0;
  for (int p = 0; p < used; ++p) {
    const double lambda = clipped(s[p]) / q;
    sum += lambda;
    const double gamma = shape.estimator == NoiseEstimator::Exp1 ? (p + 1.0) / q : (p + 1.0) / (q - used + p + 1.0);
    const double meanBelow = sum / (p + 1.0);
    if ((lambda - lambdaR) / (4.0 * std::sqrt(gamma)) < meanBelow) {
      result.cut = p + 1;
      result.sigma2 = meanBelow;
    }
  }
  return result;
}

namespace {

std::size_t entries(int n) { return static_cast<std::size_t>(n) * (n + 1) / 2; }

// The lane functions of one instruction set.
struct LaneFunctions {
  int lanes;
  void (*spectrum)(int, int, int, bool, double*, double*);
  void (*kept)(int, double*, double*, const double*, double*);
  void (*project)(int, const double*, const double*, const double*, double*);
};

LaneFunctions laneFunctions(InstructionSet set) {
  switch (set) {
    case InstructionSet::Avx512:
      return {8, spectrumLanes_avx512, keptLanes_avx512, projectLanes_avx512};
    case InstructionSet::Avx2:
      return {4, spectrumLanes_avx2, keptLanes_avx2, projectLanes_avx2};
    default:
      return {2, spectrumLanes_baseline, keptLanes_baseline, projectLanes_baseline};
  }
}

// The scratch of the lane functions: the reduction's, then the state (the noise variance,
// the rank, the vectors kept, ...).
constexpr int kLaneScratch = 13;
constexpr int kLaneState = 4;

struct Freer {
  void operator()(double* p) const { std::free(p); }
};

class BatchedSpectra : public SpectrumSolver {
 public:
  BatchedSpectra(const SpectrumShape& shape, const LaneFunctions& functions)
      : SpectrumSolver(shape, functions.lanes,
                       (kLaneScratch * static_cast<std::size_t>(shape.order) + kLaneState) * functions.lanes),
        _functions(functions),
        _start(2 * static_cast<std::size_t>(shape.order)) {
    for (int i = 0; i < shape.order; ++i) _start[i] = 1.0 + 0.25 * std::sin(1.0 + 1.7 * i);
  }

  void solve() override {
    const int n = _shape.order;
    const bool exp1 = _shape.estimator == NoiseEstimator::Exp1;
    _functions.spectrum(n, _shape.used, _shape.larger, exp1, _matrices, _scratch);
    const double* state = _scratch + kLaneScratch * static_cast<std::size_t>(n) * _lanes;
    int most = 0;
    for (int lane = 0; lane < _lanes; ++lane) {
      _sigma2[lane] = state[lane];
      _rank[lane] = static_cast<int>(state[_lanes + lane]);
      most = std::max(most, static_cast<int>(state[2 * _lanes + lane]));
    }
    // The kept vectors' room grows with the most any batch keeps, rarely the whole order.
    const std::size_t needed = static_cast<std::size_t>(most) * n * _lanes;
    if (needed > _keptSize) {
      _kept.reset(static_cast<double*>(std::aligned_alloc(64, (needed * sizeof(double) + 63) / 64 * 64)));
      if (!_kept) throw std::bad_alloc();
      _keptSize = needed;
    }
    double* otherStart = _start.data() + n;
    _functions.kept(n, _scratch, _kept.get(), _start.data(), otherStart);
  }

  void project() override { _functions.project(_shape.order, _matrices, _scratch, _kept.get(), _vectors); }

 private:
  LaneFunctions _functions;
  std::vector<double> _start;  // inverse iteration's start, then room for the others'
  std::unique_ptr<double, Freer> _kept;
  std::size_t _keptSize = 0;
};

/*!
 * Eigen's self-adjoint solver, all eigenvalues and vectors, then the threshold as
 * marchenkoPastur() reads it: the plainest way there.
 */
class ExactSpectrum : public SpectrumSolver {
 public:
  explicit ExactSpectrum(const SpectrumShape& shape) : SpectrumSolver(shape, 1, 0) {}

  void solve() override {
    const int n = _shape.order;
    Eigen::MatrixXd a(n, n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j <= i; ++j) a(i, j) = a(j, i) = _matrices[entries(i) + j];
    _solver.compute(a);
    const Threshold threshold = marchenkoPastur(_solver.eigenvalues().data(), _shape);
    _cut = threshold.cut;
    _sigma2[0] = threshold.sigma2;
    _rank[0] = _shape.used - threshold.cut;
  }

  void project() override {
    if (_cut == 0) return;
    const int n = _shape.order;
    Eigen::Map<Eigen::VectorXd> x(_vectors, n);
    const auto kept = _solver.eigenvectors().rightCols(_rank[0]);
    x = (kept * (kept.transpose() * x)).eval();
  }

 private:
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> _solver;
  int _cut = 0;
};

}  // namespace

SpectrumSolver::SpectrumSolver(const SpectrumShape& shape, int lanes, std::size_t scratch)
    : _shape(shape), _lanes(lanes) {
  if (shape.order < 1 || shape.used < 1 || shape.used > shape.order || shape.larger < shape.used) {
    throw std::invalid_argument("a spectrum of this shape cannot be thresholded");
  }
  const std::size_t l = static_cast<std::size_t>(lanes);
  const std::size_t sizes[] = {entries(shape.order) * l, static_cast<std::size_t>(shape.order) * l, scratch, l, l};
  std::size_t total = 0;
  for (std::size_t size : sizes) total += (size + 7) / 8 * 8;  // each part on a 64-byte boundary
  _block = std::aligned_alloc(64, total * sizeof(double));
  if (!_block) throw std::bad_alloc();
  double* at = static_cast<double*>(_block);
  double** parts[] = {&_matrices, &_vectors, &_scratch, &_sigma2};
  for (int k = 0; k < 4; ++k) {
    *parts[k] = at;
    at += (sizes[k] + 7) / 8 * 8;
  }
  _rank = reinterpret_cast<int*>(at);
  std::fill(_matrices, _matrices + entries(shape.order) * l, 0.0);
  std::fill(_vectors, _vectors + shape.order * l, 0.0);
}

SpectrumSolver::~SpectrumSolver() { std::free(_block); }

void SpectrumSolver::fillZero(int lane) {
  for (std::size_t k = 0; k < entries(_shape.order); ++k) _matrices[k * _lanes + lane] = 0.0;
}

std::unique_ptr<SpectrumSolver> spectrumSolver(const SpectrumShape& shape, InstructionSet set) {
  if (!processorSupports(set)) throw std::invalid_argument("this processor cannot run " + nameOf(set));
  if (shape.order >= 3 && shape.order <= kLanesUpTo) {
    return std::make_unique<BatchedSpectra>(shape, laneFunctions(set));
  }
  return exactSpectrumSolver(shape);
}

std::unique_ptr<SpectrumSolver> exactSpectrumSolver(const SpectrumShape& shape) {
  return std::make_unique<ExactSpectrum>(shape);
}

}  // namespace vexa

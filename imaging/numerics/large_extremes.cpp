#include "imaging/numerics/large_extremes.h"

#include <algorithm>
#include <cmath>

#include "imaging/numerics/orientation.h"

namespace vexa {

namespace {
// A neighbour's vector plus this much of a fixed pattern: Lanczos needs the second
// direction in its start as well as the first.
constexpr double kStartSpread = 0.05;
// A diagonal shift, of the largest eigenvalue: far above a factor's rounding (about n eps
// of it), and taken away from the answer, whose error stays near that rounding.
constexpr double kShift = 1e-8;

// Past this, a search costs about what the full solver does at a few hundred frames. A
// second value inside a crowd (noise's spectrum) takes near a hundred steps.
constexpr int kMostSteps = 160;
}  // namespace

LargeExtremes::LargeExtremes(int n, InstructionSet set)
    : _n(n),
      _kernels(vectorKernels(set)),
      _lanczos(n, set, kMostSteps),
      _start(n),
      _factor(std::size_t(n) * (n + 1) / 2),
      _inverses(n) {}

Extremes LargeExtremes::solve(const double* packed, const double* start, bool singular, double* vector,
                              LargeExtremesSteps* steps) {
  const int n = _n;
  LargeExtremesSteps taken;
  const double* from = nullptr;
  if (start) {
    const double scale = std::sqrt(_kernels.dotDoubles(start, start, n));
    for (int i = 0; i < n; ++i) _start[i] = start[i] / scale + kStartSpread * (1.0 + 0.25 * std::sin(1.0 + 1.7 * i));
    if (std::isfinite(scale) && scale > 0) from = _start.data();
  }
  Extremes out;
  LanczosExtremes top;
  const VectorKernels& k = _kernels;
  const LanczosSolver::Apply apply = [&](const double* x, double* y) { k.multiplyPacked(packed, n, x, y); };
  bool answered = n >= 2 && _lanczos.topTwo(apply, n, vector, from, top) && std::isfinite(top.first);
  out.first = top.first;
  out.second = top.second;
  taken.top = top.steps;
  // A matrix singular to rounding (courses that repeat, or are all zero) has no factor; a
  // shift of the diagonal by a little more than the factor's rounding gives one, and its
  // smallest eigenvalue less the shift.
  if (answered && !singular) {
    answered = smallest(packed, 0.0, top.first, out.last, taken.smallest) ||
               smallest(packed, kShift * top.first, top.first, out.last, taken.smallest);
  }
  if (!answered) {
    out = solveFully(packed, vector);
    taken.fellBack = true;
    if (singular) out.last = 0;
  } else {
    if (singular) out.last = 0;
    if (pointsTheWrongWay(vector, n))
      for (int i = 0; i < n; ++i) vector[i] = -vector[i];
  }
  if (steps) *steps = taken;
  return out;
}

bool LargeExtremes::smallest(const double* packed, double shift, double largest, double& value, int& steps) {
  const int n = _n;
  std::copy(packed, packed + _factor.size(), _factor.begin());
  for (int i = 0; i < n; ++i) _factor[std::size_t(i) * (i + 3) / 2] += shift;
  if (!_kernels.choleskyFactor(_factor.data(), n, _inverses.data())) return false;
  const VectorKernels& k = _kernels;
  const double* factor = _factor.data();
  const double* inverses = _inverses.data();
  const LanczosSolver::Apply inverse = [&](const double* x, double* y) {
    std::copy(x, x + n, y);
    k.choleskySolve(factor, inverses, n, y);
  };
  int taken = 0;
  const bool found = _lanczos.smallestByInverse(inverse, n, largest + shift, value, &taken);
  steps += taken;
  value = std::max(0.0, value - shift);
  return found;
}

Extremes LargeExtremes::solveFully(const double* packed, double* vector) {
  const std::size_t n = static_cast<std::size_t>(_n);
  if (!_full) _full = std::make_unique<ExtremesSolver>(_n);
  _square.resize(n * n);
  for (std::size_t i = 0, at = 0; i < n; ++i)
    for (std::size_t j = 0; j <= i; ++j, ++at) _square[i * n + j] = _square[j * n + i] = packed[at];
  return _full->solve(_square.data(), vector);
}

}  // namespace vexa

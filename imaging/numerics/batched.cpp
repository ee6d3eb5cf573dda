#include "imaging/numerics/batched.h"

#include "imaging/numerics/orientation.h"
#include "imaging/numerics/processor.h"

#include <cmath>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace vexa {

// Defined once per instruction set, in per_instruction_set/.
void solveLanes_avx512(int, double*, const double*, double*, double*, double*, double*, double*);
void solveLanes_avx2(int, double*, const double*, double*, double*, double*, double*, double*);
void solveLanes_baseline(int, double*, const double*, double*, double*, double*, double*, double*);

namespace {

int lanesOf(InstructionSet set) {
  switch (set) {
    case InstructionSet::Avx512:
      return 8;
    case InstructionSet::Avx2:
      return 4;
    default:
      return 2;
  }
}

std::size_t entries(int n) { return static_cast<std::size_t>(n) * (n + 1) / 2; }

}  // namespace

BatchedExtremes::BatchedExtremes(int n, InstructionSet set) : _n(n), _lanes(lanesOf(set)), _set(set) {
  if (n < 3) throw std::invalid_argument("the batched solver needs matrices of order 3 or more");
  if (!processorSupports(set)) throw std::invalid_argument("this processor cannot run " + nameOf(set));
  _start.reset(new double[n]);
  for (int i = 0; i < n; ++i) _start[i] = 1.0 + 0.25 * std::sin(1.0 + 1.7 * i);
  const std::size_t lanes = static_cast<std::size_t>(_lanes);
  const std::size_t sizes[] = {entries(n) * lanes, 9 * n * lanes, lanes, lanes, lanes, n * lanes};
  std::size_t total = 0;
  for (std::size_t size : sizes) total += size;
  _block = static_cast<double*>(std::aligned_alloc(64, (total * sizeof(double) + 63) / 64 * 64));
  if (!_block) throw std::bad_alloc();
  double* at = _block;
  double** parts[] = {&_matrices, &_scratch, &_first, &_second, &_last, &_vectors};
  for (int k = 0; k < 6; ++k) {
    *parts[k] = at;
    at += sizes[k];
  }
}

BatchedExtremes::~BatchedExtremes() { std::free(_block); }

void BatchedExtremes::fillIdentity(int lane) {
  for (int i = 0; i < _n; ++i)
    for (int j = 0; j <= i; ++j) _matrices[(entries(i) + j) * _lanes + lane] = i == j ? 1.0 : 0.0;
}

void BatchedExtremes::solve() {
  switch (_set) {
    case InstructionSet::Avx512:
      solveLanes_avx512(_n, _matrices, _start.get(), _scratch, _first, _second, _last, _vectors);
      break;
    case InstructionSet::Avx2:
      solveLanes_avx2(_n, _matrices, _start.get(), _scratch, _first, _second, _last, _vectors);
      break;
    default:
      solveLanes_baseline(_n, _matrices, _start.get(), _scratch, _first, _second, _last, _vectors);
      break;
  }
  for (int lane = 0; lane < _lanes; ++lane) {
    double* v = _vectors + lane;
    if (!pointsTheWrongWay(v, _n, _lanes)) continue;
    for (int i = 0; i < _n; ++i) v[static_cast<std::size_t>(i) * _lanes] = -v[static_cast<std::size_t>(i) * _lanes];
  }
}

}  // namespace vexa

#pragma once
// One voxel by its Gram matrix: the route of a cube with fewer neighbours than frames.

#include <algorithm>
#include <cmath>
#include <vector>

#include "analysis/neighbourhood.h"
#include "imaging/numerics/lanczos.h"
#include "imaging/numerics/orientation.h"
#include "imaging/numerics/vector_kernels.h"

namespace mirlune {

/*!
 * The Gram route of one voxel: G from the dot products of its neighbours' series (found by
 * dot(i, j), undivided), the two largest eigenpairs of G / (count - 1), and the dominant
 * vector of C as M' v, normalised and oriented. With means (each neighbour's mean over
 * frames), the courses are demeaned: a dot product of demeaned courses is the raw one less
 * T mean_i mean_j, and M' v loses (sum of v_i mean_i) in every frame, so no second pass
 * over the data is needed.
 */
class GramRoute {
 public:
  GramRoute(int frames, int capacity, vexa::InstructionSet set)
      : _frames(frames), _kernels(vexa::vectorKernels(set)), _solver(capacity, set), _v(capacity), _u(frames) {}

  template <class Dot>
  VoxelResult solve(int count, const float* const* series, const double* means, const Dot& dot) {
    const double divisor = static_cast<double>(count - 1);
    const double frames = static_cast<double>(_frames);
    // Grown to the largest neighbourhood met: a window of 15 could need 3,375 squared.
    if (_gram.size() < static_cast<std::size_t>(count) * count) _gram.resize(static_cast<std::size_t>(count) * count);
    for (int i = 0; i < count; ++i)
      for (int j = 0; j <= i; ++j) {
        const double raw = dot(i, j);
        const double value = (means ? raw - frames * means[i] * means[j] : raw) / divisor;
        _gram[static_cast<std::size_t>(i) * count + j] = value;
        _gram[static_cast<std::size_t>(j) * count + i] = value;
      }
    const vexa::LanczosExtremes e = _solver.solve(_gram.data(), count, _v.data());
    const int T = _frames;
    std::fill(_u.begin(), _u.end(), 0.0);
    double shift = 0;
    for (int i = 0; i < count; ++i) {
      for (int t = 0; t < T; ++t) _u[t] += _v[i] * static_cast<double>(series[i][t]);
      if (means) shift += _v[i] * means[i];
    }
    if (means)
      for (double& value : _u) value -= shift;
    const double norm = std::sqrt(_kernels.dotDoubles(_u.data(), _u.data(), T));
    if (norm > 0) {
      for (double& value : _u) value /= norm;
      if (vexa::pointsTheWrongWay(_u.data(), T))
        for (double& value : _u) value = -value;
    } else if (norm == 0) {
      // The zero matrix: every vector is an eigenvector; take the first axis.
      std::fill(_u.begin(), _u.end(), 0.0);
      _u[0] = -1.0;
    } else {
      std::fill(_u.begin(), _u.end(), e.first);  // not a number
    }
    // T exceeds count, C's rank: its smallest singular value is 0.
    return {e.first, e.second, std::isnan(e.first) ? e.first : 0.0, _u.data()};
  }

 private:
  int _frames;
  const vexa::VectorKernels& _kernels;
  vexa::LanczosSolver _solver;
  std::vector<double> _gram;
  std::vector<double> _v, _u;
};

}  // namespace mirlune

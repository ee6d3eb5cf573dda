#include "imaging/numerics/inverse_iteration.h"

#include <cmath>
#include <utility>

namespace vexa {

void InverseIteration::factor(const double* d, const double* e, int n, double shift, double tiny) {
  _n = n;
  _diag.assign(n, 0.0);
  _up1.assign(n, 0.0);
  _up2.assign(n, 0.0);
  _multiplier.assign(n, 0.0);
  _swapped.assign(n, 0);
  for (int i = 0; i < n; ++i) {
    _diag[i] = d[i] - shift;
    _up1[i] = i + 1 < n ? e[i] : 0.0;
  }
  for (int i = 0; i + 1 < n; ++i) {
    const double low = e[i];
    if (std::abs(_diag[i]) >= std::abs(low)) {
      if (_diag[i] == 0.0) _diag[i] = tiny;
      _multiplier[i] = low / _diag[i];
      _diag[i + 1] -= _multiplier[i] * _up1[i];
    } else {
      // Row i becomes the old row i + 1; row i + 1 the old row i minus the multiple of it.
      _swapped[i] = 1;
      _multiplier[i] = _diag[i] / low;
      const double oldUp1 = _up1[i];
      _diag[i] = low;
      _up1[i] = _diag[i + 1];
      _up2[i] = i + 2 < n ? _up1[i + 1] : 0.0;
      _diag[i + 1] = oldUp1 - _multiplier[i] * _up1[i];
      if (i + 2 < n) _up1[i + 1] = -_multiplier[i] * _up2[i];
    }
  }
  if (_diag[n - 1] == 0.0) _diag[n - 1] = tiny;
}

void InverseIteration::solve(double* y) const {
  const int n = _n;
  for (int sweep = 0; sweep < 3; ++sweep) {
    for (int i = 0; i + 1 < n; ++i) {
      if (_swapped[i]) std::swap(y[i], y[i + 1]);
      y[i + 1] -= _multiplier[i] * y[i];
    }
    for (int i = n - 1; i >= 0; --i) {
      double value = y[i];
      if (i + 1 < n) value -= _up1[i] * y[i + 1];
      if (i + 2 < n) value -= _up2[i] * y[i + 2];
      y[i] = value / _diag[i];
    }
    double norm = 0;
    for (int i = 0; i < n; ++i) norm += y[i] * y[i];
    norm = std::sqrt(norm);
    if (!(norm > 0) || !std::isfinite(norm)) break;
    for (int i = 0; i < n; ++i) y[i] /= norm;
  }
}

}  // namespace vexa

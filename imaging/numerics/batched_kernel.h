// The extremes of several symmetric matrices at once, one matrix per SIMD lane. Included
// once per instruction set by a file that defines BATCHED_LANES and BATCHED_NAMESPACE and
// is compiled for that set; it uses nothing but plain arithmetic on GCC vector types, so
// that no function of shared use is ever compiled here with instructions another machine
// may lack.
//
// Every operation is elementwise: a lane's result is the one its matrix alone would give,
// whatever the other lanes hold. Loops that run until convergence go on while any lane
// works, with each lane frozen (its state selected unchanged) once it has converged.

#include <cstddef>

namespace vexa {
namespace BATCHED_NAMESPACE {
namespace {

constexpr int W = BATCHED_LANES;
typedef double Vec __attribute__((vector_size(W * sizeof(double))));
typedef long long Mask __attribute__((vector_size(W * sizeof(double))));

constexpr double kEpsilon = 2.220446049250313e-16;
// Pivots of the normalised tridiagonal below this are nudged to it: an eigenvalue
// perturbation far below rounding, but it keeps the derivative recurrences finite.
constexpr double kPivotMin = 1e-30;

inline Vec splat(double value) {
  Vec v;
  for (int l = 0; l < W; ++l) v[l] = value;
  return v;
}
inline Vec vabs(Vec a) { return a < 0 ? -a : a; }
inline Vec vmax(Vec a, Vec b) { return a > b ? a : b; }
inline Vec vmin(Vec a, Vec b) { return a < b ? a : b; }
inline Vec vsqrt(Vec a) {
  Vec r;
  for (int l = 0; l < W; ++l) r[l] = __builtin_sqrt(a[l]);
  return r;
}
inline Mask finite(Vec a) { return vabs(a) <= splat(1.7976931348623157e308); }
inline bool any(Mask m) {
  long long bits = 0;
  for (int l = 0; l < W; ++l) bits |= m[l];
  return bits != 0;
}
inline Vec copysign(Vec magnitude, Vec sign) { return sign < 0 ? -vabs(magnitude) : vabs(magnitude); }
inline Vec pick(Mask m, Vec a, Vec b) { return m ? a : b; }

// Element (i, j), j <= i, of the packed lower triangle: the rows one after another.
inline std::size_t at(int i, int j) { return static_cast<std::size_t>(i) * (i + 1) / 2 + j; }

struct Tridiagonal {
  Vec* d;      // diagonal (n)
  Vec* e;      // off-diagonal (n - 1)
  Vec* e2;     // its squares
  Vec* tau;    // the reflectors' factors (n)
  Vec scale;   // the largest magnitude of d and e, divided out of them
  Vec lo, hi;  // bounds of the scaled spectrum
};

/*!
 * Householder reduction of the packed lower triangles a (n rows) to tridiagonal form,
 * in place: reflector k's vector stays below the subdiagonal of column k, with 1 implied
 * at row k + 1 (as LAPACK stores it). p and v are n vectors of scratch each.
 */
void tridiagonalise(int n, Vec* a, Vec* p, Vec* v, Tridiagonal& t) {
  const Vec zero = splat(0.0), one = splat(1.0);
  for (int k = 0; k + 2 < n; ++k) {
    const Vec alpha = a[at(k + 1, k)];
    Vec norm2 = zero;
    for (int i = k + 2; i < n; ++i) norm2 += a[at(i, k)] * a[at(i, k)];
    const Mask identity = norm2 == zero;  // nothing to annihilate: the reflector is I
    const Vec beta = pick(identity, alpha, -copysign(vsqrt(alpha * alpha + norm2), alpha));
    const Vec tau = pick(identity, zero, (beta - alpha) / pick(identity, one, beta));
    const Vec factor = pick(identity, zero, one / pick(identity, one, alpha - beta));
    // v = (1, a[k+2..n-1][k] * factor), kept in the column and, contiguous, in v.
    v[k + 1] = one;
    for (int i = k + 2; i < n; ++i) v[i] = a[at(i, k)] *= factor;
    a[at(k + 1, k)] = beta;
    t.tau[k] = tau;
    // p = tau A22 v over the trailing rows, each element read once; two rows a pass, so
    // that p and v are loaded once for both.
    for (int i = k + 1; i < n; ++i) p[i] = zero;
    int i = k + 1;
    for (; i + 1 < n; i += 2) {
      const Vec vi = v[i], vk = v[i + 1];
      Vec row = zero, next = zero;
      const Vec* ai = a + at(i, 0);
      const Vec* ak = a + at(i + 1, 0);
      for (int j = k + 1; j < i; ++j) {
        row += ai[j] * v[j];
        next += ak[j] * v[j];
        p[j] += ai[j] * vi + ak[j] * vk;
      }
      // The corner of the two rows: (i, i), (i + 1, i) and (i + 1, i + 1).
      p[i] += row + ai[i] * vi + ak[i] * vk;
      p[i + 1] += next + ak[i] * vi + ak[i + 1] * vk;
    }
    if (i < n) {
      const Vec vi = v[i];
      Vec row = zero;
      const Vec* ai = a + at(i, 0);
      for (int j = k + 1; j < i; ++j) {
        row += ai[j] * v[j];
        p[j] += ai[j] * vi;
      }
      p[i] += row + ai[i] * vi;
    }
    Vec pv = zero;
    for (int i = k + 1; i < n; ++i) {
      p[i] *= tau;
      pv += p[i] * v[i];
    }
    // w = p - (tau / 2)(p . v) v, and A22 -= v w' + w v'.
    const Vec half = splat(0.5) * tau * pv;
    for (int i = k + 1; i < n; ++i) p[i] -= half * v[i];
    i = k + 1;
    for (; i + 1 < n; i += 2) {
      const Vec vi = v[i], wi = p[i], vk = v[i + 1], wk = p[i + 1];
      Vec* ai = a + at(i, 0);
      Vec* ak = a + at(i + 1, 0);
      for (int j = k + 1; j <= i; ++j) {
        const Vec pj = p[j], vj = v[j];
        ai[j] -= vi * pj + wi * vj;
        ak[j] -= vk * pj + wk * vj;
      }
      ak[i + 1] -= vk * p[i + 1] + wk * v[i + 1];
    }
    if (i < n) {
      const Vec vi = v[i], wi = p[i];
      Vec* ai = a + at(i, 0);
      for (int j = k + 1; j <= i; ++j) ai[j] -= vi * p[j] + wi * v[j];
    }
  }
  for (int i = 0; i < n; ++i) t.d[i] = a[at(i, i)];
  for (int i = 0; i + 1 < n; ++i) t.e[i] = a[at(i + 1, i)];
  if (n >= 2) t.tau[n - 2] = zero;
  t.tau[n - 1] = zero;
}

//! Divides the tridiagonal by its largest entry and bounds the spectrum (Gershgorin).
void normalise(int n, Tridiagonal& t) {
  Vec scale = splat(0.0);
  for (int i = 0; i < n; ++i) scale = vmax(scale, vabs(t.d[i]));
  for (int i = 0; i + 1 < n; ++i) scale = vmax(scale, vabs(t.e[i]));
  t.scale = scale;
  const Vec divisor = pick(scale == 0, splat(1.0), scale);
  for (int i = 0; i < n; ++i) t.d[i] /= divisor;
  for (int i = 0; i + 1 < n; ++i) {
    t.e[i] /= divisor;
    t.e2[i] = t.e[i] * t.e[i];
  }
  Vec lo = splat(1e300), hi = splat(-1e300);
  for (int i = 0; i < n; ++i) {
    Vec radius = splat(0.0);
    if (i > 0) radius += vabs(t.e[i - 1]);
    if (i + 1 < n) radius += vabs(t.e[i]);
    lo = vmin(lo, t.d[i] - radius);
    hi = vmax(hi, t.d[i] + radius);
  }
  const Vec margin = splat(4 * kEpsilon) * vmax(vabs(lo), vabs(hi));
  t.lo = lo - margin;
  t.hi = hi + margin;
}

struct Evaluation {
  Vec below;  // eigenvalues smaller than x, counted in doubles
  Vec g;      // sum of 1 / (x - lambda)
  Vec h;      // sum of 1 / (x - lambda)^2
};

// Sturm count with the first two derivatives of log|det(T - x I)|, from the LDL' pivots.
Evaluation evaluate(int n, const Tridiagonal& t, Vec x) {
  const Vec zero = splat(0.0), one = splat(1.0), pivmin = splat(kPivotMin);
  Vec q = t.d[0] - x;
  q = pick(vabs(q) < pivmin, -pivmin, q);
  Vec dq = -one, ddq = zero;
  Vec s = one / q;
  Evaluation out;
  out.below = pick(q < 0, one, zero);
  out.g = dq * s;
  out.h = (dq * s) * (dq * s) - ddq * s;
  for (int k = 1; k < n; ++k) {
    const Vec r = s;
    const Vec e2r2 = t.e2[k - 1] * r * r;
    const Vec ddqNext = e2r2 * (ddq - splat(2.0) * dq * dq * r);
    const Vec dqNext = -one + e2r2 * dq;
    q = t.d[k] - x - t.e2[k - 1] * r;
    q = pick(vabs(q) < pivmin, -pivmin, q);
    s = one / q;
    dq = dqNext;
    ddq = ddqNext;
    out.below += pick(q < 0, one, zero);
    out.g += dq * s;
    out.h += (dq * s) * (dq * s) - ddq * s;
  }
  return out;
}

/*!
 * The eigenvalue of rank m (0 = smallest) of each lane's tridiagonal within [lo, hi], from
 * start: Laguerre steps while the target is the root next to x, bisection otherwise, and a
 * Sturm-counted bracket throughout. With deflate, the root known is divided out of the
 * steps, so that they head for the next one.
 */
Vec eigenvalue(int n, const Tridiagonal& t, int m, Vec lo, Vec hi, Vec start, bool deflate, Vec known) {
  const int degree = deflate ? n - 1 : n;
  const Vec zero = splat(0.0), half = splat(0.5), deg = splat(degree), mm = splat(m);
  const Vec tolerance = splat(4 * kEpsilon) * vmax(vmax(vabs(lo), vabs(hi)), splat(1e-300));
  const Vec nan = splat(__builtin_nan(""));
  Vec x = start, result = splat(0.0);
  Mask active = x == x;  // every lane
  for (int iteration = 0; iteration < 300 && any(active); ++iteration) {
    Evaluation e = evaluate(n, t, x);
    if (deflate) {
      const Vec r = splat(1.0) / (x - known);
      e.g -= r;
      e.h -= r * r;
    }
    const Mask left = e.below > mm;  // the target lies below x
    hi = pick(active & left, vmin(hi, x), hi);
    lo = pick(active & ~left, vmax(lo, x), lo);
    const Vec effective = deflate ? e.below - pick(x > known, splat(1.0), zero) : e.below;
    const Mask adjacent = pick(left, effective, effective + splat(1.0)) == mm + splat(1.0);
    const Vec root = vsqrt(vmax(zero, (deg - splat(1.0)) * (deg * e.h - e.g * e.g)));
    const Vec denominator = pick(left, e.g + root, e.g - root);
    const Mask step = adjacent & finite(denominator) & (pick(left, denominator, -denominator) > zero);
    Vec next = pick(step, x - deg / pick(step, denominator, splat(1.0)), nan);
    // Converged: the step has shrunk to rounding (the bracket may end right at x).
    const Mask stepDone = active & adjacent & (vabs(next - x) <= tolerance);
    result = pick(stepDone, next, result);
    active &= ~stepDone;
    const Mask outside = ~((next > lo) & (next < hi));
    const Mask narrow = (hi - lo) <= tolerance;
    const Mask bisectDone = active & outside & narrow;
    result = pick(bisectDone, half * (lo + hi), result);
    active &= ~bisectDone;
    next = pick(outside, half * (lo + hi), next);
    const Mask nextDone = active & narrow;
    result = pick(nextDone, next, result);
    active &= ~nextDone;
    x = pick(active, next, x);
  }
  return pick(active, half * (lo + hi), result);
}

//! Largest, second largest and smallest eigenvalue of the scaled tridiagonals (n >= 3).
void threeEigenvalues(int n, const Tridiagonal& t, Vec& largest, Vec& second, Vec& smallest) {
  // A positive semi-definite matrix has no eigenvalue below 0 beyond rounding, and its
  // second largest is at most the trace less the largest: starting there, close to the
  // clustered small eigenvalues, saves the iteration its long approach from the bounds.
  Vec trace = splat(0.0);
  for (int i = 0; i < n; ++i) trace += t.d[i];
  const Vec rounding = splat(8.0 * n * kEpsilon) * vmax(vabs(t.lo), vabs(t.hi));
  const Vec none = splat(0.0);
  largest = eigenvalue(n, t, n - 1, t.lo, t.hi, t.hi, false, none);
  smallest = eigenvalue(n, t, 0, t.lo, t.hi, vmax(t.lo, -rounding), false, none);
  // Far enough above the largest that dividing it out costs no accuracy.
  const Vec bound = vmin(t.hi, trace - largest + rounding);
  const Vec eighth = splat(0.125);
  const Vec start = pick(bound < largest - eighth * (largest - t.lo), bound, t.hi + eighth * (t.hi - t.lo));
  second = eigenvalue(n, t, n - 2, t.lo, t.hi + splat(0.25) * (t.hi - t.lo), start, true, largest);
}

/*!
 * The eigenvector of shift (the largest eigenvalue) of the scaled tridiagonal, by three
 * solves with the LU factors of T - shift I (partial pivoting, a zero pivot made tiny),
 * from a fixed start. The shift is the eigenvalue to within a few units of rounding, so
 * each solve multiplies the wanted direction by about 1 / (n eps) against 1 / gap for the
 * others: three leave the others below rounding unless the gap is under about eps^(2/3)
 * of the spectrum, where the vector is only defined to eps / gap anyway.
 */
void inverseIteration(int n, const Tridiagonal& t, Vec shift, const double* start, Vec* work, Vec* y) {
  Vec* diag = work;
  Vec* up1 = work + n;
  Vec* up2 = work + 2 * n;
  Vec* mult = work + 3 * n;
  Mask* swapped = reinterpret_cast<Mask*>(work + 4 * n);
  const Vec zero = splat(0.0);
  const Vec tiny = splat(kEpsilon) * vmax(vabs(t.lo), vabs(t.hi));
  for (int i = 0; i < n; ++i) {
    diag[i] = t.d[i] - shift;
    up1[i] = i + 1 < n ? t.e[i] : zero;
    up2[i] = zero;
  }
  for (int i = 0; i + 1 < n; ++i) {
    const Vec low = t.e[i];
    const Mask swap = vabs(diag[i]) < vabs(low);
    swapped[i] = swap;
    // No swap: eliminate below a (nudged) pivot.
    const Vec pivot = pick(diag[i] == 0, tiny, diag[i]);
    const Vec keepMult = low / pick(swap, splat(1.0), pivot);
    const Vec keepNext = diag[i + 1] - keepMult * up1[i];
    // Swap: row i becomes the old row i + 1, row i + 1 the old row i less mult times it.
    const Vec swapMult = diag[i] / pick(swap, low, splat(1.0));
    const Vec newUp1 = diag[i + 1];
    const Vec newUp2 = i + 2 < n ? up1[i + 1] : zero;
    const Vec swapNext = up1[i] - swapMult * newUp1;
    mult[i] = pick(swap, swapMult, keepMult);
    diag[i] = pick(swap, low, pivot);
    const Vec oldUp1 = up1[i];
    up1[i] = pick(swap, newUp1, oldUp1);
    up2[i] = pick(swap, newUp2, zero);
    diag[i + 1] = pick(swap, swapNext, keepNext);
    if (i + 2 < n) up1[i + 1] = pick(swap, -swapMult * newUp2, up1[i + 1]);
  }
  diag[n - 1] = pick(diag[n - 1] == 0, tiny, diag[n - 1]);

  for (int i = 0; i < n; ++i) y[i] = splat(start[i]);
  Mask alive = zero == zero;
  for (int sweep = 0; sweep < 3; ++sweep) {
    Vec next[2];
    for (int i = 0; i + 1 < n; ++i) {
      const Vec a = y[i], b = y[i + 1];
      const Vec first = pick(swapped[i], b, a), second = pick(swapped[i], a, b);
      next[0] = first;
      next[1] = second - mult[i] * first;
      y[i] = pick(alive, next[0], y[i]);
      y[i + 1] = pick(alive, next[1], y[i + 1]);
    }
    for (int i = n - 1; i >= 0; --i) {
      Vec value = y[i];
      if (i + 1 < n) value -= up1[i] * y[i + 1];
      if (i + 2 < n) value -= up2[i] * y[i + 2];
      y[i] = pick(alive, value / diag[i], y[i]);
    }
    Vec norm2 = zero;
    for (int i = 0; i < n; ++i) norm2 += y[i] * y[i];
    const Vec norm = vsqrt(norm2);
    alive &= (norm > 0) & finite(norm);
    const Vec divisor = pick(alive, norm, splat(1.0));
    for (int i = 0; i < n; ++i) y[i] = pick(alive, y[i] / divisor, y[i]);
  }
}

//! y <- Q y with Q = H_0 H_1 ... H_{n-3} the reflectors left in a.
void backTransform(int n, const Vec* a, const Tridiagonal& t, Vec* y) {
  for (int k = n - 3; k >= 0; --k) {
    Vec dot = y[k + 1];
    for (int i = k + 2; i < n; ++i) dot += a[at(i, k)] * y[i];
    const Vec factor = t.tau[k] * dot;
    y[k + 1] -= factor;
    for (int i = k + 2; i < n; ++i) y[i] -= factor * a[at(i, k)];
  }
}

//! Normalises y (the orientation is the caller's: pointsTheWrongWay, lane by lane).
void normaliseVectors(int n, Vec* y) {
  Vec norm2 = splat(0.0);
  for (int i = 0; i < n; ++i) norm2 += y[i] * y[i];
  const Vec norm = vsqrt(norm2);
  for (int i = 0; i < n; ++i) y[i] /= norm;
}

}  // namespace

/*!
 * Solves W matrices of order n >= 3 held as packed lower triangles, lane-interleaved
 * (element (i, j) of lane l at matrices[(i (i + 1) / 2 + j) W + l]); they are overwritten.
 * Writes first, second and last (W each) and the dominant vectors, of unit length and
 * lane-interleaved (component i of lane l at vectors[i W + l]). start is inverse iteration's first vector
 * (n values, the same for every lane); scratch holds 9 n W doubles. The lane-interleaved
 * pointers are aligned to W doubles.
 */
void solveLanes(int n, double* matrices, const double* start, double* scratch, double* first, double* second,
                double* last, double* vectors) {
  Vec* a = reinterpret_cast<Vec*>(__builtin_assume_aligned(matrices, sizeof(Vec)));
  Vec* s = reinterpret_cast<Vec*>(__builtin_assume_aligned(scratch, sizeof(Vec)));
  Vec* y = reinterpret_cast<Vec*>(__builtin_assume_aligned(vectors, sizeof(Vec)));
  // Lanes holding a value that is not finite give NaN everywhere.
  Mask bad = splat(0.0) != splat(0.0);
  const std::size_t entries = at(n - 1, n - 1) + 1;
  for (std::size_t k = 0; k < entries; ++k) bad |= ~finite(a[k]);
  for (std::size_t k = 0; k < entries; ++k) a[k] = pick(bad, splat(0.0), a[k]);

  Tridiagonal t;
  t.d = s;
  t.e = s + n;
  t.e2 = s + 2 * n;
  t.tau = s + 3 * n;
  tridiagonalise(n, a, s + 4 * n, s + 5 * n, t);
  normalise(n, t);
  Vec largest, secondLargest, smallest;
  threeEigenvalues(n, t, largest, secondLargest, smallest);
  inverseIteration(n, t, largest, start, s + 4 * n, y);
  backTransform(n, a, t, y);
  normaliseVectors(n, y);

  // The eigenvalues of a positive semi-definite matrix are its singular values; rounding
  // may leave the smallest a few units of rounding below 0, hence the absolute values.
  const Mask zeroMatrix = t.scale == 0;
  const Vec nan = splat(__builtin_nan("")), zero = splat(0.0);
  Vec* out[3] = {reinterpret_cast<Vec*>(first), reinterpret_cast<Vec*>(second), reinterpret_cast<Vec*>(last)};
  const Vec values[3] = {largest, secondLargest, smallest};
  for (int k = 0; k < 3; ++k) *out[k] = pick(bad, nan, pick(zeroMatrix, zero, vabs(values[k]) * t.scale));
  // The zero matrix: every vector is an eigenvector; take the first axis.
  for (int i = 0; i < n; ++i) y[i] = pick(bad, nan, pick(zeroMatrix, splat(i == 0 ? -1.0 : 0.0), y[i]));
}

}  // namespace BATCHED_NAMESPACE
}  // namespace vexa

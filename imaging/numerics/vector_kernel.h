// Loops over long vectors, compiled once per instruction set beside the batched solver
// (see batched_kernel.h for why nothing shared may be compiled here). Each keeps eight
// partial sums in a fixed order, so a result depends on the instruction set only through
// the rounding of products (and not at all for products of floats, which are exact in double).

namespace vexa {
namespace BATCHED_NAMESPACE {

namespace {

constexpr int kPartials = 8;

inline double combine(const double (&s)[kPartials]) {
  return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

}  // namespace

double dotDoubles(const double* a, const double* b, int n) {
  double s[kPartials] = {0, 0, 0, 0, 0, 0, 0, 0};
  int i = 0;
  for (; i + kPartials <= n; i += kPartials)
    for (int k = 0; k < kPartials; ++k) s[k] += a[i + k] * b[i + k];
  for (int k = 0; i < n; ++i, ++k) s[k] += a[i] * b[i];
  return combine(s);
}

double dotFloats(const float* a, const float* b, int n) {
  double s[kPartials] = {0, 0, 0, 0, 0, 0, 0, 0};
  int i = 0;
  for (; i + kPartials <= n; i += kPartials)
    for (int k = 0; k < kPartials; ++k) s[k] += static_cast<double>(a[i + k]) * static_cast<double>(b[i + k]);
  for (int k = 0; i < n; ++i, ++k) s[k] += static_cast<double>(a[i]) * static_cast<double>(b[i]);
  return combine(s);
}

void subtractMultiple(double c, const double* x, double* y, int n) {
  for (int i = 0; i < n; ++i) y[i] -= c * x[i];
}

void multiplySymmetric(const double* g, int m, const double* x, double* y) {
  for (int i = 0; i < m; ++i) y[i] = dotDoubles(g + static_cast<long>(i) * m, x, m);
}

// The products of floats are exact in double, so whether they are fused with the
// additions or not, these sums are the same on every instruction set; and each output is
// summed over its sources in their order, in one pass.

void sumOuterProducts(const float* const* m, int count, int n, double* lower) {
  long at = 0;
  for (int i = 0; i < n; ++i) {
    double* row = lower + at;
    const double m0 = m[0][i];
    for (int j = 0; j <= i; ++j) row[j] = m0 * static_cast<double>(m[0][j]);
    for (int k = 1; k < count; ++k) {
      const double mk = m[k][i];
      const float* other = m[k];
      for (int j = 0; j <= i; ++j) row[j] += mk * static_cast<double>(other[j]);
    }
    at += i + 1;
  }
}

void sumVectors(const double* const* from, int count, double* to, long n) {
  constexpr long kBlock = 512;  // a block of every source stays in the first-level cache
  for (long start = 0; start < n; start += kBlock) {
    const long end = start + kBlock < n ? start + kBlock : n;
    for (long i = start; i < end; ++i) to[i] = from[0][i];
    for (int k = 1; k < count; ++k) {
      const double* source = from[k];
      for (long i = start; i < end; ++i) to[i] += source[i];
    }
  }
}

}  // namespace BATCHED_NAMESPACE
}  // namespace vexa

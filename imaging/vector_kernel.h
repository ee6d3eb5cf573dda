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
// addition or not, these sums are the same on every instruction set.
void addOuterProduct(const float* m, int n, double* lower, bool assign) {
  long at = 0;
  for (int i = 0; i < n; ++i) {
    const double mi = m[i];
    double* row = lower + at;
    if (assign) {
      for (int j = 0; j <= i; ++j) row[j] = mi * static_cast<double>(m[j]);
    } else {
      for (int j = 0; j <= i; ++j) row[j] += mi * static_cast<double>(m[j]);
    }
    at += i + 1;
  }
}

void addVector(const double* from, double* to, long n, bool assign) {
  if (assign) {
    for (long i = 0; i < n; ++i) to[i] = from[i];
  } else {
    for (long i = 0; i < n; ++i) to[i] += from[i];
  }
}

}  // namespace BATCHED_NAMESPACE
}  // namespace vexa

#pragma once
// The few spectral quantities the local analysis reads from a positive semi-definite
// matrix, without a full decomposition: the largest, second largest and smallest
// eigenvalue, and the eigenvector of the largest.

#include <memory>
#include <vector>

namespace vexa {

struct Extremes {
  double first = 0;      //!< largest eigenvalue
  double second = 0;     //!< second largest (equal to first when n is 1)
  double last = 0;       //!< smallest
  bool positive = true;  //!< false when the matrix is not positive semi-definite to rounding
};

/*!
 * Reusable workspace for n x n symmetric matrices: Householder tridiagonalisation,
 * the three eigenvalues by Sturm-safeguarded Laguerre iteration, and the dominant
 * eigenvector by inverse iteration. Not for sharing between threads.
 */
class ExtremesSolver {
 public:
  explicit ExtremesSolver(int n);
  ~ExtremesSolver();
  ExtremesSolver(const ExtremesSolver&) = delete;
  ExtremesSolver& operator=(const ExtremesSolver&) = delete;

  int size() const { return _n; }
  /*!
   * Solves for the symmetric matrix whose column-major storage is a (n * n values;
   * only the lower triangle is read). The dominant eigenvector lands in vector (n values),
   * oriented so that its components sum to a negative number (the first non-zero one
   * negative when they sum to 0). Non-finite input gives NaN everywhere.
   */
  Extremes solve(const double* a, double* vector);

 private:
  struct Work;
  int _n;
  std::unique_ptr<Work> _work;
};

}  // namespace vexa

#pragma once
// The few spectral quantities the local analysis reads from a positive semi-definite
// matrix, without a full decomposition: the largest, second largest and smallest
// eigenvalue, and the eigenvector of the largest.

#include <memory>
#include <vector>

namespace vexa {

struct Extremes {
  double first = 0;   //!< largest eigenvalue
  double second = 0;  //!< second largest (equal to first when n is 1)
  double last = 0;    //!< smallest
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
   * Solves for the positive semi-definite matrix whose column-major storage is a (n * n
   * values; only the lower triangle is read). The dominant eigenvector lands in vector
   * (n values), oriented by pointsTheWrongWay's rule. Non-finite input gives NaN everywhere.
   */
  Extremes solve(const double* a, double* vector);

 private:
  struct Work;
  //! Non-finite input and n = 1: answers directly; false when there is work to do.
  bool trivialCase(const double* a, Extremes& out, double* vector) const;
  //! Householder tridiagonalisation, scaled to its largest entry; false for the zero matrix.
  bool tridiagonalise(const double* a);
  //! Largest, second largest and smallest eigenvalue of the scaled tridiagonal.
  void threeEigenvalues(double& largest, double& second, double& smallest) const;
  //! The scaled tridiagonal's unit eigenvector of its largest eigenvalue, by inverse iteration.
  void tridiagonalVector(double largest);
  //! The tridiagonal's vector taken back to the matrix, normalised and oriented.
  void backTransform(double* vector);

  int _n;
  std::unique_ptr<Work> _work;
};

}  // namespace vexa

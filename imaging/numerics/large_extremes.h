#pragma once
// The three extremes and the dominant vector of a positive semi-definite matrix too large
// to tridiagonalise once per voxel: a wide window's matrix of mean products at hundreds of
// frames.

#include <memory>
#include <vector>

#include "imaging/numerics/extremes.h"
#include "imaging/numerics/instruction_set.h"
#include "imaging/numerics/lanczos.h"
#include "imaging/numerics/vector_kernels.h"

namespace vexa {

//! How an answer was reached, for tests and benchmarks.
struct LargeExtremesSteps {
  int top = 0;            //!< Lanczos steps for the top two
  int smallest = 0;       //!< Lanczos steps on the inverse
  bool fellBack = false;  //!< the full solver answered
};

/*!
 * Reusable workspace for n x n matrices. Not for sharing between threads.
 *
 * The two largest eigenpairs come from Lanczos on the matrix (LanczosSolver); the smallest
 * from Lanczos on its inverse, applied through a Cholesky factor: about n^3 / 6
 * multiply-adds, against the 4/3 n^3 of a tridiagonalisation. A matrix singular to
 * rounding has no factor: the matrix shifted by 1e-8 of its largest value has one, and the
 * shift is taken away from its smallest. Where even that fails (an indefinite matrix) or
 * Lanczos cannot vouch for an answer, the full extremes solver answers instead.
 */
class LargeExtremes {
 public:
  explicit LargeExtremes(int n, InstructionSet set = detectedInstructionSet());

  /*!
   * Solves for the matrix whose packed lower triangle is packed (row i, i + 1 values, at
   * i (i + 1) / 2): the triangle stays in the second-level cache at a few hundred frames,
   * where the full square would not. start (n values or null) starts the search for the dominant vector: a neighbouring
   * cube's. singular: the caller knows the smallest eigenvalue is 0 (a matrix of demeaned courses, each orthogonal to
   * the constant), which is then not searched for. The dominant vector lands in vector, oriented by pointsTheWrongWay's
   * rule.
   */
  Extremes solve(const double* packed, const double* start, bool singular, double* vector,
                 LargeExtremesSteps* steps = nullptr);

 private:
  //! The smallest eigenvalue of packed + shift I, less shift (at least 0), by Lanczos on
  //! the inverse through a Cholesky factor; false when there is no factor or no answer.
  bool smallest(const double* packed, double shift, double largest, double& value, int& steps);
  //! The full solver's answer, for the matrix unpacked.
  Extremes solveFully(const double* packed, double* vector);

  int _n;
  const VectorKernels& _kernels;
  LanczosSolver _lanczos;
  std::unique_ptr<ExtremesSolver> _full;  // made when first needed
  std::vector<double> _start, _factor, _inverses, _square;
};

}  // namespace vexa

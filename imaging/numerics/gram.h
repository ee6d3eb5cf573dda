#pragma once
// The two largest eigenpairs of a positive semi-definite matrix of moderate order (a
// neighbourhood's Gram matrix), by Lanczos with full reorthogonalisation, and the full
// extremes solver where Lanczos cannot vouch for its answer.

#include <memory>
#include <vector>

#include "imaging/numerics/batched.h"
#include "imaging/numerics/extremes.h"

namespace vexa {

struct GramExtremes {
  double first = 0;       //!< largest eigenvalue
  double second = 0;      //!< second largest
  int steps = 0;          //!< Lanczos steps taken (0: solved directly)
  bool fellBack = false;  //!< the residual test failed and the full solver answered
};

/*!
 * Reusable workspace for symmetric matrices of order up to capacity. Not for sharing
 * between threads.
 */
class GramSolver {
 public:
  explicit GramSolver(int capacity, InstructionSet set = detectedInstructionSet());
  ~GramSolver();
  GramSolver(const GramSolver&) = delete;
  GramSolver& operator=(const GramSolver&) = delete;

  /*!
   * The two largest eigenvalues of the m x m matrix g (row-major, both halves; m >= 2)
   * and, in vector (m values), the eigenvector of the largest, of unit length and in no
   * particular orientation.
   *
   * Lanczos runs from a fixed start with every new vector made orthogonal to all the
   * earlier ones (twice), until the residuals of the top two Ritz pairs vouch for both
   * values to 1e-13 of the largest and for the vector to 1e-9 (its angle to the true one
   * is at most its residual over the gap to the second value). When they cannot within
   * 40 steps, or a second value next to the first escaped Lanczos, the full extremes
   * solver takes over. Small matrices go to the full solver at once. An order below 2 or
   * above the capacity throws std::invalid_argument.
   */
  GramExtremes solve(const double* g, int m, double* vector);

 private:
  struct Work;
  //! What the Ritz pairs of the first size Lanczos vectors say.
  struct Ritz {
    double first = 0, second = 0, scale = 0, gap = 0;
    bool vouched = false;    // the residuals vouch for both values and the vector
    bool exhausted = false;  // the basis spans an invariant subspace: the pairs are exact
  };
  //! Step j: the next vector's direction in the work vector; returns its length.
  double lanczosStep(const double* g, int m, int j);
  Ritz ritzPairs(int m, int size, double beta);
  //! The answer's vector, its own residual, and the check for a second value Lanczos missed.
  bool confirm(const double* g, int m, int size, const Ritz& ritz, double* vector);

  int _capacity;
  std::unique_ptr<Work> _work;
};

}  // namespace vexa

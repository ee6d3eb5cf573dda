#pragma once
// The Lanczos engine: the two largest eigenpairs of a positive semi-definite matrix or
// operator (a neighbourhood's Gram matrix, a wide window's matrix of mean products), or the
// largest eigenvalue of an inverse, by Lanczos with full reorthogonalisation; the full
// extremes solver answers where Lanczos cannot vouch for its answer.

#include <functional>
#include <memory>
#include <vector>

#include "imaging/numerics/batched.h"
#include "imaging/numerics/extremes.h"

namespace vexa {

struct LanczosExtremes {
  double first = 0;       //!< largest eigenvalue
  double second = 0;      //!< second largest
  int steps = 0;          //!< Lanczos steps taken (0: solved directly)
  bool fellBack = false;  //!< the residual test failed and the full solver answered
};

/*!
 * Reusable workspace for symmetric matrices of order up to capacity. Not for sharing
 * between threads.
 */
class LanczosSolver {
 public:
  //! maxSteps: the Lanczos steps taken before the full solver answers (or false is said).
  explicit LanczosSolver(int capacity, InstructionSet set = detectedInstructionSet(), int maxSteps = 40);
  ~LanczosSolver();
  LanczosSolver(const LanczosSolver&) = delete;
  LanczosSolver& operator=(const LanczosSolver&) = delete;

  /*!
   * The two largest eigenvalues of the m x m matrix g (row-major, both halves; m >= 2)
   * and, in vector (m values), the eigenvector of the largest, of unit length and in no
   * particular orientation.
   *
   * Lanczos runs from a fixed start with every new vector made orthogonal to all the
   * earlier ones (twice), until the residuals vouch for the largest value to 1e-13 of
   * itself and for its vector to 1e-9 (its angle to the true one is at most its residual
   * over the gap to the next value); then again, on the matrix with that vector's
   * direction taken out, for the second value to 1e-13 of the largest (see topTwo). When
   * they cannot within 40 steps each, or a value above the one found escaped Lanczos, the
   * full extremes solver takes over. Small matrices go to the full solver at once. An order below 2 or
   * above the capacity throws std::invalid_argument. A start (m values, not all 0) replaces
   * the fixed one: a neighbour's answer, near this one's, saves steps.
   */
  LanczosExtremes solve(const double* g, int m, double* vector, const double* start = nullptr);

  //! y = A x for an operator of order m.
  using Apply = std::function<void(const double* x, double* y)>;

  /*!
   * solve's Lanczos alone, on an operator (any m from 2 to the capacity): false, instead
   * of the full solver's answer, when it cannot vouch for one. valueTolerance: the error
   * bound wanted on both values, relative to the largest (solve's: 1e-13).
   *
   * The two values come from two searches. A single start vector's Krylov space holds only
   * one direction of a repeated eigenvalue, so a search for both at once reports the third
   * as the second where the top two are equal (a travelling wave, any cyclic pattern): the
   * largest is found first, with its vector, and the second is then the largest of the
   * matrix with that direction taken out, whatever their gap.
   */
  bool topTwo(const Apply& apply, int m, double* vector, const double* start, LanczosExtremes& out,
              double valueTolerance = 1e-13);

  /*!
   * The smallest eigenvalue of a positive definite matrix C of order m (m <= capacity),
   * given as inverse, which applies C^-1 (by a Cholesky factor, say), and C's largest
   * eigenvalue: Lanczos on C^-1, whose largest value is 1 / smallest. It stops once the
   * smallest is vouched for to 1e-11 of C's largest (dispersion to 1e-11) and its residual
   * is below 1e-5 of the value; false when it cannot vouch within its steps, or a value
   * above the one it found escaped it: the caller's exact solver answers then.
   */
  bool smallestByInverse(const Apply& inverse, int m, double largest, double& smallest, int* steps = nullptr);

 private:
  struct Work;
  //! What a search wants vouched for: the largest value (relative tolerance, or for the
  //! inverse, derived from C's largest), the second, the largest's vector.
  struct Wants {
    double valueTolerance = 0;
    double scale = 0;      // > 0: the tolerance is relative to this rather than the largest found
    double inverseOf = 0;  // > 0: the operator is C^-1 and this is C's largest eigenvalue
    bool second = true;
    bool vector = true;
    double* next = nullptr;  // given: the Ritz vector of the second value lands here (m values)
  };
  //! What the Ritz pairs of the first size Lanczos vectors say.
  struct Ritz {
    double first = 0, second = 0, scale = 0, gap = 0;
    bool vouched = false;    // the residuals vouch for what is wanted
    bool exhausted = false;  // the basis spans an invariant subspace: the pairs are exact
  };
  //! Lanczos on apply: true with out and vector (m values) set when the result is vouched for.
  bool lanczos(const Apply& apply, int m, const Wants& wants, LanczosExtremes& out, double* vector,
               const double* start = nullptr);
  //! Step j: the next vector's direction in the work vector; returns its length.
  double lanczosStep(const Apply& apply, int m, int j);
  Ritz ritzPairs(int m, int size, double beta, const Wants& wants);
  //! The answer's vector, its own residual, and the check for a value above the second that Lanczos missed.
  bool confirm(const Apply& apply, int m, int size, const Ritz& ritz, const Wants& wants, double* vector);

  int _capacity;
  int _maxSteps;
  std::unique_ptr<Work> _work;
};

}  // namespace vexa

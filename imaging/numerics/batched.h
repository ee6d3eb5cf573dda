#pragma once
// The extremes of several positive semi-definite matrices of one order at once, one per
// SIMD lane, with the widest instruction set the processor offers, chosen at run time.

#include <memory>
#include <string>
#include <vector>

#include "imaging/numerics/processor.h"

namespace vexa {

/*!
 * lanes() matrices of order n >= 3, decomposed together: for each, the largest, second
 * largest and smallest eigenvalue (absolute values: the singular values of a positive
 * semi-definite matrix) and the dominant eigenvector, oriented by pointsTheWrongWay's
 * rule. A lane's results do not depend on the other lanes. Lanes with a value that is not
 * finite give NaN. Not for sharing between threads.
 */
class BatchedExtremes {
 public:
  explicit BatchedExtremes(int n, InstructionSet set = detectedInstructionSet());
  ~BatchedExtremes();
  BatchedExtremes(const BatchedExtremes&) = delete;
  BatchedExtremes& operator=(const BatchedExtremes&) = delete;

  int order() const { return _n; }
  int lanes() const { return _lanes; }
  InstructionSet instructionSet() const { return _set; }

  /*!
   * The matrices, as packed lower triangles with the lanes interleaved: element (i, j),
   * j <= i, of lane l at [(i (i + 1) / 2 + j) lanes() + l]. solve() overwrites them.
   */
  double* matrices() { return _matrices; }
  //! Makes lane hold the identity: a harmless filler for lanes without a matrix.
  void fillIdentity(int lane);
  void solve();

  double first(int lane) const { return _first[lane]; }
  double second(int lane) const { return _second[lane]; }
  double last(int lane) const { return _last[lane]; }
  //! Component i of lane's dominant vector.
  double vector(int lane, int i) const { return _vectors[static_cast<std::size_t>(i) * _lanes + lane]; }

 private:
  int _n;
  int _lanes;
  InstructionSet _set;
  std::unique_ptr<double[]> _start;
  double* _block;  // one aligned allocation for all that follows
  double* _matrices;
  double* _scratch;
  double* _first;
  double* _second;
  double* _last;
  double* _vectors;
};

}  // namespace vexa

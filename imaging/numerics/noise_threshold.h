#pragma once
// The Marchenko-Pastur threshold of symmetric positive semi-definite matrices (the products
// of a window's courses), for denoising: the noise variance, the components standing above
// it and the projection onto them. The estimators are those of Veraart J. et al., NeuroImage
// 142 (2016) 394-406 (exp1), and Cordero-Grande L. et al., NeuroImage 200 (2019) 391-404
// (exp2).

#include <cstddef>
#include <memory>

#include "imaging/numerics/instruction_set.h"

namespace vexa {

enum class NoiseEstimator { Exp1, Exp2 };

/*!
 * The spectra a solver reads: of matrices of order `order`, the `used` largest eigenvalues
 * (the others are structural zeros: those of demeaned courses), of data matrices whose
 * larger side is `larger` (the frames or the window's courses, less one when demeaned).
 */
struct SpectrumShape {
  int order = 0;
  int used = 0;
  int larger = 0;
  NoiseEstimator estimator = NoiseEstimator::Exp2;
};

struct Threshold {
  int cut = 0;        //!< eigenvalues taken as noise, from the smallest used one
  double sigma2 = 0;  //!< the noise variance (0 where nothing is cut)
};

/*!
 * The threshold over order eigenvalues in ascending order (the first order - used being
 * structural zeros, skipped): the largest p (0 = the smallest used) with
 *   (lambda_p - lambda_0) / (4 sqrt gamma_p) < (lambda_0 + ... + lambda_p) / (p + 1),
 * each eigenvalue clipped at 0 and divided by `larger`, gamma_p = (p + 1) / larger (exp1)
 * or (p + 1) / (larger - used + p + 1) (exp2); cut is p + 1, sigma2 the right-hand side.
 */
Threshold marchenkoPastur(const double* ascending, const SpectrumShape& shape);

/*!
 * Thresholds and projections of several matrices of one shape at once, one per lane: fill
 * matrices(), solve(), read each lane's noise variance and rank, then, as often as wanted,
 * fill vectors() and project() them onto the lanes' signal components. Where nothing is
 * cut (the rule holds nowhere, or the matrix is 0), a projection leaves the vector as it
 * is. A lane's results do not depend on the other lanes. Not for sharing between threads.
 */
class SpectrumSolver {
 public:
  virtual ~SpectrumSolver();
  SpectrumSolver(const SpectrumSolver&) = delete;
  SpectrumSolver& operator=(const SpectrumSolver&) = delete;

  const SpectrumShape& shape() const { return _shape; }
  int lanes() const { return _lanes; }
  //! The matrices as packed lower triangles, lanes interleaved: element (i, j), j <= i, of
  //! lane l at [(i (i + 1) / 2 + j) lanes() + l]. solve() overwrites them.
  double* matrices() { return _matrices; }
  //! Makes lane hold the zero matrix: a filler for lanes without one.
  void fillZero(int lane);
  virtual void solve() = 0;
  double noiseVariance(int lane) const { return _sigma2[lane]; }
  int rank(int lane) const { return _rank[lane]; }
  //! The vectors to project: component i of lane l at [i lanes() + l].
  double* vectors() { return _vectors; }
  virtual void project() = 0;

 protected:
  SpectrumSolver(const SpectrumShape& shape, int lanes, std::size_t scratch);
  SpectrumShape _shape;
  int _lanes;
  double* _matrices;
  double* _vectors;
  double* _scratch;
  double* _sigma2;
  int* _rank;

 private:
  void* _block;
};

/*!
 * The solver for a shape on this instruction set: matrices of orders 3 to kLanesUpTo
 * several at a time in SIMD lanes (the Householder reduction, the eigenvalues from the
 * top down to the threshold by Sturm-guarded Laguerre steps, inverse iteration for the
 * components kept); the others one at a time.
 */
std::unique_ptr<SpectrumSolver> spectrumSolver(const SpectrumShape& shape, InstructionSet set);
//! Eigen's full decomposition, one matrix at a time: what the others are checked against.
std::unique_ptr<SpectrumSolver> exactSpectrumSolver(const SpectrumShape& shape);

constexpr int kLanesUpTo = 1024;

}  // namespace vexa

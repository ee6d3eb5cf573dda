#pragma once
// The unit eigenvector of a symmetric tridiagonal matrix for an eigenvalue known to within
// a few units of rounding: the LU factors of T - shift I with partial pivoting, then three
// solves from a start with no special direction.

#include <vector>

namespace vexa {

class InverseIteration {
 public:
  /*!
   * Factors T - shift I for the tridiagonal with diagonal d (n values) and off-diagonal e
   * (n - 1 values). A zero pivot (the shift is an eigenvalue to rounding) becomes tiny:
   * the solves then grow the eigenvector's direction enormously, which is what they want.
   */
  void factor(const double* d, const double* e, int n, double shift, double tiny);

  /*!
   * Three solves with the factors, each followed by normalisation, in place: y holds the
   * start (n values) and receives the vector. The shift being the eigenvalue to within a
   * few units of rounding, each solve multiplies the wanted direction by about 1 / (n eps)
   * against 1 / gap for the others, so three leave the others below rounding unless the
   * gap to the next eigenvalue is under about eps^(2/3) of the spectrum. For such clustered
   * tops the vector is only defined to about eps / gap anyway, and the result is a unit
   * vector of the cluster's span.
   */
  void solve(double* y) const;

 private:
  int _n = 0;
  // Rows of the factors hold diag, up1 and up2; multiplier and swapped record the elimination.
  std::vector<double> _diag, _up1, _up2, _multiplier;
  std::vector<char> _swapped;
};

}  // namespace vexa

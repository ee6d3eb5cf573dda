#pragma once
// Singular value decomposition of square matrices held as wrappers: x is the row, y the column.

#include "containers/vexadata.h"

template <class T>
class VexaSVD;

template <>
class VexaSVD<double> {
 public:
  /*!
   * Return mode 0: the full decomposition, by the symmetric route when the matrix is
   * exactly symmetric. Return mode 1: the caller vouches that the matrix is symmetric
   * (a mean-product matrix), so the symmetric route is taken without checking.
   */
  explicit VexaSVD(int returnMode = 0) : _returnMode(returnMode) {}

  int returnMode() const { return _returnMode; }
  void setReturnMode(int mode) { _returnMode = mode; }

  /*!
   * Decomposes the n x n matrix U = U' diag(W) V^T in place: U becomes the left singular
   * vectors (column k in y = k), V (when given) the right ones. Returns the n singular
   * values at x = 0 ... n-1, never negative. Each left vector is oriented so that its
   * components sum to a negative number (the first non-zero one negative when they sum
   * to 0). A matrix holding a non-finite value gives NaN everywhere.
   */
  VexaData<double> doit(VexaData<double>& U, VexaData<double>* V = nullptr);

  //! Orders W from largest to smallest, moving the columns of U (and V) with it.
  void sort(VexaData<double>& U, VexaData<double>& W, VexaData<double>* V = nullptr);

 private:
  int _returnMode;
};

#pragma once
// Loops over long vectors, in the widest instruction set the processor offers.

#include "imaging/numerics/instruction_set.h"

namespace vexa {

struct VectorKernels {
  double (*dotDoubles)(const double* a, const double* b, int n);
  //! Exact products of floats summed in double: the same result on every instruction set.
  double (*dotFloats)(const float* a, const float* b, int n);
  //! y -= c x
  void (*subtractMultiple)(double c, const double* x, double* y, int n);
  //! y = g x for the m x m matrix g, row-major
  void (*multiplyMatrix)(const double* g, int m, const double* x, double* y);
  //! lower = the sum of m[k] m[k]' over k < count, added in order, as a packed lower
  //! triangle (rows one after another); each m[k] has n values
  void (*sumOuterProducts)(const float* const* m, int count, int n, double* lower);
  //! to = the sum of from[k] over k < count, added in order
  void (*sumVectors)(const double* const* from, int count, double* to, long n);
  //! to = (to + entering) - leaving; either may be null
  void (*slideSum)(double* to, const double* entering, const double* leaving, long n);
  // Symmetric matrices of order n as their packed lower triangle (row i, i + 1 values, at
  // i (i + 1) / 2):
  //! packed = L L' in place, inverses (n values) = 1 / L(i, i); false when the matrix is
  //! not positive definite
  bool (*choleskyFactor)(double* packed, int n, double* inverses);
  //! x = (L L')^-1 x with L and inverses from choleskyFactor
  void (*choleskySolve)(const double* packed, const double* inverses, int n, double* x);
  //! y = A x
  void (*multiplyPacked)(const double* packed, int n, const double* x, double* y);
  //! packed += the sum over k < count of weights[k] c_k c_k', in order of k. The courses
  //! come as a panel: frames in blocks of eight (the last padded with zeros), each block
  //! holding, course after course, that course's eight values.
  void (*addOuterProducts)(const double* panel, const double* weights, int count, int n, double* packed);
};

//! The loops for an instruction set this processor runs (see batched.h for the choice).
const VectorKernels& vectorKernels(InstructionSet set);

}  // namespace vexa

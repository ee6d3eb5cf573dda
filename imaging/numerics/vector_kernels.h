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
};

//! The loops for an instruction set this processor runs (see batched.h for the choice).
const VectorKernels& vectorKernels(InstructionSet set);

}  // namespace vexa

#pragma once
// Loops over long vectors, in the widest instruction set the processor offers.

#include "imaging/instruction_set.h"

namespace vexa {

struct VectorKernels {
  double (*dotDoubles)(const double* a, const double* b, int n);
  //! Exact products of floats summed in double: the same result on every instruction set.
  double (*dotFloats)(const float* a, const float* b, int n);
  //! y -= c x
  void (*subtractMultiple)(double c, const double* x, double* y, int n);
  //! y = g x for the m x m matrix g, row-major
  void (*multiplySymmetric)(const double* g, int m, const double* x, double* y);
  //! lower (+)= m m' over the packed lower triangle (rows one after another), n = length of m
  void (*addOuterProduct)(const float* m, int n, double* lower, bool assign);
  //! to (+)= from
  void (*addVector)(const double* from, double* to, long n, bool assign);
};

//! The loops for an instruction set this processor runs (see batched.h for the choice).
const VectorKernels& vectorKernels(InstructionSet set);

}  // namespace vexa

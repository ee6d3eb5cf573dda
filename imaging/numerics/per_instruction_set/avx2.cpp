// The batched extremes and spectrum solvers and the vector loops, compiled for one instruction set.
// Nothing else may be compiled here: see batched_lanes.inc.
#define BATCHED_LANES 4
#define BATCHED_NAMESPACE avx2
#include "imaging/numerics/per_instruction_set/batched_lanes.inc"
#include "imaging/numerics/per_instruction_set/threshold_lanes.inc"
#include "imaging/numerics/per_instruction_set/vector_loops.inc"
#include "imaging/numerics/vector_kernels.h"

namespace vexa {

void solveLanes_avx2(int n, double* matrices, const double* start, double* scratch, double* first, double* second,
                     double* last, double* vectors) {
  avx2::solveLanes(n, matrices, start, scratch, first, second, last, vectors);
}

void spectrumLanes_avx2(int n, int used, int larger, bool exp1, double* matrices, double* scratch) {
  avx2::spectrumLanes(n, used, larger, exp1, matrices, scratch);
}

void keptLanes_avx2(int n, double* scratch, double* kept, const double* start, double* otherStart) {
  avx2::keptLanes(n, scratch, kept, start, otherStart);
}

void projectLanes_avx2(int n, const double* matrices, const double* scratch, const double* kept, double* vectors) {
  avx2::projectLanes(n, matrices, scratch, kept, vectors);
}

extern const VectorKernels vectorKernels_avx2 = {avx2::dotDoubles,     avx2::dotFloats,        avx2::subtractMultiple,
                                                 avx2::multiplyMatrix, avx2::sumOuterProducts, avx2::sumVectors,
                                                 avx2::slideSum,       avx2::choleskyFactor,   avx2::choleskySolve,
                                                 avx2::multiplyPacked, avx2::addOuterProducts};

}  // namespace vexa

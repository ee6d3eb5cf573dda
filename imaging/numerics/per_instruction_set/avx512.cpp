// The batched extremes and spectrum solvers and the vector loops, compiled for one instruction set.
// Nothing else may be compiled here: see batched_lanes.inc.
#define BATCHED_LANES 8
#define BATCHED_NAMESPACE avx512
#include "imaging/numerics/per_instruction_set/batched_lanes.inc"
#include "imaging/numerics/per_instruction_set/threshold_lanes.inc"
#include "imaging/numerics/per_instruction_set/vector_loops.inc"
#include "imaging/numerics/vector_kernels.h"

namespace vexa {

void solveLanes_avx512(int n, double* matrices, const double* start, double* scratch, double* first, double* second,
                       double* last, double* vectors) {
  avx512::solveLanes(n, matrices, start, scratch, first, second, last, vectors);
}

void spectrumLanes_avx512(int n, int used, int larger, bool exp1, double* matrices, double* scratch) {
  avx512::spectrumLanes(n, used, larger, exp1, matrices, scratch);
}

void keptLanes_avx512(int n, double* scratch, double* kept, const double* start, double* otherStart) {
  avx512::keptLanes(n, scratch, kept, start, otherStart);
}

void projectLanes_avx512(int n, const double* matrices, const double* scratch, const double* kept, double* vectors) {
  avx512::projectLanes(n, matrices, scratch, kept, vectors);
}

extern const VectorKernels vectorKernels_avx512 = {
    avx512::dotDoubles,       avx512::dotFloats,      avx512::subtractMultiple, avx512::multiplyMatrix,
    avx512::sumOuterProducts, avx512::sumVectors,     avx512::slideSum,         avx512::choleskyFactor,
    avx512::choleskySolve,    avx512::multiplyPacked, avx512::addOuterProducts};

}  // namespace vexa

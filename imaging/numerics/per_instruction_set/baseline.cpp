// The batched extremes and spectrum solvers and the vector loops, compiled for one instruction set.
// Nothing else may be compiled here: see batched_lanes.inc.
#define BATCHED_LANES 2
#define BATCHED_NAMESPACE baseline
#include "imaging/numerics/per_instruction_set/batched_lanes.inc"
#include "imaging/numerics/per_instruction_set/threshold_lanes.inc"
#include "imaging/numerics/per_instruction_set/vector_loops.inc"
#include "imaging/numerics/vector_kernels.h"

namespace vexa {

void solveLanes_baseline(int n, double* matrices, const double* start, double* scratch, double* first, double* second,
                         double* last, double* vectors) {
  baseline::solveLanes(n, matrices, start, scratch, first, second, last, vectors);
}

void spectrumLanes_baseline(int n, int used, int larger, bool exp1, double* matrices, double* scratch) {
  baseline::spectrumLanes(n, used, larger, exp1, matrices, scratch);
}

void keptLanes_baseline(int n, double* scratch, double* kept, const double* start, double* otherStart) {
  baseline::keptLanes(n, scratch, kept, start, otherStart);
}

void projectLanes_baseline(int n, const double* matrices, const double* scratch, const double* kept, double* vectors) {
  baseline::projectLanes(n, matrices, scratch, kept, vectors);
}

extern const VectorKernels vectorKernels_baseline = {
    baseline::dotDoubles,       baseline::dotFloats,      baseline::subtractMultiple, baseline::multiplyMatrix,
    baseline::sumOuterProducts, baseline::sumVectors,     baseline::slideSum,         baseline::choleskyFactor,
    baseline::choleskySolve,    baseline::multiplyPacked, baseline::addOuterProducts};

}  // namespace vexa

// The batched extremes solver and the vector loops, compiled for one instruction set
// (see batched_kernel.h).
#define BATCHED_LANES 2
#define BATCHED_NAMESPACE baseline
#include "imaging/numerics/batched_kernel.h"
#include "imaging/numerics/vector_kernel.h"
#include "imaging/numerics/vector_kernels.h"

namespace vexa {

void solveLanes_baseline(int n, double* matrices, const double* start, double* scratch, double* first, double* second,
                         double* last, double* vectors) {
  baseline::solveLanes(n, matrices, start, scratch, first, second, last, vectors);
}

extern const VectorKernels vectorKernels_baseline = {baseline::dotDoubles,       baseline::dotFloats,
                                                     baseline::subtractMultiple, baseline::multiplySymmetric,
                                                     baseline::sumOuterProducts, baseline::sumVectors};

}  // namespace vexa

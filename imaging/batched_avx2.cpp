// The batched extremes solver compiled for one instruction set (see batched_kernel.h).
#define BATCHED_LANES 4
#define BATCHED_NAMESPACE avx2
#include "imaging/batched_kernel.h"

namespace vexa {

void solveLanes_avx2(int n, double* matrices, const double* start, double* scratch, double* first, double* second,
                     double* last, double* vectors) {
  avx2::solveLanes(n, matrices, start, scratch, first, second, last, vectors);
}

}  // namespace vexa

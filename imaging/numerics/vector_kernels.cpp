#include "imaging/numerics/vector_kernels.h"

#include <stdexcept>

#include "imaging/numerics/processor.h"

namespace vexa {

// Defined once per instruction set, in per_instruction_set/.
extern const VectorKernels vectorKernels_avx512, vectorKernels_avx2, vectorKernels_baseline;

const VectorKernels& vectorKernels(InstructionSet set) {
  if (!processorSupports(set)) throw std::invalid_argument("this processor cannot run " + nameOf(set));
  switch (set) {
    case InstructionSet::Avx512:
      return vectorKernels_avx512;
    case InstructionSet::Avx2:
      return vectorKernels_avx2;
    default:
      return vectorKernels_baseline;
  }
}

}  // namespace vexa

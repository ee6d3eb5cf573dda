#include "imaging/numerics/processor.h"

namespace vexa {

bool processorSupports(InstructionSet set) {
  __builtin_cpu_init();
  switch (set) {
    case InstructionSet::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("fma");
    case InstructionSet::Avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    default:
      return true;
  }
}

InstructionSet detectedInstructionSet() {
  static const InstructionSet best = processorSupports(InstructionSet::Avx512) ? InstructionSet::Avx512
                                     : processorSupports(InstructionSet::Avx2) ? InstructionSet::Avx2
                                                                               : InstructionSet::Baseline;
  return best;
}

std::vector<InstructionSet> supportedInstructionSets() {
  std::vector<InstructionSet> sets;
  for (InstructionSet set : {InstructionSet::Baseline, InstructionSet::Avx2, InstructionSet::Avx512}) {
    if (processorSupports(set)) sets.push_back(set);
  }
  return sets;
}

std::string nameOf(InstructionSet set) {
  switch (set) {
    case InstructionSet::Avx512:
      return "AVX-512";
    case InstructionSet::Avx2:
      return "AVX2";
    default:
      return "baseline";
  }
}

}  // namespace vexa

#pragma once
// Which instruction sets this processor runs, and which one the hot loops use.

#include <string>
#include <vector>

#include "imaging/numerics/instruction_set.h"

namespace vexa {

//! True when this processor runs set: AVX-512 needs F, DQ and VL with FMA; AVX2 needs FMA.
bool processorSupports(InstructionSet set);
//! The widest set this processor runs: AVX-512 (F, DQ, VL), AVX2 with FMA, or baseline x86-64.
InstructionSet detectedInstructionSet();
//! Every set this processor runs, narrowest first.
std::vector<InstructionSet> supportedInstructionSets();
std::string nameOf(InstructionSet set);

}  // namespace vexa

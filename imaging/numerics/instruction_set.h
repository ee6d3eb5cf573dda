#pragma once
// The instruction sets the hot loops are compiled for. This header includes nothing: the
// files compiled for a set include it, and must not compile shared code with that set.

namespace vexa {

enum class InstructionSet { Baseline, Avx2, Avx512 };

}  // namespace vexa

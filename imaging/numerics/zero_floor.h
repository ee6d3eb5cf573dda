#pragma once
// Shared by the threshold's scalar and SIMD forms; nothing here may be compiled into code
// (the SIMD files include it).

namespace vexa {

/*!
 * Eigenvalues up to this fraction of the trace are taken as 0 by the Marchenko-Pastur rule:
 * what rounding leaves of exact zeros (zero courses in a window, background beside a
 * skull-stripped brain), well above any solver's rounding and well below any noise a
 * float32 series can hold. Without it the rule reads rounding as noise, and its answer
 * there depends on the solver.
 */
constexpr double kZeroFloor = 1e-11;

}  // namespace vexa

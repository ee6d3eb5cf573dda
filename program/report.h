#pragma once
// What the program prints on standard output: the input's header, then a line as each
// stage ends.

#include <string>

#include "containers/vexadata.h"

namespace mirlune {

// The stage lines, exactly as scripts expect them (French, as the program has always
// printed them: the mask, the records, the local analysis, the outputs written).
extern const char* const kMaskDone;      // " masque ok "
extern const char* const kRecordsDone;   // "serie global PCA  ok "
extern const char* const kAnalysisDone;  // " ANALYSE LOCALE PCA OK"
extern const char* const kOutputsDone;   // " ecriture cartes et nouveau rat  OK"

//! The "volume dims: " and "voxel size : " lines of the input's header.
std::string headerReport(const VexaData<float>& input);

}  // namespace mirlune

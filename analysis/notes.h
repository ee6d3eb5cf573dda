#pragma once
// What an analysis says of its input when it succeeds but tells its user little: the notes
// both front ends give (the program's warning line and sidecars, the Python module's
// Result.notes).

#include <string>
#include <vector>

#include "analysis/pipeline.h"

namespace mirlune {

//! The facts of a finished analysis that its notes rest on.
struct AnalysisFacts {
  int frames = 0;
  WindowSides window = kDefaultWindow;  //!< the cube's sides
  bool demeaned = false;                //!< courses less their means
  long long maskVoxels = 0;
  long long analysedVoxels = 0;
  long long nonFiniteVoxels = 0;  //!< left out for a sample that is not a finite number
  long long fewerThanFrames = 0;  //!< analysed voxels whose cube held fewer voxels than frames
  bool denoised = false;          //!< the series was denoised too
  vexa::NoiseEstimator estimator = vexa::NoiseEstimator::Exp2;
  long long denoisedVoxels = 0;
};

//! The facts of run, an analysis of a series of frames with options.
AnalysisFacts factsOf(const SeriesAnalysis& run, int frames, const AnalysisOptions& options);

/*!
 * Why a run that succeeds tells its user little: an empty mask, no analysed voxel, a
 * single frame, two frames demeaned, a mask of fewer voxels than frames, or most analysed
 * cubes (more than half) holding fewer voxels than frames. Empty when none.
 */
std::vector<std::string> degenerateReasons(const AnalysisFacts& facts);

//! "N voxels with a sample that is not a finite number ... left out of the analysis".
std::string nonFiniteNote(long long voxels);

//! Everything a run must say of its input, each a phrase: non-finite samples left out, then
//! the degenerate reasons.
std::vector<std::string> runNotes(const AnalysisFacts& facts);

}  // namespace mirlune

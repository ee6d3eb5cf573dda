#include "analysis/notes.h"

#include <algorithm>

namespace mirlune {

AnalysisFacts factsOf(const SeriesAnalysis& run, int frames, const AnalysisOptions& options) {
  AnalysisFacts facts;
  facts.frames = frames;
  facts.windowSide = options.windowSide;
  facts.demeaned = options.demean;
  facts.maskVoxels = run.maskCount;
  facts.analysedVoxels = run.maps.analysed;
  facts.nonFiniteVoxels = run.nonFinite;
  facts.fewerThanFrames = run.maps.fewerThanFrames;
  return facts;
}

std::string nonFiniteNote(long long voxels) {
  return std::to_string(voxels) + (voxels == 1 ? " voxel" : " voxels") +
         " with a sample that is not a finite number (NaN or infinite) left out of the analysis";
}

std::vector<std::string> degenerateReasons(const AnalysisFacts& facts) {
  std::vector<std::string> reasons;
  if (facts.maskVoxels == 0) {
    reasons.push_back("the mask is empty: nothing was analysed");
  } else if (facts.analysedVoxels == 0) {
    reasons.push_back("no voxel was analysed: no mask voxel has another in its cube");
  }
  if (facts.frames == 1) reasons.push_back("the series has a single frame: the maps say nothing of time courses");
  if (facts.analysedVoxels > 0 && facts.fewerThanFrames == facts.analysedVoxels && facts.frames > 1) {
    // A wider window: the one whose whole cube holds more voxels than frames, or, where
    // the mask leaves cubes far from whole, the next.
    const int whole = autoSide(facts.frames);
    const int side = whole > 0 ? std::max(facts.windowSide + 2, whole) : 0;
    const std::string wider = side > 0 && side <= kMostSide ? "a wider window: -window " + std::to_string(side)
                                                            : "no window is wider: fewer frames, or a larger mask";
    reasons.push_back(
        "every analysed cube holds fewer voxels than the series has frames, so dispersion is 0 "
        "everywhere (" +
        wider + ")");
  }
  return reasons;
}

std::vector<std::string> runNotes(const AnalysisFacts& facts) {
  std::vector<std::string> notes;
  if (facts.nonFiniteVoxels > 0) notes.push_back(nonFiniteNote(facts.nonFiniteVoxels));
  for (const std::string& reason : degenerateReasons(facts)) notes.push_back(reason);
  return notes;
}

}  // namespace mirlune

#include "analysis/notes.h"

#include <algorithm>

namespace mirlune {

AnalysisFacts factsOf(const SeriesAnalysis& run, int frames, const AnalysisOptions& options) {
  AnalysisFacts facts;
  facts.frames = frames;
  facts.window = options.window;
  facts.demeaned = options.demean;
  facts.maskVoxels = run.maskCount;
  facts.analysedVoxels = run.maps.analysed;
  facts.nonFiniteVoxels = run.nonFinite;
  facts.fewerThanFrames = run.maps.fewerThanFrames;
  facts.denoised = run.withDenoised;
  facts.estimator = options.estimator;
  facts.denoisedVoxels = run.denoised.voxels;
  return facts;
}

std::string nonFiniteNote(long long voxels) {
  return std::to_string(voxels) + (voxels == 1 ? " voxel" : " voxels") +
         " with a sample that is not a finite number (NaN or infinite) left out of the analysis";
}

namespace {

// A wider window: the one whose whole cube holds more voxels than frames, or, where the mask
// leaves cubes far from whole, the next; none past the widest.
std::string widerWindow(const AnalysisFacts& facts) {
  const int whole = autoSide(facts.frames);
  const int widest = std::max({facts.window[0], facts.window[1], facts.window[2]});
  const int side = whole > 0 ? std::max(widest + 2, whole) : 0;
  return side > 0 && side <= kMostSide ? "a wider window: -window " + std::to_string(side)
                                       : "no window is wider: fewer frames, or a larger mask";
}

}  // namespace

std::vector<std::string> degenerateReasons(const AnalysisFacts& facts) {
  std::vector<std::string> reasons;
  if (facts.maskVoxels == 0) {
    reasons.push_back("the mask is empty: nothing was analysed");
  } else if (facts.analysedVoxels == 0) {
    reasons.push_back("no voxel was analysed: no mask voxel has another in its cube");
  }
  if (facts.frames == 1) reasons.push_back("the series has a single frame: the maps say nothing of time courses");
  if (facts.analysedVoxels == 0 || facts.frames < 2) return reasons;
  if (facts.frames == 2 && facts.demeaned) {
    reasons.push_back(
        "the series has two frames and its courses are demeaned: each cube's courses span one direction, so "
        "dispersion and dispersion2 are 0 everywhere");
  } else if (facts.maskVoxels < facts.frames) {
    // No cube can hold more voxels than the mask: no window helps.
    reasons.push_back("the mask holds " + std::to_string(facts.maskVoxels) + " voxels, fewer than the series' " +
                      std::to_string(facts.frames) +
                      " frames: every cube holds fewer voxels than frames, so dispersion is 0 everywhere, whatever "
                      "the window");
  } else if (facts.fewerThanFrames == facts.analysedVoxels) {
    reasons.push_back(
        "every analysed cube holds fewer voxels than the series has frames, so dispersion is 0 "
        "everywhere (" +
        widerWindow(facts) + ")");
  } else if (2 * facts.fewerThanFrames > facts.analysedVoxels) {
    reasons.push_back(std::to_string(facts.fewerThanFrames) + " of " + std::to_string(facts.analysedVoxels) +
                      " analysed cubes hold fewer voxels than the series has frames, so dispersion is 0 there (" +
                      widerWindow(facts) + ")");
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

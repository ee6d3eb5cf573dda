#pragma once
// Denoising by the Marchenko-Pastur law on the same local windows: at each voxel the mask
// selects, the matrix of the window's courses, its noise level and the components above
// it, and the voxel's course projected onto them (Veraart J. et al., NeuroImage 142 (2016)
// 394-406; Cordero-Grande L. et al., NeuroImage 200 (2019) 391-404).

#include <atomic>

#include "analysis/stages.h"
#include "imaging/numerics/noise_threshold.h"

namespace mirlune {

struct DenoiseOptions {
  int threads = 0;                      //!< worker threads; 0: every usable CPU
  WindowSides window = kDefaultWindow;  //!< the window's sides, each odd, 3 to kMostSide
  vexa::NoiseEstimator estimator = vexa::NoiseEstimator::Exp2;
  //! Each window's mean course taken out before the decomposition and put back after (fMRI).
  bool demean = false;
  //! Eigen's full decomposition at every window, each matrix made afresh: the reference.
  bool exact = false;
  norbe::Progress progress;
  const std::atomic<bool>* stop = nullptr;  //!< as AnalysisOptions::stop
  vexa::InstructionSet instructionSet = vexa::detectedInstructionSet();
};

struct DenoisedSeries {
  VexaData<float> series;  //!< the input's frames and timing; 0 outside the mask
  VexaData<float> noise;   //!< the noise level (sigma) at each denoised voxel
  VexaData<short> rank;    //!< the components kept as signal at each denoised voxel
  long long voxels = 0;    //!< voxels denoised
};

/*!
 * Denoises the mask's voxels of input. Each voxel's window is the cube of the given sides
 * around it, moved inside the image where the image ends (an axis shorter than its side
 * is taken whole); it holds every voxel of the image there, in or out of the mask, their
 * samples that are not finite numbers taken as 0. Of the window's matrix (frames by
 * voxels), the product with the smaller order is decomposed. The result does not depend
 * on the number of workers, bit for bit.
 */
DenoisedSeries denoiseSeries(const SeriesGeometry& geometry, const VexaData<float>& input, const VexaData<short>& mask,
                             const DenoiseOptions& options);

//! The estimator named as -estimator takes it ("exp1", "exp2"); std::runtime_error otherwise.
vexa::NoiseEstimator estimatorNamed(const std::string& name);
//! Its name as -estimator takes it.
const char* estimatorName(vexa::NoiseEstimator estimator);

}  // namespace mirlune

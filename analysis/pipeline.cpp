#include "analysis/pipeline.h"

namespace mirlune {

SeriesAnalysis analyseSeries(VexaData<float>& input, const VexaData<float>* maskImage, const std::string& seriesName,
                             const std::string& maskName, const AnalysisOptions& options,
                             const std::function<void(Stage, SeriesAnalysis&)>& stageDone) {
  const SeriesGeometry geometry = SeriesGeometry::of(input);
  SeriesAnalysis run;
  if (maskImage) {
    run.mask = maskFromImage(geometry, seriesName, *maskImage, maskName, run.maskCount);
    run.nonFinite = leaveOutNonFinite(input, run.mask, run.maskCount);
  } else {
    run.mask = buildMask(input, run.maskCount, &run.nonFinite);
  }
  if (stageDone) stageDone(Stage::Mask, run);

  if (options.denoise) {
    DenoiseOptions denoising;
    denoising.threads = options.threads;
    denoising.window = options.window;
    denoising.estimator = options.estimator;
    denoising.demean = options.demean;
    denoising.progress = options.progress;
    denoising.stop = options.stop;
    denoising.instructionSet = options.instructionSet;
    denoising.exact = options.reference;
    run.denoised = denoiseSeries(geometry, input, run.mask, denoising);
    run.withDenoised = true;
    if (stageDone) stageDone(Stage::Denoised, run);
  }
  if (!options.maps) return run;

  const VexaData<Individu> serie = gatherRecords(input, run.mask, run.maskCount, options.threads);
  if (stageDone) stageDone(Stage::Records, run);
  // The records hold every intensity the analysis reads: the series' storage goes back
  // before the outputs are made.
  input = VexaData<float>();

  run.maps = analyseLocally(geometry, run.mask, serie, options);
  if (stageDone) stageDone(Stage::Analysis, run);
  return run;
}

}  // namespace mirlune

#pragma once
// The analysis of a series in memory, stage after stage: the mask, the records, the local
// analysis. The program and the Python module both run it.

#include <functional>
#include <string>

#include "analysis/denoise.h"
#include "analysis/stages.h"

namespace mirlune {

//! The stages, in the order they end.
enum class Stage { Mask, Denoised, Records, Analysis };

struct SeriesAnalysis {
  VexaData<short> mask;
  int maskCount = 0;
  long long nonFinite = 0;  //!< voxels left out for a sample that is not a finite number
  LocalMaps maps;
  DenoisedSeries denoised;  //!< with AnalysisOptions::denoise
  bool withDenoised = false;
};

/*!
 * The mask (the built-in rule, or the voxels non-zero in maskImage when given, which must
 * be on the series' grid: std::runtime_error naming seriesName and maskName otherwise),
 * less voxels with non-finite samples; the denoised series, when asked for; the records;
 * the local analysis. input is released
 * once the records hold its values (it may be large). stageDone is called as each stage
 * ends, with what has been made so far, which it may take (the denoised series, once written).
 */
SeriesAnalysis analyseSeries(VexaData<float>& input, const VexaData<float>* maskImage, const std::string& seriesName,
                             const std::string& maskName, const AnalysisOptions& options,
                             const std::function<void(Stage, SeriesAnalysis&)>& stageDone = {});

}  // namespace mirlune

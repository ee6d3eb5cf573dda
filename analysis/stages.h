#pragma once
// The stages of a Mirlune run, each a function of its inputs; the driver prints.

#include <functional>
#include <string>

#include "analysis/individu.h"
#include "containers/vexadata.h"

namespace mirlune {

// The progress lines, exactly as scripts expect them.
extern const char* const kMaskDone;      // " masque ok "
extern const char* const kRecordsDone;   // "serie global PCA  ok "
extern const char* const kAnalysisDone;  // " ANALYSE LOCALE PCA OK"
extern const char* const kOutputsDone;   // " ecriture cartes et nouveau rat  OK"

//! The worker threads to use when asked for asked (0: all hardware threads).
int workerThreads(int asked);

//! The "volume dims: " and "voxel size : " lines of the input's header.
std::string headerReport(VexaData<float>& input);

//! Refuses extents the records cannot hold (positions are 16-bit).
void checkExtents(const VexaData<float>& input);

//! 1 at every voxel positive in the middle frame and non-zero in all frames; count in maskCount.
VexaData<short> buildMask(const VexaData<float>& input, int& maskCount);

//! One record per mask voxel, in raster order (x fastest), on threads workers (0: all cores).
VexaData<Individu> gatherRecords(const VexaData<float>& input, const VexaData<short>& mask, int maskCount,
                                 int threads = 1);

struct LocalMaps {
  VexaData<double> disparite;    //!< s_first - s_last
  VexaData<double> dispersion;   //!< s_last / s_first
  VexaData<double> dispersion2;  //!< s_second / s_first
  VexaData<float> ratFiltre;     //!< the negated dominant singular vector, frame by frame
};

//! Called now and then from the calling thread with (voxels done, voxels in all).
using Progress = std::function<void(int, int)>;

struct AnalysisOptions {
  int threads = 0;  //!< worker threads; 0: all hardware threads
  //! Walk each record's neighbourhood and decompose fully, as plainly as possible:
  //! slower, kept as the reference the fast route is checked against.
  bool reference = false;
  Progress progress;
};

/*!
 * The local principal component analysis around every record. The result does not
 * depend on the number of workers, bit for bit. The fast route reads the records and
 * only the shape, voxel size and placement of input, whose voxels may be released.
 */
LocalMaps analyseLocally(const VexaData<float>& input, const VexaData<short>& mask, const VexaData<Individu>& serie,
                         const AnalysisOptions& options = {});

//! Writes "ratFiltre", "disparite", "dispersion" and "dispersion2", each on up to threads threads.
void writeOutputs(const LocalMaps& maps, int threads = 1);

//! Carries the input's placement in space onto an output's header.
template <class T>
void copyOrientation(VexaData<float>& from, VexaData<T>& to);

}  // namespace mirlune

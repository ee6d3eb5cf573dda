#pragma once
// The stages of a Mirlune run, each a function of its inputs; the driver prints.

#include <array>
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "analysis/individu.h"
#include "containers/vexadata.h"
#include "imaging/numerics/batched.h"
#include "imaging/numerics/noise_threshold.h"
#include "imaging/run/parallel.h"

namespace mirlune {

/*!
 * Refuses extents the records cannot hold (positions are 16-bit) and more frames than the
 * filtered series' file can hold; extents are x, y, z and frames as the header gives them,
 * so that this is known before anything is read or analysed.
 */
void checkExtents(const std::array<std::int64_t, 4>& extents);

//! What every output takes from the input: its grid, voxel size and placement in space.
struct SeriesGeometry {
  int sizeX = 0, sizeY = 0, sizeZ = 0, frames = 0;
  float voxelX = 1, voxelY = 1, voxelZ = 1;
  //! The header properties that place the input in space, as the reader gave them.
  std::vector<std::pair<std::string, norbe::Object>> placement;
  //! The input's timing, which the filtered series keeps: the frame spacing (its fourth
  //! voxel size, 1 when it has none), the time of the first frame and the dim_info byte.
  float frameSpacing = 1;
  float timeOffset = 0;
  int dimInfo = 0;

  static SeriesGeometry of(const VexaData<float>& input);
};

/*!
 * A new output on the input's grid with the given number of frames: every voxel 0, the
 * voxel size [x, y, z, 1.0] and the input's placement in its header.
 */
template <class T>
VexaData<T> newOutput(const SeriesGeometry& geometry, int frames,
                      const norbe::AllocatorContext& context = norbe::AllocatorContext());

//! Gives a series output the input's timing: its frame spacing, first frame's time and dim_info.
void keepTiming(const SeriesGeometry& geometry, VexaData<float>& series);

/*!
 * 1 at every voxel positive in the middle frame and non-zero in all frames, unless one of
 * its samples is not a finite number; count in maskCount, and in nonFinite (when given)
 * the voxels left out for such a sample.
 */
VexaData<short> buildMask(const VexaData<float>& input, int& maskCount, long long* nonFinite = nullptr);

//! Takes out of mask the voxels with a sample that is not a finite number; returns how many.
long long leaveOutNonFinite(const VexaData<float>& input, VexaData<short>& mask, int& maskCount);

/*!
 * The user's mask: 1 where image holds a number other than 0, 0 elsewhere (a not-a-number
 * is outside); count in maskCount. The image must have the series' x, y and z extents and
 * one frame, and, when both carry a placement in space, the same one to rounding;
 * otherwise std::runtime_error names both files.
 */
VexaData<short> maskFromImage(const SeriesGeometry& series, const std::string& seriesName, const VexaData<float>& image,
                              const std::string& imageName, int& maskCount);

//! One record per mask voxel, in raster order (x fastest), on threads workers (0: every usable CPU).
VexaData<Individu> gatherRecords(const VexaData<float>& input, const VexaData<short>& mask, int maskCount,
                                 int threads = 1);

//! The window's side by default, and the widest one.
constexpr int kDefaultSide = 5;
constexpr int kMostSide = 15;

//! The sides of the cube around each voxel, along x, y and z: each odd, 3 to kMostSide.
using WindowSides = std::array<int, 3>;
constexpr WindowSides kDefaultWindow = {kDefaultSide, kDefaultSide, kDefaultSide};

/*!
 * The side the "auto" window takes: the smallest odd side from 3 whose cube holds more
 * voxels than the series has frames (7 for 200 frames, 11 for 1,000); 0 when even the
 * widest cannot.
 */
int autoSide(int frames);

/*!
 * The cube's sides for a series of frames as asked ("" for the default, a side, three sides
 * "x,y,z" for thick slices, or "auto"); std::runtime_error, in the words -window uses, for
 * one that cannot be used.
 */
WindowSides windowSidesFor(const std::string& asked, long long frames);

//! The sides as -window takes them: "7", or "5,5,3".
std::string windowText(const WindowSides& sides);
//! The cube as words use it: "7 x 7 x 7".
std::string cubeText(const WindowSides& sides);

struct LocalMaps {
  VexaData<double> disparite;     //!< s_first - s_last
  VexaData<double> dispersion;    //!< s_last / s_first
  VexaData<double> dispersion2;   //!< s_second / s_first
  VexaData<float> ratFiltre;      //!< the negated dominant singular vector, frame by frame
  VexaData<short> voisins;        //!< mask voxels in each analysed voxel's cube, when asked for
  bool withVoisins = false;       //!< voisins was asked for
  bool demeaned = false;          //!< of demeaned courses: ratFiltre is oriented by its largest frame
  long long analysed = 0;         //!< mask voxels whose cube held another mask voxel
  long long fewerThanFrames = 0;  //!< analysed voxels whose cube held fewer voxels than frames
};

struct AnalysisOptions {
  int threads = 0;                      //!< worker threads; 0: every usable CPU
  WindowSides window = kDefaultWindow;  //!< the cube's sides, each odd, 3 to kMostSide
  bool demean = false;                  //!< each course less its mean over frames before the products
  bool voisins = false;                 //!< make the voisins map (LocalMaps::voisins)
  //! Also denoise the series (analysis/denoise.h), with this estimator, over the same window.
  bool denoise = false;
  vexa::NoiseEstimator estimator = vexa::NoiseEstimator::Exp2;
  //! false: the mask and the denoised series only, no records and no maps (Python's denoise()).
  bool maps = true;
  //! Walk each record's neighbourhood and decompose fully, as plainly as possible:
  //! slower, kept as the reference the fast route is checked against.
  bool reference = false;
  //! Bytes of scratch a route may keep (0: half the series); tests make it small to force tiles.
  double scratchBudget = 0;
  //! Called now and then with (voxels done, voxels in all).
  norbe::Progress progress;
  //! When given, the analysis looks at it before every row of voxels (every voxel where
  //! each is long) and, once it is true, ends by throwing Stopped: a caller that cannot be
  //! interrupted by a signal (the Python module) stops it within milliseconds.
  const std::atomic<bool>* stop = nullptr;
  //! The instruction set of the hot loops: the widest the processor runs, unless a test asks.
  vexa::InstructionSet instructionSet = vexa::detectedInstructionSet();
};

//! What the analysis throws when AnalysisOptions::stop asks it to end.
struct Stopped : std::runtime_error {
  Stopped() : std::runtime_error("the analysis was stopped") {}
};

/*!
 * The local principal component analysis around every record of serie, whose records
 * carry every intensity it reads; geometry shapes and places the maps. The result does
 * not depend on the number of workers, bit for bit.
 */
LocalMaps analyseLocally(const SeriesGeometry& geometry, const VexaData<short>& mask, const VexaData<Individu>& serie,
                         const AnalysisOptions& options = {});

}  // namespace mirlune

#pragma once
// The routes of the local analysis. Which one runs is decided by the series' length
// against the window's count (the voxels its cube holds):
//   - short series (frames at most the window's voxels): each cube's T x T matrix of mean
//     products, from sums shared between neighbouring cubes, decomposed several voxels at
//     a time, one per SIMD lane, or, in a wide window at many frames, one at a time by the
//     large-matrix solver; a cube with fewer neighbours than frames takes its Gram matrix
//     instead;
//   - long series (more frames than any cube can hold): every voxel by its Gram matrix,
//     from a table of dot products shared between cubes;
//   - the reference route: each cube walked and decomposed plainly, what the others are
//     checked against.
// Each route fills maps and returns how many voxels it analysed; workers write disjoint
// voxels, so the result does not depend on their number.

#include <memory>
#include <vector>

#include "analysis/neighbourhood.h"
#include "analysis/stages.h"

namespace mirlune {

//! What every route reads: the grid, the window, the mask, where each record is, the records.
struct RouteInputs {
  const SeriesGeometry& geometry;
  const Window& window;
  const VexaData<short>& mask;
  const RecordIndex& records;
  const VexaData<Individu>& serie;
  //! Each record's mean over frames, for demeaned courses; null for raw ones.
  const double* means;
  //! AnalysisOptions::stop: looked at before every row of voxels, or every long voxel.
  const std::atomic<bool>* stop;

  void stopIfAsked() const {
    if (stop && stop->load(std::memory_order_relaxed)) throw Stopped();
  }
};

/*!
 * The scratch a route may keep beside the series and the outputs: half the series as
 * 32-bit floats, so that with the records and the filtered series (each about the series'
 * size) the run stays within about three times the series.
 */
inline double defaultScratchBudget(const SeriesGeometry& g) {
  return 0.5 * 4.0 * g.sizeX * g.sizeY * double(g.sizeZ) * g.frames;
}

//! Cube sums slide along rows, restarting every kSlideBlock columns, in windows wider than
//! the default (whose outputs stay as they were).
constexpr int kSlideBlock = 16;

/*!
 * How much rounding a slid sum may carry. Each step of a slide (add what enters, take away
 * what leaves) errs by at most a unit of rounding of the magnitudes it handles, and every
 * sum here is positive semi-definite, so its entries are bounded by its trace: a slid sum's
 * error stays within eps times its mass, the traces of what it held, took in and gave up
 * since it was last made afresh. A sum whose mass exceeds kSlideMass times its own trace
 * (the sum of its courses' squared norms, positive terms, exact to rounding) is made afresh,
 * so that its error stays within a small multiple of what a fresh sum's is, however bright
 * the planes that passed before it (a spike, the brain beside a masked background).
 */
constexpr double kSlideMass = 64;

//! From this many frames on, a wide window's cubes go to the wide-window route and its
//! large-matrix solver rather than the batched one, whose cost grows with the frames cubed.
constexpr int kLargeFrom = 128;
inline bool usesLargeSolver(const SeriesGeometry& g, const Window& w) {
  return w.wide() && g.frames >= kLargeFrom && g.frames <= w.capacity;
}

//! Whether the short-series route slides its sums along rows: in a wide window, when two
//! workers' sums for a tile of kSlideBlock columns fit budget bytes (or a few MiB). The
//! choice changes rounding, so it depends on the series and the window, never on the
//! number of workers.
bool shortSeriesSlides(const SeriesGeometry& g, const Window& w, bool demean, double budget);
//! Columns the short-series route analyses per tile so that its workers' sums fit budget
//! bytes (whole blocks of kSlideBlock when it slides).
int shortSeriesTileWidth(const SeriesGeometry& g, const Window& w, bool demean, int workers, double budget);
//! Rows the long-series route analyses per tile so that its table of dot products fits budget bytes.
int longSeriesTileRows(const SeriesGeometry& g, const Window& w, double budget);

//! Whether the wide-window route keeps a ring of plane sums: when two workers' rings fit budget bytes.
bool wideWindowKeepsPlaneSums(const SeriesGeometry& g, const Window& w, double budget);

//! The voxels the analysers analysed; their cubes of fewer voxels than frames added to maps.
template <class Analyser>
long long totals(const std::vector<std::unique_ptr<Analyser>>& analysers, LocalMaps& maps) {
  long long analysed = 0;
  for (const auto& analyser : analysers) {
    analysed += analyser->analysed();
    maps.fewerThanFrames += analyser->fewerThanFrames();
  }
  return analysed;
}

//! Every z plane by analysePlane(z, maps), one analyser per worker; returns totals.
template <class Analyser>
long long analysePlanes(const RouteInputs& in, const AnalysisOptions& options,
                        const std::vector<std::unique_ptr<Analyser>>& analysers, LocalMaps& maps) {
  norbe::runTasks(
      in.geometry.sizeZ, static_cast<int>(analysers.size()),
      [&](int worker, int z) { return static_cast<long long>(analysers[worker]->analysePlane(z, maps)); },
      options.progress, in.serie.dimX());
  return totals(analysers, maps);
}

long long analyseShortSeries(const RouteInputs& in, const AnalysisOptions& options, int threads, LocalMaps& maps);
long long analyseLongSeries(const RouteInputs& in, const AnalysisOptions& options, int threads, LocalMaps& maps);
long long analyseWideWindow(const RouteInputs& in, const AnalysisOptions& options, int threads, LocalMaps& maps);
long long analyseByReference(const RouteInputs& in, const AnalysisOptions& options, int threads, LocalMaps& maps);

}  // namespace mirlune

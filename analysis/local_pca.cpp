// The local principal component analysis: for every mask voxel, the singular values and
// the dominant singular vector of its neighbourhood's matrix of mean products. The routes
// that compute them are in routes.h; this file chooses one.

#include <stdexcept>
#include <string>
#include <vector>

#include "analysis/routes.h"

namespace mirlune {

LocalMaps analyseLocally(const SeriesGeometry& geometry, const VexaData<short>& mask, const VexaData<Individu>& serie,
                         const AnalysisOptions& options) {
  const int T = geometry.frames;
  // Large outputs come zero-filled from the kernel: voxels that are not analysed are never
  // written.
  LocalMaps maps;
  maps.disparite = newOutput<double>(geometry, 1);
  maps.dispersion = newOutput<double>(geometry, 1);
  maps.dispersion2 = newOutput<double>(geometry, 1);
  maps.ratFiltre = newOutput<float>(geometry, T);
  keepTiming(geometry, maps.ratFiltre);
  maps.demeaned = options.demean;
  if (options.voisins) {
    maps.voisins = newOutput<short>(geometry, 1);
    maps.withVoisins = true;
  }
  if (serie.dimX() == 0) return maps;
  for (int side : options.window) {
    if (side < 3 || side > kMostSide || side % 2 == 0) {
      throw std::invalid_argument("the window's sides must be odd, from 3 to " + std::to_string(kMostSide));
    }
  }

  // Workers share only read-only data and write disjoint voxels of the maps. Their
  // analysers, and every counted object they use, are made here: the reference counts of
  // the containers are not atomic.
  const int threads = norbe::workerThreads(options.threads);
  const Window window(options.window);
  const RecordIndex recordIndex(geometry, serie);
  const std::vector<double> means = options.demean ? recordMeans(serie, threads) : std::vector<double>();
  const RouteInputs in{geometry,    window, mask, recordIndex, serie, options.demean ? means.data() : nullptr,
                       options.stop};
  if (options.reference) {
    maps.analysed = analyseByReference(in, options, threads, maps);
  } else if (T > window.capacity) {
    maps.analysed = analyseLongSeries(in, options, threads, maps);
  } else if (usesLargeSolver(geometry, window)) {
    maps.analysed = analyseWideWindow(in, options, threads, maps);
  } else {
    maps.analysed = analyseShortSeries(in, options, threads, maps);
  }
  return maps;
}

}  // namespace mirlune

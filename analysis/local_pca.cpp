// The local principal component analysis: for every mask voxel, the singular values and
// the dominant singular vector of its neighbourhood's matrix of mean products. The routes
// that compute them are in routes.h; this file chooses one.

#include "analysis/routes.h"

namespace mirlune {

LocalMaps analyseLocally(const SeriesGeometry& geometry, const VexaData<short>& mask, const VexaData<Individu>& serie,
                         const AnalysisOptions& options) {
  const int T = geometry.frames;
  // Large outputs come zero-filled from the kernel: voxels that are not analysed are never
  // written.
  LocalMaps maps{newOutput<double>(geometry, 1), newOutput<double>(geometry, 1), newOutput<double>(geometry, 1),
                 newOutput<float>(geometry, T)};
  if (serie.dimX() == 0) return maps;

  // Workers share only read-only data and write disjoint voxels of the maps. Their
  // analysers, and every counted object they use, are made here: the reference counts of
  // the containers are not atomic.
  const RecordIndex recordIndex(geometry, serie);
  const RouteInputs in{geometry, mask, recordIndex, serie};
  const int threads = norbe::workerThreads(options.threads);
  if (options.reference) {
    maps.analysed = analyseByReference(in, options, threads, maps);
  } else if (T > kCapacity) {
    maps.analysed = analyseLongSeries(in, options, threads, maps);
  } else {
    maps.analysed = analyseShortSeries(in, options, threads, maps);
  }
  return maps;
}

}  // namespace mirlune

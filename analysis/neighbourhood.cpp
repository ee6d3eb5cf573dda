#include "analysis/neighbourhood.h"

namespace mirlune {

RecordIndex::RecordIndex(const SeriesGeometry& g, const VexaData<Individu>& serie)
    : _sizeX(g.sizeX), _sizeY(g.sizeY), _records(Index(g.sizeX) * g.sizeY * g.sizeZ, -1) {
  for (int i = 0; i < serie.dimX(); ++i) {
    const Individu& r = serie(i);
    _records[at(r.position[0], r.position[1], r.position[2])] = i;
  }
}

}  // namespace mirlune

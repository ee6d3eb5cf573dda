#include "analysis/neighbourhood.h"

#include <cctype>
#include <stdexcept>
#include <string>

namespace mirlune {

RecordIndex::RecordIndex(const SeriesGeometry& g, const VexaData<Individu>& serie)
    : _sizeX(g.sizeX), _sizeY(g.sizeY), _records(Index(g.sizeX) * g.sizeY * g.sizeZ, -1) {
  for (int i = 0; i < serie.dimX(); ++i) {
    const Individu& r = serie(i);
    _records[at(r.position[0], r.position[1], r.position[2])] = i;
  }
}

std::vector<double> recordMeans(const VexaData<Individu>& serie, int threads) {
  const int records = serie.dimX();
  std::vector<double> means(static_cast<std::size_t>(records));
  constexpr int kBlock = 4096;
  norbe::runTasks((records + kBlock - 1) / kBlock, norbe::workerThreads(threads), [&](int, int block) {
    for (int i = block * kBlock; i < std::min(records, (block + 1) * kBlock); ++i) {
      const std::vector<float>& values = serie(i).values;
      double sum = 0;
      for (float v : values) sum += v;
      means[static_cast<std::size_t>(i)] = values.empty() ? 0.0 : sum / static_cast<double>(values.size());
    }
    return 0LL;
  });
  return means;
}

WindowSides windowSidesFor(const std::string& asked, long long frames) {
  if (asked.empty()) return kDefaultWindow;
  if (asked == "auto") {
    const int side = frames >= kMostSide * kMostSide * kMostSide ? 0 : autoSide(static_cast<int>(frames));
    if (side == 0) {
      throw std::runtime_error("-window auto: the series has " + std::to_string(frames) +
                               " frames, more than the widest window (15 x 15 x 15) holds voxels");
    }
    return {side, side, side};
  }
  // One side for a cube, or three, x,y,z, for thick slices.
  std::vector<int> sides;
  std::size_t at = 0;
  bool valid = true;
  while (valid && at <= asked.size() && sides.size() < 4) {
    const std::size_t comma = std::min(asked.find(',', at), asked.size());
    const std::string part = asked.substr(at, comma - at);
    std::size_t used = 0;
    int side = 0;
    try {
      side = std::stoi(part, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    valid = !part.empty() && used == part.size() && std::isdigit(static_cast<unsigned char>(part[0])) && side >= 3 &&
            side <= kMostSide && side % 2 == 1;
    sides.push_back(side);
    at = comma + 1;
  }
  if (!valid || (sides.size() != 1 && sides.size() != 3)) {
    throw std::runtime_error("-window " + asked + ": a side must be an odd number from 3 to " +
                             std::to_string(kMostSide) + " (one for a cube, or three, x,y,z), or auto");
  }
  if (sides.size() == 1) return {sides[0], sides[0], sides[0]};
  return {sides[0], sides[1], sides[2]};
}

std::string windowText(const WindowSides& sides) {
  if (sides[0] == sides[1] && sides[1] == sides[2]) return std::to_string(sides[0]);
  return std::to_string(sides[0]) + "," + std::to_string(sides[1]) + "," + std::to_string(sides[2]);
}

std::string cubeText(const WindowSides& sides) {
  return std::to_string(sides[0]) + " x " + std::to_string(sides[1]) + " x " + std::to_string(sides[2]);
}

int autoSide(int frames) {
  for (int side = 3; side <= kMostSide; side += 2)
    if (side * side * side > frames) return side;
  return 0;
}

}  // namespace mirlune

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "analysis/stages.h"
#include "imaging/svd.h"

namespace mirlune {

namespace {

constexpr int kEdge = 5;                           // neighbourhood edge, in voxels
constexpr int kHalf = kEdge / 2;                   // 2
constexpr int kCapacity = kEdge * kEdge * kEdge;   // 125 records

/*!
 * The analysis of one voxel's neighbourhood. Each worker owns one, with its own
 * buffers; it reads the shared inputs and writes only the voxel it is given.
 */
class NeighbourhoodAnalyser {
 public:
  NeighbourhoodAnalyser(const VexaData<float>& input, const VexaData<short>& mask)
      : _input(input),
        _mask(mask),
        _frames(input.dimT()),
        _buffer(kCapacity, 1, 1, 1, 0),
        _rows(static_cast<std::size_t>(kCapacity) * static_cast<std::size_t>(input.dimT())),
        _products(input.dimT(), input.dimT(), 1, 1, 0),
        _vectors(input.dimT(), input.dimT(), 1, 1, 0) {
    for (int j = 0; j < kCapacity; ++j) _buffer(j).values.resize(static_cast<std::size_t>(_frames));
  }

  void analyse(const Individu& record, LocalMaps& maps) {
    const int x = record.position[0], y = record.position[1], z = record.position[2];
    const int T = _frames;
    const int count = gatherNeighbours(x, y, z);
    if (count <= 1) return;  // an isolated voxel keeps its zeros

    // M, one row of T floats per neighbour, in order of discovery.
    for (int j = 0; j < count; ++j) {
      const std::vector<float>& values = _buffer(j).values;
      std::copy(values.begin(), values.end(), _rows.begin() + static_cast<std::ptrdiff_t>(j) * T);
    }
    // C(b, a): float products summed in doubles over the neighbours in order, then divided by
    // count - 1. Not centred. Products commute, so the lower triangle mirrors the upper exactly.
    const double divisor = static_cast<double>(count - 1);
    for (int a = 0; a < T; ++a) {
      for (int b = a; b < T; ++b) {
        double sum = 0.0;
        for (int k = 0; k < count; ++k) {
          const std::size_t row = static_cast<std::size_t>(k) * static_cast<std::size_t>(T);
          sum += static_cast<double>(_rows[row + static_cast<std::size_t>(a)]) *
                 static_cast<double>(_rows[row + static_cast<std::size_t>(b)]);
        }
        _products(b, a) = sum / divisor;
        _products(a, b) = _products(b, a);
      }
    }

    for (int a = 0; a < T; ++a)
      for (int b = 0; b < T; ++b) _vectors(b, a) = _products(b, a);
    VexaSVD<double> svd(0);
    svd.setReturnMode(1);
    VexaData<double> W = svd.doit(_vectors, nullptr);
    svd.sort(_vectors, W, nullptr);

    const int n = W.dimX();
    const double first = W(0);
    const double second = n > 1 ? W(1) : 0.0;
    const double last = W(n - 1);
    maps.disparite(x, y, z) = first - last;
    maps.dispersion(x, y, z) = last / first;
    // A single frame has no second value.
    maps.dispersion2(x, y, z) = n > 1 ? second / first : 0.0;
    for (int t = 0; t < T; ++t) maps.ratFiltre(x, y, z, t) = static_cast<float>(-_vectors(t, 0));
  }

 private:
  // Fills the buffer with the mask voxels of the cube around (x, y, z): x outermost, z innermost.
  int gatherNeighbours(int x, int y, int z) {
    const int loX = std::max(x - kHalf, 0), hiX = std::min(x + kHalf + 1, _mask.dimX());
    const int loY = std::max(y - kHalf, 0), hiY = std::min(y + kHalf + 1, _mask.dimY());
    const int loZ = std::max(z - kHalf, 0), hiZ = std::min(z + kHalf + 1, _mask.dimZ());
    int count = 0;
    for (int nx = loX; nx < hiX; ++nx)
      for (int ny = loY; ny < hiY; ++ny)
        for (int nz = loZ; nz < hiZ; ++nz) {
          if (_mask(nx, ny, nz) != 1) continue;
          Individu& neighbour = _buffer(count);
          for (int t = 0; t < _frames; ++t) neighbour.values[static_cast<std::size_t>(t)] = _input(nx, ny, nz, t);
          neighbour.position[0] = static_cast<std::int16_t>(nx);
          neighbour.position[1] = static_cast<std::int16_t>(ny);
          neighbour.position[2] = static_cast<std::int16_t>(nz);
          ++count;
        }
    return count;
  }

  const VexaData<float>& _input;
  const VexaData<short>& _mask;
  int _frames;
  VexaData<Individu> _buffer;
  std::vector<float> _rows;
  VexaData<double> _products;
  VexaData<double> _vectors;
};

int workerCount(int asked, int records) {
  int threads = asked > 0 ? asked : static_cast<int>(std::thread::hardware_concurrency());
  if (threads < 1) threads = 1;
  // No more workers than blocks of work.
  return std::max(1, std::min(threads, (records + 63) / 64));
}

}  // namespace

LocalMaps analyseLocally(const VexaData<float>& input, const VexaData<short>& mask,
                         const VexaData<Individu>& serie, int threads, const Progress& progress) {
  const int X = input.dimX(), Y = input.dimY(), Z = input.dimZ(), T = input.dimT();
  LocalMaps maps{VexaData<double>(X, Y, Z, 1, 0), VexaData<double>(X, Y, Z, 1, 0),
                 VexaData<double>(X, Y, Z, 1, 0), VexaData<float>(mask.dimX(), mask.dimY(), mask.dimZ(), T, 0)};
  VexaData<float>& source = const_cast<VexaData<float>&>(input);
  const float sx = source.voxelSizeX(), sy = source.voxelSizeY(), sz = source.voxelSizeZ();
  maps.ratFiltre.setVoxelSize(sx, sy, sz, 1.0f);
  maps.disparite.setVoxelSize(sx, sy, sz, 1.0f);
  maps.dispersion.setVoxelSize(sx, sy, sz, 1.0f);
  maps.dispersion2.setVoxelSize(sx, sy, sz, 1.0f);
  copyOrientation(source, maps.ratFiltre);
  copyOrientation(source, maps.disparite);
  copyOrientation(source, maps.dispersion);
  copyOrientation(source, maps.dispersion2);

  const int records = serie.dimX();
  const int workers = workerCount(threads, records);
  // Built here, on the calling thread: the containers' counts are not atomic.
  std::vector<std::unique_ptr<NeighbourhoodAnalyser>> analysers;
  for (int w = 0; w < workers; ++w) analysers.push_back(std::make_unique<NeighbourhoodAnalyser>(input, mask));

  constexpr int kBlock = 64;
  std::atomic<int> next{0};
  std::atomic<int> done{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex failureLock;
  auto work = [&](NeighbourhoodAnalyser& analyser) {
    try {
      while (!failed.load(std::memory_order_relaxed)) {
        const int first = next.fetch_add(kBlock);
        if (first >= records) break;
        const int last = std::min(first + kBlock, records);
        for (int i = first; i < last; ++i) analyser.analyse(serie(i, 0, 0), maps);
        done.fetch_add(last - first, std::memory_order_relaxed);
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(failureLock);
      if (!failure) failure = std::current_exception();
      failed = true;
    }
  };

  if (workers == 1 && !progress) {
    work(*analysers[0]);
  } else {
    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w) pool.emplace_back(work, std::ref(*analysers[static_cast<std::size_t>(w)]));
    if (progress) {
      while (done.load() < records && !failed.load()) {
        progress(done.load(), records);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    }
    for (auto& thread : pool) thread.join();
  }
  if (failure) std::rethrow_exception(failure);
  if (progress) progress(records, records);
  return maps;
}

}  // namespace mirlune

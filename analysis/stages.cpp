#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "analysis/stages.h"
#include "analysis/workers.h"
#include "imaging/imagefile.h"

namespace mirlune {

const char* const kMaskDone = " masque ok ";
const char* const kRecordsDone = "serie global PCA  ok ";
const char* const kAnalysisDone = " ANALYSE LOCALE PCA OK";
const char* const kOutputsDone = " ecriture cartes et nouveau rat  OK";

int workerThreads(int asked) {
  if (asked > 0) return asked;
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

std::string headerReport(VexaData<float>& input) {
  norbe::PythonHeader* header = input.pythonHeader();
  if (!header) return "";
  norbe::Object found;
  if (!header->getProperty(vexa::kVolumeDimension, found) || !found) {
    throw std::runtime_error("the input's header has no \"volume_dimension\"");
  }
  const std::vector<int>& dims = found->value<std::vector<int>>();
  std::vector<float> sizes;
  header->getProperty(vexa::kVoxelSize, sizes);

  // Only the entries that exist: a short list prints fewer numbers.
  std::ostringstream out;
  out << "volume dims: ";
  for (std::size_t i = 0; i < dims.size() && i < 4; ++i) out << (i ? ", " : "") << dims[i];
  out << "\nvoxel size : ";
  for (std::size_t i = 0; i < sizes.size() && i < 3; ++i) out << (i ? ", " : "") << static_cast<double>(sizes[i]);
  out << "\n";
  return out.str();
}

void checkExtents(const VexaData<float>& input) {
  const int extents[3] = {input.dimX(), input.dimY(), input.dimZ()};
  const char* axes[3] = {"x", "y", "z"};
  for (int axis = 0; axis < 3; ++axis) {
    if (extents[axis] >= 32768) {
      throw std::runtime_error("the input has " + std::to_string(extents[axis]) + " voxels along " + axes[axis] +
                               "; at most 32767 per axis can be analysed");
    }
  }
}

template <class T>
void copyOrientation(VexaData<float>& from, VexaData<T>& to) {
  norbe::PythonHeader* source = from.pythonHeader();
  norbe::PythonHeader* target = to.pythonHeader();
  if (!source || !target) return;
  for (const char* key : vexa::kOrientationKeys) {
    norbe::Object value;
    if (source->getProperty(key, value) && value) target->setProperty(key, value->copyValue());
  }
}

template void copyOrientation(VexaData<float>&, VexaData<short>&);
template void copyOrientation(VexaData<float>&, VexaData<float>&);
template void copyOrientation(VexaData<float>&, VexaData<double>&);

VexaData<short> buildMask(const VexaData<float>& input, int& maskCount) {
  const int X = input.dimX(), Y = input.dimY(), Z = input.dimZ(), T = input.dimT();
  VexaData<short> mask(X, Y, Z, 1, 0);
  mask.setVoxelSize(input.voxelSizeX(), input.voxelSizeY(), input.voxelSizeZ(), 1.0f);
  const int middle = T / 2;
  maskCount = 0;
  for (int z = 0; z < Z; ++z)
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x) {
        if (!(input(x, y, z, middle) > 0)) continue;
        int present = 0;
        for (int t = 0; t < T; ++t)
          if (input(x, y, z, t) != 0) ++present;
        if (present == T) {
          mask(x, y, z) = 1;
          ++maskCount;
        }
      }
  return mask;
}

VexaData<Individu> gatherRecords(const VexaData<float>& input, const VexaData<short>& mask, int maskCount,
                                 int threads) {
  const int X = mask.dimX(), Y = mask.dimY(), Z = mask.dimZ(), T = input.dimT();
  VexaData<Individu> serie(maskCount, 1, 1, 1, 0);
  // Each plane's records follow those of the planes before it, so planes can be filled
  // independently; no record beyond maskCount is written.
  std::vector<int> first(static_cast<std::size_t>(Z) + 1, 0);
  for (int z = 0; z < Z; ++z) {
    int count = 0;
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x) count += mask(x, y, z) == 1;
    first[static_cast<std::size_t>(z) + 1] = first[static_cast<std::size_t>(z)] + count;
  }
  runTasks(Z, workerCount(threads, Z), 0, {}, [&](int, int z) {
    int i = first[static_cast<std::size_t>(z)];
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X && i < maskCount; ++x) {
        if (mask(x, y, z) != 1) continue;
        Individu& record = serie(i, 0, 0);
        record.values.resize(static_cast<std::size_t>(T));
        for (int t = 0; t < T; ++t) record.values[static_cast<std::size_t>(t)] = input(x, y, z, t);
        record.position[0] = static_cast<std::int16_t>(x);
        record.position[1] = static_cast<std::int16_t>(y);
        record.position[2] = static_cast<std::int16_t>(z);
        ++i;
      }
    return 0;
  });
  return serie;
}

namespace {
template <class T>
void writeOutput(const char* name, const VexaData<T>& data, int threads) {
  vexa::Writer<VexaData<T>> writer(name);
  writer.setThreads(threads);
  writer.write(data, false, nullptr);
}
}  // namespace

void writeOutputs(const LocalMaps& maps, int threads) {
  writeOutput("ratFiltre", maps.ratFiltre, threads);
  writeOutput("disparite", maps.disparite, threads);
  writeOutput("dispersion", maps.dispersion, threads);
  writeOutput("dispersion2", maps.dispersion2, threads);
}

}  // namespace mirlune

#include "analysis/stages.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <vector>

#include "imaging/formats/imagefile.h"

namespace mirlune {

void checkExtents(const std::array<std::int64_t, 4>& extents) {
  const char* axes[3] = {"x", "y", "z"};
  for (int axis = 0; axis < 3; ++axis) {
    if (extents[axis] >= 32768) {
      throw std::runtime_error("the input has " + std::to_string(extents[axis]) + " voxels along " + axes[axis] +
                               "; at most 32767 per axis can be analysed");
    }
  }
  // The filtered series has the input's frames, and a NIfTI-1 file holds at most 32767.
  if (extents[3] > 32767) {
    throw std::runtime_error("the input has " + std::to_string(extents[3]) +
                             " frames; the filtered series is a NIfTI-1 file, which holds at most 32767");
  }
}

SeriesGeometry SeriesGeometry::of(const VexaData<float>& input) {
  SeriesGeometry geometry;
  geometry.sizeX = input.dimX();
  geometry.sizeY = input.dimY();
  geometry.sizeZ = input.dimZ();
  geometry.frames = input.dimT();
  geometry.voxelX = input.voxelSizeX();
  geometry.voxelY = input.voxelSizeY();
  geometry.voxelZ = input.voxelSizeZ();
  if (norbe::PythonHeader* header = input.pythonHeader()) {
    for (const char* key : vexa::kOrientationKeys) {
      norbe::Object value;
      if (header->getProperty(key, value) && value) geometry.placement.emplace_back(key, value->copyValue());
    }
    std::vector<float> sizes;
    header->getProperty(vexa::kVoxelSize, sizes);
    if (sizes.size() >= 4 && std::isfinite(sizes[3]) && sizes[3] > 0) geometry.frameSpacing = sizes[3];
    header->getProperty(vexa::kToffset, geometry.timeOffset);
    header->getProperty(vexa::kDimInfo, geometry.dimInfo);
  }
  return geometry;
}

void keepTiming(const SeriesGeometry& geometry, VexaData<float>& series) {
  series.setVoxelSize(geometry.voxelX, geometry.voxelY, geometry.voxelZ, geometry.frameSpacing);
  norbe::PythonHeader* header = series.pythonHeader();
  header->setProperty(vexa::kToffset, norbe::makeObject(geometry.timeOffset));
  header->setProperty(vexa::kDimInfo, norbe::makeObject(geometry.dimInfo));
}

template <class T>
VexaData<T> newOutput(const SeriesGeometry& geometry, int frames, const norbe::AllocatorContext& context) {
  VexaData<T> output(geometry.sizeX, geometry.sizeY, geometry.sizeZ, frames, 0, context);
  output.setVoxelSize(geometry.voxelX, geometry.voxelY, geometry.voxelZ, 1.0f);
  norbe::PythonHeader* header = output.pythonHeader();
  for (const auto& [key, value] : geometry.placement) header->setProperty(key, value->copyValue());
  return output;
}

template VexaData<short> newOutput(const SeriesGeometry&, int, const norbe::AllocatorContext&);
template VexaData<float> newOutput(const SeriesGeometry&, int, const norbe::AllocatorContext&);
template VexaData<double> newOutput(const SeriesGeometry&, int, const norbe::AllocatorContext&);

VexaData<short> buildMask(const VexaData<float>& input, int& maskCount, long long* nonFinite) {
  const int X = input.dimX(), Y = input.dimY(), Z = input.dimZ(), T = input.dimT();
  VexaData<short> mask = newOutput<short>(SeriesGeometry::of(input), 1);
  const int middle = T / 2;
  maskCount = 0;
  long long leftOut = 0;
  for (int z = 0; z < Z; ++z)
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x) {
        if (!(input(x, y, z, middle) > 0)) continue;
        int present = 0;
        bool finite = true;
        for (int t = 0; t < T; ++t) {
          const float v = input(x, y, z, t);
          present += v != 0;
          finite &= std::isfinite(v);
        }
        if (present != T) continue;
        // One sample that is not a finite number would spread through every matrix of
        // its cube: the voxel is left out instead.
        if (!finite) {
          ++leftOut;
          continue;
        }
        mask(x, y, z) = 1;
        ++maskCount;
      }
  if (nonFinite) *nonFinite = leftOut;
  return mask;
}

long long leaveOutNonFinite(const VexaData<float>& input, VexaData<short>& mask, int& maskCount) {
  const int X = mask.dimX(), Y = mask.dimY(), Z = mask.dimZ(), T = input.dimT();
  long long leftOut = 0;
  for (int z = 0; z < Z; ++z)
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x) {
        if (mask(x, y, z) != 1) continue;
        bool finite = true;
        for (int t = 0; t < T; ++t) finite &= std::isfinite(input(x, y, z, t));
        if (finite) continue;
        mask(x, y, z) = 0;
        --maskCount;
        ++leftOut;
      }
  return leftOut;
}

namespace {

using Affine = std::array<double, 12>;

std::vector<float> floats(const SeriesGeometry& g, const char* key) {
  for (const auto& [name, value] : g.placement) {
    if (name != key || !value) continue;
    try {
      return value->value<std::vector<float>>();
    } catch (const std::exception&) {
      return {};
    }
  }
  return {};
}

int code(const SeriesGeometry& g, const char* key) {
  for (const auto& [name, value] : g.placement) {
    if (name != key || !value) continue;
    try {
      return value->value<int>();
    } catch (const std::exception&) {
      return 0;
    }
  }
  return 0;
}

// The voxel-to-world affine a viewer would use: the sform when it is set, else the qform.
std::optional<Affine> affineOf(const SeriesGeometry& g) {
  const std::vector<float> srow = floats(g, vexa::kSrow);
  if (code(g, vexa::kSformCode) > 0 && srow.size() == 12) {
    Affine a;
    std::copy(srow.begin(), srow.end(), a.begin());
    return a;
  }
  const std::vector<float> q = floats(g, vexa::kQuatern);
  if (code(g, vexa::kQformCode) <= 0 || q.size() != 7) return std::nullopt;
  return vexa::qformMatrix(q, g.voxelX, g.voxelY, g.voxelZ);
}

std::string shapeOf(int x, int y, int z) {
  return std::to_string(x) + " x " + std::to_string(y) + " x " + std::to_string(z);
}

}  // namespace

VexaData<short> maskFromImage(const SeriesGeometry& series, const std::string& seriesName, const VexaData<float>& image,
                              const std::string& imageName, int& maskCount) {
  const SeriesGeometry own = SeriesGeometry::of(image);
  if (own.sizeX != series.sizeX || own.sizeY != series.sizeY || own.sizeZ != series.sizeZ) {
    throw std::runtime_error("the mask " + imageName + " is " + shapeOf(own.sizeX, own.sizeY, own.sizeZ) +
                             " voxels but the series " + seriesName + " is " +
                             shapeOf(series.sizeX, series.sizeY, series.sizeZ));
  }
  if (own.frames != 1) {
    throw std::runtime_error("the mask " + imageName + " has " + std::to_string(own.frames) +
                             " frames; a mask is a 3-D image or has one frame");
  }
  const std::optional<Affine> mine = affineOf(own), theirs = affineOf(series);
  if (mine && theirs) {
    double largest = 1.0, difference = 0.0;
    for (std::size_t i = 0; i < 12; ++i) {
      largest = std::max({largest, std::abs((*mine)[i]), std::abs((*theirs)[i])});
      difference = std::max(difference, std::abs((*mine)[i] - (*theirs)[i]));
    }
    // Both are floats from the files: equal to their rounding, or a different placement.
    if (difference > 1e-5 * largest) {
      throw std::runtime_error("the mask " + imageName + " is not placed in space like the series " + seriesName +
                               " (their affines differ)");
    }
  }
  VexaData<short> mask = newOutput<short>(series, 1);
  maskCount = 0;
  for (int z = 0; z < series.sizeZ; ++z)
    for (int y = 0; y < series.sizeY; ++y)
      for (int x = 0; x < series.sizeX; ++x) {
        const float value = image(x, y, z);
        if (value != 0 && !std::isnan(value)) {
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
  std::vector<int> first(Z + 1, 0);
  for (int z = 0; z < Z; ++z) {
    int count = 0;
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x) count += mask(x, y, z) == 1;
    first[z + 1] = first[z] + count;
  }
  norbe::runTasks(Z, norbe::workerThreads(threads), [&](int, int z) {
    int i = first[z];
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X && i < maskCount; ++x) {
        if (mask(x, y, z) != 1) continue;
        Individu& record = serie(i, 0, 0);
        record.values.resize(T);
        for (int t = 0; t < T; ++t) record.values[t] = input(x, y, z, t);
        record.position[0] = static_cast<std::int16_t>(x);
        record.position[1] = static_cast<std::int16_t>(y);
        record.position[2] = static_cast<std::int16_t>(z);
        ++i;
      }
    return 0LL;
  });
  return serie;
}

}  // namespace mirlune

// Header keys that image files map onto their own fields.

#include <algorithm>
#include <iterator>
#include <string>

#include <nifti2_io.h>

#include "imaging/formats/imagefile.h"

namespace vexa {

const char* const kVolumeDimension = "volume_dimension";
const char* const kVoxelSize = "voxel_size";
const char* const kQformCode = "qform_code";
const char* const kQuatern = "quatern";
const char* const kSformCode = "sform_code";
const char* const kSrow = "srow";
const char* const kXyztUnits = "xyzt_units";
const char* const kToffset = "toffset";
const char* const kDimInfo = "dim_info";

const char* const kOrientationKeys[5] = {kXyztUnits, kQformCode, kQuatern, kSformCode, kSrow};

bool isOrientationKey(const std::string& key) {
  return std::find(std::begin(kOrientationKeys), std::end(kOrientationKeys), key) != std::end(kOrientationKeys);
}

bool isHeaderFieldKey(const std::string& key) { return isOrientationKey(key) || key == kToffset || key == kDimInfo; }

std::array<double, 12> qformMatrix(const std::vector<float>& quatern, double dx, double dy, double dz) {
  const nifti_dmat44 m = nifti_quatern_to_dmat44(quatern.at(0), quatern.at(1), quatern.at(2), quatern.at(3),
                                                 quatern.at(4), quatern.at(5), dx, dy, dz, quatern.at(6));
  std::array<double, 12> rows;
  for (int row = 0; row < 3; ++row)
    for (int column = 0; column < 4; ++column) rows[4 * row + column] = m.m[row][column];
  return rows;
}

}  // namespace vexa

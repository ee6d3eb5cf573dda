// Header keys that image files map onto their own fields.

#include <algorithm>
#include <iterator>
#include <string>

#include "imaging/imagefile.h"

namespace vexa {

const char* const kVolumeDimension = "volume_dimension";
const char* const kVoxelSize = "voxel_size";
const char* const kQformCode = "qform_code";
const char* const kQuatern = "quatern";
const char* const kSformCode = "sform_code";
const char* const kSrow = "srow";
const char* const kXyztUnits = "xyzt_units";

const char* const kOrientationKeys[5] = {kXyztUnits, kQformCode, kQuatern, kSformCode, kSrow};

bool isOrientationKey(const std::string& key) {
  return std::find(std::begin(kOrientationKeys), std::end(kOrientationKeys), key) != std::end(kOrientationKeys);
}

}  // namespace vexa

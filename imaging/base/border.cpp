#include "imaging/base/border.h"

#include <stdexcept>
#include <string>

namespace vexa {

Border::~Border() = default;

void Border::_setBorder(int dimX, int dimY, int dimZ, int borderWidth) {
  if (borderWidth < 0) throw std::invalid_argument("negative border width " + std::to_string(borderWidth));
  if (dimX < 0 || dimY < 0 || dimZ < 0) {
    throw std::invalid_argument("negative volume dimension " + std::to_string(dimX) + " x " + std::to_string(dimY) +
                                " x " + std::to_string(dimZ));
  }
  _borderWidth = borderWidth;
  _fullX = dimX + 2 * borderWidth;
  _fullY = dimY + 2 * borderWidth;
  _fullZ = dimZ + 2 * borderWidth;
}

}  // namespace vexa

#pragma once

namespace vexa {

//! The border geometry of a wrapper: width w around the three spatial axes.
class Border {
 public:
  Border() = default;
  virtual ~Border();

  void _setBorder(int dimX, int dimY, int dimZ, int borderWidth);
  int borderWidth() const { return _borderWidth; }

 protected:
  int _borderWidth = 0;
  // Extents including the border on both sides.
  int _fullX = 0;
  int _fullY = 0;
  int _fullZ = 0;
};

}  // namespace vexa

#pragma once
// One analysed voxel: its time course and where it lies.

#include <cstdint>
#include <vector>

struct Individu {
  Individu() = default;
  //! n frames, all 0.
  explicit Individu(int n) : values(static_cast<std::size_t>(n), 0.0f) {}

  //! Writes entries 0 ... n-1 of values, one "frame i: v" line each.
  void print(int n) const;

  std::vector<float> values;      //!< intensity per frame, in frame order
  std::int16_t position[3] = {};  //!< x, y, z in the input grid, without border
};

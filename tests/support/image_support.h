#pragma once
// Images with a known value in every voxel, for tests that write and read files.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/formats/imagefile.h"

namespace testing_support {

using namespace norbe;

// A value every voxel can be checked against; fits in a signed 16-bit integer.
inline double pattern(int x, int y, int z, int t) { return x + 10 * y + 100 * z + 1000 * t; }

template <class T>
VexaData<T> patterned(int nx, int ny, int nz, int nt, int border = 0) {
  VexaData<T> data(nx, ny, nz, nt, border);
  for (int t = 0; t < nt; ++t)
    for (int z = 0; z < nz; ++z)
      for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) data(x, y, z, t) = static_cast<T>(pattern(x, y, z, t));
  return data;
}

inline void setOrientation(PythonHeader& header) {
  header.setProperty(vexa::kQformCode, makeObject(1));
  header.setProperty(vexa::kQuatern, makeObject(std::vector<float>{0, 0, 1, 10.5f, -20, 30, -1}));
  header.setProperty(vexa::kSformCode, makeObject(2));
  header.setProperty(vexa::kSrow, makeObject(std::vector<float>{-1.5f, 0, 0, 10.5f, 0, -2, 0, -20, 0, 0, 2.5f, 30}));
  header.setProperty(vexa::kXyztUnits, makeObject(10));
}

inline VexaData<float> readBack(const std::string& name) {
  VexaData<float> data;
  vexa::Reader<VexaData<float>> reader(name);
  reader.read(data, 0, nullptr, -1);
  return data;
}

inline void expectPattern(VexaData<float>& data, int nx, int ny, int nz, int nt) {
  ASSERT_EQ(data.dimX(), nx);
  ASSERT_EQ(data.dimY(), ny);
  ASSERT_EQ(data.dimZ(), nz);
  ASSERT_EQ(data.dimT(), nt);
  for (int t = 0; t < nt; ++t)
    for (int z = 0; z < nz; ++z)
      for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) ASSERT_EQ(data(x, y, z, t), pattern(x, y, z, t)) << x << y << z << t;
}

}  // namespace testing_support

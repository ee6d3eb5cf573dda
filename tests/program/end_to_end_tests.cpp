// A whole run on the sample series, every output voxel checked against a reference
// computed here from the input array with Eigen's JacobiSVD (tests/support/exact.h).

#include <sys/wait.h>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <Eigen/Core>

#include "imaging/formats/imagefile.h"
#include "tests/support/exact.h"
#include "tests/support/test_support.h"

using testing_support::readFile;
using testing_support::TempDir;

namespace {

VexaData<float> load(const std::string& path) {
  VexaData<float> data;
  vexa::Reader<VexaData<float>>(path).read(data, 0, nullptr, -1);
  return data;
}

}  // namespace

TEST(EndToEnd, SampleSeriesMatchesAnIndependentReference) {
  TempDir dir;
#ifdef NDEBUG
  const std::string size = "";  // the bundled sample's own size
#else
  const std::string size = " 20 18 10 8";  // unoptimised builds: a smaller series
#endif
  ASSERT_EQ(std::system(("cd '" + dir.path() + "' && " MAKE_SERIES " sample.nii.gz" + size + " > /dev/null").c_str()),
            0);
  const int status =
      std::system(("cd '" + dir.path() + "' && " MIRLUNE_BINARY " -i sample.nii.gz > out.txt 2> err.txt").c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  VexaData<float> input = load(dir.file("sample.nii.gz"));
  const int X = input.dimX(), Y = input.dimY(), Z = input.dimZ(), T = input.dimT();
  std::ostringstream dims;
  dims << "volume dims: " << X << ", " << Y << ", " << Z << ", " << T << "\nvoxel size : 2, 2, 2.4\n";
  EXPECT_EQ(
      readFile(dir.file("out.txt")),
      dims.str() + " masque ok \nserie global PCA  ok \n ANALYSE LOCALE PCA OK\n ecriture cartes et nouveau rat  OK\n");
  EXPECT_EQ(readFile(dir.file("err.txt")), "");

  VexaData<float> mask = load(dir.file("mask.nii"));
  VexaData<float> filtered = load(dir.file("ratFiltre.nii"));
  VexaData<float> disparity = load(dir.file("disparite.nii"));
  VexaData<float> dispersion = load(dir.file("dispersion.nii"));
  VexaData<float> dispersion2 = load(dir.file("dispersion2.nii"));
  ASSERT_EQ(filtered.dimT(), T);
  ASSERT_EQ(disparity.dimT(), 1);

  // Our reader gives floats; the maps are doubles on disk, so read those exactly here.
  auto doubles = [&](const std::string& name) {
    const std::string bytes = readFile(dir.file(name));
    std::vector<double> values(static_cast<std::size_t>(X) * Y * Z);
    EXPECT_EQ(bytes.size(), 352 + values.size() * sizeof(double));
    std::memcpy(values.data(), bytes.data() + 352, values.size() * sizeof(double));
    return values;
  };
  const std::vector<double> dispar = doubles("disparite.nii"), disp = doubles("dispersion.nii"),
                            disp2 = doubles("dispersion2.nii");

  auto selected = [&](int x, int y, int z) {
    if (!(input(x, y, z, T / 2) > 0)) return false;
    for (int t = 0; t < T; ++t)
      if (input(x, y, z, t) == 0) return false;
    return true;
  };
  int analysed = 0, masked = 0;
  double worstFiltered = 0;
  for (int z = 0; z < Z; ++z)
    for (int y = 0; y < Y; ++y)
      for (int x = 0; x < X; ++x) {
        const std::size_t at = x + static_cast<std::size_t>(X) * (y + static_cast<std::size_t>(Y) * z);
        const bool in = selected(x, y, z);
        ASSERT_EQ(mask(x, y, z), in ? 1.0f : 0.0f);
        std::vector<const float*> rows;
        std::vector<std::vector<float>> series;
        if (in) {
          ++masked;
          for (int a = std::max(x - 2, 0); a < std::min(x + 3, X); ++a)
            for (int b = std::max(y - 2, 0); b < std::min(y + 3, Y); ++b)
              for (int c = std::max(z - 2, 0); c < std::min(z + 3, Z); ++c) {
                if (!selected(a, b, c)) continue;
                series.emplace_back(T);
                for (int t = 0; t < T; ++t) series.back()[static_cast<std::size_t>(t)] = input(a, b, c, t);
              }
        }
        const int count = static_cast<int>(series.size());
        if (count <= 1) {
          ASSERT_EQ(dispar[at], 0.0);
          ASSERT_EQ(disp[at], 0.0);
          ASSERT_EQ(disp2[at], 0.0);
          for (int t = 0; t < T; ++t) ASSERT_EQ(filtered(x, y, z, t), 0.0f);
          continue;
        }
        ++analysed;
        Eigen::MatrixXd c = Eigen::MatrixXd::Zero(T, T);
        for (int a = 0; a < T; ++a)
          for (int b = 0; b < T; ++b) {
            for (const auto& s : series)
              c(b, a) += static_cast<double>(s[static_cast<std::size_t>(a)]) * s[static_cast<std::size_t>(b)];
            c(b, a) /= count - 1;
          }
        const exact::Singular svd = exact::singular(c);
        const Eigen::VectorXd& s = svd.values;
        Eigen::VectorXd u = svd.left.col(0);
        if (u.sum() > 0) u = -u;
        ASSERT_NEAR(dispar[at], s(0) - s(T - 1), 1e-9 * s(0)) << x << " " << y << " " << z;
        ASSERT_NEAR(disp[at], s(T - 1) / s(0), 1e-9);
        ASSERT_NEAR(disp2[at], s(1) / s(0), 1e-9);
        for (int t = 0; t < T; ++t) {
          const double error = std::abs(filtered(x, y, z, t) + u(t));
          worstFiltered = std::max(worstFiltered, error);
          ASSERT_LT(error, 1e-6);
          ASSERT_GT(filtered(x, y, z, t), 0.0f);  // positive series, positive filtered series
        }
      }
  EXPECT_GT(analysed, 1000);
  RecordProperty("analysed", analysed);
  RecordProperty("masked", masked);

  // An independent reader sees the five files as they should be: single frames as 3-D
  // images, all on the input's grid and affine, the filtered series with the input's timing.
  const std::string check = "/usr/bin/python3 - '" + dir.path() + "' " + std::to_string(T) + R"( <<'EOF'
import sys
import nibabel as nib, numpy as np
folder, T = sys.argv[1], int(sys.argv[2])
source = nib.load(folder + '/sample.nii.gz')
for name, dtype, frames in [('mask', np.int16, 1), ('ratFiltre', np.float32, T), ('disparite', np.float64, 1),
                            ('dispersion', np.float64, 1), ('dispersion2', np.float64, 1)]:
    image = nib.load(folder + '/' + name + '.nii')
    shape = source.shape[:3] + ((frames,) if frames > 1 else ())
    assert image.shape == shape, (name, image.shape)
    assert image.header.get_data_dtype() == dtype, name
    zooms = source.header.get_zooms()[:(4 if frames > 1 else 3)]
    assert image.header.get_zooms() == zooms, (name, image.header.get_zooms())
    assert image.header.get_xyzt_units() == source.header.get_xyzt_units(), name
    assert np.allclose(image.affine, source.affine), name
EOF
)";
  EXPECT_EQ(std::system(check.c_str()), 0);
}

// Files written here, read by nibabel (an independent reader), and files nibabel wrote,
// read here. Needs Debian's Python with nibabel (/usr/bin/python3).

#include <string>

#include <gtest/gtest.h>

#include "tests/support/image_support.h"
#include "tests/support/test_support.h"

using namespace testing_support;

TEST(IndependentReader, ReadsOurFilesAndWritesOnesWeRead) {
  TempDir dir;
  auto s = patterned<short>(5, 4, 3, 2);
  s.setVoxelSize(1.5f, 2.0f, 2.5f, 1.0f);
  setOrientation(*s.pythonHeader());
  vexa::Writer<VexaData<short>>(dir.file("short.nii")).write(s);
  auto f = patterned<float>(5, 4, 3, 2);
  f.setVoxelSize(1.5f, 2.0f, 2.5f, 1.0f);
  setOrientation(*f.pythonHeader());
  vexa::Writer<VexaData<float>>(dir.file("float.nii.gz")).write(f);
  auto d = patterned<double>(5, 4, 3, 1);
  d.setVoxelSize(1.5f, 2.0f, 2.5f, 1.0f);
  setOrientation(*d.pythonHeader());
  vexa::Writer<VexaData<double>>(dir.file("double.nii")).write(d);

  const std::string command =
      "/usr/bin/python3 " MIRLUNE_SOURCE_DIR "/tests/imaging/formats/nibabel_check.py " + dir.path();
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  // And the file nibabel wrote: scaled int16, compressed, with its affine.
  VexaData<float> back = readBack(dir.file("from_nibabel.nii.gz"));
  expectPattern(back, 5, 4, 3, 2);
  EXPECT_EQ(back.voxelSizeZ(), 2.5f);
  EXPECT_EQ(back.pythonHeader()->getProperty(vexa::kSformCode)->value<int>(), 1);
  EXPECT_EQ(back.pythonHeader()->getProperty(vexa::kSrow)->value<std::vector<float>>()[3], 10.5f);

  for (const char* name : {"nifti2.nii", "analyze.img"}) {
    SCOPED_TRACE(name);
    VexaData<float> other = readBack(dir.file(name));
    expectPattern(other, 5, 4, 3, 2);
    EXPECT_EQ(other.voxelSizeY(), 2.0f);
  }
}

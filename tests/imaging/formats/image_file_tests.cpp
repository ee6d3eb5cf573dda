#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nifti2_io.h>

#include "imaging/formats/imagefile.h"
#include "tests/support/image_support.h"
#include "tests/support/test_support.h"

using namespace norbe;
using testing_support::CapturedStderr;
using testing_support::TempDir;
using namespace testing_support;

namespace {

// A file written by the NIfTI C library itself, of any stored type.
void writeWithLibrary(const std::string& name, int datatype, const std::vector<int64_t>& extents, double slope = 0,
                      double inter = 0) {
  int64_t dims[8] = {static_cast<int64_t>(extents.size()), 1, 1, 1, 1, 1, 1, 1};
  for (std::size_t i = 0; i < extents.size(); ++i) dims[i + 1] = extents[i];
  nifti_image* nim = nifti_make_new_nim(dims, datatype, 1);
  ASSERT_NE(nim, nullptr);
  nim->scl_slope = slope;
  nim->scl_inter = inter;
  nim->pixdim[1] = nim->dx = 1.25;
  for (int64_t i = 0; i < nim->nvox; ++i) {
    const int64_t nx = dims[1], ny = dims[2], nz = dims[3];
    const double v = pattern(static_cast<int>(i % nx), static_cast<int>(i / nx % ny),
                             static_cast<int>(i / (nx * ny) % nz), static_cast<int>(i / (nx * ny * nz)));
    // Stored so that slope * stored + inter gives the pattern back.
    const double stored = slope != 0 ? (v - inter) / slope : v;
    char* at = static_cast<char*>(nim->data) + i * nim->nbyper;
    switch (datatype) {
      case DT_UINT8:
        *reinterpret_cast<uint8_t*>(at) = static_cast<uint8_t>(stored);
        break;
      case DT_INT8:
        *reinterpret_cast<int8_t*>(at) = static_cast<int8_t>(stored);
        break;
      case DT_INT16:
        *reinterpret_cast<int16_t*>(at) = static_cast<int16_t>(stored);
        break;
      case DT_UINT16:
        *reinterpret_cast<uint16_t*>(at) = static_cast<uint16_t>(stored);
        break;
      case DT_INT32:
        *reinterpret_cast<int32_t*>(at) = static_cast<int32_t>(stored);
        break;
      case DT_UINT32:
        *reinterpret_cast<uint32_t*>(at) = static_cast<uint32_t>(stored);
        break;
      case DT_FLOAT32:
        *reinterpret_cast<float*>(at) = static_cast<float>(stored);
        break;
      case DT_FLOAT64:
        *reinterpret_cast<double*>(at) = stored;
        break;
      default:
        break;  // other types stay zero
    }
  }
  nifti_set_filenames(nim, name.c_str(), 0, 1);
  nifti_image_write(nim);
  nifti_image_free(nim);
}

}  // namespace

TEST(ImageFiles, WrittenTypesRoundTripWithHeader) {
  TempDir dir;
  {
    auto data = patterned<short>(5, 4, 3, 2);
    data.setVoxelSize(1.5f, 2.0f, 2.5f, 1.0f);
    setOrientation(*data.pythonHeader());
    data.pythonHeader()->setProperty("counts", makeObject(std::vector<int>{3, -4}));
    data.pythonHeader()->setProperty("weight", makeObject(0.1f));
    data.pythonHeader()->setProperty("label", makeObject(std::string("tab\there \"quoted\"")));
    vexa::Writer<VexaData<short>> writer(dir.file("mask"));
    EXPECT_EQ(writer.writtenObjectFullType(), "volume of S16");
    writer.write(data);
  }
  struct stat info;
  ASSERT_EQ(::stat(dir.file("mask.nii").c_str(), &info), 0);  // the bare name gets ".nii"

  VexaData<float> back = readBack(dir.file("mask"));
  expectPattern(back, 5, 4, 3, 2);
  PythonHeader& header = *back.pythonHeader();
  EXPECT_EQ(header.getProperty("volume_dimension")->value<std::vector<int>>(), (std::vector<int>{5, 4, 3, 2}));
  EXPECT_EQ(header.getProperty("voxel_size")->value<std::vector<float>>(),
            (std::vector<float>{1.5f, 2.0f, 2.5f, 1.0f}));
  EXPECT_EQ(header.getProperty("counts")->value<std::vector<int>>(), (std::vector<int>{3, -4}));
  EXPECT_EQ(header.getProperty("weight")->value<float>(), 0.1f);
  EXPECT_EQ(header.getProperty("label")->value<std::string>(), "tab\there \"quoted\"");
  EXPECT_EQ(header.getProperty(vexa::kQformCode)->value<int>(), 1);
  EXPECT_EQ(header.getProperty(vexa::kSformCode)->value<int>(), 2);
  EXPECT_EQ(header.getProperty(vexa::kQuatern)->value<std::vector<float>>(),
            (std::vector<float>{0, 0, 1, 10.5f, -20, 30, -1}));
  EXPECT_EQ(header.getProperty(vexa::kSrow)->value<std::vector<float>>(),
            (std::vector<float>{-1.5f, 0, 0, 10.5f, 0, -2, 0, -20, 0, 0, 2.5f, 30}));
  EXPECT_EQ(header.getProperty(vexa::kXyztUnits)->value<int>(), 10);

  // Float and double, plain and compressed, with and without a border.
  auto f = patterned<float>(3, 3, 2, 4, 1);
  vexa::Writer<VexaData<float>>(dir.file("f.nii.gz")).write(f);
  VexaData<float> fb = readBack(dir.file("f.nii.gz"));
  expectPattern(fb, 3, 3, 2, 4);
  EXPECT_FALSE(fb.pythonHeader()->hasProperty("_borderWidth"));
  EXPECT_EQ(testing_support::readFile(dir.file("f.nii.gz")).substr(0, 2), "\x1f\x8b");

  auto d = patterned<double>(2, 3, 4, 1);
  d.pythonHeader()->setProperty("precise", makeObject(0.1));
  vexa::Writer<VexaData<double>>(dir.file("d.nii")).write(d);
  VexaData<float> db = readBack(dir.file("d"));
  expectPattern(db, 2, 3, 4, 1);
  EXPECT_EQ(db.pythonHeader()->getProperty("volume_dimension")->size(), 3);  // a 3-D image
  EXPECT_EQ(db.pythonHeader()->getProperty("precise")->value<double>(), 0.1);

  // One frame only.
  VexaData<float> frame;
  vexa::Reader<VexaData<float>>(dir.file("f.nii.gz")).read(frame, 0, nullptr, 2);
  ASSERT_EQ(frame.dimT(), 1);
  EXPECT_EQ(frame(2, 1, 1, 0), pattern(2, 1, 1, 2));
}

TEST(ImageFiles, TheHeaderGivesTheDimensionsWhateverTheExtensionSays) {
  TempDir dir;
  auto data = patterned<float>(2, 2, 2, 2);
  data.pythonHeader()->setProperty("volume_dimension", makeObject(std::vector<float>{2, 2, 2, 2}));
  vexa::Writer<VexaData<float>>(dir.file("odd")).write(data);
  VexaData<float> back = readBack(dir.file("odd.nii"));
  EXPECT_EQ(back.pythonHeader()->getProperty("volume_dimension")->value<std::vector<int>>(),
            (std::vector<int>{2, 2, 2, 2}));
}

TEST(ImageFiles, EveryStoredTypeReadsAsFloat) {
  TempDir dir;
  struct Row {
    int datatype;
    std::string name;
    double slope, inter;
  };
  const Row rows[] = {
      {DT_UINT8, "u8.nii", 0, 0},
      {DT_INT8, "s8.nii", 1, -100},
      {DT_INT16, "s16.nii", 0, 0},
      {DT_INT16, "scaled.nii.gz", 0.5, 10},
      {DT_UINT16, "u16.hdr", 0, 0},
      {DT_INT32, "s32.nii", 1, 5},
      {DT_UINT32, "u32.nii", 0, 0},
      {DT_FLOAT32, "f32.hdr", 0, 0},
      {DT_FLOAT64, "f64.nii.gz", 0.25, -3},
      // Floats with the no-op scaling are read straight into place; with an offset they are not.
      {DT_FLOAT32, "f32one.nii", 1, 0},
      {DT_FLOAT32, "f32shift.nii", 1, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // uint8 and int8 cannot hold the pattern: keep those images to one row of voxels.
    const bool narrow = row.datatype == DT_UINT8 || row.datatype == DT_INT8;
    const std::vector<int64_t> extents = narrow ? std::vector<int64_t>{4, 1, 1, 1} : std::vector<int64_t>{4, 3, 2, 3};
    writeWithLibrary(dir.file(row.name), row.datatype, extents, row.slope, row.inter);
    VexaData<float> data = readBack(dir.file(row.name));
    expectPattern(data, static_cast<int>(extents[0]), static_cast<int>(extents[1]), static_cast<int>(extents[2]),
                  static_cast<int>(extents[3]));
    EXPECT_EQ(data.voxelSizeX(), 1.25f);
  }
  // A pair is found from either of its names.
  EXPECT_EQ(readBack(dir.file("u16.img")).dimX(), 4);
}

TEST(ImageFiles, BadFilesGiveOneClearError) {
  TempDir dir;
  using testing_support::writeFile;
  writeFile(dir.file("empty.nii"), "");
  std::string noise(2000, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919 + 13) % 251);
  writeFile(dir.file("random.nii"), noise);

  writeWithLibrary(dir.file("whole.nii"), DT_FLOAT32, {6, 6, 6, 6});
  const std::string whole = testing_support::readFile(dir.file("whole.nii"));
  writeFile(dir.file("truncated.nii"), whole.substr(0, whole.size() - 1000));
  writeWithLibrary(dir.file("whole.nii.gz"), DT_FLOAT32, {16, 16, 16, 6});
  const std::string zipped = testing_support::readFile(dir.file("whole.nii.gz"));
  writeFile(dir.file("cut.nii.gz"), zipped.substr(0, zipped.size() / 2));
  writeWithLibrary(dir.file("five.nii"), DT_FLOAT32, {2, 2, 2, 2, 3});
  writeWithLibrary(dir.file("complex.nii"), DT_COMPLEX64, {2, 2, 2});
  writeWithLibrary(dir.file("rgb.nii"), DT_RGB24, {2, 2, 2});
  // A header claiming 32767^4 voxels over a few bytes of data.
  std::string absurd = whole.substr(0, 400);
  const int16_t dims[5] = {4, 32767, 32767, 32767, 32767};
  std::memcpy(&absurd[40], dims, sizeof dims);
  writeFile(dir.file("absurd.nii"), absurd);
  ::mkdir(dir.file("folder.nii").c_str(), 0755);

  struct Row {
    std::string file;
    std::string reason;  // part of the message after the file name
  };
  const Row rows[] = {
      {"empty.nii", "not a NIfTI or ANALYZE image"}, {"random.nii", "not a NIfTI or ANALYZE image"},
      {"truncated.nii", "truncated image data"},     {"cut.nii.gz", "truncated image data"},
      {"five.nii", "more than 4 dimensions"},        {"complex.nii", "unsupported data type"},
      {"rgb.nii", "unsupported data type"},          {"absurd.nii", "truncated image data"},
      {"missing.nii", "no such image file"},         {"folder.nii", "is a directory"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    CapturedStderr captured;
    try {
      readBack(dir.file(row.file));
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(row.reason), std::string::npos) << message;
      EXPECT_EQ(message.rfind(dir.file(row.file), 0), 0u) << message;
      EXPECT_EQ(message.find('\n'), std::string::npos);
    }
    EXPECT_EQ(captured.text(), "");
  }

  // Writers: a missing folder, and a folder we may not write into.
  auto data = patterned<double>(2, 2, 2, 1);
  CapturedStderr captured;
  try {
    vexa::Writer<VexaData<double>>(dir.file("nowhere/map")).write(data);
    ADD_FAILURE() << "write into a missing folder succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), dir.file("nowhere/map.nii") + ": cannot write: No such file or directory");
  }
  EXPECT_THROW(vexa::Writer<VexaData<double>>(dir.file("x")).write(data, true), std::runtime_error);
  EXPECT_EQ(captured.text(), "");
}

TEST(ImageFiles, FailedWriteLeavesNoFileBehind) {
  // A file-size limit makes writes fail the way a full disk does, even for root.
  TempDir dir;
  auto data = patterned<float>(16, 16, 8, 2);
  unsigned state = 1;
  for (float& v : data.volume()) v = static_cast<float>(state = state * 1103515245u + 12345u);  // incompressible
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string plain, zipped;
  try {
    vexa::Writer<VexaData<float>>(dir.file("map")).write(data);
  } catch (const std::runtime_error& e) {
    plain = e.what();
  }
  try {
    vexa::Writer<VexaData<float>>(dir.file("map.nii.gz")).write(data);
  } catch (const std::runtime_error& e) {
    zipped = e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(plain.rfind(dir.file("map.nii") + ": cannot write: ", 0), 0u) << plain;
  EXPECT_EQ(zipped.rfind(dir.file("map.nii.gz") + ": cannot write: ", 0), 0u) << zipped;
  EXPECT_EQ(std::system(("test -z \"$(ls -A '" + dir.path() + "')\"").c_str()), 0) << "files left behind";
}

TEST(ImageFiles, SlicesWrittenAndReadSideBySide) {
  // Large enough for several 8 MiB slices, and 1 MiB gzip members: the threaded paths must
  // give the same bytes, and the members one stream that gzip itself takes whole.
  TempDir dir;
  auto data = patterned<float>(128, 128, 40, 4);
  for (const std::string ending : {".nii", ".nii.gz"}) {
    vexa::Writer<VexaData<float>> one(dir.file("one" + ending));
    one.write(data);
    vexa::Writer<VexaData<float>> three(dir.file("three" + ending));
    three.setThreads(3);
    three.write(data);
    EXPECT_TRUE(testing_support::readFile(dir.file("one" + ending)) ==
                testing_support::readFile(dir.file("three" + ending)))
        << ending;
  }
  VexaData<float> zipped = readBack(dir.file("three.nii.gz"));
  EXPECT_TRUE(std::equal(zipped.volume().begin(), zipped.volume().end(), data.volume().begin()));
  EXPECT_EQ(
      std::system(("gzip -dc '" + dir.file("three.nii.gz") + "' | cmp -s - '" + dir.file("three.nii") + "'").c_str()),
      0);

  VexaData<float> back;
  vexa::Reader<VexaData<float>> reader(dir.file("three.nii"));
  reader.setThreads(3);
  reader.read(back, 0, nullptr, -1);
  EXPECT_TRUE(std::equal(back.volume().begin(), back.volume().end(), data.volume().begin()));

  // A truncated file is still refused, whichever slice meets the end.
  const std::string whole = testing_support::readFile(dir.file("three.nii"));
  testing_support::writeFile(dir.file("short.nii"), whole.substr(0, whole.size() - 4));
  vexa::Reader<VexaData<float>> shortReader(dir.file("short.nii"));
  shortReader.setThreads(3);
  EXPECT_THROW(shortReader.read(back, 0, nullptr, -1), std::runtime_error);
}

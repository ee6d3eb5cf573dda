// What a tool used on cohorts needs: the user's own mask, compressed and 3-D outputs,
// provenance sidecars, and an installed copy that runs. Needs Debian's Python with nibabel.

#include <dirent.h>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "imaging/formats/imagefile.h"
#include "tests/support/test_support.h"

using testing_support::Process;
using testing_support::readFile;
using testing_support::TempDir;

namespace {

const std::string kProgram = MIRLUNE_BINARY;

using testing_support::Outcome;

Outcome mirlune(const std::vector<std::string>& args, const std::string& cwd, const std::string& program = kProgram) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing_support::runToEnd(argv, cwd);
}

VexaData<float> load(const std::string& path) {
  VexaData<float> data;
  vexa::Reader<VexaData<float>>(path).read(data, 0, nullptr, -1);
  return data;
}

int nonZero(const VexaData<float>& data) {
  int count = 0;
  for (float v : data.volume()) count += v != 0;
  return count;
}

void makeSeries(const std::string& path, const std::string& size) {
  ASSERT_EQ(std::system((std::string(MAKE_SERIES) + " '" + path + "' " + size + " > /dev/null").c_str()), 0);
}

bool folderIsEmptyOrAbsent(const std::string& folder) {
  for (const std::string& name : testing_support::namesIn(folder))
    if (name[0] != '.') return false;
  return true;
}

class Cohort : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    makeSeries(dir->file("series.nii.gz"), "24 24 16 8");
    ASSERT_EQ(mirlune({"-i", "series.nii.gz", "-o", "reference"}, dir->path()).status, 0);
  }
  static void TearDownTestSuite() { delete dir; }
  static TempDir* dir;
};
TempDir* Cohort::dir = nullptr;

}  // namespace

TEST_F(Cohort, TheUsersMaskWhereTheBuiltInRuleFails) {
  // The series shifted by -10: most of the head is negative in the middle frame.
  VexaData<float> shifted = load(dir->file("series.nii.gz"));
  for (float& v : shifted.volume()) v -= 10.0f;
  vexa::Writer<VexaData<float>>(dir->file("shifted.nii")).write(shifted);
  const int head = nonZero(load(dir->file("reference/mask.nii")));
  ASSERT_GT(head, 1000);

  ASSERT_EQ(mirlune({"-i", "shifted.nii", "-o", "builtin"}, dir->path()).status, 0);
  EXPECT_LT(nonZero(load(dir->file("builtin/mask.nii"))), head / 2);

  const Outcome own = mirlune({"-i", "shifted.nii", "-mask", "reference/mask.nii", "-o", "own"}, dir->path());
  ASSERT_EQ(own.status, 0) << own.err;
  EXPECT_EQ(own.err, "");
  const VexaData<float> given = load(dir->file("reference/mask.nii")), written = load(dir->file("own/mask.nii"));
  EXPECT_TRUE(std::equal(given.volume().begin(), given.volume().end(), written.volume().begin()));
  // Every mask voxel with a neighbour is analysed, the shifted values notwithstanding.
  EXPECT_GT(nonZero(load(dir->file("own/disparite.nii"))), head - 20);
}

TEST_F(Cohort, MismatchedMasksAreRefusedWithOneLine) {
  VexaData<float> series = load(dir->file("series.nii.gz"));
  VexaData<float> thin(24, 24, 15, 1, 0), frames(24, 24, 16, 3, 0);
  for (float& v : thin.volume()) v = 1;
  for (float& v : frames.volume()) v = 1;
  vexa::Writer<VexaData<float>>(dir->file("thin.nii")).write(thin);
  vexa::Writer<VexaData<float>>(dir->file("frames.nii")).write(frames);
  // The reference mask moved by 10 mm along x.
  VexaData<float> moved = load(dir->file("reference/mask.nii"));
  std::vector<float> srow = moved.pythonHeader()->getProperty(vexa::kSrow)->value<std::vector<float>>();
  srow[3] += 10.0f;
  moved.pythonHeader()->setProperty(vexa::kSrow, norbe::makeObject(srow));
  vexa::Writer<VexaData<float>>(dir->file("moved.nii")).write(moved);

  struct Row {
    std::string mask, message;
  };
  const Row rows[] = {
      {"thin.nii", "the mask thin.nii is 24 x 24 x 15 voxels but the series series.nii.gz is 24 x 24 x 16"},
      {"frames.nii", "the mask frames.nii has 3 frames; a mask is a 3-D image or has one frame"},
      {"moved.nii", "the mask moved.nii is not placed in space like the series series.nii.gz (their affines differ)"},
      {"absent.nii", "absent.nii: no such image file (tried .nii, .nii.gz and .hdr)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mask);
    const Outcome run = mirlune({"-i", "series.nii.gz", "-mask", row.mask, "-o", "refused"}, dir->path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kProgram + ": " + row.message + "\n");
    EXPECT_TRUE(folderIsEmptyOrAbsent(dir->file("refused")));
  }
}

TEST_F(Cohort, CompressedAndThreeDimensionalOutputsKeepTheInputsAffine) {
  ASSERT_EQ(mirlune({"-i", "series.nii.gz", "-compress", "-o", "packed"}, dir->path()).status, 0);
  const std::string check = "/usr/bin/python3 - '" + dir->path() + "' <<'EOF'\n" + R"(
import sys
import nibabel as nib, numpy as np
folder = sys.argv[1]
source = nib.load(folder + '/series.nii.gz')
for name in ['mask', 'ratFiltre', 'disparite', 'dispersion', 'dispersion2']:
    packed = nib.load(folder + '/packed/' + name + '.nii.gz')
    plain = nib.load(folder + '/reference/' + name + '.nii')
    frames = source.shape[3] if name == 'ratFiltre' else 1
    assert packed.shape == source.shape[:3] + ((frames,) if frames > 1 else ()), (name, packed.shape)
    assert np.allclose(packed.affine, source.affine), name
    assert np.array_equal(np.asanyarray(packed.dataobj), np.asanyarray(plain.dataobj)), name
    assert packed.header['descrip'].tobytes().startswith(b'Mirlune '), packed.header['descrip']
EOF
)";
  EXPECT_EQ(std::system(check.c_str()), 0);
}

TEST_F(Cohort, SidecarsDescribeEveryOutputAndDegenerateInputs) {
  ASSERT_EQ(mirlune({"-i", "series.nii.gz", "-sidecars", "-o", "described"}, dir->path()).status, 0);
  const int analysed = nonZero(load(dir->file("described/disparite.nii")));
  for (const char* name : {"mask", "ratFiltre", "disparite", "dispersion", "dispersion2"}) {
    SCOPED_TRACE(name);
    const nlohmann::json sidecar =
        nlohmann::json::parse(readFile(dir->file(std::string("described/") + name + ".json")));
    EXPECT_FALSE(sidecar["Description"].get<std::string>().empty());
    EXPECT_EQ(sidecar["SourceFile"]["Path"], dir->file("series.nii.gz"));
    EXPECT_EQ(sidecar["SourceFile"]["SizeBytes"], readFile(dir->file("series.nii.gz")).size());
    EXPECT_TRUE(sidecar["Mask"].contains("Rule"));
    EXPECT_EQ(sidecar["Window"], nlohmann::json::array({5, 5, 5}));
    EXPECT_EQ(sidecar["AnalysedVoxels"], analysed);
    EXPECT_EQ(sidecar["GeneratedBy"][0]["Name"], "Mirlune");
    EXPECT_EQ(sidecar["GeneratedBy"][0]["CommandLine"], kProgram + " -i series.nii.gz -sidecars -o described");
    EXPECT_FALSE(sidecar.contains("Notes"));
  }

  // One frame, two frames and a 3-D image say so; the program's own output does not change.
  VexaData<float> series = load(dir->file("series.nii.gz"));
  for (int frames : {1, 2}) {
    VexaData<float> few(24, 24, 16, frames, 0);
    for (int t = 0; t < frames; ++t)
      for (int z = 0; z < 16; ++z)
        for (int y = 0; y < 24; ++y)
          for (int x = 0; x < 24; ++x) few(x, y, z, t) = series(x, y, z, t + 3);
    if (frames == 1) few.pythonHeader()->setProperty("voxel_size", norbe::makeObject(std::vector<float>{2, 2, 2}));
    vexa::Writer<VexaData<float>>(dir->file("few.nii")).write(few);
    const Outcome run = mirlune({"-i", "few.nii", "-sidecars", "-o", "few" + std::to_string(frames)}, dir->path());
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json sidecar =
        nlohmann::json::parse(readFile(dir->file("few" + std::to_string(frames) + "/disparite.json")));
    const std::string notes = sidecar["Notes"].dump();
    EXPECT_NE(notes.find(frames == 1 ? "single frame" : "two frames"), std::string::npos) << notes;
    EXPECT_EQ(notes.find("3-D image") != std::string::npos, frames == 1) << notes;
    EXPECT_EQ(sidecar["Frames"], frames);
  }

  // The user's mask is named in the sidecars.
  ASSERT_EQ(
      mirlune({"-i", "series.nii.gz", "-mask", "reference/mask.nii", "-sidecars", "-o", "masked"}, dir->path()).status,
      0);
  const nlohmann::json masked = nlohmann::json::parse(readFile(dir->file("masked/mask.json")));
  EXPECT_EQ(masked["Mask"]["File"], dir->file("reference/mask.nii"));
}

TEST_F(Cohort, TheQuickLookPictureOfAnOutputFolder) {
  // With the neighbour counts, which take a panel of their own.
  ASSERT_EQ(mirlune({"-i", "series.nii.gz", "-sidecars", "-voisins", "-o", "looked"}, dir->path()).status, 0);
  const std::string command =
      std::string("/usr/bin/python3 ") + QUICKLOOK + " '" + dir->file("looked") + "' > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string picture = readFile(dir->file("looked/quicklook.png"));
  ASSERT_GT(picture.size(), 10000u);
  EXPECT_EQ(picture.substr(1, 3), "PNG");
}

TEST_F(Cohort, AnInstalledCopyRunsWithItsManualPage) {
  TempDir prefix;
  const std::string install = std::string(CMAKE_COMMAND) + " --install '" + PROJECT_BINARY_DIR + "' --prefix '" +
                              prefix.path() + "' > /dev/null";
  ASSERT_EQ(std::system(install.c_str()), 0);
  for (const char* file : {"bin/Mirlune", "bin/setuprun", "bin/mirlune-quicklook", "lib/mirlune/make_series",
                           "share/man/man1/Mirlune.1.gz", "share/man/man1/mirlune-quicklook.1.gz",
                           "share/doc/mirlune/copyright", "share/doc/mirlune/changelog.gz"}) {
    EXPECT_FALSE(readFile(prefix.file(file)).empty()) << file;
  }
  EXPECT_FALSE(readFile(prefix.file("bin/make_series")).size()) << "a test helper on PATH";
  const std::string page = "zcat '" + prefix.file("share/man/man1/Mirlune.1.gz") + "' | grep -q '^.TH MIRLUNE 1'";
  EXPECT_EQ(std::system(page.c_str()), 0);
  const Outcome run = mirlune({"-i", "series.nii.gz", "-o", "installed"}, dir->path(), prefix.file("bin/Mirlune"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(readFile(dir->file("installed/disparite.nii")) == readFile(dir->file("reference/disparite.nii")));
}

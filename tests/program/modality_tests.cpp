// What fMRI and diffusion users meet: the window's side, demeaned courses, the frame
// spacing kept, the neighbour-count map, zero-signal cubes, and degenerate runs said aloud
// (or refused with -strict). Needs Debian's Python with nibabel for the timing check.

#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "imaging/formats/imagefile.h"
#include "tests/support/test_support.h"

using testing_support::Outcome;
using testing_support::readFile;
using testing_support::TempDir;

namespace {

const std::string kProgram = MIRLUNE_BINARY;
const std::string kLines =
    " masque ok \nserie global PCA  ok \n ANALYSE LOCALE PCA OK\n ecriture cartes et nouveau rat  OK\n";

Outcome mirlune(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv{kProgram};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing_support::runToEnd(argv, cwd);
}

void makeSeries(const std::string& path, const std::string& size) {
  ASSERT_EQ(std::system((std::string(MAKE_SERIES) + " '" + path + "' " + size + " > /dev/null").c_str()), 0);
}

VexaData<float> load(const std::string& path) {
  VexaData<float> data;
  vexa::Reader<VexaData<float>>(path).read(data, 0, nullptr, -1);
  return data;
}

nlohmann::json sidecar(const std::string& path) { return nlohmann::json::parse(readFile(path)); }

class Modality : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    makeSeries(dir->file("pet.nii"), "20 20 12 16");
  }
  static void TearDownTestSuite() { delete dir; }
  static TempDir* dir;
};
TempDir* Modality::dir = nullptr;

}  // namespace

TEST_F(Modality, TheFilteredSeriesKeepsTheInputsTiming) {
  // An fMRI-like header: 2000 ms frames, a time offset, and the frequency, phase and slice axes.
  const std::string make = "/usr/bin/python3 - '" + dir->path() + "' <<'EOF'\n" + R"(
import sys
import nibabel as nib, numpy as np
image = nib.Nifti1Image(np.random.default_rng(3).uniform(900, 1100, (10, 9, 6, 12)).astype(np.float32),
                        np.diag([2.5, 2.5, 3.0, 1.0]))
image.header.set_xyzt_units('mm', 'msec')
image.header.set_dim_info(freq=1, phase=0, slice=2)
image.header['pixdim'][4] = 2000
image.header['toffset'] = 5.5
nib.save(image, sys.argv[1] + '/bold.nii')
EOF
)";
  ASSERT_EQ(std::system(make.c_str()), 0);
  for (const std::string compress : {"", "-compress"}) {
    SCOPED_TRACE(compress.empty() ? ".nii" : ".nii.gz");
    std::vector<std::string> args{"-i", "bold.nii", "-o", "timing" + compress};
    if (!compress.empty()) args.push_back(compress);
    ASSERT_EQ(mirlune(args, dir->path()).status, 0);
    const std::string ending = compress.empty() ? ".nii" : ".nii.gz";
    const std::string check = "/usr/bin/python3 - '" + dir->file("timing" + compress) + "' " + ending + " <<'EOF'\n" +
                              R"(
import sys
import nibabel as nib
folder, ending = sys.argv[1], sys.argv[2]
series = nib.load(folder + '/ratFiltre' + ending).header
assert series.get_zooms() == (2.5, 2.5, 3.0, 2000.0), series.get_zooms()
assert series.get_xyzt_units() == ('mm', 'msec'), series.get_xyzt_units()
assert series.get_dim_info() == (1, 0, 2), series.get_dim_info()
assert float(series['toffset']) == 5.5, series['toffset']
for name in ('mask', 'disparite', 'dispersion', 'dispersion2'):
    assert nib.load(folder + '/' + name + ending).header.get_xyzt_units()[0] == 'mm', name
EOF
)";
    EXPECT_EQ(std::system(check.c_str()), 0);
  }
}

TEST_F(Modality, WindowSideDemeaningAndNeighbourCounts) {
  // The window and demeaning are recorded; voisins holds each analysed voxel's count.
  const Outcome run =
      mirlune({"-i", "pet.nii", "-o", "seven", "-window", "7", "-demean", "-voisins", "-sidecars"}, dir->path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(sidecar(dir->file("seven/disparite.json"))["Window"], nlohmann::json({7, 7, 7}));
  EXPECT_EQ(sidecar(dir->file("seven/ratFiltre.json"))["DemeanedCourses"], true);
  const VexaData<float> mask = load(dir->file("seven/mask.nii")), counts = load(dir->file("seven/voisins.nii"));
  int interior = 0;
  for (int z = 3; z < 9; ++z)
    for (int y = 3; y < 17; ++y)
      for (int x = 3; x < 17; ++x) {
        int inCube = 0;
        for (int c = z - 3; c <= z + 3; ++c)
          for (int b = y - 3; b <= y + 3; ++b)
            for (int a = x - 3; a <= x + 3; ++a) inCube += mask(a, b, c) == 1;
        if (mask(x, y, z) != 1 || inCube < 2) continue;
        ASSERT_EQ(counts(x, y, z), inCube) << x << " " << y << " " << z;
        ++interior;
      }
  EXPECT_GT(interior, 100);
  EXPECT_TRUE(testing_support::fileExists(dir->file("seven/voisins.json")));

  // "auto": the smallest cube holding more voxels than frames (16 frames: 3 x 3 x 3).
  ASSERT_EQ(mirlune({"-i", "pet.nii", "-o", "auto", "--window=auto", "-sidecars"}, dir->path()).status, 0);
  EXPECT_EQ(sidecar(dir->file("auto/dispersion.json"))["Window"], nlohmann::json({3, 3, 3}));
}

TEST_F(Modality, WindowsThatCannotBeUsedAreRefusedAtOnce) {
  for (const std::string side : {"4", "1", "17", "abc", "5x", "5,5", "5,5,4", "5,,3", "5,5,3,3", ",5,5,5", "+5"}) {
    SCOPED_TRACE(side);
    const Outcome run = mirlune({"-i", "pet.nii", "-o", "refused", "-window", side}, dir->path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kProgram + ": -window " + side +
                           ": a side must be an odd number from 3 to 15 (one for a cube, or three, x,y,z), or auto\n");
    EXPECT_EQ(run.out, "");
  }
  // More frames than the widest window holds voxels.
  VexaData<float> many(2, 2, 2, 3400, 0);
  for (float& v : many.volume()) v = 1;
  vexa::Writer<VexaData<float>>(dir->file("many.nii")).write(many);
  const Outcome run = mirlune({"-i", "many.nii", "-o", "refused", "-window", "auto"}, dir->path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, kProgram +
                         ": -window auto: the series has 3400 frames, more than the widest window (15 x 15 x 15) "
                         "holds voxels\n");
  EXPECT_TRUE(testing_support::namesIn(dir->file("refused")).empty());
}

TEST_F(Modality, ACubeOfZeroSignalGivesZeroNotNaN) {
  // An all-ones mask over a series with a zero background.
  VexaData<float> ones(20, 20, 12, 1, 0);
  for (float& v : ones.volume()) v = 1;
  vexa::Writer<VexaData<float>>(dir->file("ones.nii")).write(ones);
  ASSERT_EQ(mirlune({"-i", "pet.nii", "-mask", "ones.nii", "-o", "zero"}, dir->path()).status, 0);
  for (const char* name : {"zero/dispersion.nii", "zero/dispersion2.nii"}) {
    const VexaData<float> map = load(dir->file(name));
    for (float v : map.volume()) ASSERT_FALSE(std::isnan(v)) << name;
  }
}

TEST_F(Modality, DegenerateRunsSaySoOrFailWithStrict) {
  // Each case: the files it needs, its arguments, and what the warning says.
  VexaData<float> zeros(8, 8, 8, 6, 0);
  vexa::Writer<VexaData<float>>(dir->file("zeros.nii")).write(zeros);
  VexaData<float> frame = load(dir->file("pet.nii"));
  VexaData<float> single(20, 20, 12, 1, 0);
  for (int z = 0; z < 12; ++z)
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 20; ++x) single(x, y, z) = frame(x, y, z, 8);
  vexa::Writer<VexaData<float>>(dir->file("single.nii")).write(single);
  VexaData<float> scattered(20, 20, 12, 1, 0);
  scattered(2, 2, 2) = scattered(10, 10, 6) = scattered(17, 17, 9) = 1;  // no two in one cube
  vexa::Writer<VexaData<float>>(dir->file("scattered.nii")).write(scattered);
  makeSeries(dir->file("long.nii"), "12 12 8 130");
  makeSeries(dir->file("longer.nii"), "8 8 6 1000");
  // Signal in every voxel of a 10-voxel cube: at 100 frames, 568 of its 1,000 cubes hold fewer.
  VexaData<float> full(10, 10, 10, 100, 0), two(10, 10, 10, 2, 0);
  unsigned state = 17;
  for (VexaData<float>* series : {&full, &two})
    for (float& v : series->volume()) {
      state = state * 1664525u + 1013904223u;
      v = 100.0f + static_cast<float>(state >> 16) / 4096.0f;
    }
  vexa::Writer<VexaData<float>>(dir->file("full.nii")).write(full);
  vexa::Writer<VexaData<float>>(dir->file("two.nii")).write(two);

  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string reason;
  };
  const Case cases[] = {
      {"empty mask", {"-i", "zeros.nii"}, "the mask is empty: nothing was analysed"},
      {"single frame", {"-i", "single.nii"}, "the series has a single frame: the maps say nothing of time courses"},
      {"no analysed voxel",
       {"-i", "pet.nii", "-mask", "scattered.nii"},
       "no voxel was analysed: no mask voxel has another in its cube"},
      {"fewer voxels than frames",
       {"-i", "long.nii"},
       "every analysed cube holds fewer voxels than the series has frames, so dispersion is 0 everywhere (a wider "
       "window: -window 7)"},
      {"a mask of fewer voxels than frames",
       {"-i", "longer.nii"},
       "the mask holds 79 voxels, fewer than the series' 1000 frames: every cube holds fewer voxels than frames, so "
       "dispersion is 0 everywhere, whatever the window"},
      {"most cubes fewer than frames",
       {"-i", "full.nii"},
       "568 of 1000 analysed cubes hold fewer voxels than the series has frames, so dispersion is 0 there (a wider "
       "window: -window 7)"},
      {"two frames demeaned",
       {"-i", "two.nii", "-demean"},
       "the series has two frames and its courses are demeaned: each cube's courses span one direction, so "
       "dispersion and dispersion2 are 0 everywhere"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "degenerate", "-sidecars"});
    const Outcome run = mirlune(args, dir->path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Mirlune: warning: " + c.reason + "\n");
    const auto notes = sidecar(dir->file("degenerate/disparite.json"))["Notes"];
    std::string said = c.reason + ".";
    said[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(said[0])));
    EXPECT_NE(std::find(notes.begin(), notes.end(), said), notes.end()) << notes.dump();
    if (c.name == "two frames demeaned") {
      const VexaData<float> second = load(dir->file("degenerate/dispersion2.nii"));
      EXPECT_EQ(std::count(second.volume().begin(), second.volume().end(), 0.0f), 1000);
    }

    args.back() = "-strict";
    args[args.size() - 2] = "strict";
    const Outcome strict = mirlune(args, dir->path());
    EXPECT_EQ(strict.status, 1);
    EXPECT_EQ(strict.err, kProgram + ": " + c.reason + " (-strict: nothing was written)\n");
    EXPECT_TRUE(testing_support::namesIn(dir->file("strict")).empty());
  }
  // A series that tells something: no warning, -strict or not.
  const Outcome good = mirlune({"-i", "pet.nii", "-o", "good", "-strict"}, dir->path());
  EXPECT_EQ(good.status, 0);
  EXPECT_EQ(good.err, "");
}

// Runs the built Mirlune as a user would and checks its output byte for byte.

#include <sys/wait.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/formats/imagefile.h"
#include "tests/support/test_support.h"

using namespace norbe;
using testing_support::readFile;
using testing_support::shellQuote;
using testing_support::TempDir;

namespace {

struct Outcome {
  std::string out;
  std::string err;
  int status;
};

Outcome mirlune(const TempDir& dir, const std::vector<std::string>& args) {
  std::string command = "cd " + shellQuote(dir.path()) + " && " + shellQuote(MIRLUNE_BINARY);
  for (const auto& arg : args) command += " " + shellQuote(arg);
  command += " > .out 2> .err < /dev/null";
  const int status = std::system(command.c_str());
  Outcome run{readFile(dir.file(".out")), readFile(dir.file(".err")), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  std::remove(dir.file(".out").c_str());
  std::remove(dir.file(".err").c_str());
  return run;
}

const std::string kProgram = MIRLUNE_BINARY;

std::vector<std::string> filesIn(const TempDir& dir) {
  std::vector<std::string> names;
  for (const char* name : {"mask.nii", "ratFiltre.nii", "disparite.nii", "dispersion.nii", "dispersion2.nii"}) {
    if (std::ifstream(dir.file(name)).good()) names.push_back(name);
  }
  return names;
}

// A small series: a bright 3 x 3 x 3 block in an otherwise empty grid.
void writeSeries(const std::string& path, int nt, const Object& dimension = Object()) {
  VexaData<float> data(5, 4, 3, nt, 0);
  for (int t = 0; t < nt; ++t)
    for (int z = 0; z < 3; ++z)
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) data(x, y, z, t) = 1.0f + x + 2 * y + 3 * z + 0.5f * t * (x + 1);
  if (nt > 1) {
    data.setVoxelSize(1.5f, 0.9375f, 3.0f, 60.0f);
  } else {  // a 3-D image
    data.pythonHeader()->setProperty("voxel_size", makeObject(std::vector<float>{1.5f, 0.9375f, 3.0f}));
  }
  if (dimension) data.pythonHeader()->setProperty("volume_dimension", dimension);
  vexa::Writer<VexaData<float>>(path).write(data);
}

const std::string kLines =
    " masque ok \nserie global PCA  ok \n ANALYSE LOCALE PCA OK\n ecriture cartes et nouveau rat  OK\n";

}  // namespace

TEST(CommandLine, OptionErrorsAreOneLineAndWriteNothing) {
  TempDir dir;
  writeSeries(dir.file("in.nii"), 3);
  struct Row {
    std::vector<std::string> args;
    std::string message;
  };
  const Row rows[] = {
      {{}, "missing mandatory option -i (see --help)"},
      {{"-verbose"}, "missing mandatory option -i (see --help)"},
      {{"-i", "in.nii", "-i", "in.nii"}, "option -i is given more than once"},
      {{"-i", "in.nii", "-q"}, "unknown option \"-q\" (see --help)"},
      {{"-i"}, "missing value after option -i"},
      {{"-i", "in.nii", "--threads", "zero"}, "option --threads needs a whole number from 1 to 1024, not \"zero\""},
      {{"-i", "in.nii", "-estimator", "exp1"},
       "-estimator exp1: it chooses how -denoise estimates the noise, and there is no -denoise"},
      {{"-i", "in.nii", "-denoise", "-estimator", "exp3"}, "-estimator exp3: the estimator is exp1 or exp2"},
  };
  for (const Row& row : rows) {
    Outcome run = mirlune(dir, row.args);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, kProgram + ": " + row.message + "\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(filesIn(dir).empty());
  }
}

TEST(CommandLine, MissingOrBadInputFile) {
  TempDir dir;
  Outcome run = mirlune(dir, {"-i", "absent.nii"});
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, kProgram + ": absent.nii: no such image file (tried .nii, .nii.gz and .hdr)\n");
  EXPECT_EQ(run.status, 1);

  testing_support::writeFile(dir.file("junk.nii"), std::string(500, 'x'));
  run = mirlune(dir, {"-i", "junk.nii"});
  EXPECT_EQ(run.err, kProgram + ": junk.nii: not a NIfTI or ANALYZE image, or its header is damaged\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(filesIn(dir).empty());
}

TEST(CommandLine, HelpAndVersionEndQuietly) {
  TempDir dir;
  Outcome help = mirlune(dir, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("Mirlune \n\n-i <file name (read only): volume of FLOAT>\ninput files \n"
                           "[ -verbose <boolean> ]\naccepted for compatibility; it changes nothing\n",
                           0),
            0u)
      << help.out;
  EXPECT_EQ(mirlune(dir, {"-i", "x", "-h"}).status, 0);
  Outcome version = mirlune(dir, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("Mirlune ", 0), 0u);
}

// The manual page and --help must not drift: every option --help names is described there.
TEST(CommandLine, EveryOptionOfTheHelpIsInTheManualPage) {
  TempDir dir;
  const std::string help = mirlune(dir, {"--help"}).out;
  const std::string page = readFile(std::string(MIRLUNE_SOURCE_DIR) + "/doc/Mirlune.1.in");
  std::size_t options = 0;
  for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos;) {
    const std::string line = help.substr(at + 1, help.find('\n', at + 1) - at - 1);
    ++at;
    const std::size_t start = line.rfind("[ ", 0) == 0 ? 2 : 0;
    if (line.compare(start, 1, "-") != 0) continue;
    // Each name of the option ("-o | --output <folder>"), as the page spells it: "\-o".
    std::string names = line.substr(start, line.find_first_of("<]", start) - start);
    for (std::size_t end; !names.empty(); names = end == std::string::npos ? "" : names.substr(end + 3)) {
      end = names.find(" | ");
      std::string name = names.substr(0, std::min(end, names.find(' ')));
      std::string spelled;
      for (char c : name) spelled += c == '-' ? "\\-" : std::string(1, c);
      EXPECT_NE(page.find(spelled), std::string::npos) << name << " is not in doc/Mirlune.1.in";
      ++options;
    }
  }
  EXPECT_GE(options, 15u);
}

TEST(CommandLine, HeaderReportFollowsTheDimensionList) {
  TempDir dir;
  writeSeries(dir.file("three.nii"), 1);  // one frame: a 3-entry list
  writeSeries(dir.file("four.nii"), 3);
  writeSeries(dir.file("five.nii"), 3, makeObject(std::vector<int>{5, 4, 3, 3, 7}));
  writeSeries(dir.file("floats.nii"), 3, makeObject(std::vector<float>{5, 4, 3, 3}));

  Outcome three = mirlune(dir, {"-i", "three.nii"});
  EXPECT_EQ(three.out, "volume dims: 5, 4, 3\nvoxel size : 1.5, 0.9375, 3\n" + kLines);
  EXPECT_EQ(three.status, 0);
  Outcome four = mirlune(dir, {"-i", "four.nii"});
  EXPECT_EQ(four.out, "volume dims: 5, 4, 3, 3\nvoxel size : 1.5, 0.9375, 3\n" + kLines);
  EXPECT_EQ(four.err, "");
  Outcome five = mirlune(dir, {"-i", "five.nii"});
  EXPECT_EQ(five.out, "volume dims: 5, 4, 3, 3\nvoxel size : 1.5, 0.9375, 3\n" + kLines);

  // -verbose changes nothing, byte for byte.
  Outcome verbose = mirlune(dir, {"-verbose", "-i", "four.nii"});
  EXPECT_EQ(verbose.out, four.out);
  EXPECT_EQ(verbose.err, four.err);
  EXPECT_EQ(readFile(dir.file("ratFiltre.nii")).size(), 352 + 5 * 4 * 3 * 3 * 4u);

  // A list of floats in the extension gives way to the header's extents.
  TempDir clean;
  writeSeries(clean.file("floats.nii"), 3, makeObject(std::vector<float>{5, 4, 3, 3}));
  Outcome floats = mirlune(clean, {"-i", "floats.nii"});
  EXPECT_EQ(floats.out, "volume dims: 5, 4, 3, 3\nvoxel size : 1.5, 0.9375, 3\n" + kLines);
  EXPECT_EQ(floats.err, "");
  EXPECT_EQ(floats.status, 0);
}

TEST(CommandLine, EmptyMaskStillWritesEverything) {
  TempDir dir;
  VexaData<float> zeros(4, 4, 4, 2, 0);
  vexa::Writer<VexaData<float>>(dir.file("zeros.nii")).write(zeros);
  Outcome run = mirlune(dir, {"-i", "zeros"});
  EXPECT_EQ(run.out, "volume dims: 4, 4, 4, 2\nvoxel size : 1, 1, 1\n" + kLines);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(filesIn(dir).size(), 5u);
}

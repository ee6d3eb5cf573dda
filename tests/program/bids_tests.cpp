// Outputs as BIDS derivatives (-bids): names after the input's entities over every case, a
// datatype folder shared by the series of one subject run side by side, the dataset's
// description written once, following the umask, checked, and refused in words that name
// it, and outputs another input made never replaced.

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "program/bids.h"
#include "tests/support/test_support.h"

using testing_support::Outcome;
using testing_support::readFile;
using testing_support::TempDir;

namespace {

const std::string kProgram = MIRLUNE_BINARY;

Outcome run(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv{kProgram};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing_support::runToEnd(argv, cwd);
}

void makeSeries(const TempDir& dir, const std::string& path, int seed) {
  const std::string folder = dir.file(path.substr(0, path.rfind('/')));
  ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
  const std::string command =
      std::string(MAKE_SERIES) + " '" + dir.file(path) + "' 16 14 10 8 --seed " + std::to_string(seed) + " > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
}

nlohmann::json json(const std::string& path) { return nlohmann::json::parse(readFile(path)); }

}  // namespace

TEST(Bids, NamesOverTheEntityCases) {
  struct Case {
    std::string input, folder, set, mask, map, series, dataset;
  };
  const Case cases[] = {
      {"/data/raw/sub-01/ses-a/pet/sub-01_ses-a_trc-FDG_pet.nii.gz", "sub-01/ses-a/pet", "sub-01_ses-a_trc-FDG",
       "sub-01_ses-a_trc-FDG_desc-analysed_mask", "sub-01_ses-a_trc-FDG_desc-disparite_map",
       "sub-01_ses-a_trc-FDG_desc-ratFiltre_pet", "/data/raw"},
      // An input's own desc is folded into each output's: two preprocessings never share a name.
      {"/d/sub-7/func/sub-7_task-rest_run-2_desc-preproc_bold.nii", "sub-7/func", "sub-7_task-rest_run-2_desc-preproc",
       "sub-7_task-rest_run-2_desc-preprocAnalysed_mask", "sub-7_task-rest_run-2_desc-preprocDisparite_map",
       "sub-7_task-rest_run-2_desc-preprocRatFiltre_bold", "/d"},
      {"/d/sub-7/func/sub-7_task-rest_run-2_desc-smoothAROMAnonaggr_bold.nii", "sub-7/func",
       "sub-7_task-rest_run-2_desc-smoothAROMAnonaggr", "sub-7_task-rest_run-2_desc-smoothAROMAnonaggrAnalysed_mask",
       "sub-7_task-rest_run-2_desc-smoothAROMAnonaggrDisparite_map",
       "sub-7_task-rest_run-2_desc-smoothAROMAnonaggrRatFiltre_bold", "/d"},
      // Outside any dataset: the datatype follows the suffix.
      {"sub-3_acq-b1000_dwi.nii.gz", "sub-3/dwi", "sub-3_acq-b1000", "sub-3_acq-b1000_desc-analysed_mask",
       "sub-3_acq-b1000_desc-disparite_map", "sub-3_acq-b1000_desc-ratFiltre_dwi", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const mirlune::BidsInput input = mirlune::parseBidsInput(c.input);
    EXPECT_EQ(mirlune::bidsFolder(input), c.folder);
    EXPECT_EQ(mirlune::bidsSetName(input), c.set);
    EXPECT_EQ(mirlune::bidsOutputName(input, "mask"), c.mask);
    EXPECT_EQ(mirlune::bidsOutputName(input, "disparite"), c.map);
    EXPECT_EQ(mirlune::bidsOutputName(input, "ratFiltre"), c.series);
    EXPECT_EQ(input.dataset, c.dataset);
  }
  EXPECT_EQ(mirlune::bidsSource(mirlune::parseBidsInput(cases[0].input), "/x"),
            "bids:raw:sub-01/ses-a/pet/sub-01_ses-a_trc-FDG_pet.nii.gz");
  for (const std::string name : {"series.nii.gz", "sub-01.nii", "sub_01_pet.nii", "ses-a_sub-01_pet.nii",
                                 "sub-01_pet.mgz", "sub-01_x-a_b_pet.nii"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(mirlune::parseBidsInput("pet/" + name), std::runtime_error);
  }
}

TEST(Bids, SeriesOfOneSubjectRunSideBySideIntoOneDataset) {
  // Two runs and two preprocessings of one subject, started together, as the Snakefile and
  // the Slurm array schedule them; the masks in a derivative dataset of their own.
  TempDir dir;
  const std::vector<std::string> inputs = {"raw/sub-01/func/sub-01_task-rest_run-1_bold.nii.gz",
                                           "raw/sub-01/func/sub-01_task-rest_run-2_bold.nii.gz",
                                           "raw/sub-01/func/sub-01_task-rest_run-1_desc-preproc_bold.nii.gz",
                                           "raw/sub-01/func/sub-01_task-rest_run-1_desc-smooth_bold.nii.gz"};
  for (std::size_t i = 0; i < inputs.size(); ++i) makeSeries(dir, inputs[i], static_cast<int>(i) + 1);
  ASSERT_EQ(run({"-i", inputs[0], "-o", "made"}, dir.path()).status, 0);
  ASSERT_EQ(std::system(("mkdir -p " + dir.file("raw/derivatives/masks/sub-01/func")).c_str()), 0);
  const std::string mask = "raw/derivatives/masks/sub-01/func/sub-01_task-rest_run-1_desc-brain_mask.nii";
  testing_support::writeFile(dir.file(mask), readFile(dir.file("made/mask.nii")));
  const std::string out = "raw/derivatives/mirlune";
  std::vector<std::unique_ptr<testing_support::Process>> runs;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    std::vector<std::string> argv = {kProgram, "-i", inputs[i], "-o", out, "-bids"};
    if (i == 0) argv.insert(argv.end(), {"-mask", mask});
    runs.push_back(std::make_unique<testing_support::Process>(argv, dir.path(), dir.file("err" + std::to_string(i))));
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i]->wait(), 0) << readFile(dir.file("err" + std::to_string(i)));
  }
  const std::vector<std::string> names = testing_support::namesIn(dir.file(out + "/sub-01/func"));
  EXPECT_EQ(names.size(), 4 * 10u) << "the folder holds " << names.size() << " names";
  for (const char* made :
       {"sub-01_task-rest_run-2_desc-dispersion2_map.nii.gz", "sub-01_task-rest_run-1_desc-preprocRatFiltre_bold.json",
        "sub-01_task-rest_run-1_desc-smoothAnalysed_mask.nii.gz"}) {
    EXPECT_TRUE(testing_support::fileExists(dir.file(out + "/sub-01/func/" + made))) << made;
  }
  const auto description = json(dir.file(out + "/dataset_description.json"));
  EXPECT_EQ(description["DatasetType"], "derivative");
  EXPECT_EQ(description["DatasetLinks"]["raw"], "../..");
  EXPECT_EQ(description["DatasetLinks"]["masks"], "../masks");
  const auto sidecar = json(dir.file(out + "/sub-01/func/sub-01_task-rest_run-1_desc-disparite_map.json"));
  EXPECT_EQ(sidecar["Sources"][0], "bids:raw:sub-01/func/sub-01_task-rest_run-1_bold.nii.gz");
  EXPECT_EQ(sidecar["Mask"]["File"], "bids:masks:sub-01/func/sub-01_task-rest_run-1_desc-brain_mask.nii");
  EXPECT_FALSE(sidecar.contains("GeneratedBy"));
  EXPECT_TRUE(testing_support::fileExists(dir.file(out + "/README.md")));
  EXPECT_NE(readFile(dir.file(out + "/.bidsignore")).find("_map."), std::string::npos);

  // The same data as a plain run, byte for byte.
  ASSERT_EQ(run({"-i", inputs[1], "-o", "plain", "-compress"}, dir.path()).status, 0);
  EXPECT_EQ(readFile(dir.file("plain/dispersion2.nii.gz")),
            readFile(dir.file(out + "/sub-01/func/sub-01_task-rest_run-2_desc-dispersion2_map.nii.gz")));

  // Another input of the same entities (the same series uncompressed beside it): its run would
  // replace the first's set, and is refused before anything is done.
  ASSERT_EQ(std::system(("gzip -dc " + dir.file(inputs[1]) + " > " +
                         dir.file("raw/sub-01/func/sub-01_task-rest_run-2_bold.nii"))
                            .c_str()),
            0);
  const Outcome other = run({"-i", "raw/sub-01/func/sub-01_task-rest_run-2_bold.nii", "-o", out, "-bids"}, dir.path());
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("sub-01_task-rest_run-2_desc-analysed_mask.json: these outputs were made from "
                           "bids:raw:sub-01/func/sub-01_task-rest_run-2_bold.nii.gz, not from "
                           "bids:raw:sub-01/func/sub-01_task-rest_run-2_bold.nii: this run would replace them"),
            std::string::npos)
      << other.err;
  EXPECT_EQ(other.out, "");
}

TEST(Bids, TheDescriptionFollowsTheUmaskAndEveryRefusalNamesIt) {
  TempDir dir;
  makeSeries(dir, "raw/sub-01/pet/sub-01_pet.nii", 1);
  const std::string input = "raw/sub-01/pet/sub-01_pet.nii";
  // Made under a group's umask, the description is the group's to read, as the maps are.
  testing_support::Process grouped({kProgram, "-i", input, "-o", "group", "-bids"}, dir.path(), dir.file("err"),
                                   [] { ::umask(002); });
  ASSERT_EQ(grouped.wait(), 0);
  for (const char* file : {"group/dataset_description.json", "group/sub-01/pet/sub-01_desc-disparite_map.nii"}) {
    struct stat info;
    ASSERT_EQ(::stat(dir.file(file).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0664u) << file;
  }
  // What a killed claim left is swept by the next.
  testing_support::writeFile(dir.file("group/.mirlune-Ab12Cd34-dataset_description.json.part"), "{\"Na");
  ASSERT_EQ(run({"-i", input, "-o", "group", "-bids"}, dir.path()).status, 0);
  EXPECT_FALSE(testing_support::fileExists(dir.file("group/.mirlune-Ab12Cd34-dataset_description.json.part")));

  struct Case {
    const char* what;
    std::function<void(const std::string&)> plant;
    std::string err;
  };
  const Case cases[] = {
      {"another version's options",
       [&](const std::string& root) {
         ASSERT_EQ(run({"-i", input, "-o", root, "-bids"}, dir.path()).status, 0);
       },
       "/dataset_description.json: this derivative dataset was made by Mirlune -bids (0.2.0); this run (Mirlune -bids "
       "-demean, 0.2.0) would mix them: choose another output folder"},
      {"damaged",
       [](const std::string& root) { testing_support::writeFile(root + "/dataset_description.json", "{\"Name\": 7,"); },
       "/dataset_description.json: not a dataset description this program can read (not a JSON object); repair it, "
       "or choose another output folder"},
      {"a GeneratedBy of the wrong kind",
       [](const std::string& root) {
         testing_support::writeFile(root + "/dataset_description.json", "{\"GeneratedBy\": \"x\"}");
       },
       "/dataset_description.json: this derivative dataset was made by another program or version; this run (Mirlune "
       "-bids -demean, 0.2.0) would mix them: choose another output folder"},
      {"a link to nothing",
       [](const std::string& root) {
         ASSERT_EQ(::symlink("/nonexistent/description.json", (root + "/dataset_description.json").c_str()), 0);
       },
       "/dataset_description.json: a link to nothing; remove it, or choose another output folder"},
      {"a FIFO",
       [](const std::string& root) { ASSERT_EQ(::mkfifo((root + "/dataset_description.json").c_str(), 0644), 0); },
       "/dataset_description.json: not a regular file (a FIFO); remove it, or choose another output folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = dir.file(std::string("refused-") + std::to_string(&c - cases));
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    c.plant(root);
    const Outcome refused = run({"-i", input, "-o", root, "-bids", "-demean"}, dir.path());
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, kProgram + ": " + root + c.err + "\n");
  }

  // A name without entities: one line, nothing written.
  testing_support::writeFile(dir.file("series.nii"), readFile(dir.file(input)));
  const Outcome plain = run({"-i", "series.nii", "-o", "derived", "-bids"}, dir.path());
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.err, kProgram +
                           ": -bids: series.nii has no BIDS entities; a BIDS name reads "
                           "sub-<label>[_<key>-<label>...]_<suffix>.nii.gz\n");
}

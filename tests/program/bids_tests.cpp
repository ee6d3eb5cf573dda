// Outputs as BIDS derivatives (-bids): names after the input's entities, the subject's
// folder, the dataset's description written once and checked, one line for a name
// without entities.

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

}  // namespace

TEST(Bids, NamesFollowTheEntities) {
  const mirlune::BidsInput pet = mirlune::parseBidsInput("/data/raw/sub-01/ses-a/pet/sub-01_ses-a_trc-FDG_pet.nii.gz");
  EXPECT_EQ(mirlune::bidsFolder(pet), "sub-01/ses-a/pet");
  EXPECT_EQ(mirlune::bidsOutputName(pet, "disparite"), "sub-01_ses-a_trc-FDG_desc-disparite_pet");
  EXPECT_EQ(mirlune::bidsOutputName(pet, "mask"), "sub-01_ses-a_trc-FDG_desc-analysed_mask");
  EXPECT_EQ(pet.dataset, "/data/raw");
  EXPECT_EQ(mirlune::bidsSource(pet, "/x"), "bids:raw:sub-01/ses-a/pet/sub-01_ses-a_trc-FDG_pet.nii.gz");
  // A desc of the input's own gives way to ours; a datatype follows the suffix outside its folder.
  const mirlune::BidsInput bold = mirlune::parseBidsInput("sub-7_task-rest_desc-preproc_bold.nii");
  EXPECT_EQ(mirlune::bidsFolder(bold), "sub-7/func");
  EXPECT_EQ(mirlune::bidsOutputName(bold, "ratFiltre"), "sub-7_task-rest_desc-ratFiltre_bold");
  EXPECT_EQ(bold.dataset, "");
  for (const std::string name : {"series.nii.gz", "sub-01.nii", "sub_01_pet.nii", "ses-a_sub-01_pet.nii",
                                 "sub-01_pet.mgz", "sub-01_x-a_b_pet.nii"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(mirlune::parseBidsInput("pet/" + name), std::runtime_error);
  }
}

TEST(Bids, SubjectsWithAndWithoutSessionsShareOneDerivativeDataset) {
  TempDir dir;
  makeSeries(dir, "raw/sub-01/ses-a/pet/sub-01_ses-a_pet.nii.gz", 1);
  makeSeries(dir, "raw/sub-02/pet/sub-02_pet.nii", 2);
  testing_support::writeFile(dir.file("raw/dataset_description.json"),
                             "{\"Name\": \"raw\", \"BIDSVersion\": \"1.9.0\"}");
  const std::string out = "raw/derivatives/mirlune";
  ASSERT_EQ(run({"-i", "raw/sub-01/ses-a/pet/sub-01_ses-a_pet.nii.gz", "-o", out, "-bids"}, dir.path()).status, 0);
  const std::string description = readFile(dir.file(out + "/dataset_description.json"));
  // Into a folder that already holds a subject: the second, with a mask, beside it.
  ASSERT_EQ(run({"-i", "raw/sub-02/pet/sub-02_pet.nii", "-mask",
                 out + "/sub-01/ses-a/pet/sub-01_ses-a_desc-analysed_mask.nii.gz", "-o", out, "-bids"},
                dir.path())
                .status,
            0);
  EXPECT_EQ(readFile(dir.file(out + "/dataset_description.json")), description);  // written once
  EXPECT_EQ(testing_support::namesIn(dir.file(out + "/sub-01/ses-a/pet")).size(), 10u);
  const std::vector<std::string> second = testing_support::namesIn(dir.file(out + "/sub-02/pet"));
  EXPECT_EQ(second, (std::vector<std::string>{"sub-02_desc-analysed_mask.json", "sub-02_desc-analysed_mask.nii",
                                              "sub-02_desc-disparite_pet.json", "sub-02_desc-disparite_pet.nii",
                                              "sub-02_desc-dispersion2_pet.json", "sub-02_desc-dispersion2_pet.nii",
                                              "sub-02_desc-dispersion_pet.json", "sub-02_desc-dispersion_pet.nii",
                                              "sub-02_desc-ratFiltre_pet.json", "sub-02_desc-ratFiltre_pet.nii"}));
  const auto dataset = nlohmann::json::parse(description);
  EXPECT_EQ(dataset["DatasetType"], "derivative");
  EXPECT_EQ(dataset["GeneratedBy"][0]["Name"], "Mirlune");
  EXPECT_EQ(dataset["DatasetLinks"]["raw"], "../..");
  const auto sidecar = nlohmann::json::parse(readFile(dir.file(out + "/sub-02/pet/sub-02_desc-disparite_pet.json")));
  EXPECT_EQ(sidecar["Sources"][0], "bids:raw:sub-02/pet/sub-02_pet.nii");
  EXPECT_FALSE(sidecar.contains("GeneratedBy"));
  EXPECT_EQ(sidecar["Mask"]["File"].get<std::string>().find(dir.path()), 0u);

  // The same data as a plain run, byte for byte.
  ASSERT_EQ(run({"-i", "raw/sub-02/pet/sub-02_pet.nii", "-o", "plain"}, dir.path()).status, 0);
  ASSERT_EQ(run({"-i", "raw/sub-02/pet/sub-02_pet.nii", "-o", "bids", "-bids"}, dir.path()).status, 0);
  EXPECT_EQ(readFile(dir.file("plain/dispersion2.nii")),
            readFile(dir.file("bids/sub-02/pet/sub-02_desc-dispersion2_pet.nii")));
}

TEST(Bids, ADatasetMadeOtherwiseIsNotMixedWith) {
  TempDir dir;
  makeSeries(dir, "raw/sub-01/pet/sub-01_pet.nii", 1);
  makeSeries(dir, "raw/sub-02/pet/sub-02_pet.nii", 2);
  ASSERT_EQ(run({"-i", "raw/sub-01/pet/sub-01_pet.nii", "-o", "derived", "-bids"}, dir.path()).status, 0);
  const Outcome other = run({"-i", "raw/sub-02/pet/sub-02_pet.nii", "-o", "derived", "-bids", "-demean"}, dir.path());
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.err, kProgram +
                           ": derived/dataset_description.json: this derivative dataset was made by Mirlune -bids "
                           "(0.2.0); this run (Mirlune -bids -demean, 0.2.0) would mix them: choose another output "
                           "folder\n");
  EXPECT_FALSE(testing_support::fileExists(dir.file("derived/sub-02")));

  // A name without entities: one line, nothing written.
  testing_support::writeFile(dir.file("series.nii"), readFile(dir.file("raw/sub-01/pet/sub-01_pet.nii")));
  const Outcome plain = run({"-i", "series.nii", "-o", "derived", "-bids"}, dir.path());
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.err, kProgram +
                           ": -bids: series.nii has no BIDS entities; a BIDS name reads "
                           "sub-<label>[_<key>-<label>...]_<suffix>.nii.gz\n");
}

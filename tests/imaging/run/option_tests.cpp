#include <string>

#include <gtest/gtest.h>

#include "containers/singleoption.h"
#include "imaging/formats/imagefile.h"

using namespace norbe;
using ReaderOption = SingleOption<vexa::Reader<VexaData<float>>>;

TEST(Options, HelpLines) {
  vexa::Reader<VexaData<float>> reader;
  bool verbose = false;
  ReaderOption input("-i", "input files ", reader, false);
  SingleOption<bool> chatty("-verbose", "yields some more info", verbose, true);
  EXPECT_EQ(input.info(), "-i <file name (read only): volume of FLOAT>\ninput files ");
  EXPECT_EQ(chatty.info(), "[ -verbose <boolean> ]\nyields some more info");
  ReaderOption optionalInput("-i", "input files ", reader, true);
  EXPECT_EQ(optionalInput.info(), "[ -i <file name (read only): volume of FLOAT> ]\ninput files ");
  SingleOption<bool> mandatoryFlag("-f", "flag", verbose, false);
  EXPECT_EQ(mandatoryFlag.info(), "-f <boolean>\nflag");
}

TEST(Options, ReaderOptionTakesOneValue) {
  vexa::Reader<VexaData<float>> reader;
  ReaderOption option("-i", "input files ", reader, false);
  EXPECT_FALSE(option.recognizeName("-j"));
  EXPECT_THROW(option.checkGiven(), missing_option);
  EXPECT_TRUE(option.recognizeName("-i"));
  EXPECT_TRUE(option.feed("first.nii"));
  EXPECT_FALSE(option.feed("second.nii"));  // after a value: refused, nothing changes
  EXPECT_EQ(reader.fileName(), "first.nii");
  EXPECT_NO_THROW(option.checkGiven());
  try {
    option.recognizeName("-i");
    ADD_FAILURE() << "repeated option accepted";
  } catch (const unexpected_option& e) {
    EXPECT_STREQ(e.what(), "option -i is given more than once");
  }
  EXPECT_EQ(reader.fileName(), "first.nii");
}

TEST(Options, BooleanValues) {
  struct Row {
    const char* word;
    bool taken;
    bool value;
  };
  const Row rows[] = {{"true", true, true}, {"0", true, false},  {"No", true, false},
                      {"yes", true, true},  {"-i", false, true}, {"maybe", false, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.word);
    bool flag = true;
    SingleOption<bool> option("-verbose", "", flag, true);
    EXPECT_TRUE(option.recognizeName("-verbose"));
    EXPECT_EQ(option.feed(row.word), row.taken);
    EXPECT_EQ(flag, row.value);
  }
}

TEST(Options, ParserWalk) {
  struct Row {
    std::vector<std::string> words;
    std::string error;  // empty: parses
    std::string file;
    bool verbose;
  };
  const Row rows[] = {
      {{"-i", "a.nii"}, "", "a.nii", false},
      {{"-verbose", "-i", "a.nii"}, "", "a.nii", true},
      {{"-i", "a.nii", "-verbose"}, "", "a.nii", true},
      {{"-i", "a.nii", "-verbose", "false"}, "", "a.nii", false},
      {{}, "missing mandatory option -i (see --help)", "", false},
      {{"-i"}, "missing value after option -i", "", false},
      {{"-i", "a", "-i", "b"}, "option -i is given more than once", "a", false},
      {{"-x"}, "unknown option \"-x\" (see --help)", "", false},
      {{"-i", "a", "stray"}, "unknown option \"stray\" (see --help)", "a", false},
      // A long option may carry its value after "="; a value is never split, whatever it holds.
      {{"--input=a.nii"}, "", "a.nii", false},
      {{"--input=a=b.nii", "-verbose"}, "", "a=b.nii", true},
      {{"-i", "--odd=name.nii.gz"}, "", "--odd=name.nii.gz", false},
      {{"--input", "--x=y"}, "", "--x=y", false},
      {{"-i", "a", "--foo=bar"}, "unknown option \"--foo=bar\" (see --help)", "a", false},
  };
  for (const Row& row : rows) {
    vexa::Reader<VexaData<float>> reader;
    bool verbose = false;
    OptionsParser parser;
    auto* input = new ReaderOption("-i", "input files ", reader, false);
    input->addName("--input");
    parser.pushOption(input);
    parser.pushOption(new SingleOption<bool>("-verbose", "yields some more info", verbose, true));
    std::string error;
    try {
      parser.parse(row.words);
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(reader.fileName(), row.file);
    EXPECT_EQ(verbose, row.verbose);
  }
}

// Every input the reader's fuzzer was seeded with or has found, read the way the fuzzer
// reads it: refused or read, never a crash, and (in the sanitizer build) no report.

#include <dirent.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fuzz/reader_harness.h"
#include "tests/support/test_support.h"

namespace {

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> files;
  for (const std::string& name : testing_support::namesIn(folder))
    if (name[0] != '.') files.push_back(folder + "/" + name);
  return files;
}

}  // namespace

TEST(FuzzCorpus, SeedsAndFindingsAreReadOrRefusedQuietly) {
  testing_support::TempDir dir;
  int inputs = 0;
  for (const char* folder : {"/tests/fuzz/seeds", "/tests/hostile"}) {
    for (const std::string& path : filesIn(std::string(MIRLUNE_SOURCE_DIR) + folder)) {
      SCOPED_TRACE(path);
      const std::string bytes = testing_support::readFile(path);
      testing_support::CapturedStderr err;
      fuzzing::readAsImage(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), dir.path());
      EXPECT_EQ(err.text(), "");
      ++inputs;
    }
  }
  EXPECT_GE(inputs, 10);
}

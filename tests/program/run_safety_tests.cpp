// A run's files in real use: interrupted runs, runs side by side, the input among the
// outputs, file-size limits and CPU affinity, all with real processes and signals.

#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "imaging/formats/imagefile.h"
#include "imaging/run/commit.h"
#include "program/outputs.h"
#include "tests/support/test_support.h"

using testing_support::Process;
using testing_support::readFile;
using testing_support::TempDir;

namespace {

const std::string kProgram = MIRLUNE_BINARY;
const char* const kLock = ": another Mirlune run is writing these outputs there; wait for it or choose another -o\n";

//! Every file of a folder with its contents.
using FolderState = std::map<std::string, std::string>;

FolderState stateOf(const std::string& folder) {
  FolderState state;
  for (const std::string& name : testing_support::namesIn(folder)) state[name] = readFile(folder + "/" + name);
  return state;
}

void makeSeries(const std::string& path, const std::string& size, int seed) {
  const std::string command =
      std::string(MAKE_SERIES) + " '" + path + "' " + size + " --seed " + std::to_string(seed) + " > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
}

int run(const std::vector<std::string>& args, const std::string& cwd, const std::string& err,
        const std::function<void()>& prepare = {}) {
  std::vector<std::string> argv{kProgram};
  argv.insert(argv.end(), args.begin(), args.end());
  Process process(argv, cwd, err, prepare);
  std::string line;
  while (process.readLine(line)) {
  }
  return process.wait();
}

//! Makes folder hold exactly the files of state.
void resetFolder(const FolderState& state, const std::string& folder) {
  ::mkdir(folder.c_str(), 0755);
  for (const auto& entry : stateOf(folder)) ::unlink((folder + "/" + entry.first).c_str());
  for (const auto& [name, bytes] : state) testing_support::writeFile(folder + "/" + name, bytes);
}

// The two series and the outputs an undisturbed run gives for each.
class RunSafety : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    makeSeries(dir->file("a.nii"), "40 40 24 16", 1);
    makeSeries(dir->file("b.nii"), "40 40 24 16", 2);
    ASSERT_EQ(run({"-i", "a.nii", "-o", "ref-a"}, dir->path(), dir->file("err")), 0);
    ASSERT_EQ(run({"-i", "b.nii", "-o", "ref-b"}, dir->path(), dir->file("err")), 0);
    setA = new FolderState(stateOf(dir->file("ref-a")));
    setB = new FolderState(stateOf(dir->file("ref-b")));
  }
  static void TearDownTestSuite() {
    delete setA;
    delete setB;
    delete dir;
  }
  static TempDir* dir;
  static FolderState* setA;
  static FolderState* setB;
};

TempDir* RunSafety::dir = nullptr;
FolderState* RunSafety::setA = nullptr;
FolderState* RunSafety::setB = nullptr;

}  // namespace

TEST_F(RunSafety, InterruptionsLeaveThePreviousSetOrTheNewOne) {
  ASSERT_EQ(setA->size(), 5u);
  ASSERT_FALSE(*setA == *setB);
  int previous = 0, replaced = 0;
  for (int signal : {SIGTERM, SIGINT}) {
    // After k lines of standard output (0: at once), then after a short pause.
    for (int lines = 0; lines <= 6; ++lines) {
      for (int pauseMs : {0, 3, 15}) {
        SCOPED_TRACE("signal " + std::to_string(signal) + " after line " + std::to_string(lines) + " and " +
                     std::to_string(pauseMs) + " ms");
        const std::string out = dir->file("out");
        resetFolder(*setA, out);
        Process process({kProgram, "-i", "b.nii", "-o", out}, dir->path(), dir->file("err"));
        std::string line;
        for (int seen = 0; seen < lines && process.readLine(line); ++seen) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        process.signal(signal);
        while (process.readLine(line)) {
        }
        const int status = process.wait();
        const FolderState after = stateOf(out);
        ASSERT_TRUE(after == *setA || after == *setB) << after.size() << " files, not one whole set";
        (after == *setA ? previous : replaced) += 1;
        const std::string err = readFile(dir->file("err"));
        if (status == 1) {
          EXPECT_EQ(err.rfind(kProgram + ": interrupted by SIG", 0), 0u) << err;
          EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
        } else if (status == 0) {
          EXPECT_TRUE(after == *setB);  // it had ended before the signal came
        } else {
          // Only a signal that comes while the program is still starting may end it the default way.
          EXPECT_EQ(status, 128 + signal);
          EXPECT_EQ(lines, 0);
          EXPECT_TRUE(after == *setA);
        }
      }
    }
  }
  // The moments chosen reach both outcomes.
  EXPECT_GT(previous, 0);
  EXPECT_GT(replaced, 0);
}

TEST_F(RunSafety, TwoRunsIntoOneFolderOneWinsTheOtherTouchesNothing) {
  const std::string out = dir->file("shared");
  Process first({kProgram, "-i", "a.nii", "-o", out}, dir->path(), dir->file("err1"));
  Process second({kProgram, "-i", "b.nii", "-o", out}, dir->path(), dir->file("err2"));
  std::string line;
  while (first.readLine(line)) {
  }
  while (second.readLine(line)) {
  }
  const int one = first.wait(), two = second.wait();
  ASSERT_EQ(one + two, 1) << "exactly one of the two runs fails";
  const std::string loserErr = readFile(dir->file(one == 1 ? "err1" : "err2"));
  EXPECT_EQ(loserErr, kProgram + ": " + out + kLock);
  EXPECT_TRUE(stateOf(out) == (one == 0 ? *setA : *setB));
}

TEST_F(RunSafety, TheInputIsNeverAnOutput) {
  TempDir here;
  const std::string series = readFile(dir->file("a.nii"));
  testing_support::writeFile(here.file("mask.nii"), series);
  ASSERT_EQ(::symlink("mask.nii", here.file("link.nii").c_str()), 0);
  struct Row {
    std::vector<std::string> args;
    std::string output, input;
  };
  const Row rows[] = {
      {{"-i", "mask.nii"}, "mask.nii", "mask.nii"},
      {{"-i", "./mask.nii", "-o", "."}, "./mask.nii", "./mask.nii"},
      {{"-i", here.file("mask.nii")}, "mask.nii", here.file("mask.nii")},
      {{"-i", "link.nii", "-o", here.path()}, here.file("mask.nii"), "link.nii"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(run(row.args, here.path(), dir->file("err")), 1);
    EXPECT_EQ(readFile(dir->file("err")), kProgram + ": the output " + row.output + " is the input " + row.input +
                                              "; nothing was written (choose another output folder with -o)\n");
    EXPECT_EQ(stateOf(here.path()).size(), 2u);
    EXPECT_TRUE(readFile(here.file("mask.nii")) == series);
  }

  // Either file of a .hdr/.img pair.
  TempDir pair;
  ASSERT_EQ(run({"-i", dir->file("a.nii"), "-o", "made"}, pair.path(), dir->file("err")), 0);
  const FolderState made = stateOf(pair.file("made"));
  testing_support::writeFile(pair.file("in.hdr"), series.substr(0, 348));
  testing_support::writeFile(pair.file("in.img"), series.substr(352));
  ::unlink(pair.file("made/disparite.nii").c_str());
  ASSERT_EQ(::symlink("../in.img", pair.file("made/disparite.nii").c_str()), 0);
  EXPECT_EQ(run({"-i", "in.hdr", "-o", "made"}, pair.path(), dir->file("err")), 1);
  EXPECT_NE(readFile(dir->file("err")).find("is the input in.img"), std::string::npos) << readFile(dir->file("err"));
  EXPECT_TRUE(readFile(pair.file("in.img")) == series.substr(352));
}

TEST_F(RunSafety, ANewNestedOutputFolderIsMade) {
  TempDir here;
  EXPECT_EQ(run({"-i", dir->file("a.nii"), "--output", "x/y/z"}, here.path(), dir->file("err")), 0);
  EXPECT_TRUE(stateOf(here.file("x/y/z")) == *setA);
  EXPECT_EQ(stateOf(here.path()).size(), 1u);  // only x
}

TEST_F(RunSafety, AFileSizeLimitIsAnOrdinaryWriteError) {
  TempDir here;
  resetFolder(*setA, here.file("out"));
  const int status = run({"-i", dir->file("b.nii"), "-o", "out"}, here.path(), dir->file("err"), [] {
    const rlimit limit{1 << 20, 1 << 20};  // the mask fits, the filtered series does not
    ::setrlimit(RLIMIT_FSIZE, &limit);
  });
  EXPECT_EQ(status, 1);
  const std::string err = readFile(dir->file("err"));
  EXPECT_EQ(err.rfind(kProgram + ": out/ratFiltre.nii: cannot write: File too large", 0), 0u) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1);
  EXPECT_TRUE(stateOf(here.file("out")) == *setA);
}

TEST_F(RunSafety, ARunPinnedToOneCpuUsesOneWorker) {
  // Threads seen while it runs: the main thread and the signal watcher, plus extra workers.
  auto mostThreads = [&](const std::function<void()>& prepare) {
    Process process({kProgram, "-i", "a.nii", "-o", "pinned"}, dir->path(), dir->file("err"), prepare);
    const std::string tasks = "/proc/" + std::to_string(process.pid()) + "/task";
    int most = 0;
    while (process.running()) {
      int count = 0;
      if (DIR* folder = ::opendir(tasks.c_str())) {
        while (dirent* entry = ::readdir(folder)) count += entry->d_name[0] != '.';
        ::closedir(folder);
      }
      most = std::max(most, count);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    EXPECT_EQ(process.wait(), 0);
    return most;
  };
  const int pinned = mostThreads([] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    ::sched_setaffinity(0, sizeof one, &one);
  });
  EXPECT_EQ(pinned, 2);
  cpu_set_t all;
  if (::sched_getaffinity(0, sizeof all, &all) == 0 && CPU_COUNT(&all) >= 2) {
    EXPECT_GE(mostThreads({}), 3);  // the count above is not blind to workers
  }
}

TEST_F(RunSafety, AFolderInTheWayOfAnyOutputLeavesTheEarlierSet) {
  for (const auto& [name, bytes] : *setA) {
    SCOPED_TRACE(name);
    const std::string out = dir->file("out");
    resetFolder(*setA, out);
    ::unlink((out + "/" + name).c_str());
    ASSERT_EQ(::mkdir((out + "/" + name).c_str(), 0755), 0);
    testing_support::writeFile(out + "/" + name + "/inside", "x");
    EXPECT_EQ(run({"-i", "b.nii", "-o", out}, dir->path(), dir->file("err")), 1);
    const std::string err = readFile(dir->file("err"));
    EXPECT_EQ(err, kProgram + ": " + out + "/" + name + ": cannot replace: it is a folder\n");
    FolderState expected = *setA;
    expected[name] = "";  // the folder, which reads as nothing
    EXPECT_TRUE(stateOf(out) == expected);
    ::unlink((out + "/" + name + "/inside").c_str());
    ::rmdir((out + "/" + name).c_str());
  }
}

TEST_F(RunSafety, ACommitKilledMidwayIsCompletedByTheNextRunIntoTheFolder) {
  // A run's commit killed after its second rename (a real SIGKILL, in a child that commits
  // set B over set A), then a run into the same folder that fails on its input: before
  // anything else it finds the record and completes the set.
  const std::string out = dir->file("out");
  resetFolder(*setA, out);
  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<vexa::StagedFile> files;
    for (const auto& [name, bytes] : *setB) {
      vexa::PendingFile file(out + "/" + name, false);
      file.write(bytes.data(), bytes.size());
      files.emplace_back(file.staged(static_cast<std::int64_t>(bytes.size())), out + "/" + name);
    }
    vexa::commitSet(files, mirlune::OutputSet(out, 1, false).place(), nullptr, 1, [](int done) {
      if (done == 1) ::raise(SIGKILL);
    });
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_FALSE(stateOf(out) == *setA || stateOf(out) == *setB);  // mixed, with the record
  testing_support::writeFile(dir->file("garbage.nii"), "not an image");
  EXPECT_EQ(run({"-i", "garbage.nii", "-o", out}, dir->path(), dir->file("err")), 1);
  EXPECT_TRUE(stateOf(out) == *setB) << stateOf(out).size() << " files";
}

TEST_F(RunSafety, TemporariesOfAKilledRunAreClearedByTheNextAndNothingElse) {
  const std::string out = dir->file("out");
  FolderState left = *setA;
  left[".mirlune-Ab12Cd34-ratFiltre.nii.part"] = std::string(1 << 20, 'x');
  left[".mirlune-Zz99Yy00-mask.nii.prev"] = "old";
  left[".mirlune.lock"] = "";  // a killed run's lock file, taken over
  // Names a user may choose (the forms earlier versions swept among them): never removed.
  FolderState theirs;
  theirs["T1w.nii.prev-backup"] = theirs["notes.json.part-2024v1"] = theirs["mask.nii.prev-123456"] = "mine";
  left.insert(theirs.begin(), theirs.end());
  resetFolder(left, out);
  EXPECT_EQ(run({"-i", "b.nii", "-o", out}, dir->path(), dir->file("err")), 0);
  FolderState expected = *setB;
  expected.insert(theirs.begin(), theirs.end());
  EXPECT_TRUE(stateOf(out) == expected);
}

TEST_F(RunSafety, TooManyFramesForTheOutputsAreRefusedBeforeAnythingIsRead) {
  // A NIfTI-2 series of 16 x 16 x 16 x 33,000 floats, a sparse file: more frames than the
  // filtered series' NIfTI-1 file can hold. Refused from its header, before reading 540 MB.
  TempDir here;
  std::string header(544, '\0');
  auto put = [&](std::size_t at, auto value) { std::memcpy(&header[at], &value, sizeof value); };
  put(0, std::int32_t{540});
  std::memcpy(&header[4], "n+2\0\r\n\032\n", 8);
  put(12, std::int16_t{16});  // float32
  put(14, std::int16_t{32});
  const std::int64_t dims[8] = {4, 16, 16, 16, 33000, 1, 1, 1};
  for (int i = 0; i < 8; ++i) put(16 + 8 * i, dims[i]);
  for (int i = 0; i < 8; ++i) put(104 + 8 * i, 1.0);
  put(168, std::int64_t{544});
  testing_support::writeFile(here.file("long.nii"), header);
  ASSERT_EQ(::truncate(here.file("long.nii").c_str(), 544 + 16LL * 16 * 16 * 33000 * 4), 0);
  Process process({kProgram, "-i", "long.nii", "-o", "out"}, here.path(), here.file("err"));
  std::string line;
  EXPECT_FALSE(process.readLine(line)) << line;  // not even the header report
  EXPECT_EQ(process.wait(), 1);
  EXPECT_EQ(readFile(here.file("err")),
            kProgram +
                ": the input has 33000 frames; the filtered series is a NIfTI-1 file, which "
                "holds at most 32767\n");
  EXPECT_TRUE(testing_support::namesIn(here.file("out")).empty());
}

TEST_F(RunSafety, NonFiniteSamplesLeaveTheirVoxelsOutAndAreSaidOnce) {
  // One not-a-number and one infinite sample, in mask voxels, not in the middle frame.
  VexaData<float> series;
  vexa::Reader<VexaData<float>>(dir->file("a.nii")).read(series, 0, nullptr, -1);
  series(20, 20, 12, 0) = std::numeric_limits<float>::quiet_NaN();
  series(22, 20, 12, 15) = -std::numeric_limits<float>::infinity();
  vexa::Writer<VexaData<float>>(dir->file("nan.nii")).write(series);
  const std::string warning =
      "Mirlune: warning: 2 voxels with a sample that is not a finite number (NaN or infinite) left out of the "
      "analysis\n";
  for (const std::vector<std::string>& mask : {std::vector<std::string>{}, {"-mask", "ref-a/mask.nii"}}) {
    SCOPED_TRACE(mask.empty() ? "built-in mask" : "user's mask");
    std::vector<std::string> args{"-i", "nan.nii", "-o", "nan", "-sidecars"};
    args.insert(args.end(), mask.begin(), mask.end());
    EXPECT_EQ(run(args, dir->path(), dir->file("err")), 0);
    EXPECT_EQ(readFile(dir->file("err")), warning);
    VexaData<float> maskBack, map;
    vexa::Reader<VexaData<float>>(dir->file("nan/mask.nii")).read(maskBack, 0, nullptr, -1);
    EXPECT_EQ(maskBack(20, 20, 12), 0.0f);
    EXPECT_EQ(maskBack(22, 20, 12), 0.0f);
    EXPECT_EQ(maskBack(21, 20, 12), 1.0f);
    for (const char* name : {"nan/disparite.nii", "nan/dispersion.nii", "nan/dispersion2.nii", "nan/ratFiltre.nii"}) {
      vexa::Reader<VexaData<float>>(dir->file(name)).read(map, 0, nullptr, -1);
      for (float v : map.volume()) ASSERT_TRUE(std::isfinite(v)) << name;
    }
    const auto sidecar = nlohmann::json::parse(readFile(dir->file("nan/disparite.json")));
    EXPECT_EQ(sidecar["NonFiniteVoxelsLeftOut"], 2);
  }
}

TEST_F(RunSafety, SidecarsParseWhateverBytesTheNamesHold) {
  // A name that is not UTF-8 (Latin-1 bytes), in the input and the output folder.
  const std::string input = dir->file("s\xe9rie\xff.nii"), out = dir->file("out\xe9");
  testing_support::writeFile(input, readFile(dir->file("a.nii")));
  EXPECT_EQ(run({"-i", input, "-o", out, "-sidecars"}, dir->path(), dir->file("err")), 0);
  EXPECT_EQ(readFile(dir->file("err")), "");
  for (const char* name : {"mask", "ratFiltre", "disparite", "dispersion", "dispersion2"}) {
    const std::string text = readFile(out + "/" + name + ".json");
    EXPECT_NO_THROW(nlohmann::json::parse(text)) << name;
  }
}

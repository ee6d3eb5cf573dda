// Mirlune: local principal component analysis of a dynamic image series.
//
// Reads one series, selects the voxels present in every frame, analyses the
// 5 x 5 x 5 neighbourhood of each, and writes the mask, three maps and the
// filtered series into the output folder, all five together at the end.

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "analysis/interruptions.h"
#include "analysis/outputs.h"
#include "analysis/stages.h"
#include "analysis/version.h"
#include "containers/singleoption.h"
#include "imaging/imagefile.h"

namespace {

// A bar on standard error while the analysis runs, only for a person watching a terminal.
class ProgressBar {
 public:
  ProgressBar() : _shown(::isatty(2) == 1) {}
  ~ProgressBar() { erase(); }

  norbe::Progress callback() {
    if (!_shown) return {};
    return [this](long long done, long long total) { draw(done, total); };
  }

 private:
  void draw(long long done, long long total) {
    const int width = 30;
    const int filled = total > 0 ? static_cast<int>(done * width / total) : width;
    std::fprintf(stderr, "\r local analysis [%.*s%*s] %lld / %lld voxels", filled,
                 "==============================", width - filled, "", done, total);
    std::fflush(stderr);
    _drawn = true;
  }
  void erase() {
    if (!_drawn) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    _drawn = false;
  }

  bool _shown;
  bool _drawn = false;
};

const char* const kHelpEpilogue =
    "Writes five files into the output folder (-o; default: the current folder):\n"
    "mask.nii, ratFiltre.nii, disparite.nii, dispersion.nii and dispersion2.nii.\n"
    "They appear together when the run ends, replacing those of an earlier run;\n"
    "a run that fails or is interrupted leaves the folder's files as they were.\n"
    "Example: Mirlune -i sub-01_pet.nii.gz -o results/sub-01\n";

}  // namespace

int main(int argc, char** argv) {
  try {
    mirlune::InterruptionGuard interruptions(argv[0]);
    vexa::Reader<VexaData<float>> reader;
    VexaData<float> input(1, 1, 1, 1, 0);
    norbe::VexaApplication application(argc, argv, "Mirlune ");
    application.setVersion(mirlune::kVersion);
    application.setEpilogue(kHelpEpilogue);
    bool verbose = false;
    int threads = 0;
    std::string folder;
    application.getParser().pushOption(
        new norbe::SingleOption<vexa::Reader<VexaData<float>>>("-i", "input files ", reader, false));
    application.getParser().pushOption(
        new norbe::SingleOption<bool>("-verbose", "yields some more info", verbose, true));
    auto* threadsOption = new norbe::SingleOption<int>(
        "--threads", "worker threads for the analysis (default: the CPUs this run may use)", threads, true);
    threadsOption->setRange(1, 1024);
    application.getParser().pushOption(threadsOption);
    auto* outputOption = new norbe::SingleOption<std::string>(
        "-o", "folder for the outputs, created when missing (default: the current folder)", folder, true);
    outputOption->addName("--output");
    outputOption->setValueName("folder");
    application.getParser().pushOption(outputOption);
    application.initialize();

    // Nothing is written before the input is known, the folder is ours and no output is the input.
    const std::vector<std::string> inputFiles = vexa::imageFilesOf(reader.fileName());
    const mirlune::OutputFolder outputFolder(folder);
    threads = norbe::workerThreads(threads);
    mirlune::OutputSet outputs(outputFolder, threads);
    std::vector<std::string> outputFiles;
    for (const char* name : mirlune::kOutputNames) outputFiles.push_back(outputs.finalPath(name));
    mirlune::refuseOverwritingInput(inputFiles, outputFiles);

    reader.setThreads(threads);
    reader.read(input, 0, nullptr, -1);
    std::cout << mirlune::headerReport(input) << std::flush;
    mirlune::checkExtents(input);
    const mirlune::SeriesGeometry geometry = mirlune::SeriesGeometry::of(input);

    int maskCount = 0;
    VexaData<short> mask = mirlune::buildMask(input, maskCount);
    outputs.stage(mirlune::kOutputNames[0], mask);
    std::cout << mirlune::kMaskDone << std::endl;

    VexaData<Individu> serie = mirlune::gatherRecords(input, mask, maskCount, threads);
    std::cout << mirlune::kRecordsDone << std::endl;
    // The records hold every intensity the analysis reads: the series' storage goes back
    // before the outputs are made.
    input = VexaData<float>();

    mirlune::LocalMaps maps;
    {
      ProgressBar bar;
      mirlune::AnalysisOptions options;
      options.threads = threads;
      options.progress = bar.callback();
      maps = mirlune::analyseLocally(geometry, mask, serie, options);
    }
    std::cout << mirlune::kAnalysisDone << std::endl;

    mirlune::stageMaps(outputs, maps);
    outputs.commit();
    std::cout << mirlune::kOutputsDone << std::endl;
    return 0;
  } catch (const norbe::user_interruption&) {
    return 0;
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << std::endl;
    return 1;
  }
}

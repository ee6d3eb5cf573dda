// Mirlune: local principal component analysis of a dynamic image series.
//
// Reads one series, selects the voxels present in every frame, analyses the
// 5 x 5 x 5 neighbourhood of each, and writes the mask, three maps and the
// filtered series into the current folder.

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "analysis/stages.h"
#include "containers/singleoption.h"
#include "imaging/imagefile.h"

namespace {

// A bar on standard error while the analysis runs, only for a person watching a terminal.
class ProgressBar {
 public:
  ProgressBar() : _shown(::isatty(2) == 1) {}
  ~ProgressBar() { erase(); }

  mirlune::Progress callback() {
    if (!_shown) return {};
    return [this](int done, int total) { draw(done, total); };
  }

 private:
  void draw(int done, int total) {
    const int width = 30;
    const int filled = total > 0 ? static_cast<int>(static_cast<long long>(done) * width / total) : width;
    std::fprintf(stderr, "\r local analysis [%.*s%*s] %d / %d voxels", filled,
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

}  // namespace

int main(int argc, char** argv) {
  try {
    vexa::Reader<VexaData<float>> reader;
    VexaData<float> input(1, 1, 1, 1, 0);
    norbe::VexaApplication application(argc, argv, "Mirlune ");
    bool verbose = false;
    application.getParser().pushOption(
        new norbe::SingleOption<vexa::Reader<VexaData<float>>>("-i", "input files ", reader, false));
    application.getParser().pushOption(
        new norbe::SingleOption<bool>("-verbose", "yields some more info", verbose, true));
    application.initialize();

    const int threads = mirlune::workerThreads(application.threads());
    reader.setThreads(threads);
    reader.read(input, 0, nullptr, -1);
    std::cout << mirlune::headerReport(input) << std::flush;
    mirlune::checkExtents(input);

    int maskCount = 0;
    VexaData<short> mask = mirlune::buildMask(input, maskCount);
    mirlune::copyOrientation(input, mask);
    vexa::Writer<VexaData<short>>("mask").write(mask, false, nullptr);
    std::cout << mirlune::kMaskDone << std::endl;

    VexaData<Individu> serie = mirlune::gatherRecords(input, mask, maskCount, threads);
    std::cout << mirlune::kRecordsDone << std::endl;
    // The records hold every analysed intensity now: give the series' storage back
    // before the outputs are made, keeping its shape and header.
    input.volume().reallocate(input.dimX(), input.dimY(), input.dimZ(), input.dimT(), false, norbe::AllocatorContext(),
                              false);

    mirlune::LocalMaps maps;
    {
      ProgressBar bar;
      mirlune::AnalysisOptions options;
      options.threads = threads;
      options.progress = bar.callback();
      maps = mirlune::analyseLocally(input, mask, serie, options);
    }
    std::cout << mirlune::kAnalysisDone << std::endl;

    mirlune::writeOutputs(maps, threads);
    std::cout << mirlune::kOutputsDone << std::endl;
    return 0;
  } catch (const norbe::user_interruption&) {
    return 0;
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << std::endl;
    return 1;
  }
}

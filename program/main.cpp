// Mirlune: local principal component analysis of a dynamic image series.
//
// Reads one series, selects the voxels present in every frame (or those of the user's
// mask), analyses the cube of voxels around each (5 x 5 x 5 unless -window says
// otherwise), and writes the mask, three maps and the filtered series (and voisins, with
// -voisins) into the output folder, all together at the end.

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <new>

#include "analysis/pipeline.h"
#include "analysis/stages.h"
#include "analysis/version.h"
#include "containers/singleoption.h"
#include "imaging/formats/imagefile.h"
#include "program/bids.h"
#include "program/interruptions.h"
#include "program/outputs.h"
#include "program/provenance.h"
#include "program/report.h"

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
    "mask.nii, ratFiltre.nii, disparite.nii, dispersion.nii and dispersion2.nii\n"
    "(and voisins.nii with -voisins; denoised.nii, noise.nii and rank.nii with -denoise).\n"
    "They appear together when the run ends, replacing those of an earlier run;\n"
    "a run that fails or is interrupted leaves the folder's files as they were.\n"
    "A run that succeeds but says little (an empty mask, a single frame, every cube\n"
    "holding fewer voxels than frames) prints one line beginning \"Mirlune: warning: \".\n"
    "Example: Mirlune -i sub-01_pet.nii.gz -o results/sub-01\n"
    "         Mirlune -i sub-01_bold.nii.gz -mask brain.nii.gz -demean -window auto -o results/sub-01\n";

//! What the command line asks of the analysis.
struct AnalysisSettings {
  std::string window;  // the cube's side, three sides x,y,z, or "auto"; empty: the default
  bool demean = false;
  bool voisins = false;
  bool denoise = false;
  std::string estimator;  // empty: the default
};

//! What the command line asks of the outputs.
struct OutputSettings {
  std::string folder;
  bool compress = false;
  bool sidecars = false;
  bool bids = false;
  bool strict = false;
};

//! What the command line asks for.
struct Settings {
  vexa::Reader<VexaData<float>> reader;
  bool verbose = false;  // accepted, and nothing depends on it
  int threads = 0;
  std::string maskFile;
  AnalysisSettings analysis;
  OutputSettings output;
};

/*!
 * The options a derivative dataset is made with, in a fixed form: those of the analysis
 * and the outputs' compression, which every run into the dataset must share.
 */
std::string datasetSettings(const Settings& settings) {
  std::string text;
  if (!settings.analysis.window.empty()) text += " -window " + settings.analysis.window;
  if (settings.analysis.demean) text += " -demean";
  if (settings.analysis.voisins) text += " -voisins";
  if (settings.analysis.denoise) text += " -denoise";
  if (!settings.analysis.estimator.empty()) text += " -estimator " + settings.analysis.estimator;
  if (settings.output.compress) text += " -compress";
  return text;
}

//! Declares the options and parses the command line; help and version end the run here.
void parseCommandLine(norbe::VexaApplication& application, Settings& settings) {
  application.setVersion(mirlune::kVersion);
  application.setEpilogue(kHelpEpilogue);
  norbe::OptionsParser& parser = application.getParser();
  parser.pushOption(
      new norbe::SingleOption<vexa::Reader<VexaData<float>>>("-i", "input files ", settings.reader, false));
  parser.pushOption(new norbe::SingleOption<bool>("-verbose", "accepted for compatibility; it changes nothing",
                                                  settings.verbose, true));
  auto* threads = new norbe::SingleOption<int>(
      "--threads", "worker threads for the analysis (default: the CPUs this run may use)", settings.threads, true);
  threads->setRange(1, 1024);
  parser.pushOption(threads);
  auto* output = new norbe::SingleOption<std::string>(
      "-o", "folder for the outputs, created when missing (default: the current folder)", settings.output.folder, true);
  output->addName("--output");
  output->setValueName("folder");
  parser.pushOption(output);
  auto* mask = new norbe::SingleOption<std::string>(
      "-mask", "analyse the voxels non-zero in this image (3-D, on the series' grid) instead of the built-in rule",
      settings.maskFile, true);
  mask->setValueName("file name");
  parser.pushOption(mask);
  parser.pushOption(new norbe::SingleOption<bool>("-compress", "write the outputs compressed (.nii.gz)",
                                                  settings.output.compress, true));
  parser.pushOption(new norbe::SingleOption<bool>(
      "-sidecars", "write a JSON sidecar beside each output: what it is, its input, mask and settings",
      settings.output.sidecars, true));
  auto* window = new norbe::SingleOption<std::string>(
      "-window",
      "the side of the cube analysed around each voxel: an odd number from 3 to 15 (default 5), three sides x,y,z "
      "for thick slices (5,5,3), or auto, the smallest cube holding more voxels than the series has frames (7 for "
      "200 frames, 11 for 1,000)",
      settings.analysis.window, true);
  window->addName("--window");
  window->setValueName("side | x,y,z | auto");
  parser.pushOption(window);
  parser.pushOption(new norbe::SingleOption<bool>(
      "-demean",
      "subtract each voxel's mean over frames from its course first, so that the maps describe the fluctuations "
      "rather than the baseline (fMRI); with -denoise, each window's mean course is taken out before its "
      "decomposition and put back after",
      settings.analysis.demean, true));
  parser.pushOption(new norbe::SingleOption<bool>(
      "-voisins", "also write voisins.nii: at each analysed voxel, the number of mask voxels in its cube",
      settings.analysis.voisins, true));
  parser.pushOption(new norbe::SingleOption<bool>(
      "-denoise",
      "also write denoised.nii, the series denoised voxel by voxel: the course projected onto the components of its "
      "window's matrix above the Marchenko-Pastur threshold (every voxel of the image in the window; the mask "
      "chooses the voxels denoised, 0 elsewhere), noise.nii, the noise level (sigma), and rank.nii, the components "
      "kept. Veraart J. et al., Denoising of diffusion MRI using random matrix theory, NeuroImage 142 (2016) "
      "394-406; Cordero-Grande L. et al., Complex diffusion-weighted image estimation via matrix recovery under "
      "general noise models, NeuroImage 200 (2019) 391-404. Not for series interpolated or smoothed, whose noise "
      "is no longer independent from voxel to voxel",
      settings.analysis.denoise, true));
  auto* estimator = new norbe::SingleOption<std::string>(
      "-estimator",
      "how -denoise estimates the noise: exp1 (Veraart et al. 2016) or exp2 (Cordero-Grande et al. 2019; the "
      "default)",
      settings.analysis.estimator, true);
  estimator->setValueName("exp1 | exp2");
  parser.pushOption(estimator);
  parser.pushOption(new norbe::SingleOption<bool>(
      "-bids",
      "name the outputs as BIDS derivatives of the input (sub-<label>_..._desc-<map>_<suffix>), in "
      "<output folder>/sub-<label>/[ses-<label>/]<datatype>/, with sidecars and a dataset_description.json",
      settings.output.bids, true));
  parser.pushOption(new norbe::SingleOption<bool>(
      "-strict",
      "fail (status 1, nothing written) where a run would succeed but say little: an empty mask, no analysed "
      "voxel, a single frame, two frames demeaned, or most cubes holding fewer voxels than frames",
      settings.output.strict, true));
  application.initialize();
}

//! Every file a run may write, for the check that none of them is an input.
std::vector<std::string> outputFiles(const mirlune::OutputSet& outputs, const Settings& settings) {
  std::vector<std::string> files;
  for (const std::string& name : mirlune::outputNames(settings.analysis.voisins, settings.analysis.denoise)) {
    files.push_back(outputs.finalPath(name));
    if (settings.output.sidecars) files.push_back(outputs.sidecarPath(name));
  }
  return files;
}

void stageSidecars(mirlune::OutputSet& outputs, const mirlune::RunFacts& facts, const AnalysisSettings& analysis) {
  for (const std::string& name : mirlune::outputNames(analysis.voisins, analysis.denoise)) {
    outputs.stageSidecar(name, mirlune::sidecarText(facts, name));
  }
}

//! With -strict, a run that would succeed but say little fails instead; nothing is written.
void refuseDegenerate(const mirlune::RunFacts& facts) {
  const std::vector<std::string> reasons = mirlune::degenerateReasons(facts.analysis);
  if (reasons.empty()) return;
  std::string why;
  for (const std::string& reason : reasons) why += (why.empty() ? "" : "; ") + reason;
  throw std::runtime_error(why + " (-strict: nothing was written)");
}

/*!
 * The run's output set: the files of the output folder, or as BIDS derivatives the series'
 * own files in its datatype folder of the derivative dataset, whose description is claimed
 * (or checked) before anything else is written there.
 */
mirlune::OutputSet outputSetOf(Settings& settings, const std::string& seriesFile, const std::string& maskFile,
                               int threads, mirlune::BidsInput& bids) {
  const bool denoise = settings.analysis.denoise;
  if (!settings.output.bids) {
    return mirlune::OutputSet(settings.output.folder, threads, settings.output.compress, "", {}, denoise);
  }
  bids = mirlune::parseBidsInput(seriesFile);
  const std::string root = settings.output.folder.empty() ? "." : settings.output.folder;
  mirlune::makeFolders(root);
  mirlune::DatasetClaim claim;
  claim.version = mirlune::kVersion;
  claim.settings = datasetSettings(settings);
  claim.raw = mirlune::relativeLink(bids.dataset, root);
  if (!maskFile.empty()) {
    bids.mask = mirlune::locateInDataset(maskFile);
    claim.masks = mirlune::relativeLink(bids.mask.dataset, root);
  }
  mirlune::claimDerivativeDataset(root, claim);
  settings.output.sidecars = true;
  const bool gzipped = seriesFile.size() > 7 && seriesFile.compare(seriesFile.size() - 7, 7, ".nii.gz") == 0;
  return mirlune::OutputSet(
      root + "/" + mirlune::bidsFolder(bids), threads, settings.output.compress || gzipped, mirlune::bidsSetName(bids),
      [bids](const std::string& name) { return mirlune::bidsOutputName(bids, name); }, denoise);
}

//! What the sidecars say of the run, as far as it is known once the series is read.
mirlune::RunFacts runFactsOf(int argc, char** argv, const Settings& settings, const std::string& seriesFile,
                             const VexaData<float>& input, const mirlune::BidsInput& bids) {
  mirlune::RunFacts facts;
  facts.version = mirlune::kVersion;
  facts.commandLine = mirlune::commandLineOf(argc, argv);
  facts.input = mirlune::absolutePath(seriesFile);
  facts.inputBytes = mirlune::fileBytes(seriesFile);
  facts.threeDimensional = input.pythonHeader() && input.pythonHeader()->hasProperty(vexa::kVolumeDimension) &&
                           input.pythonHeader()->getProperty(vexa::kVolumeDimension)->size() < 4;
  facts.windowAuto = settings.analysis.window == "auto";
  facts.bids = settings.output.bids;
  facts.bidsSource = mirlune::bidsSource(bids, facts.input);
  facts.bidsMask = settings.output.bids ? mirlune::bidsMaskSource(bids) : "";
  return facts;
}

//! -estimator only with -denoise, and only a name it knows.
void checkEstimator(const AnalysisSettings& analysis) {
  mirlune::estimatorNamed(analysis.estimator);
  if (!analysis.estimator.empty() && !analysis.denoise) {
    throw std::runtime_error("-estimator " + analysis.estimator +
                             ": it chooses how -denoise estimates the noise, and there is no -denoise");
  }
}

//! The analysis of input, its stages staged in outputs as they end and said on standard output.
mirlune::LocalMaps analyseAndStage(const Settings& settings, VexaData<float>& input, const VexaData<float>* maskImage,
                                   const std::string& seriesFile, const std::string& maskFile,
                                   const mirlune::WindowSides& sides, int threads, mirlune::OutputSet& outputs,
                                   mirlune::RunFacts& facts) {
  ProgressBar bar;
  mirlune::AnalysisOptions options;
  options.threads = threads;
  options.window = sides;
  options.demean = settings.analysis.demean;
  options.voisins = settings.analysis.voisins;
  options.denoise = settings.analysis.denoise;
  options.estimator = mirlune::estimatorNamed(settings.analysis.estimator);
  options.progress = bar.callback();
  auto stageDone = [&](mirlune::Stage stage, mirlune::SeriesAnalysis& run) {
    if (stage == mirlune::Stage::Mask) {
      outputs.stage(mirlune::kOutputNames[0], run.mask);
      std::cout << mirlune::kMaskDone << std::endl;
    } else if (stage == mirlune::Stage::Denoised) {
      // Written now, so that its memory goes back before the records are made.
      mirlune::stageDenoised(outputs, run.denoised);
      run.denoised.series = VexaData<float>();
    } else if (stage == mirlune::Stage::Records) {
      std::cout << mirlune::kRecordsDone << std::endl;
    }
  };
  const int frames = input.dimT();
  mirlune::SeriesAnalysis run = mirlune::analyseSeries(input, maskImage, seriesFile, maskFile, options, stageDone);
  facts.analysis = mirlune::factsOf(run, frames, options);
  return std::move(run.maps);
}

int run(int argc, char** argv) {
  mirlune::InterruptionGuard interruptions(argv[0]);
  Settings settings;
  VexaData<float> input(1, 1, 1, 1, 0);
  norbe::VexaApplication application(argc, argv, "Mirlune ");
  parseCommandLine(application, settings);

  // Nothing is written before the inputs are known, the folder is ours and no output is an input.
  checkEstimator(settings.analysis);
  std::vector<std::string> inputFiles = vexa::imageFilesOf(settings.reader.fileName());
  const std::string seriesFile = inputFiles.front();
  std::vector<std::string> maskFiles;
  if (!settings.maskFile.empty()) maskFiles = vexa::imageFilesOf(settings.maskFile);
  inputFiles.insert(inputFiles.end(), maskFiles.begin(), maskFiles.end());
  mirlune::BidsInput bids;
  const int threads = norbe::workerThreads(settings.threads);
  mirlune::OutputSet outputs =
      outputSetOf(settings, seriesFile, maskFiles.empty() ? "" : maskFiles.front(), threads, bids);
  const mirlune::SetLock lock(outputs.place());
  mirlune::refuseOverwritingInput(inputFiles, outputFiles(outputs, settings));
  // A run that cannot replace the earlier set, or would replace another input's, fails now.
  vexa::checkReplaceable(outputs.place());
  if (settings.output.bids) {
    mirlune::refuseAnotherInputsOutputs(outputs.sidecarPath(mirlune::kOutputNames[0]),
                                        mirlune::bidsSource(bids, mirlune::absolutePath(seriesFile)));
  }

  // What the headers say is checked before anything is read or analysed.
  const std::array<std::int64_t, 4> extents = settings.reader.extents();
  mirlune::checkExtents(extents);
  const mirlune::WindowSides sides = mirlune::windowSidesFor(settings.analysis.window, extents[3]);
  settings.reader.setThreads(threads);
  settings.reader.read(input, 0, nullptr, -1);
  std::cout << mirlune::headerReport(input) << std::flush;
  mirlune::RunFacts facts = runFactsOf(argc, argv, settings, seriesFile, input, bids);
  VexaData<float> maskImage;
  if (!settings.maskFile.empty()) {
    vexa::Reader<VexaData<float>>(settings.maskFile).read(maskImage, 0, nullptr, -1);
    facts.maskFile = mirlune::absolutePath(maskFiles.front());
  }

  mirlune::LocalMaps maps =
      analyseAndStage(settings, input, settings.maskFile.empty() ? nullptr : &maskImage, seriesFile,
                      maskFiles.empty() ? "" : maskFiles.front(), sides, threads, outputs, facts);
  std::cout << mirlune::kAnalysisDone << std::endl;
  if (settings.output.strict) refuseDegenerate(facts);

  mirlune::stageMaps(outputs, maps);
  if (settings.output.sidecars) stageSidecars(outputs, facts, settings.analysis);
  outputs.commit();
  if (settings.output.bids) {
    // An index for the validator, not an output: the run has succeeded whether it is written or not.
    try {
      mirlune::describeSubject(settings.output.folder.empty() ? "." : settings.output.folder, bids);
    } catch (const std::runtime_error&) {
    }
  }
  std::cout << mirlune::kOutputsDone << std::endl;
  std::vector<std::string> notes;
  if (!lock.missing().empty()) notes.push_back(lock.missing());
  if (!interruptions.late().empty()) notes.push_back(interruptions.late());
  const std::string warning = mirlune::warningLine(facts, notes);
  if (!warning.empty()) std::cerr << warning << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const norbe::user_interruption&) {
    return 0;
  } catch (const std::bad_alloc&) {
    std::cerr << argv[0] << ": not enough memory for this series (std::bad_alloc)" << std::endl;
    return 1;
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << std::endl;
    return 1;
  }
}

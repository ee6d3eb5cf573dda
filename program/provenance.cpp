#include "program/provenance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/stages.h"

namespace mirlune {

namespace {

using Json = nlohmann::ordered_json;

const char* const kBuiltInRule = "built-in: voxels non-zero in every frame and positive in the middle frame";

std::string descriptionOf(const std::string& name, const RunFacts& facts) {
  const bool ownMask = !facts.maskFile.empty();
  const std::string cube = cubeText(facts.analysis.window);
  const std::string where = "at each analysed voxel (a mask voxel with another mask voxel in its " + cube + " cube)";
  const std::string courses = facts.analysis.demeaned ? "time courses, each less its mean over frames" : "time courses";
  if (name == "mask") {
    return std::string("1 at the voxels analysed, ") +
           (ownMask ? "those non-zero in the mask file"
                    : "those non-zero in every frame and positive in the middle frame") +
           "; 0 elsewhere.";
  }
  if (name == "ratFiltre") {
    return "The dominant time-course shape " + where +
           ": the first singular vector of the neighbourhood's matrix of mean products of " + courses +
           ", negated, of unit length over the frames; 0 elsewhere.";
  }
  if (name == "disparite") {
    return "The largest minus the smallest singular value of the neighbourhood's matrix of mean products of " +
           courses + ", " + where + "; 0 elsewhere.";
  }
  if (name == "dispersion") {
    return "The smallest singular value divided by the largest, " + where + "; 0 elsewhere.";
  }
  if (name == "voisins") {
    return "The number of mask voxels in the " + cube + " cube " + where + "; 0 elsewhere.";
  }
  const std::string window = "its window (the " + cube + " cube around it, moved inside the image at its edges)";
  if (name == "denoised") {
    return "The series denoised at each mask voxel: its course projected onto the principal components of " + window +
           " above the Marchenko-Pastur threshold" +
           (facts.analysis.demeaned ? ", the window's mean course taken out before and put back after" : "") +
           "; 0 elsewhere.";
  }
  if (name == "noise") {
    return "The noise level (standard deviation) at each mask voxel, as the Marchenko-Pastur threshold of " + window +
           " estimates it; 0 elsewhere.";
  }
  if (name == "rank") {
    return "The number of principal components of " + window +
           " kept as signal (above the Marchenko-Pastur threshold), at each mask voxel; 0 elsewhere.";
  }
  return "The second largest singular value divided by the largest, " + where + "; 0 elsewhere.";
}

std::string sentence(std::string text) {
  text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text + ".";
}

Json notesOf(const RunFacts& facts) {
  Json notes = Json::array();
  for (const std::string& note : runNotes(facts.analysis)) notes.push_back(sentence(note));
  if (facts.threeDimensional) notes.push_back("The input is a 3-D image, read as a series of one frame.");
  if (facts.analysis.frames == 1) {
    notes.push_back(
        "The input has a single frame: each matrix is 1 x 1, so disparite is 0, dispersion 1, dispersion2 0 and "
        "ratFiltre 1 at every analysed voxel; the maps say nothing of time courses.");
  } else if (facts.analysis.frames == 2) {
    notes.push_back(
        "The input has two frames: each matrix has only two singular values, so dispersion and dispersion2 are the "
        "same map.");
  }
  return notes;
}

bool needsQuotes(const std::string& word) {
  if (word.empty()) return true;
  for (char c : word) {
    const bool plain =
        std::isalnum(static_cast<unsigned char>(c)) || std::string("-_./=:,+@%").find(c) != std::string::npos;
    if (!plain) return true;
  }
  return false;
}

}  // namespace

std::string sidecarText(const RunFacts& facts, const std::string& name) {
  Json sidecar;
  sidecar["Description"] = descriptionOf(name, facts);
  sidecar["Sources"] = Json::array({facts.bids ? facts.bidsSource : facts.input});
  sidecar["SourceFile"] = {{"Path", facts.bids ? facts.bidsSource : facts.input}, {"SizeBytes", facts.inputBytes}};
  if (facts.maskFile.empty()) {
    sidecar["Mask"] = {{"Rule", kBuiltInRule}};
  } else {
    sidecar["Mask"] = {{"File", facts.bidsMask.empty() ? facts.maskFile : facts.bidsMask}};
  }
  sidecar["Window"] = {facts.analysis.window[0], facts.analysis.window[1], facts.analysis.window[2]};
  if (facts.windowAuto) sidecar["WindowChosen"] = "auto: the smallest cube holding more voxels than frames";
  if (facts.analysis.demeaned) sidecar["DemeanedCourses"] = true;
  if (name == "denoised" || name == "noise" || name == "rank") {
    const bool exp1 = facts.analysis.estimator == vexa::NoiseEstimator::Exp1;
    sidecar["Denoising"] = {
        {"Method", "Marchenko-Pastur principal component analysis of each voxel's window"},
        {"Estimator", exp1 ? "exp1" : "exp2"},
        {"References",
         Json::array({"Veraart J. et al., Denoising of diffusion MRI using random matrix theory, NeuroImage 142 "
                      "(2016) 394-406",
                      "Cordero-Grande L. et al., Complex diffusion-weighted image estimation via matrix recovery "
                      "under general noise models, NeuroImage 200 (2019) 391-404"})},
        {"DenoisedVoxels", facts.analysis.denoisedVoxels}};
  }
  sidecar["Frames"] = facts.analysis.frames;
  sidecar["MaskVoxels"] = facts.analysis.maskVoxels;
  sidecar["AnalysedVoxels"] = facts.analysis.analysedVoxels;
  if (facts.analysis.nonFiniteVoxels > 0) sidecar["NonFiniteVoxelsLeftOut"] = facts.analysis.nonFiniteVoxels;
  if (facts.bids) {
    sidecar["CommandLine"] = facts.commandLine;  // GeneratedBy is the dataset's
  } else {
    sidecar["GeneratedBy"] =
        Json::array({{{"Name", "Mirlune"}, {"Version", facts.version}, {"CommandLine", facts.commandLine}}});
  }
  const Json notes = notesOf(facts);
  if (!notes.empty()) sidecar["Notes"] = notes;
  // Paths and arguments are bytes, not always UTF-8: what JSON cannot carry is replaced
  // (U+FFFD) rather than failing the run at its end.
  return sidecar.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string warningLine(const RunFacts& facts, const std::vector<std::string>& more) {
  std::vector<std::string> parts = runNotes(facts.analysis);
  parts.insert(parts.end(), more.begin(), more.end());
  if (parts.empty()) return "";
  std::string line = "Mirlune: warning: ";
  for (std::size_t i = 0; i < parts.size(); ++i) line += (i ? "; " : "") + parts[i];
  return line;
}

std::string commandLineOf(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    const std::string word = argv[i] ? argv[i] : "";
    if (i > 0) line += ' ';
    if (!needsQuotes(word)) {
      line += word;
      continue;
    }
    line += '\'';
    for (char c : word) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
}

std::string absolutePath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  if (!path.empty() && path[0] == '/') return path;
  char here[PATH_MAX];
  return ::getcwd(here, sizeof here) ? std::string(here) + "/" + path : path;
}

long long fileBytes(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

}  // namespace mirlune

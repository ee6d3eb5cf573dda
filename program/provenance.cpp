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
  const std::string side = std::to_string(facts.windowSide);
  const std::string where = "at each analysed voxel (a mask voxel with another mask voxel in its " + side + " x " +
                            side + " x " + side + " cube)";
  const std::string courses = facts.demeaned ? "time courses, each less its mean over frames" : "time courses";
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
    return "The number of mask voxels in the " + side + " x " + side + " x " + side + " cube " + where +
           "; 0 elsewhere.";
  }
  return "The second largest singular value divided by the largest, " + where + "; 0 elsewhere.";
}

std::string sentence(std::string text) {
  text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text + ".";
}

Json notesOf(const RunFacts& facts) {
  Json notes = Json::array();
  if (facts.nonFiniteVoxels > 0) notes.push_back(sentence(nonFiniteNote(facts.nonFiniteVoxels)));
  for (const std::string& reason : degenerateReasons(facts)) notes.push_back(sentence(reason));
  if (facts.threeDimensional) notes.push_back("The input is a 3-D image, read as a series of one frame.");
  if (facts.frames == 1) {
    notes.push_back(
        "The input has a single frame: each matrix is 1 x 1, so disparite is 0, dispersion 1, dispersion2 0 and "
        "ratFiltre 1 at every analysed voxel; the maps say nothing of time courses.");
  } else if (facts.frames == 2) {
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

std::string nonFiniteNote(long long voxels) {
  return std::to_string(voxels) + (voxels == 1 ? " voxel" : " voxels") +
         " with a sample that is not a finite number (NaN or infinite) left out of the analysis";
}

std::vector<std::string> degenerateReasons(const RunFacts& facts) {
  std::vector<std::string> reasons;
  if (facts.maskVoxels == 0) {
    reasons.push_back("the mask is empty: nothing was analysed");
  } else if (facts.analysedVoxels == 0) {
    reasons.push_back("no voxel was analysed: no mask voxel has another in its cube");
  }
  if (facts.frames == 1) reasons.push_back("the series has a single frame: the maps say nothing of time courses");
  if (facts.analysedVoxels > 0 && facts.fewerThanFrames == facts.analysedVoxels && facts.frames > 1) {
    // A wider window: the one whose whole cube holds more voxels than frames, or, where
    // the mask leaves cubes far from whole, the next.
    const int whole = autoSide(facts.frames);
    const int side = whole > 0 ? std::max(facts.windowSide + 2, whole) : 0;
    const std::string wider = side > 0 && side <= kMostSide ? "a wider window: -window " + std::to_string(side)
                                                            : "no window is wider: fewer frames, or a larger mask";
    reasons.push_back(
        "every analysed cube holds fewer voxels than the series has frames, so dispersion is 0 "
        "everywhere (" +
        wider + ")");
  }
  return reasons;
}

std::string sidecarText(const RunFacts& facts, const std::string& name) {
  Json sidecar;
  sidecar["Description"] = descriptionOf(name, facts);
  sidecar["Sources"] = Json::array({facts.bids ? facts.bidsSource : facts.input});
  sidecar["SourceFile"] = {{"Path", facts.bids ? facts.bidsSource : facts.input}, {"SizeBytes", facts.inputBytes}};
  if (facts.maskFile.empty()) {
    sidecar["Mask"] = {{"Rule", kBuiltInRule}};
  } else {
    sidecar["Mask"] = {{"File", facts.maskFile}};
  }
  sidecar["Window"] = {facts.windowSide, facts.windowSide, facts.windowSide};
  if (facts.windowAuto) sidecar["WindowChosen"] = "auto: the smallest cube holding more voxels than frames";
  if (facts.demeaned) sidecar["DemeanedCourses"] = true;
  sidecar["Frames"] = facts.frames;
  sidecar["MaskVoxels"] = facts.maskVoxels;
  sidecar["AnalysedVoxels"] = facts.analysedVoxels;
  if (facts.nonFiniteVoxels > 0) sidecar["NonFiniteVoxelsLeftOut"] = facts.nonFiniteVoxels;
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

std::string warningLine(const RunFacts& facts) {
  std::vector<std::string> parts;
  if (facts.nonFiniteVoxels > 0) parts.push_back(nonFiniteNote(facts.nonFiniteVoxels));
  for (const std::string& reason : degenerateReasons(facts)) parts.push_back(reason);
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

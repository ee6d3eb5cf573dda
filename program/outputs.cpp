#include "program/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "analysis/version.h"
#include "imaging/formats/imagefile.h"
#include "imaging/run/lockfile.h"

namespace mirlune {

const std::string kFileDescription = std::string("Mirlune ") + kVersion;
const char* const kOutputNames[5] = {"mask", "ratFiltre", "disparite", "dispersion", "dispersion2"};
const char* const kVoisinsName = "voisins";

const char* const kDenoiseNames[3] = {"denoised", "noise", "rank"};

std::vector<std::string> outputNames(bool voisins, bool denoise) {
  std::vector<std::string> names(std::begin(kOutputNames), std::end(kOutputNames));
  if (voisins) names.emplace_back(kVoisinsName);
  if (denoise) names.insert(names.end(), std::begin(kDenoiseNames), std::end(kDenoiseNames));
  return names;
}

std::vector<std::string> everyOutputName(bool denoise) { return outputNames(true, denoise); }

namespace {

std::atomic<bool> gCommitted{false};

[[noreturn]] void failFolder(const std::string& folder, const std::string& why) {
  throw std::runtime_error(folder + ": " + why);
}

}  // namespace

// mkdir -p: every missing folder along the path, each made readable by the user's umask.
void makeFolders(const std::string& folder) {
  for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    const std::string part = folder.substr(0, end);
    if (!part.empty() && ::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      failFolder(part, std::string("cannot create the output folder: ") + std::strerror(errno));
    }
    if (end == std::string::npos) break;
  }
}

SetLock::SetLock(const vexa::SetPlace& place) {
  const std::string where = place.folder.empty() ? "." : place.folder;
  struct stat info;
  if (::stat(where.c_str(), &info) != 0) {
    if (errno != ENOENT) failFolder(where, std::string("cannot use as output folder: ") + std::strerror(errno));
    makeFolders(where);
  } else if (!S_ISDIR(info.st_mode)) {
    failFolder(where, "exists and is not a folder");
  }
  // Known now, not after the analysis: whether files can be made there at all.
  if (::access(where.c_str(), W_OK | X_OK) != 0) {
    failFolder(where, std::string("cannot write into the output folder: ") + std::strerror(errno));
  }
  _lock = std::make_unique<vexa::LockFile>(place.path(place.lockName()), false);
  if (_lock->state() == vexa::LockFile::State::Busy) {
    failFolder(where, "another Mirlune run is writing these outputs there; wait for it or choose another -o");
  }
  if (_lock->state() == vexa::LockFile::State::Unsupported) {
    // A file system that keeps no locks: the run goes on, and says so.
    _missing = "no lock could be had on " + place.path(place.lockName()) + " (" + _lock->why() +
               "): a second run into these outputs would not be kept out";
  }
  vexa::recoverSet(place);
}

SetLock::~SetLock() = default;

void refuseOverwritingInput(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs) {
  for (const std::string& input : inputs) {
    struct stat in;
    if (::stat(input.c_str(), &in) != 0) continue;
    for (const std::string& output : outputs) {
      struct stat out;
      if (::stat(output.c_str(), &out) != 0) continue;
      if (in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
        throw std::runtime_error("the output " + output + " is the input " + input +
                                 "; nothing was written (choose another output folder with -o)");
      }
    }
  }
}

OutputSet::OutputSet(const std::string& folder, int threads, bool compressed, const std::string& tag, Naming stem,
                     bool denoise)
    : _threads(threads), _compressed(compressed), _stem(std::move(stem)) {
  _place.folder = folder;
  _place.tag = tag;
  for (const std::string& name : everyOutputName(denoise)) {
    for (const char* ending : {".nii", ".nii.gz", ".json"}) _place.names.push_back(named(name) + ending);
  }
}

std::string OutputSet::finalPath(const std::string& name) const {
  return _place.path(named(name)) + (_compressed ? ".nii.gz" : ".nii");
}

std::string OutputSet::sidecarPath(const std::string& name) const { return _place.path(named(name)) + ".json"; }

void OutputSet::stageSidecar(const std::string& name, const std::string& text) {
  vexa::PendingFile out(sidecarPath(name), false);
  out.write(text.data(), text.size());
  _staged.emplace_back(out.staged(static_cast<std::int64_t>(text.size())), sidecarPath(name));
}

template <class T>
void OutputSet::stage(const std::string& name, const VexaData<T>& data) {
  vexa::Writer<VexaData<T>> writer(finalPath(name));
  writer.setThreads(_threads);
  writer.setDescription(kFileDescription);
  _staged.push_back(writer.writeStaged(data));
}

template void OutputSet::stage(const std::string&, const VexaData<short>&);
template void OutputSet::stage(const std::string&, const VexaData<float>&);
template void OutputSet::stage(const std::string&, const VexaData<double>&);

void OutputSet::commit() {
  vexa::commitSet(_staged, _place, &gCommitted, _threads);
  _staged.clear();
}

void stageMaps(OutputSet& outputs, const LocalMaps& maps) {
  outputs.stage(kOutputNames[1], maps.ratFiltre);
  outputs.stage(kOutputNames[2], maps.disparite);
  outputs.stage(kOutputNames[3], maps.dispersion);
  outputs.stage(kOutputNames[4], maps.dispersion2);
  if (maps.withVoisins) outputs.stage(kVoisinsName, maps.voisins);
}

void stageDenoised(OutputSet& outputs, const DenoisedSeries& denoised) {
  outputs.stage(kDenoiseNames[0], denoised.series);
  outputs.stage(kDenoiseNames[1], denoised.noise);
  outputs.stage(kDenoiseNames[2], denoised.rank);
}

bool outputsCommitted() { return gCommitted; }

}  // namespace mirlune

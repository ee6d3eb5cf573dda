#include "program/outputs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "analysis/version.h"
#include "imaging/formats/imagefile.h"

namespace mirlune {

const std::string kFileDescription = std::string("Mirlune ") + kVersion;
const char* const kOutputNames[5] = {"mask", "ratFiltre", "disparite", "dispersion", "dispersion2"};
const char* const kVoisinsName = "voisins";

std::vector<std::string> outputNames(bool voisins) {
  std::vector<std::string> names(std::begin(kOutputNames), std::end(kOutputNames));
  if (voisins) names.emplace_back(kVoisinsName);
  return names;
}

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

OutputFolder::OutputFolder(const std::string& folder) : _folder(folder) {
  const std::string where = folder.empty() ? "." : folder;
  struct stat info;
  if (::stat(where.c_str(), &info) != 0) {
    if (errno != ENOENT) failFolder(where, std::string("cannot use as output folder: ") + std::strerror(errno));
    makeFolders(where);
  } else if (!S_ISDIR(info.st_mode)) {
    failFolder(where, "exists and is not a folder");
  }
  _fd = ::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (_fd < 0) failFolder(where, std::string("cannot open the output folder: ") + std::strerror(errno));
  if (::flock(_fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(_fd);
    _fd = -1;
    if (error == EWOULDBLOCK)
      failFolder(where, "another Mirlune run is writing there; wait for it or choose another -o");
    failFolder(where, std::string("cannot lock the output folder: ") + std::strerror(error));
  }
  // Known now, not after the analysis: whether files can be made there at all.
  if (::access(where.c_str(), W_OK | X_OK) != 0) {
    failFolder(where, std::string("cannot write into the output folder: ") + std::strerror(errno));
  }
  vexa::recoverFolder(_folder);
}

OutputFolder::~OutputFolder() {
  if (_fd >= 0) ::close(_fd);  // closing drops the lock
}

std::string OutputFolder::path(const std::string& file) const {
  if (_folder.empty()) return file;
  return _folder.back() == '/' ? _folder + file : _folder + '/' + file;
}

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

std::string OutputSet::finalPath(const std::string& name) const {
  return _folder.path(_stem ? _stem(name) : name) + (_compressed ? ".nii.gz" : ".nii");
}

std::string OutputSet::sidecarPath(const std::string& name) const {
  return _folder.path(_stem ? _stem(name) : name) + ".json";
}

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
  vexa::commitSet(_staged, _folder.name(), &gCommitted, _threads);
  _staged.clear();
}

void stageMaps(OutputSet& outputs, const LocalMaps& maps) {
  outputs.stage(kOutputNames[1], maps.ratFiltre);
  outputs.stage(kOutputNames[2], maps.disparite);
  outputs.stage(kOutputNames[3], maps.dispersion);
  outputs.stage(kOutputNames[4], maps.dispersion2);
  if (maps.withVoisins) outputs.stage(kVoisinsName, maps.voisins);
}

bool outputsCommitted() { return gCommitted; }

}  // namespace mirlune

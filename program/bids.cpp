#include "program/bids.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "imaging/run/failure.h"
#include "imaging/run/lockfile.h"
#include "imaging/run/pendingfile.h"

namespace mirlune {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

bool isLabel(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  return true;
}

[[noreturn]] void noEntities(const std::string& path, const std::string& why) {
  throw std::runtime_error("-bids: " + path + " " + why +
                           "; a BIDS name reads sub-<label>[_<key>-<label>...]_<suffix>.nii.gz");
}

// The datatype folder a suffix belongs in, for inputs that lie in none.
std::string datatypeOf(const std::string& folder, const std::string& suffix) {
  static const char* const kDatatypes[] = {"anat", "func", "dwi", "fmap", "perf", "pet", "beh", "micr", "nirs"};
  for (const char* datatype : kDatatypes)
    if (folder == datatype) return folder;
  static const std::map<std::string, std::string> kBySuffix = {{"bold", "func"}, {"cbv", "func"}, {"sbref", "func"},
                                                               {"dwi", "dwi"},   {"pet", "pet"},  {"asl", "perf"},
                                                               {"T1w", "anat"},  {"T2w", "anat"}, {"FLAIR", "anat"}};
  const auto found = kBySuffix.find(suffix);
  return found == kBySuffix.end() ? "" : found->second;
}

// The dataset a path lies in: the parent of the nearest folder above it named sub-<label>.
DatasetFile locate(const fs::path& file, const std::string& subject) {
  DatasetFile where;
  const fs::path folder = fs::absolute(file).parent_path().lexically_normal();
  for (fs::path at = folder; at.has_relative_path(); at = at.parent_path()) {
    const std::string name = at.filename().string();
    if (subject.empty() ? name.rfind("sub-", 0) != 0 : name != subject) continue;
    std::error_code error;
    const fs::path root = fs::weakly_canonical(at.parent_path(), error);
    where.dataset = (error ? at.parent_path() : root).string();
    where.inDataset = fs::absolute(file).lexically_normal().lexically_relative(at.parent_path()).string();
    break;
  }
  return where;
}

std::string capitalised(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

const char* const kDescription = "dataset_description.json";

// Every file of the dataset's root this program writes, which its claims sweep the leftovers of.
const char* const kRootFiles[] = {kDescription, "README.md", ".bidsignore"};

// A small text file of the dataset, read as what it is: never through a FIFO or a device,
// never without end. Empty (and false) when it does not exist.
bool readSmall(const std::string& path, std::string& text) {
  struct stat seen;
  if (::lstat(path.c_str(), &seen) != 0) return false;
  struct stat target;
  if (S_ISLNK(seen.st_mode) && ::stat(path.c_str(), &target) != 0) {
    vexa::failFile(path, "a link to nothing; remove it, or choose another output folder");
  }
  if (S_ISLNK(seen.st_mode)) seen = target;
  if (!S_ISREG(seen.st_mode)) {
    vexa::failFile(path, std::string("not a regular file (") +
                             (S_ISFIFO(seen.st_mode)  ? "a FIFO"
                              : S_ISDIR(seen.st_mode) ? "a folder"
                                                      : "a device") +
                             "); remove it, or choose another output folder");
  }
  if (seen.st_size > (1 << 20)) vexa::failFile(path, "far too large for a dataset description");
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) vexa::failFile(path, std::string("cannot read: ") + std::strerror(errno));
  text = vexa::readUpTo(fd, static_cast<std::size_t>(seen.st_size) + 1);
  ::close(fd);
  return true;
}

// Writes text as path, whole and following the umask: made under a hidden name, then linked
// into place (false, nothing changed, when path exists) or renamed over it (replace).
bool writeWhole(const std::string& root, const std::string& name, const std::string& text, bool replace) {
  const std::string path = (fs::path(root) / name).string();
  const std::string temporary = vexa::temporaryNameFor(path);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) vexa::failFile(path, std::string("cannot write: ") + std::strerror(errno));
  bool written = ::fchmod(fd, 0666 & ~vexa::processUmask()) == 0 &&
                 ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  int error = errno;
  ::close(fd);
  bool made = false;
  if (written) {
    made = replace ? ::rename(temporary.c_str(), path.c_str()) == 0 : ::link(temporary.c_str(), path.c_str()) == 0;
    error = errno;
  }
  ::unlink(temporary.c_str());
  if (!written || (!made && error != EEXIST))
    vexa::failFile(path, std::string("cannot write: ") + std::strerror(error));
  vexa::syncFolder(root);
  return made;
}

// What a claim interrupted by a kill left at the root: this program's hidden names for its
// root files, regular files of the running user.
void sweepRoot(const std::string& root) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".mirlune-", 0) != 0 || name.size() < 23 || name.compare(name.size() - 5, 5, ".part") != 0) continue;
    bool ours = false;
    for (const char* file : kRootFiles)
      ours = ours || name.compare(17, std::string::npos, std::string("-") + file + ".part") == 0;
    struct stat seen;
    if (ours && ::lstat(entry.path().c_str(), &seen) == 0 && S_ISREG(seen.st_mode) && seen.st_uid == ::geteuid())
      ::unlink(entry.path().c_str());
  }
}

const char* const kReadme =
    "# Mirlune derivatives\n\n"
    "Maps of a local principal component analysis of each series (Mirlune -bids), in the raw\n"
    "dataset's layout. For each series, named after its entities (its own desc folded into\n"
    "each output's, as in desc-preprocDisparite):\n\n"
    "- `desc-analysed_mask`: the voxels analysed;\n"
    "- `desc-disparite_map`, `desc-dispersion_map`, `desc-dispersion2_map`, `desc-voisins_map`: 3-D maps\n"
    "  of how the singular values of each voxel's neighbourhood spread, and its voxel count;\n"
    "- `desc-ratFiltre_<suffix>`: the dominant time course of each neighbourhood, a series.\n"
    "%s"
    "\n"
    "Each has a JSON sidecar saying what it is and how it was made; dataset_description.json\n"
    "gives the program, its version and the options every run here shares.\n\n"
    "bids-validator 1.x checks raw names only, so these outputs are listed in .bidsignore;\n"
    "each subject's folder holds a scans.json describing them, which it does check.\n";

// What bids-validator 1.x finds in each subject's folder where it can check nothing else.
const char* const kScansDictionary =
    "{\n"
    "  \"filename\": {\"Description\": \"An output of Mirlune in this folder\"},\n"
    "  \"source\": {\"Description\": \"The series it was made from, as a BIDS URI (its sidecar's Sources)\"}\n"
    "}\n";

const char* const kBidsIgnore =
    "# Mirlune's outputs: derivatives whose names bids-validator 1.x, which checks raw names, does not cover\n"
    "*_desc-*nalysed_mask.*\n"
    "*_desc-*_map.*\n"
    "*_desc-*atFiltre_*.*\n";

// What a dataset made with -denoise adds to them.
const char* const kDenoiseReadme =
    "- `desc-denoised_<suffix>`: the series denoised by the Marchenko-Pastur law on each voxel's\n"
    "  window; `desc-noise_map` and `desc-rank_map`: the noise level and the components kept.\n";
const char* const kDenoiseIgnore = "*_desc-*enoised_*.*\n";

std::string readmeText(bool denoise) {
  std::string text = kReadme;
  return text.replace(text.find("%s"), 2, denoise ? kDenoiseReadme : "");
}

}  // namespace

BidsInput parseBidsInput(const std::string& path) {
  const fs::path file(path);
  std::string stem = file.filename().string();
  for (const char* ending : {".nii.gz", ".nii"}) {
    const std::string tail = ending;
    if (stem.size() > tail.size() && stem.compare(stem.size() - tail.size(), tail.size(), tail) == 0) {
      stem.resize(stem.size() - tail.size());
      break;
    }
    if (tail == ".nii") noEntities(path, "does not end in .nii or .nii.gz");
  }
  BidsInput input;
  std::vector<std::string> parts;
  std::istringstream words(stem);
  for (std::string part; std::getline(words, part, '_');) parts.push_back(part);
  if (parts.size() < 2) noEntities(path, "has no BIDS entities");
  input.suffix = parts.back();
  if (!isLabel(input.suffix)) noEntities(path, "has no BIDS suffix");
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const std::size_t dash = parts[i].find('-');
    const std::string key = parts[i].substr(0, dash == std::string::npos ? 0 : dash);
    const std::string label = dash == std::string::npos ? "" : parts[i].substr(dash + 1);
    if (!isLabel(key) || !isLabel(label)) noEntities(path, "has no BIDS entities (\"" + parts[i] + "\")");
    if (i == 0 && key != "sub") noEntities(path, "does not begin with sub-<label>");
    if (key == "desc") {
      input.desc = label;  // folded into each output's own
    } else {
      input.entities.emplace_back(key, label);
    }
  }

  const fs::path folder = fs::absolute(file).parent_path().lexically_normal();
  input.datatype = datatypeOf(folder.filename().string(), input.suffix);
  if (input.datatype.empty()) {
    throw std::runtime_error("-bids: cannot tell the datatype of " + path +
                             " (put it in a datatype folder such as pet/, func/ or dwi/)");
  }
  static_cast<DatasetFile&>(input) = locate(file, "sub-" + input.entities.front().second);
  return input;
}

DatasetFile locateInDataset(const std::string& path) { return locate(fs::path(path), ""); }

std::string bidsFolder(const BidsInput& input) {
  std::string folder = "sub-" + input.entities.front().second;
  for (const auto& [key, label] : input.entities)
    if (key == "ses") folder += "/ses-" + label;
  return folder + "/" + input.datatype;
}

std::string bidsSetName(const BidsInput& input) {
  std::string name;
  for (const auto& [key, label] : input.entities) name += (name.empty() ? "" : "_") + key + "-" + label;
  return input.desc.empty() ? name : name + "_desc-" + input.desc;
}

std::string bidsOutputName(const BidsInput& input, const std::string& name) {
  std::string stem;
  for (const auto& [key, label] : input.entities) stem += key + "-" + label + "_";
  const std::string own = name == "mask" ? "analysed" : name;
  const std::string label = input.desc.empty() ? own : input.desc + capitalised(own);
  const bool series = name == "ratFiltre" || name == "denoised";
  const std::string suffix = name == "mask" ? "mask" : series ? input.suffix : "map";
  return stem + "desc-" + label + "_" + suffix;
}

std::string relativeLink(const std::string& dataset, const std::string& root) {
  if (dataset.empty()) return "";
  std::error_code error;
  const fs::path from = fs::weakly_canonical(fs::absolute(root), error);
  return fs::path(dataset).lexically_relative(from).string();
}

std::string bidsSource(const BidsInput& input, const std::string& absolute) {
  return input.dataset.empty() ? absolute : "bids:raw:" + input.inDataset;
}

std::string bidsMaskSource(const BidsInput& input) {
  if (input.mask.dataset.empty()) return "";
  return (input.mask.dataset == input.dataset ? "bids:raw:" : "bids:masks:") + input.mask.inDataset;
}

void claimDerivativeDataset(const std::string& root, const DatasetClaim& claim) {
  Json description;
  description["Name"] = "Mirlune: local principal component analysis maps";
  description["BIDSVersion"] = "1.9.0";
  description["DatasetType"] = "derivative";
  description["GeneratedBy"] = Json::array({{{"Name", "Mirlune"},
                                             {"Version", claim.version},
                                             {"Description", "Local principal component analysis of image series"},
                                             {"CommandLine", "Mirlune -bids" + claim.settings}}});
  if (!claim.raw.empty()) description["DatasetLinks"] = {{"raw", claim.raw}};
  const std::string path = (fs::path(root) / kDescription).string();

  // Claims wait for each other: they are short.
  const vexa::LockFile lock((fs::path(root) / ".mirlune-dataset.lock").string(), true);
  if (lock.state() == vexa::LockFile::State::Held) sweepRoot(root);
  auto text = [](const Json& json) { return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n"; };
  Json wanted = description;
  const bool masked = !claim.masks.empty() && claim.masks != claim.raw;
  if (masked) wanted["DatasetLinks"]["masks"] = claim.masks;
  // Of two runs that begin together, one makes it and the other finds it complete.
  if (writeWhole(root, kDescription, text(wanted), false)) {
    // Runs that denoise are the dataset's: its settings say so.
    const bool denoise = claim.settings.find(" -denoise") != std::string::npos;
    writeWhole(root, "README.md", readmeText(denoise), false);
    writeWhole(root, ".bidsignore", std::string(kBidsIgnore) + (denoise ? kDenoiseIgnore : ""), false);
    return;
  }

  std::string existing;
  readSmall(path, existing);
  Json theirs = Json::parse(existing, nullptr, false);
  if (theirs.is_discarded() || !theirs.is_object()) {
    vexa::failFile(path,
                   "not a dataset description this program can read (not a JSON object); repair it, or "
                   "choose another output folder");
  }
  // The masks' dataset is the only thing a later run may add.
  Json masks;
  if (theirs.contains("DatasetLinks") && theirs["DatasetLinks"].is_object() &&
      theirs["DatasetLinks"].contains("masks")) {
    masks = theirs["DatasetLinks"]["masks"];
    Json without = theirs;
    without["DatasetLinks"].erase("masks");
    if (without["DatasetLinks"].empty()) without.erase("DatasetLinks");
    theirs = without;
  }
  if (theirs == description) {
    if (!masked || masks == claim.masks) return;
    if (masks.is_null()) {
      Json added = theirs;
      added["DatasetLinks"]["masks"] = claim.masks;
      writeWhole(root, kDescription, text(added), true);
      return;
    }
    vexa::failFile(path, "this derivative dataset's masks come from " + masks.dump() + "; this run's mask lies in " +
                             claim.masks + ": choose another output folder");
  }
  std::string madeBy = "another program or version";
  const Json by = theirs.contains("GeneratedBy") && theirs["GeneratedBy"].is_array() && !theirs["GeneratedBy"].empty()
                      ? theirs["GeneratedBy"][0]
                      : Json();
  if (by.is_object()) {
    auto field = [&by](const char* key, const std::string& otherwise) {
      return by.contains(key) && by[key].is_string() ? by[key].get<std::string>() : otherwise;
    };
    madeBy = field("CommandLine", field("Name", madeBy)) + " (" + field("Version", "?") + ")";
    if (theirs.value("DatasetLinks", Json()) != description.value("DatasetLinks", Json())) {
      madeBy += " from another raw dataset";
    }
  }
  vexa::failFile(path, "this derivative dataset was made by " + madeBy + "; this run (Mirlune -bids" + claim.settings +
                           ", " + claim.version + ") would mix them: choose another output folder");
}

void describeSubject(const std::string& root, const BidsInput& input) {
  const std::string name = "sub-" + input.entities.front().second;
  const std::string at = (fs::path(root) / name).string();
  std::error_code error;
  fs::create_directories(at, error);
  if (error) vexa::failFile(at, "cannot create the output folder: " + error.message());
  writeWhole(at, name + "_scans.json", kScansDictionary, false);
}

void refuseAnotherInputsOutputs(const std::string& sidecar, const std::string& source) {
  std::string text;
  if (!readSmall(sidecar, text)) return;
  const Json theirs = Json::parse(text, nullptr, false);
  std::string made;
  if (theirs.is_object() && theirs.contains("Sources") && theirs["Sources"].is_array() && !theirs["Sources"].empty() &&
      theirs["Sources"][0].is_string()) {
    made = theirs["Sources"][0].get<std::string>();
  }
  if (!made.empty() && made == source) return;
  vexa::failFile(sidecar, "these outputs were made from " + (made.empty() ? std::string("another input") : made) +
                              ", not from " + source +
                              ": this run would replace them; nothing was written (choose another output folder)");
}

}  // namespace mirlune

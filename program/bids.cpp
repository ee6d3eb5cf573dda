#include "program/bids.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "imaging/run/failure.h"

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
    if (key != "desc") input.entities.emplace_back(key, label);  // ours replaces it
  }

  const fs::path folder = fs::absolute(file).parent_path().lexically_normal();
  input.datatype = datatypeOf(folder.filename().string(), input.suffix);
  if (input.datatype.empty()) {
    throw std::runtime_error("-bids: cannot tell the datatype of " + path +
                             " (put it in a datatype folder such as pet/, func/ or dwi/)");
  }
  // The raw dataset is the folder that holds sub-<label>, when the input lies under one.
  const std::string subject = "sub-" + input.entities.front().second;
  for (fs::path at = folder; at.has_relative_path(); at = at.parent_path()) {
    if (at.filename() != subject) continue;
    std::error_code error;
    const fs::path root = fs::weakly_canonical(at.parent_path(), error);
    input.dataset = (error ? at.parent_path() : root).string();
    input.inDataset = fs::absolute(file).lexically_normal().lexically_relative(at.parent_path()).string();
    break;
  }
  return input;
}

std::string bidsFolder(const BidsInput& input) {
  std::string folder = "sub-" + input.entities.front().second;
  for (const auto& [key, label] : input.entities)
    if (key == "ses") folder += "/ses-" + label;
  return folder + "/" + input.datatype;
}

std::string bidsOutputName(const BidsInput& input, const std::string& name) {
  std::string stem;
  for (const auto& [key, label] : input.entities) stem += key + "-" + label + "_";
  if (name == "mask") return stem + "desc-analysed_mask";
  return stem + "desc-" + name + "_" + input.suffix;
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

void claimDerivativeDataset(const std::string& root, const std::string& version, const std::string& settings,
                            const std::string& raw) {
  Json description;
  description["Name"] = "Mirlune: local principal component analysis maps";
  description["BIDSVersion"] = "1.9.0";
  description["DatasetType"] = "derivative";
  description["GeneratedBy"] = Json::array({{{"Name", "Mirlune"},
                                             {"Version", version},
                                             {"Description", "Local principal component analysis of image series"},
                                             {"CommandLine", "Mirlune -bids" + settings}}});
  if (!raw.empty()) description["DatasetLinks"] = {{"raw", raw}};
  const std::string text = description.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  const std::string path = (fs::path(root) / "dataset_description.json").string();

  // Made whole under a temporary name and linked into place, so that of two runs that
  // begin together one makes it and the other finds it complete.
  std::string temporary = path + ".part-XXXXXX";
  const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) vexa::failFile(path, std::string("cannot write: ") + std::strerror(errno));
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  ::close(fd);
  const bool made = written && ::link(temporary.c_str(), path.c_str()) == 0;
  const int error = errno;
  ::unlink(temporary.c_str());
  if (made) return;
  if (!written || error != EEXIST) vexa::failFile(path, std::string("cannot write: ") + std::strerror(error));

  std::ifstream in(path);
  std::stringstream existing;
  existing << in.rdbuf();
  const Json theirs = Json::parse(existing.str(), nullptr, false);
  if (theirs == description) return;
  std::string made_by = "another program or version";
  if (!theirs.is_discarded() && theirs.contains("GeneratedBy") && theirs["GeneratedBy"].is_array() &&
      !theirs["GeneratedBy"].empty()) {
    const Json& by = theirs["GeneratedBy"][0];
    made_by = by.value("CommandLine", by.value("Name", made_by)) + " (" + by.value("Version", "?") + ")";
    if (theirs.contains("DatasetLinks") != description.contains("DatasetLinks") ||
        (theirs.contains("DatasetLinks") && theirs["DatasetLinks"] != description["DatasetLinks"])) {
      made_by += " from another raw dataset";
    }
  }
  vexa::failFile(path, "this derivative dataset was made by " + made_by + "; this run (Mirlune -bids" + settings +
                           ", " + version + ") would mix them: choose another output folder");
}

}  // namespace mirlune

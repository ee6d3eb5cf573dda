#pragma once
// Where and how a run's files are written: one folder, locked for the run, and a set of
// files that replace the previous set together or not at all.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/stages.h"
#include "imaging/run/commit.h"
#include "imaging/run/pendingfile.h"

namespace mirlune {

//! The description every file of the program carries in its header: "Mirlune <version>".
extern const std::string kFileDescription;

//! The bare names of a run's five outputs, in the order they are written.
extern const char* const kOutputNames[5];
//! The voisins map (the mask voxels in each analysed voxel's cube), written after the five when asked for.
extern const char* const kVoisinsName;

//! The bare names of a run's outputs: the five, and voisins when asked for.
std::vector<std::string> outputNames(bool voisins);

//! mkdir -p: every missing folder along the path; std::runtime_error naming the one that fails.
void makeFolders(const std::string& folder);

/*!
 * The folder a run writes into, created with its parents when missing, and held under an
 * exclusive advisory lock (flock on the folder itself) while the object lives, so that a
 * second run into it fails at once. The kernel drops the lock when the process ends,
 * however it ends. Once locked, a commit that an earlier run left unfinished there is
 * completed or rolled back, and its left-over temporaries removed. An empty name is the
 * current folder.
 */
class OutputFolder {
 public:
  explicit OutputFolder(const std::string& folder);
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  //! The path of an output's file: the bare name in the current folder, else folder/name.
  std::string path(const std::string& file) const;
  //! The folder as given (empty: the current folder).
  const std::string& name() const { return _folder; }

 private:
  std::string _folder;
  int _fd = -1;
};

/*!
 * Refuses, naming both, an output that is the same file as an input (same device and
 * inode, whatever the spelling, relative path or symlink that reaches it). Outputs that do
 * not exist yet cannot be an input.
 */
void refuseOverwritingInput(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs);

/*!
 * The files of one run. Each is written completely, under a temporary name in the output
 * folder, when stage() is called; commit() flushes and renames them all into place. Files
 * still staged when the set goes (a failure) are removed, leaving the previous files as
 * they were.
 */
class OutputSet {
 public:
  //! compressed: images are written as .nii.gz rather than .nii.
  OutputSet(const OutputFolder& folder, int threads, bool compressed = false)
      : _folder(folder), _threads(threads), _compressed(compressed) {}

  //! Files are named by stem(name) instead of name (BIDS derivatives' names).
  void setNaming(std::function<std::string(const std::string&)> stem) { _stem = std::move(stem); }
  //! The final path of the image called name (its ending included).
  std::string finalPath(const std::string& name) const;
  //! The final path of the sidecar of the image called name.
  std::string sidecarPath(const std::string& name) const;
  template <class T>
  void stage(const std::string& name, const VexaData<T>& data);
  void stageSidecar(const std::string& name, const std::string& text);
  void commit();

 private:
  const OutputFolder& _folder;
  int _threads;
  bool _compressed;
  std::function<std::string(const std::string&)> _stem;
  std::vector<vexa::StagedFile> _staged;
};

//! Stages "ratFiltre", "disparite", "dispersion" and "dispersion2", in that order, then "voisins" when asked for.
void stageMaps(OutputSet& outputs, const LocalMaps& maps);

//! True once a run's outputs have all been renamed into place.
bool outputsCommitted();

}  // namespace mirlune

#pragma once
// Where and how a run's files are written: one output set in its folder, locked for the run,
// whose files replace the earlier set's together or not at all.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "analysis/denoise.h"
#include "analysis/stages.h"
#include "imaging/run/commit.h"
#include "imaging/run/lockfile.h"
#include "imaging/run/pendingfile.h"

namespace mirlune {

//! The description every file of the program carries in its header: "Mirlune <version>".
extern const std::string kFileDescription;

//! The bare names of a run's five outputs, in the order they are written.
extern const char* const kOutputNames[5];
//! The voisins map (the mask voxels in each analysed voxel's cube), written after the five when asked for.
extern const char* const kVoisinsName;

//! The denoised series, its noise level and its rank maps, written last when asked for.
extern const char* const kDenoiseNames[3];

//! The bare names of a run's outputs: the five, voisins and the denoising's when asked for.
std::vector<std::string> outputNames(bool voisins, bool denoise = false);
/*!
 * The bare names of every output a run may write: with denoise, all of them; without, all
 * but the denoising's, so that a run that does not denoise never touches a file of the
 * folder called noise or rank (common names) that it would not write.
 */
std::vector<std::string> everyOutputName(bool denoise = true);

//! mkdir -p: every missing folder along the path; std::runtime_error naming the one that fails.
void makeFolders(const std::string& folder);

/*!
 * Refuses, naming both, an output that is the same file as an input (same device and
 * inode, whatever the spelling, relative path or symlink that reaches it). Outputs that do
 * not exist yet cannot be an input.
 */
void refuseOverwritingInput(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs);

/*!
 * The files of one run: an output set in its folder. Each file is written completely,
 * under a hidden temporary name in the folder, when stage() is called; commit() flushes and
 * renames them all into place, setting aside whatever an earlier run of the set wrote that
 * this one does not. Files still staged when the set goes (a failure) are removed, leaving
 * the earlier files as they were.
 */
class OutputSet {
 public:
  using Naming = std::function<std::string(const std::string&)>;
  /*!
   * compressed: images are written as .nii.gz rather than .nii. tag and stem, for one of
   * several sets that share a folder (BIDS derivatives): the set's own name, and how each
   * output is named (stem(name) instead of name).
   */
  OutputSet(const std::string& folder, int threads, bool compressed, const std::string& tag = "", Naming stem = {},
            bool denoise = false);

  //! The set in its folder: its files' possible names, its record and lock.
  const vexa::SetPlace& place() const { return _place; }
  //! The final path of the image called name (its ending included).
  std::string finalPath(const std::string& name) const;
  //! The final path of the sidecar of the image called name.
  std::string sidecarPath(const std::string& name) const;
  template <class T>
  void stage(const std::string& name, const VexaData<T>& data);
  void stageSidecar(const std::string& name, const std::string& text);
  void commit();

 private:
  std::string named(const std::string& name) const { return _stem ? _stem(name) : name; }

  vexa::SetPlace _place;
  int _threads;
  bool _compressed;
  Naming _stem;
  std::vector<vexa::StagedFile> _staged;
};

/*!
 * An output set's folder, made with its parents when missing, and the set held under an
 * exclusive lock while the object lives, so that a second run into the same set fails at
 * once while runs of other sets in the folder go on. The lock is the kernel's, on a hidden
 * file of the set (vexa::LockFile), so a killed run never leaves it held. Once locked, a commit that an
 * earlier run of the set left unfinished is completed or rolled back, and its leftovers
 * removed.
 */
class SetLock {
 public:
  explicit SetLock(const vexa::SetPlace& place);
  ~SetLock();
  SetLock(const SetLock&) = delete;
  SetLock& operator=(const SetLock&) = delete;

  //! Empty, or why no lock could be had on this file system: the run goes on, and says so.
  const std::string& missing() const { return _missing; }

 private:
  std::unique_ptr<vexa::LockFile> _lock;
  std::string _missing;
};

//! Stages "ratFiltre", "disparite", "dispersion" and "dispersion2", in that order, then "voisins" when asked for.
void stageMaps(OutputSet& outputs, const LocalMaps& maps);

//! Stages "denoised", "noise" and "rank".
void stageDenoised(OutputSet& outputs, const DenoisedSeries& denoised);

//! True once a run's outputs have all been renamed into place.
bool outputsCommitted();

}  // namespace mirlune

#pragma once
// What a run records beside each output: a JSON sidecar in the style of BIDS derivatives.

#include <string>
#include <vector>

namespace mirlune {

//! The facts of one run that its sidecars report.
struct RunFacts {
  std::string version;
  std::string commandLine;  //!< the whole command line, each word quoted when it needs to be
  std::string input;        //!< the input file, absolute
  long long inputBytes = 0;
  std::string maskFile;  //!< the user's mask, absolute; empty for the built-in rule
  int frames = 0;
  bool threeDimensional = false;  //!< the input was a 3-D image
  long long maskVoxels = 0;
  long long analysedVoxels = 0;
  long long nonFiniteVoxels = 0;  //!< left out for a sample that is not a finite number
  int windowSide = 5;             //!< the cube's side
  bool windowAuto = false;        //!< the side was chosen from the frames ("auto")
  bool demeaned = false;          //!< courses less their means
  long long fewerThanFrames = 0;  //!< analysed voxels whose cube held fewer voxels than frames
  //! Written as BIDS derivatives: the source as a BIDS URI, and GeneratedBy left to
  //! dataset_description.json.
  bool bids = false;
  std::string bidsSource;
};

/*!
 * Why a run that succeeds tells its user little: an empty mask, no analysed voxel, a
 * single frame, or every analysed cube holding fewer voxels than frames. Empty when none.
 */
std::vector<std::string> degenerateReasons(const RunFacts& facts);

//! "N voxels with a sample that is not a finite number ... left out of the analysis".
std::string nonFiniteNote(long long voxels);

/*!
 * What a run that succeeded must say about its input, in one line for standard error
 * ("Mirlune: warning: ..."), or nothing; the sidecars' notes say the same.
 */
std::string warningLine(const RunFacts& facts);

//! The sidecar of the output called name ("mask", "ratFiltre", "disparite", ...).
std::string sidecarText(const RunFacts& facts, const std::string& name);

//! argv as one line a shell would split back into the same words.
std::string commandLineOf(int argc, const char* const* argv);

//! The absolute form of path (symlinks resolved where it exists) and its size in bytes.
std::string absolutePath(const std::string& path);
long long fileBytes(const std::string& path);

}  // namespace mirlune

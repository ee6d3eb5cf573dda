#pragma once
// What a run records beside each output: a JSON sidecar in the style of BIDS derivatives.

#include <string>
#include <vector>

#include "analysis/notes.h"

namespace mirlune {

//! The facts of one run that its sidecars report.
struct RunFacts {
  std::string version;
  std::string commandLine;  //!< the whole command line, each word quoted when it needs to be
  std::string input;        //!< the input file, absolute
  long long inputBytes = 0;
  std::string maskFile;           //!< the user's mask, absolute; empty for the built-in rule
  bool threeDimensional = false;  //!< the input was a 3-D image
  bool windowAuto = false;        //!< the side was chosen from the frames ("auto")
  AnalysisFacts analysis;         //!< what the analysis found
  //! Written as BIDS derivatives: the source as a BIDS URI, and GeneratedBy left to
  //! dataset_description.json.
  bool bids = false;
  std::string bidsSource;
  std::string bidsMask;  //!< the mask as a BIDS URI when it lies in a dataset
};

/*!
 * What a run that succeeded must say about its input, in one line for standard error
 * ("Mirlune: warning: ..."), or nothing; the sidecars' notes say the same. more: what the
 * run has to say of itself (no lock to be had, a signal after its outputs were written).
 */
std::string warningLine(const RunFacts& facts, const std::vector<std::string>& more = {});

//! The sidecar of the output called name ("mask", "ratFiltre", "disparite", ...).
std::string sidecarText(const RunFacts& facts, const std::string& name);

//! argv as one line a shell would split back into the same words.
std::string commandLineOf(int argc, const char* const* argv);

//! The absolute form of path (symlinks resolved where it exists) and its size in bytes.
std::string absolutePath(const std::string& path);
long long fileBytes(const std::string& path);

}  // namespace mirlune

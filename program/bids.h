#pragma once
// Outputs named as BIDS derivatives: the input's entities, a desc label per output (the
// input's own desc folded into it), the input's suffix on series and "mask" or "map" on 3-D
// images, in a folder tree that mirrors the raw dataset's.

#include <string>
#include <utility>
#include <vector>

namespace mirlune {

//! Where a file lies in a BIDS dataset.
struct DatasetFile {
  std::string dataset;    //!< the dataset's root (absolute), empty when the file lies in none
  std::string inDataset;  //!< the file's path inside it
};

//! What a BIDS file name and its place say about a series.
struct BidsInput : DatasetFile {
  //! The entities in the order the name gives them (sub first), desc left out.
  std::vector<std::pair<std::string, std::string>> entities;
  std::string desc;      //!< the input's own desc label, empty when it has none
  std::string suffix;    //!< "pet", "bold", "dwi", ...
  std::string datatype;  //!< the folder it belongs in: "pet", "func", "dwi", "anat", ...
  DatasetFile mask;      //!< where the run's mask lies, when it has one
};

/*!
 * Reads the entities of a series' file name (sub-<label>[_<key>-<label>...]_<suffix>.nii
 * or .nii.gz) and where it lies: a folder named sub-<label> above it makes its parent the
 * raw dataset. Throws std::runtime_error, in one line, for a name without BIDS entities.
 */
BidsInput parseBidsInput(const std::string& path);

//! Where a file lies: a folder named sub-<label> above it makes its parent a dataset.
DatasetFile locateInDataset(const std::string& path);

//! The folder of the outputs inside the derivative dataset: sub-<label>[/ses-<label>]/<datatype>.
std::string bidsFolder(const BidsInput& input);

//! The output set's own name: the input's name less its suffix and ending (its desc kept).
std::string bidsSetName(const BidsInput& input);

/*!
 * The file name (without ending) of the output called name: the input's entities, then
 * desc-<label> and a suffix. The label is the output's (the mask's is "analysed"), after
 * the input's own desc when it has one (desc-preprocDisparite); the suffix is the input's
 * for series (ratFiltre, denoised), "mask" for the mask and "map" for the other 3-D images.
 */
std::string bidsOutputName(const BidsInput& input, const std::string& name);

//! How DatasetLinks names a dataset from the derivative root: a relative path; empty for none.
std::string relativeLink(const std::string& dataset, const std::string& root);

//! The BIDS URI (bids:raw:<path>) of the input, or its absolute path when it lies in no dataset.
std::string bidsSource(const BidsInput& input, const std::string& absolute);
//! The BIDS URI of the run's mask (bids:raw:, or bids:masks: for a dataset of its own); empty
//! when it lies in no dataset.
std::string bidsMaskSource(const BidsInput& input);

//! What a derivative dataset is made with.
struct DatasetClaim {
  std::string version;   //!< the program's
  std::string settings;  //!< the command line's options that every run into it must share, in a fixed form
  std::string raw;       //!< the raw dataset as DatasetLinks gives it (empty: none)
  std::string masks;     //!< the dataset of the run's mask, when not the raw one (empty: none)
};

/*!
 * The derivative dataset's dataset_description.json (with a README and a .bidsignore): written
 * once, atomically, at root, following the umask; a later run checks that the one there says
 * the same (the same program, version and settings, the same raw dataset; a masks dataset is
 * added when the first run that needs it comes) and refuses, in one line naming the file,
 * when it does not, or when the file is not a description it can read. Claims are made under
 * a lock of the dataset's, and what a killed claim left is swept by the next.
 */
void claimDerivativeDataset(const std::string& root, const DatasetClaim& claim);

/*!
 * A scans.json in the subject's folder of the derivative dataset, describing the outputs it
 * holds: what bids-validator 1.x, which checks raw names and so ignores the outputs
 * themselves (.bidsignore), can check there. Written once, by the first run that succeeds.
 */
void describeSubject(const std::string& root, const BidsInput& input);

/*!
 * Refuses, before any work, a run whose outputs would replace those another input made:
 * sidecar is the set's mask sidecar, which names its source; source is this run's input as
 * its sidecars name it (bidsSource).
 */
void refuseAnotherInputsOutputs(const std::string& sidecar, const std::string& source);

}  // namespace mirlune

#pragma once
// Outputs named as BIDS derivatives: the input's entities, a desc label per output, the
// input's suffix, in a folder tree that mirrors the raw dataset's.

#include <string>
#include <utility>
#include <vector>

namespace mirlune {

//! What a BIDS file name and its place say about a series.
struct BidsInput {
  //! The entities in the order the name gives them (sub first), desc left out.
  std::vector<std::pair<std::string, std::string>> entities;
  std::string suffix;     //!< "pet", "bold", "dwi", ...
  std::string datatype;   //!< the folder it belongs in: "pet", "func", "dwi", "anat", ...
  std::string dataset;    //!< the raw dataset's root (absolute), empty when the input lies in none
  std::string inDataset;  //!< the input's path inside it
};

/*!
 * Reads the entities of a series' file name (sub-<label>[_<key>-<label>...]_<suffix>.nii
 * or .nii.gz) and where it lies: a folder named sub-<label> above it makes its parent the
 * raw dataset. Throws std::runtime_error, in one line, for a name without BIDS entities.
 */
BidsInput parseBidsInput(const std::string& path);

//! The folder of the outputs inside the derivative dataset: sub-<label>[/ses-<label>]/<datatype>.
std::string bidsFolder(const BidsInput& input);

/*!
 * The file name (without ending) of the output called name: the input's entities, then
 * desc-<label> and the suffix; the mask of analysed voxels is desc-analysed_mask.
 */
std::string bidsOutputName(const BidsInput& input, const std::string& name);

//! How DatasetLinks names the raw dataset from the derivative root: a relative path; empty for none.
std::string relativeLink(const std::string& dataset, const std::string& root);

//! The BIDS URI (bids:raw:<path>) of the input, or its absolute path when it lies in no dataset.
std::string bidsSource(const BidsInput& input, const std::string& absolute);

/*!
 * The derivative dataset's dataset_description.json: written once, atomically, at root; a
 * later run checks that the one there says the same (the same program, version and
 * analysis settings) and refuses with one line when it does not. settings is the
 * command line's analysis options, in a fixed form; raw is the raw dataset's root as
 * DatasetLinks gives it (empty: none).
 */
void claimDerivativeDataset(const std::string& root, const std::string& version, const std::string& settings,
                            const std::string& raw);

}  // namespace mirlune

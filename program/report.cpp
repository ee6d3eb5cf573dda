#include "program/report.h"

#include <sstream>
#include <stdexcept>
#include <vector>

#include "imaging/formats/imagefile.h"

namespace mirlune {

const char* const kMaskDone = " masque ok ";
const char* const kRecordsDone = "serie global PCA  ok ";
const char* const kAnalysisDone = " ANALYSE LOCALE PCA OK";
const char* const kOutputsDone = " ecriture cartes et nouveau rat  OK";

std::string headerReport(const VexaData<float>& input) {
  norbe::PythonHeader* header = input.pythonHeader();
  if (!header) return "";
  norbe::Object found;
  if (!header->getProperty(vexa::kVolumeDimension, found) || !found) {
    throw std::runtime_error("the input's header has no \"volume_dimension\"");
  }
  const std::vector<int>& dims = found->value<std::vector<int>>();
  std::vector<float> sizes;
  header->getProperty(vexa::kVoxelSize, sizes);

  // Only the entries that exist: a short list prints fewer numbers.
  std::ostringstream out;
  out << "volume dims: ";
  for (std::size_t i = 0; i < dims.size() && i < 4; ++i) out << (i ? ", " : "") << dims[i];
  out << "\nvoxel size : ";
  for (std::size_t i = 0; i < sizes.size() && i < 3; ++i) out << (i ? ", " : "") << static_cast<double>(sizes[i]);
  out << "\n";
  return out.str();
}

}  // namespace mirlune

// Writing wrappers as NIfTI-1 files: the header fields, a typed extension for the
// properties the fields cannot hold, and the voxels.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <nifti2_io.h>

#include "imaging/formats/file_access.h"
#include "imaging/formats/headerjson.h"
#include "imaging/formats/imagefile.h"
#include "imaging/run/parallel.h"
#include "imaging/run/pendingfile.h"

namespace vexa {

using norbe::makeObject;
using norbe::Object;

namespace {

template <class T>
struct NiftiType;
template <>
struct NiftiType<unsigned char> {
  static constexpr int code = DT_UINT8;
};
template <>
struct NiftiType<short> {
  static constexpr int code = DT_INT16;
};
template <>
struct NiftiType<int> {
  static constexpr int code = DT_INT32;
};
template <>
struct NiftiType<float> {
  static constexpr int code = DT_FLOAT32;
};
template <>
struct NiftiType<double> {
  static constexpr int code = DT_FLOAT64;
};

constexpr std::int64_t kNifti1DataStart = 352;  // header and the four extender bytes

std::vector<float> floatList(norbe::PythonHeader* header, const char* key) {
  std::vector<float> values;
  if (header) header->getProperty(key, values);
  return values;
}

int intProperty(norbe::PythonHeader* header, const char* key, int fallback) {
  int value = fallback;
  if (header) header->getProperty(key, value);
  return value;
}

// What a reader would derive from the header fields, to leave out of the extension.
bool sameAsDerived(const Object& value, const Object& derived) {
  if (!value || !derived || value->type() != derived->type()) return false;
  return propertiesToJson({{"k", value}}) == propertiesToJson({{"k", derived}});
}

//! The header fields: extents, voxel sizes, type, placement in space and description.
template <class T>
nifti_1_header headerFields(const int (&extents)[4], norbe::PythonHeader* header, const std::string& description) {
  const std::vector<float> voxelSize = floatList(header, kVoxelSize);
  nifti_1_header hdr;
  std::memset(&hdr, 0, sizeof hdr);
  hdr.sizeof_hdr = sizeof(nifti_1_header);
  hdr.regular = 'r';
  // One frame is a 3-D image: viewers and tools then take it for the volume it is.
  const int ndim = extents[3] > 1 ? 4 : 3;
  hdr.dim[0] = static_cast<short>(ndim);
  for (int axis = 1; axis <= 7; ++axis) {
    hdr.dim[axis] = static_cast<short>(axis <= 4 ? extents[axis - 1] : 1);
    hdr.pixdim[axis] = 1.0f;
  }
  for (std::size_t i = 0; i < voxelSize.size() && i < 4; ++i) hdr.pixdim[i + 1] = voxelSize[i];
  hdr.datatype = static_cast<short>(NiftiType<T>::code);
  hdr.bitpix = static_cast<short>(8 * sizeof(T));
  hdr.scl_slope = 1.0f;
  hdr.xyzt_units = static_cast<char>(intProperty(header, kXyztUnits, 0));
  hdr.dim_info = static_cast<char>(intProperty(header, kDimInfo, 0));
  float toffset = 0;
  if (header) header->getProperty(kToffset, toffset);
  hdr.toffset = toffset;
  hdr.qform_code = static_cast<short>(intProperty(header, kQformCode, 0));
  hdr.sform_code = static_cast<short>(intProperty(header, kSformCode, 0));
  const std::vector<float> quatern = floatList(header, kQuatern);
  hdr.pixdim[0] = 1.0f;
  if (quatern.size() == 7) {
    hdr.quatern_b = quatern[0];
    hdr.quatern_c = quatern[1];
    hdr.quatern_d = quatern[2];
    hdr.qoffset_x = quatern[3];
    hdr.qoffset_y = quatern[4];
    hdr.qoffset_z = quatern[5];
    hdr.pixdim[0] = quatern[6] < 0 ? -1.0f : 1.0f;
  }
  const std::vector<float> srow = floatList(header, kSrow);
  if (srow.size() == 12) {
    for (std::size_t c = 0; c < 4; ++c) {
      hdr.srow_x[c] = srow[c];
      hdr.srow_y[c] = srow[4 + c];
      hdr.srow_z[c] = srow[8 + c];
    }
  }
  std::strncpy(hdr.descrip, description.c_str(), sizeof hdr.descrip - 1);
  std::memcpy(hdr.magic, "n+1", 4);
  return hdr;
}

/*!
 * The extension's text: every property the fields do not already say exactly, padded so
 * that the data start stays a multiple of 16. Empty when there is nothing to carry.
 */
std::string extensionText(norbe::PythonHeader* header, const nifti_1_header& hdr) {
  if (!header) return "";
  const int ndim = hdr.dim[0];
  std::vector<int> dims{hdr.dim[1], hdr.dim[2], hdr.dim[3]};
  std::vector<float> derivedSizes(hdr.pixdim + 1, hdr.pixdim + 4);
  if (ndim == 4) {
    dims.push_back(hdr.dim[4]);
    derivedSizes.push_back(hdr.pixdim[4]);
  }
  std::vector<NamedProperty> extra;
  for (const auto& position : header->propertySet().order()) {
    const std::string& key = position->first;
    const Object& value = position->second.value;
    if (position->second.builtin || key == "_borderWidth" || !isJsonType(value)) continue;
    if (key == kVolumeDimension && sameAsDerived(value, makeObject(dims))) continue;
    if (key == kVoxelSize && sameAsDerived(value, makeObject(derivedSizes))) continue;
    // A 3-D image's frame duration of 1.0 is the one readers assume.
    std::vector<float> withDuration = derivedSizes;
    withDuration.push_back(1.0f);
    if (key == kVoxelSize && ndim == 3 && sameAsDerived(value, makeObject(withDuration))) continue;
    if (isHeaderFieldKey(key)) continue;
    extra.push_back({key, value});
  }
  if (extra.empty()) return "";
  std::string text = propertiesToJson(extra);
  text.resize((text.size() + 8 + 15) / 16 * 16 - 8, '\0');
  return text;
}

//! The voxels without the border, x fastest; uncompressed data in slices side by side.
template <class T>
void writeBody(PendingFile& out, const VexaData<T>& data, std::int64_t offset, int threads) {
  const int nx = data.dimX(), ny = data.dimY(), nz = data.dimZ(), nt = data.dimT();
  const std::int64_t bytes = static_cast<std::int64_t>(nx) * ny * nz * nt * static_cast<std::int64_t>(sizeof(T));
  if (data.borderWidth() != 0) {
    for (int t = 0; t < nt; ++t)
      for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y) out.write(&data(0, y, z, t), static_cast<std::size_t>(nx) * sizeof(T));
    return;
  }
  const char* block = reinterpret_cast<const char*>(data.volume().begin());
  const int parts = out.compressed() ? 1 : partsForBytes(bytes, threads);
  if (parts <= 1) {
    out.write(block, static_cast<std::size_t>(bytes));
    return;
  }
  norbe::runTasks(parts, parts, [&](int, int part) {
    const std::int64_t begin = bytes * part / parts, end = bytes * (part + 1) / parts;
    out.writeAt(offset + begin, block + begin, static_cast<std::size_t>(end - begin));
    return 0LL;
  });
}

}  // namespace

int partsForBytes(std::int64_t bytes, int threads) {
  return static_cast<int>(std::max<std::int64_t>(1, std::min<std::int64_t>(threads, bytes / (8 << 20))));
}

std::string niftiFileName(const std::string& name) {
  if (endsWith(name, ".nii") || endsWith(name, ".nii.gz")) return name;
  return name + ".nii";
}

template <class T>
std::string Writer<VexaData<T>>::writtenFileName() const {
  return niftiFileName(_fileName);
}

template <class T>
std::int64_t Writer<VexaData<T>>::writeInto(PendingFile& out, const VexaData<T>& data) const {
  const std::string file = writtenFileName();
  const int extents[4] = {data.dimX(), data.dimY(), data.dimZ(), data.dimT()};
  for (int extent : extents) {
    if (extent > 32767) failFile(file, "cannot write: extents above 32767 do not fit a NIfTI-1 file");
  }
  norbe::PythonHeader* header = data.pythonHeader();
  nifti_1_header hdr = headerFields<T>(extents, header, _description);
  const std::string extension = extensionText(header, hdr);
  const std::int64_t offset =
      kNifti1DataStart + (extension.empty() ? 0 : 8 + static_cast<std::int64_t>(extension.size()));
  hdr.vox_offset = static_cast<float>(offset);

  out.write(&hdr, sizeof hdr);
  const char extender[4] = {static_cast<char>(extension.empty() ? 0 : 1), 0, 0, 0};
  out.write(extender, sizeof extender);
  if (!extension.empty()) {
    const std::int32_t code[2] = {static_cast<std::int32_t>(extension.size() + 8), NIFTI_ECODE_COMMENT};
    out.write(code, sizeof code);
    out.write(extension.data(), extension.size());
  }
  writeBody(out, data, offset, _threads);
  return offset + static_cast<std::int64_t>(extents[0]) * extents[1] * extents[2] * extents[3] *
                      static_cast<std::int64_t>(sizeof(T));
}

template <class T>
bool Writer<VexaData<T>>::write(const VexaData<T>& data, bool ascii, const std::string*) {
  if (_fileName.empty()) throw std::runtime_error("no output file name given");
  const std::string file = writtenFileName();
  if (ascii) failFile(file, "cannot write: the ASCII form of NIfTI is not supported");
  PendingFile out(file, endsWith(file, ".gz"), _threads);
  out.commit(writeInto(out, data));
  return true;
}

template <class T>
StagedFile Writer<VexaData<T>>::writeStaged(const VexaData<T>& data) {
  if (_fileName.empty()) throw std::runtime_error("no output file name given");
  const std::string file = writtenFileName();
  PendingFile out(file, endsWith(file, ".gz"), _threads);
  const std::int64_t size = writeInto(out, data);
  return StagedFile(out.staged(size), file);
}

template class Writer<VexaData<unsigned char>>;
template class Writer<VexaData<short>>;
template class Writer<VexaData<int>>;
template class Writer<VexaData<float>>;
template class Writer<VexaData<double>>;

}  // namespace vexa

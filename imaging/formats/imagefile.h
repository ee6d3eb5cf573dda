#pragma once
// Reading and writing images as NIfTI files (.nii, .nii.gz, .hdr/.img pairs).

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "containers/vexadata.h"
#include "imaging/run/pendingfile.h"

namespace vexa {

// Header keys the files map onto their own fields.
extern const char* const kVolumeDimension;  // "volume_dimension": list of int
extern const char* const kVoxelSize;        // "voxel_size": list of float
extern const char* const kQformCode;        // "qform_code": int
extern const char* const kQuatern;          // "quatern": b, c, d, offset x, y, z, qfac
extern const char* const kSformCode;        // "sform_code": int
extern const char* const kSrow;             // "srow": the three rows of the affine, 12 floats
extern const char* const kXyztUnits;        // "xyzt_units": int
extern const char* const kToffset;          // "toffset": float, the time of the first frame
extern const char* const kDimInfo;          // "dim_info": int, the frequency, phase and slice axes
//! The keys that place an image in space; outputs carry them on from their input.
extern const char* const kOrientationKeys[5];
bool isOrientationKey(const std::string& key);
//! The keys a file's header fields hold (the placement, toffset, dim_info): never in our extension.
bool isHeaderFieldKey(const std::string& key);

/*!
 * The voxel-to-world matrix of a qform, its three rows of four one after another: quatern
 * as kQuatern holds it, and the voxel sizes (a size of 0 or below counts as 1).
 */
std::array<double, 12> qformMatrix(const std::vector<float>& quatern, double dx, double dy, double dz);

template <class D>
class Reader;

//! Reads any stored type as 32-bit floats, scaled by the file's slope and intercept.
template <>
class Reader<VexaData<float>> {
 public:
  using data_type = VexaData<float>;

  Reader() = default;
  explicit Reader(const std::string& fileName) : _fileName(fileName) {}
  virtual ~Reader();

  void setFileName(const std::string& fileName) { _fileName = fileName; }
  const std::string& fileName() const { return _fileName; }
  //! Threads that may read an uncompressed file's slices side by side.
  void setThreads(int threads) { _threads = threads > 0 ? threads : 1; }

  /*!
   * The image's extents along x, y, z and frames (1 where the header has no such axis),
   * from its header alone, checked as read() checks it. Throws std::runtime_error naming
   * the file.
   */
  std::array<std::int64_t, 4> extents() const;

  /*!
   * Replaces data by the image (all frames when frame is -1, else that one frame),
   * with a border of the given width. Throws std::runtime_error naming the file.
   */
  virtual void read(VexaData<float>& data, int border = 0, const std::string* format = nullptr, int frame = -1);
  //! The same, into a new wrapper owned by the caller.
  virtual VexaData<float>* read(int border = 0, const std::string* format = nullptr, int frame = -1);

 private:
  std::string _fileName;
  int _threads = 1;
};

template <class D>
class Writer;

//! Writes a wrapper without its border; the NIfTI type follows T.
template <class T>
class Writer<VexaData<T>> {
 public:
  Writer() = default;
  explicit Writer(const std::string& fileName) : _fileName(fileName) {}
  virtual ~Writer() = default;

  virtual std::string writtenObjectType() const { return "Volume"; }
  virtual std::string writtenObjectDataType() const { return norbe::typeName<T>(); }
  virtual std::string writtenObjectFullType() const { return norbe::typeName<VexaData<T>>(); }
  /*!
   * Writes data; a bare name gets ".nii", a name ending in ".nii.gz" is compressed.
   * The file appears under its name only once complete. Throws std::runtime_error.
   */
  virtual bool write(const VexaData<T>& data, bool ascii = false, const std::string* format = nullptr);

  /*!
   * The same, but the complete file, flushed to disk, stays under a temporary name in the
   * same folder until the returned StagedFile is committed with others of its set.
   */
  StagedFile writeStaged(const VexaData<T>& data);

  void setFileName(const std::string& fileName) { _fileName = fileName; }
  const std::string& fileName() const { return _fileName; }
  //! Threads that may write an uncompressed file's slices side by side.
  void setThreads(int threads) { _threads = threads > 0 ? threads : 1; }
  //! The header's description field (at most 79 characters are kept).
  void setDescription(const std::string& description) { _description = description; }
  //! The name the file is written under.
  std::string writtenFileName() const;

 private:
  //! Writes header, extension and voxels; returns the file's size.
  std::int64_t writeInto(PendingFile& out, const VexaData<T>& data) const;

  std::string _fileName;
  std::string _description;
  int _threads = 1;
};

//! The name a writer gives a file asked for as name.
std::string niftiFileName(const std::string& name);

/*!
 * The files an image name stands for, as the reader finds them: the header file (the
 * name itself or the name with a known ending) and, for a .hdr, its .img data file.
 * Throws std::runtime_error naming the file when there is none.
 */
std::vector<std::string> imageFilesOf(const std::string& name);

}  // namespace vexa

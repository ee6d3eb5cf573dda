#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <nifti2_io.h>

#include "imaging/headerjson.h"
#include "imaging/imagefile.h"

namespace vexa {

const char* const kVolumeDimension = "volume_dimension";
const char* const kVoxelSize = "voxel_size";
const char* const kQformCode = "qform_code";
const char* const kQuatern = "quatern";
const char* const kSformCode = "sform_code";
const char* const kSrow = "srow";
const char* const kXyztUnits = "xyzt_units";

const char* const kOrientationKeys[5] = {kXyztUnits, kQformCode, kQuatern, kSformCode, kSrow};

bool isOrientationKey(const std::string& key) {
  return std::find(std::begin(kOrientationKeys), std::end(kOrientationKeys), key) != std::end(kOrientationKeys);
}

namespace {

using norbe::makeObject;
using norbe::Object;

// The library prints its own diagnostics unless told not to; ours are the exceptions.
void quietLibrary() {
  static const bool quiet = [] {
    nifti_set_debug_level(0);
    return true;
  }();
  (void)quiet;
}

[[noreturn]] void fail(const std::string& file, const std::string& why) { throw std::runtime_error(file + ": " + why); }

struct NiftiFree {
  void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiPtr = std::unique_ptr<nifti_image, NiftiFree>;

struct ZnzClose {
  void operator()(znzptr* file) const {
    znzFile f = file;
    znzclose(f);
  }
};
using ZnzPtr = std::unique_ptr<znzptr, ZnzClose>;

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool isRegularFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The header file behind a name: the name itself, or the name with a known ending.
std::string resolveHeader(const std::string& name) {
  if (name.empty()) throw std::runtime_error("no input file name given");
  struct stat info;
  if (::stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) fail(name, "is a directory, not an image file");
  const char* endings[] = {"", ".nii", ".nii.gz", ".hdr", ".hdr.gz"};
  for (const char* ending : endings) {
    std::string candidate = name + ending;
    if (endsWith(candidate, ".img")) candidate.replace(candidate.size() - 4, 4, ".hdr");
    if (endsWith(candidate, ".img.gz")) candidate.replace(candidate.size() - 7, 7, ".hdr.gz");
    if (isRegularFile(candidate)) return candidate;
  }
  fail(name, "no such image file (tried .nii, .nii.gz and .hdr)");
}

struct StoredType {
  int code;
  const char* name;
};

bool isSupportedType(int datatype) {
  switch (datatype) {
    case DT_UINT8:
    case DT_INT8:
    case DT_INT16:
    case DT_UINT16:
    case DT_INT32:
    case DT_UINT32:
    case DT_INT64:
    case DT_UINT64:
    case DT_FLOAT32:
    case DT_FLOAT64:
      return true;
    default:
      return false;
  }
}

template <class Raw>
void convertTo(const unsigned char* bytes, std::size_t count, float* out, bool scaled, double slope, double inter) {
  for (std::size_t i = 0; i < count; ++i) {
    Raw raw;
    std::memcpy(&raw, bytes + i * sizeof(Raw), sizeof(Raw));
    out[i] = scaled ? static_cast<float>(static_cast<double>(raw) * slope + inter) : static_cast<float>(raw);
  }
}

void convert(int datatype, const unsigned char* bytes, std::size_t count, float* out, bool scaled, double slope,
             double inter) {
  switch (datatype) {
    case DT_UINT8:
      convertTo<std::uint8_t>(bytes, count, out, scaled, slope, inter);
      break;
    case DT_INT8:
      convertTo<std::int8_t>(bytes, count, out, scaled, slope, inter);
      break;
    case DT_INT16:
      convertTo<std::int16_t>(bytes, count, out, scaled, slope, inter);
      break;
    case DT_UINT16:
      convertTo<std::uint16_t>(bytes, count, out, scaled, slope, inter);
      break;
    case DT_INT32:
      convertTo<std::int32_t>(bytes, count, out, scaled, slope, inter);
      break;
    case DT_UINT32:
      convertTo<std::uint32_t>(bytes, count, out, scaled, slope, inter);
      break;
    case DT_INT64:
      convertTo<std::int64_t>(bytes, count, out, scaled, slope, inter);
      break;
    case DT_UINT64:
      convertTo<std::uint64_t>(bytes, count, out, scaled, slope, inter);
      break;
    case DT_FLOAT32:
      convertTo<float>(bytes, count, out, scaled, slope, inter);
      break;
    case DT_FLOAT64:
      convertTo<double>(bytes, count, out, scaled, slope, inter);
      break;
    default:
      break;
  }
}

// Extents along dim[1..7] as the file gives them, 1 where the header leaves them out.
std::int64_t extent(const nifti_image& nim, int axis) { return axis <= nim.dim[0] ? nim.dim[axis] : 1; }

void checkGeometry(const std::string& file, const nifti_image& nim, int border, int frame) {
  if (!isSupportedType(nim.datatype)) {
    fail(file, std::string("unsupported data type ") + nifti_datatype_string(nim.datatype) +
                   " (integers, float32 and float64 are read)");
  }
  if (nim.dim[0] < 1 || nim.dim[0] > 7) fail(file, "invalid number of dimensions " + std::to_string(nim.dim[0]));
  for (int axis = 1; axis <= nim.dim[0]; ++axis) {
    if (nim.dim[axis] < 1)
      fail(file, "invalid extent " + std::to_string(nim.dim[axis]) + " on axis " + std::to_string(axis));
  }
  for (int axis = 5; axis <= nim.dim[0]; ++axis) {
    if (nim.dim[axis] > 1) fail(file, "has more than 4 dimensions, which a series cannot hold");
  }
  const std::int64_t frames = extent(nim, 4);
  if (frame >= frames) {
    fail(file, "has no frame " + std::to_string(frame) + " (" + std::to_string(frames) + " frames)");
  }
  // The volume's own limit, before anything big is allocated.
  const std::int64_t w = 2 * static_cast<std::int64_t>(border);
  const std::int64_t t = frame >= 0 ? 1 : frames;
  norbe::volumeElementCount(extent(nim, 1) + w, extent(nim, 2) + w, extent(nim, 3) + w, t, sizeof(float));
}

// Bytes of image data that the file can still deliver from offset on, or -1 when unknown (compressed).
std::int64_t availableBytes(const std::string& dataFile, std::int64_t offset) {
  if (nifti_is_gzfile(dataFile.c_str())) return -1;
  struct stat info;
  if (::stat(dataFile.c_str(), &info) != 0) return 0;
  return static_cast<std::int64_t>(info.st_size) - offset;
}

void setHeaderProperties(norbe::PythonHeader& header, const nifti_image& nim) {
  const int entries = nim.dim[0] >= 4 ? 4 : 3;
  std::vector<int> dims;
  std::vector<float> sizes;
  for (int axis = 1; axis <= entries; ++axis) {
    dims.push_back(static_cast<int>(extent(nim, axis)));
    sizes.push_back(axis <= nim.dim[0] ? static_cast<float>(nim.pixdim[axis]) : 1.0f);
  }
  header.setProperty(kVolumeDimension, makeObject(dims));
  header.setProperty(kVoxelSize, makeObject(sizes));
  header.setProperty(kXyztUnits, makeObject(nim.xyz_units | nim.time_units));
  header.setProperty(kQformCode, makeObject(nim.qform_code));
  header.setProperty(kQuatern,
                     makeObject(std::vector<float>{static_cast<float>(nim.quatern_b), static_cast<float>(nim.quatern_c),
                                                   static_cast<float>(nim.quatern_d), static_cast<float>(nim.qoffset_x),
                                                   static_cast<float>(nim.qoffset_y), static_cast<float>(nim.qoffset_z),
                                                   static_cast<float>(nim.qfac < 0 ? -1.0 : 1.0)}));
  header.setProperty(kSformCode, makeObject(nim.sform_code));
  std::vector<float> srow;
  for (int row = 0; row < 3; ++row)
    for (int column = 0; column < 4; ++column) srow.push_back(static_cast<float>(nim.sto_xyz.m[row][column]));
  header.setProperty(kSrow, makeObject(srow));

  // Our own properties, from the extension, win over what the fields gave.
  for (int i = 0; i < nim.num_ext; ++i) {
    const nifti1_extension& extension = nim.ext_list[i];
    if (extension.ecode != NIFTI_ECODE_COMMENT || !extension.edata || extension.esize <= 8) continue;
    std::string text(extension.edata, static_cast<std::size_t>(extension.esize - 8));
    text.resize(std::strlen(text.c_str()));  // padding
    std::vector<NamedProperty> properties;
    try {
      properties = propertiesFromJson(text);
    } catch (const std::runtime_error&) {
      continue;  // a comment of another program
    }
    for (const auto& property : properties) {
      if (header.propertySet().isBuiltin(property.key)) continue;
      header.setProperty(property.key, property.value);
    }
  }
}

// Runs part(k) for k = 0 ... parts - 1, each on a thread of its own; the first failure is rethrown.
void inParallel(int parts, const std::function<void(int)>& part) {
  if (parts <= 1) {
    part(0);
    return;
  }
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(parts));
  std::vector<std::thread> threads;
  for (int k = 0; k < parts; ++k) {
    threads.emplace_back([&, k] {
      try {
        part(k);
      } catch (...) {
        failures[static_cast<std::size_t>(k)] = std::current_exception();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

// Threads worth using on a block of bytes: a few megabytes each at least.
int partsFor(std::int64_t bytes, int threads) {
  return static_cast<int>(std::max<std::int64_t>(1, std::min<std::int64_t>(threads, bytes / (8 << 20))));
}

void readData(const std::string& file, const nifti_image& nim, VexaData<float>& result, int frame, int threads) {
  const std::int64_t nx = extent(nim, 1), ny = extent(nim, 2), nz = extent(nim, 3);
  const std::int64_t frames = frame >= 0 ? 1 : extent(nim, 4);
  const std::int64_t lineBytes = nx * nim.nbyper;
  const std::int64_t frameBytes = lineBytes * ny * nz;
  const std::int64_t start = nim.iname_offset + (frame >= 0 ? frame * frameBytes : 0);
  const std::int64_t wanted = frameBytes * frames;
  const std::string dataFile = nim.iname ? nim.iname : file;

  const std::int64_t available = availableBytes(dataFile, start);
  if (available >= 0 && available < wanted) {
    fail(file, "truncated image data (" + std::to_string(std::max<std::int64_t>(available, 0)) + " of " +
                   std::to_string(wanted) + " bytes)");
  }
  const bool compressed = nifti_is_gzfile(dataFile.c_str());
  const bool swap = nim.byteorder != nifti_short_order();
  const bool scaled = nim.scl_slope != 0.0 && std::isfinite(nim.scl_slope);
  const double inter = std::isfinite(nim.scl_inter) ? nim.scl_inter : 0.0;
  const std::int64_t linesPerChunk = std::max<std::int64_t>(1, (4 << 20) / std::max<std::int64_t>(lineBytes, 1));
  const std::int64_t lines = ny * nz * frames;
  // A compressed stream reads in order; plain data is shared out in slices read side by side.
  const int parts = compressed ? 1 : partsFor(wanted, threads);

  inParallel(parts, [&](int part) {
    const std::int64_t begin = lines * part / parts, end = lines * (part + 1) / parts;
    znzFile raw = znzopen(dataFile.c_str(), "rb", compressed);
    if (znz_isnull(raw)) fail(dataFile, std::string("cannot open image data: ") + std::strerror(errno));
    ZnzPtr input(raw);
    const std::int64_t offset = start + begin * lineBytes;
    if (offset > 0 && znzseek(raw, static_cast<znz_off_t>(offset), SEEK_SET) < 0) {
      fail(file, "truncated image data (cannot reach its start)");
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(linesPerChunk * lineBytes));
    std::vector<float> values(static_cast<std::size_t>(linesPerChunk * nx));
    for (std::int64_t first = begin; first < end; first += linesPerChunk) {
      const std::int64_t count = std::min(linesPerChunk, end - first);
      const std::size_t size = static_cast<std::size_t>(count * lineBytes);
      if (znzread(bytes.data(), 1, size, raw) != size) {
        fail(file, "truncated image data (" + std::to_string(first * lineBytes) + " of " + std::to_string(wanted) +
                       " bytes could be read)");
      }
      if (swap && nim.swapsize > 1) {
        nifti_swap_Nbytes(static_cast<std::int64_t>(size) / nim.swapsize, nim.swapsize, bytes.data());
      }
      convert(nim.datatype, bytes.data(), static_cast<std::size_t>(count * nx), values.data(), scaled, nim.scl_slope,
              inter);
      for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t line = first + i;
        const int y = static_cast<int>(line % ny);
        const int z = static_cast<int>((line / ny) % nz);
        const int t = static_cast<int>(line / (ny * nz));
        std::memcpy(&result(0, y, z, t), values.data() + i * nx, static_cast<std::size_t>(nx) * sizeof(float));
      }
    }
  });
}

}  // namespace

Reader<VexaData<float>>::~Reader() = default;

void Reader<VexaData<float>>::read(VexaData<float>& data, int border, const std::string*, int frame) {
  quietLibrary();
  if (border < 0) throw std::runtime_error("negative border width " + std::to_string(border));
  const std::string file = resolveHeader(_fileName);
  NiftiPtr nim(nifti_image_read(file.c_str(), 0));
  if (!nim) fail(file, "not a NIfTI or ANALYZE image, or its header is damaged");
  checkGeometry(file, *nim, border, frame);

  const int nx = static_cast<int>(extent(*nim, 1)), ny = static_cast<int>(extent(*nim, 2)),
            nz = static_cast<int>(extent(*nim, 3));
  const int nt = frame >= 0 ? 1 : static_cast<int>(extent(*nim, 4));
  // Every voxel is read into place, so a block without a border need not be cleared first.
  VexaData<float> result(nx, ny, nz, nt, border,
                         norbe::AllocatorContext(border == 0 ? norbe::Overwrite : norbe::ReadWrite));
  if (nim->nifti_type == NIFTI_FTYPE_ASCII) {
    // Text data: let the library parse it, then convert.
    if (nifti_image_load(nim.get()) < 0 || !nim->data) fail(file, "cannot read the image data");
    const std::int64_t per = static_cast<std::int64_t>(nx) * ny * nz;
    const std::int64_t skip = frame >= 0 ? frame * per : 0;
    std::vector<float> values(static_cast<std::size_t>(per * nt));
    const bool scaled = nim->scl_slope != 0.0 && std::isfinite(nim->scl_slope);
    convert(nim->datatype, static_cast<const unsigned char*>(nim->data) + skip * nim->nbyper, values.size(),
            values.data(), scaled, nim->scl_slope, std::isfinite(nim->scl_inter) ? nim->scl_inter : 0.0);
    std::size_t i = 0;
    for (int t = 0; t < nt; ++t)
      for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
          for (int x = 0; x < nx; ++x) result(x, y, z, t) = values[i++];
  } else {
    readData(file, *nim, result, frame, _threads);
  }
  setHeaderProperties(*result.pythonHeader(), *nim);
  if (frame >= 0) {
    // One frame read: the header describes what was read.
    Object dims = result.pythonHeader()->getProperty(kVolumeDimension);
    if (dims && dims->isArray() && dims->size() >= 4) dims->getArrayItem(3)->setScalar(1);
  }
  data = std::move(result);
}

VexaData<float>* Reader<VexaData<float>>::read(int border, const std::string* format, int frame) {
  auto data = std::make_unique<VexaData<float>>();
  read(*data, border, format, frame);
  return data.release();
}

// ---------------------------------------------------------------- writing

std::string niftiFileName(const std::string& name) {
  if (endsWith(name, ".nii") || endsWith(name, ".nii.gz")) return name;
  return name + ".nii";
}

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

// A file under construction: written to a temporary name beside the final one,
// renamed into place only once complete, removed on any failure.
class PendingFile {
 public:
  PendingFile(const std::string& finalName, bool compress) : _final(finalName), _compress(compress) {
    _temporary = finalName + ".part-XXXXXX";
    _fd = ::mkstemp(&_temporary[0]);
    if (_fd < 0) fail(_final, std::string("cannot write: ") + std::strerror(errno));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(_fd, 0666 & ~mask);
    if (_compress) {
      _gz = ::gzdopen(_fd, "wb6");
      if (!_gz) abandon("cannot start compression");
      _fd = -1;  // owned by the gz stream now
    }
  }
  ~PendingFile() {
    if (!_done) discard();
  }

  void write(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const std::size_t piece = std::min<std::size_t>(size, 1 << 24);
      if (_compress) {
        if (::gzwrite(_gz, bytes, static_cast<unsigned>(piece)) != static_cast<int>(piece)) abandon(gzMessage());
      } else {
        const ssize_t written = ::write(_fd, bytes, piece);
        if (written <= 0) {
          if (written < 0 && errno == EINTR) continue;
          abandon(std::strerror(written < 0 ? errno : ENOSPC));
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
        continue;
      }
      bytes += piece;
      size -= piece;
    }
  }

  //! Writes at a given offset of an uncompressed file; safe from several threads at once.
  void writeAt(std::int64_t offset, const void* data, std::size_t size) const {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t written = ::pwrite(_fd, bytes, std::min<std::size_t>(size, 1 << 24), static_cast<off_t>(offset));
      if (written <= 0) {
        if (written < 0 && errno == EINTR) continue;
        fail(_final, std::string("cannot write: ") + std::strerror(written < 0 ? errno : ENOSPC));
      }
      bytes += written;
      offset += written;
      size -= static_cast<std::size_t>(written);
    }
  }
  bool compressed() const { return _compress; }

  //! Closes, checks the size on disk where it can, and moves the file into place.
  void commit(std::int64_t expectedSize) {
    if (_compress) {
      const int status = ::gzclose(_gz);
      _gz = nullptr;
      if (status != Z_OK) abandon("error while finishing the compressed file");
    } else {
      struct stat info;
      if (::fstat(_fd, &info) != 0 || info.st_size != expectedSize) abandon("short write");
      const int status = ::close(_fd);
      _fd = -1;
      if (status != 0) abandon(std::strerror(errno));
    }
    if (::rename(_temporary.c_str(), _final.c_str()) != 0) abandon(std::strerror(errno));
    _done = true;
  }

 private:
  std::string gzMessage() {
    int code = 0;
    const char* message = ::gzerror(_gz, &code);
    if (code == Z_ERRNO) return std::strerror(errno);
    return message ? message : "compression error";
  }
  [[noreturn]] void abandon(const std::string& why) {
    const int saved = errno;
    discard();
    errno = saved;
    fail(_final, "cannot write: " + why);
  }
  void discard() {
    if (_gz) ::gzclose(_gz);
    if (_fd >= 0) ::close(_fd);
    _gz = nullptr;
    _fd = -1;
    ::unlink(_temporary.c_str());
    _done = true;
  }

  std::string _final;
  std::string _temporary;
  bool _compress;
  int _fd = -1;
  gzFile _gz = nullptr;
  bool _done = false;
};

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

}  // namespace

template <class T>
std::string Writer<VexaData<T>>::writtenFileName() const {
  return niftiFileName(_fileName);
}

template <class T>
bool Writer<VexaData<T>>::write(const VexaData<T>& data, bool ascii, const std::string*) {
  quietLibrary();
  const std::string file = writtenFileName();
  if (_fileName.empty()) throw std::runtime_error("no output file name given");
  if (ascii) fail(file, "cannot write: the ASCII form of NIfTI is not supported");
  const int nx = data.dimX(), ny = data.dimY(), nz = data.dimZ(), nt = data.dimT();
  if (nx > 32767 || ny > 32767 || nz > 32767 || nt > 32767) {
    fail(file, "cannot write: extents above 32767 do not fit a NIfTI-1 file");
  }
  norbe::PythonHeader* header = data.pythonHeader();
  const std::vector<float> voxelSize = floatList(header, kVoxelSize);

  nifti_1_header hdr;
  std::memset(&hdr, 0, sizeof hdr);
  hdr.sizeof_hdr = sizeof(nifti_1_header);
  hdr.regular = 'r';
  const int ndim = (nt > 1 || voxelSize.size() >= 4) ? 4 : 3;
  hdr.dim[0] = static_cast<short>(ndim);
  const int extents[4] = {nx, ny, nz, nt};
  for (int axis = 1; axis <= 7; ++axis) {
    hdr.dim[axis] = static_cast<short>(axis <= 4 ? extents[axis - 1] : 1);
    hdr.pixdim[axis] = 1.0f;
  }
  for (std::size_t i = 0; i < voxelSize.size() && i < 4; ++i) hdr.pixdim[i + 1] = voxelSize[i];
  hdr.datatype = static_cast<short>(NiftiType<T>::code);
  hdr.bitpix = static_cast<short>(8 * sizeof(T));
  hdr.scl_slope = 1.0f;
  hdr.xyzt_units = static_cast<char>(intProperty(header, kXyztUnits, 0));
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
    for (int c = 0; c < 4; ++c) {
      hdr.srow_x[c] = srow[static_cast<std::size_t>(c)];
      hdr.srow_y[c] = srow[static_cast<std::size_t>(4 + c)];
      hdr.srow_z[c] = srow[static_cast<std::size_t>(8 + c)];
    }
  }
  std::strncpy(hdr.descrip, "Mirlune", sizeof hdr.descrip - 1);
  std::memcpy(hdr.magic, "n+1", 4);

  // Every other property travels in an extension, unless the fields already say exactly it.
  std::vector<NamedProperty> extra;
  if (header) {
    std::vector<int> dims{nx, ny, nz};
    std::vector<float> derivedSizes(hdr.pixdim + 1, hdr.pixdim + 4);
    if (ndim == 4) {
      dims.push_back(nt);
      derivedSizes.push_back(hdr.pixdim[4]);
    }
    for (const auto& position : header->propertySet().order()) {
      const std::string& key = position->first;
      const Object& value = position->second.value;
      if (position->second.builtin || key == "_borderWidth" || !isJsonType(value)) continue;
      if (key == kVolumeDimension && sameAsDerived(value, makeObject(dims))) continue;
      if (key == kVoxelSize && sameAsDerived(value, makeObject(derivedSizes))) continue;
      if (isOrientationKey(key)) continue;
      extra.push_back({key, value});
    }
  }
  std::string extension;
  if (!extra.empty()) {
    extension = propertiesToJson(extra);
    extension.resize((extension.size() + 8 + 15) / 16 * 16 - 8, '\0');
  }
  const std::int64_t offset = 352 + (extension.empty() ? 0 : 8 + static_cast<std::int64_t>(extension.size()));
  hdr.vox_offset = static_cast<float>(offset);

  const std::int64_t voxels = static_cast<std::int64_t>(nx) * ny * nz * nt;
  PendingFile out(file, endsWith(file, ".gz"));
  out.write(&hdr, sizeof hdr);
  const char extender[4] = {static_cast<char>(extension.empty() ? 0 : 1), 0, 0, 0};
  out.write(extender, sizeof extender);
  if (!extension.empty()) {
    const std::int32_t code[2] = {static_cast<std::int32_t>(extension.size() + 8), NIFTI_ECODE_COMMENT};
    out.write(code, sizeof code);
    out.write(extension.data(), extension.size());
  }
  const std::int64_t bytes = voxels * static_cast<std::int64_t>(sizeof(T));
  const int parts = out.compressed() ? 1 : partsFor(bytes, _threads);
  if (data.borderWidth() == 0 && parts > 1) {
    const char* block = reinterpret_cast<const char*>(data.volume().begin());
    inParallel(parts, [&](int part) {
      const std::int64_t begin = bytes * part / parts, end = bytes * (part + 1) / parts;
      out.writeAt(offset + begin, block + begin, static_cast<std::size_t>(end - begin));
    });
  } else if (data.borderWidth() == 0) {
    out.write(data.volume().begin(), static_cast<std::size_t>(bytes));
  } else {
    for (int t = 0; t < nt; ++t)
      for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y) out.write(&data(0, y, z, t), static_cast<std::size_t>(nx) * sizeof(T));
  }
  out.commit(offset + voxels * static_cast<std::int64_t>(sizeof(T)));
  return true;
}

template class Writer<VexaData<unsigned char>>;
template class Writer<VexaData<short>>;
template class Writer<VexaData<int>>;
template class Writer<VexaData<float>>;
template class Writer<VexaData<double>>;

}  // namespace vexa

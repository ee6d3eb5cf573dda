// Reading NIfTI-1, NIfTI-2 and ANALYZE images as 32-bit floats.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include <nifti2_io.h>

#include "imaging/formats/file_access.h"
#include "imaging/formats/headerjson.h"
#include "imaging/formats/imagefile.h"
#include "imaging/formats/rawheader.h"
#include "imaging/run/parallel.h"

namespace vexa {

namespace {

using norbe::makeObject;
using norbe::Object;

/*!
 * While it lives, the NIfTI library's diagnostics go nowhere: it prints some of them on
 * the C stream stderr whatever its debug level, and ours are the exceptions. The stream
 * variable is swapped (glibc lets a program set it); descriptor 2 stays as it is, so
 * nothing else is affected. Calls into the library are serialised: it has global state.
 */
class QuietLibrary {
 public:
  QuietLibrary() : _lock(mutex()) {
    static std::FILE* const null = [] {
      nifti_set_debug_level(0);
      return std::fopen("/dev/null", "w");
    }();
    if (!null) return;
    _saved = stderr;
    stderr = null;
  }
  ~QuietLibrary() {
    if (!_saved) return;
    std::fflush(stderr);
    stderr = _saved;
  }
  QuietLibrary(const QuietLibrary&) = delete;
  QuietLibrary& operator=(const QuietLibrary&) = delete;

 private:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  std::lock_guard<std::mutex> _lock;
  std::FILE* _saved = nullptr;
};

struct NiftiFree {
  void operator()(nifti_image* image) const {
    QuietLibrary quiet;
    nifti_image_free(image);
  }
};
using NiftiPtr = std::unique_ptr<nifti_image, NiftiFree>;

bool isRegularFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The header file behind a name: the name itself, or the name with a known ending.
std::string resolveHeader(const std::string& name) {
  if (name.empty()) throw std::runtime_error("no input file name given");
  struct stat info;
  if (::stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) failFile(name, "is a directory, not an image file");
  const char* endings[] = {"", ".nii", ".nii.gz", ".hdr", ".hdr.gz"};
  for (const char* ending : endings) {
    std::string candidate = name + ending;
    if (endsWith(candidate, ".img")) candidate.replace(candidate.size() - 4, 4, ".hdr");
    if (endsWith(candidate, ".img.gz")) candidate.replace(candidate.size() - 7, 7, ".hdr.gz");
    if (isRegularFile(candidate)) return candidate;
  }
  failFile(name, "no such image file (tried .nii, .nii.gz and .hdr)");
}

//! The file's scale slope and intercept: a slope of 0 (or not finite) means unscaled.
struct Scaling {
  explicit Scaling(const nifti_image& nim)
      : scaled(nim.scl_slope != 0.0 && std::isfinite(nim.scl_slope)),
        slope(nim.scl_slope),
        inter(std::isfinite(nim.scl_inter) ? nim.scl_inter : 0.0) {}

  // A float times 1 plus 0, through double and back, is that float: many writers store
  // this no-op scaling rather than none.
  bool leavesFloatsAlone() const { return !scaled || (slope == 1.0 && inter == 0.0); }

  bool scaled;
  double slope;
  double inter;
};

// Beyond the largest float a value would become infinite; a value that is infinite (or
// not a number) in the file stays so, and the analysis leaves its voxel out.
constexpr double kFloatMax = 3.4028234663852886e38;

template <class Raw>
bool convertTo(const unsigned char* bytes, std::size_t count, float* out, const Scaling& scaling) {
  // One loop per case, so that each vectorises.
  if (!scaling.scaled) {
    bool beyond = false;
    for (std::size_t i = 0; i < count; ++i) {
      Raw raw;
      std::memcpy(&raw, bytes + i * sizeof(Raw), sizeof(Raw));
      if constexpr (sizeof(Raw) == 8 && std::is_floating_point_v<Raw>) {
        const double magnitude = std::abs(static_cast<double>(raw));
        beyond |= (magnitude > kFloatMax) & (magnitude <= std::numeric_limits<double>::max());
      }
      out[i] = static_cast<float>(raw);
    }
    return !beyond;
  }
  bool beyond = false;
  for (std::size_t i = 0; i < count; ++i) {
    Raw raw;
    std::memcpy(&raw, bytes + i * sizeof(Raw), sizeof(Raw));
    const double value = static_cast<double>(raw) * scaling.slope + scaling.inter;
    const double magnitude = std::abs(value);
    beyond |= (magnitude > kFloatMax) & (magnitude <= std::numeric_limits<double>::max());
    out[i] = static_cast<float>(value);
  }
  return !beyond;
}

//! count stored values of the file's type to scaled floats; false when one is finite but
//! beyond what a float holds.
bool convert(int datatype, const unsigned char* bytes, std::size_t count, float* out, const Scaling& scaling) {
  switch (datatype) {
    case DT_UINT8:
      return convertTo<std::uint8_t>(bytes, count, out, scaling);
    case DT_INT8:
      return convertTo<std::int8_t>(bytes, count, out, scaling);
    case DT_INT16:
      return convertTo<std::int16_t>(bytes, count, out, scaling);
    case DT_UINT16:
      return convertTo<std::uint16_t>(bytes, count, out, scaling);
    case DT_INT32:
      return convertTo<std::int32_t>(bytes, count, out, scaling);
    case DT_UINT32:
      return convertTo<std::uint32_t>(bytes, count, out, scaling);
    case DT_INT64:
      return convertTo<std::int64_t>(bytes, count, out, scaling);
    case DT_UINT64:
      return convertTo<std::uint64_t>(bytes, count, out, scaling);
    case DT_FLOAT32:
      return convertTo<float>(bytes, count, out, scaling);
    case DT_FLOAT64:
      return convertTo<double>(bytes, count, out, scaling);
    default:
      return true;
  }
}

[[noreturn]] void failBeyondFloats(const std::string& file) {
  failFile(file,
           "holds values beyond the range of 32-bit floats (about 3.4e38) after its scaling; they cannot be analysed");
}

// Extents along dim[1..7] as the file gives them, 1 where the header leaves them out.
std::int64_t extent(const nifti_image& nim, int axis) { return axis <= nim.dim[0] ? nim.dim[axis] : 1; }

// What the library made of the header: the same checks for every form (ASCII headers
// have had no other), then what a series can hold.
void checkGeometry(const std::string& file, const nifti_image& nim, int frame) {
  if (nim.nbyper < 1 || nim.nbyper > 8) failFile(file, "unsupported data type code " + std::to_string(nim.datatype));
  if (nim.dim[0] < 1 || nim.dim[0] > 7) failFile(file, "invalid number of dimensions " + std::to_string(nim.dim[0]));
  for (int axis = 1; axis <= nim.dim[0]; ++axis) {
    if (nim.dim[axis] < 1 || nim.dim[axis] > std::numeric_limits<std::int32_t>::max()) {
      failFile(file, "invalid extent " + std::to_string(nim.dim[axis]) + " on axis " + std::to_string(axis));
    }
  }
  for (int axis = 5; axis <= nim.dim[0]; ++axis) {
    if (nim.dim[axis] > 1) failFile(file, "has more than 4 dimensions, which a series cannot hold");
  }
  const std::int64_t frames = extent(nim, 4);
  if (frame >= frames) {
    failFile(file, "has no frame " + std::to_string(frame) + " (" + std::to_string(frames) + " frames)");
  }
}

// The volume's own limit, before anything big is allocated.
void checkVolumeLimit(const std::string& file, const nifti_image& nim, int border, int frame) {
  const std::int64_t w = 2 * static_cast<std::int64_t>(border);
  const std::int64_t t = frame >= 0 ? 1 : extent(nim, 4);
  try {
    norbe::volumeElementCount(extent(nim, 1) + w, extent(nim, 2) + w, extent(nim, 3) + w, t, sizeof(float));
  } catch (const std::exception& e) {
    failFile(file, e.what());
  }
}

/*!
 * The header fields place the image; the program's own extension may not say otherwise.
 * Its voxel sizes are taken only when they agree with the header's and are all finite
 * (they may add a frame duration that a 3-D header has no field for).
 */
bool headerWins(norbe::PythonHeader& header, const NamedProperty& property) {
  if (header.propertySet().isBuiltin(property.key)) return true;
  if (property.key == kVolumeDimension || isHeaderFieldKey(property.key)) return true;
  if (property.key != kVoxelSize) return false;
  std::vector<float> own, theirs;
  header.getProperty(kVoxelSize, own);
  try {
    theirs = property.value->value<std::vector<float>>();
  } catch (const std::exception&) {
    return true;
  }
  if (theirs.size() < own.size()) return true;
  for (std::size_t i = 0; i < theirs.size(); ++i) {
    if (!std::isfinite(theirs[i]) || (i < own.size() && theirs[i] != own[i])) return true;
  }
  return false;
}

// Our own properties, from the extension, beside what the fields gave.
void takeExtensionProperties(norbe::PythonHeader& header, const nifti_image& nim) {
  for (int i = 0; nim.ext_list && i < nim.num_ext; ++i) {
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
      if (!headerWins(header, property)) header.setProperty(property.key, property.value);
    }
  }
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
  header.setProperty(kToffset, makeObject(static_cast<float>(nim.toffset)));
  header.setProperty(kDimInfo, makeObject(nim.freq_dim | (nim.phase_dim << 2) | (nim.slice_dim << 4)));
  takeExtensionProperties(header, nim);
}

//! Where the binary data of an image are, and how much of them a read takes.
struct DataSpan {
  std::string file;        // the data file: the image itself or the .img of a pair
  std::int64_t start = 0;  // of the first byte read
  std::int64_t bytes = 0;  // read from start on
  std::int64_t lineBytes = 0;
  bool compressed = false;
};

// The offset is the raw header's: the library keeps a NIfTI-1 offset in fewer bits.
DataSpan dataSpan(const std::string& file, const nifti_image& nim, const RawHeader& raw, int frame) {
  DataSpan span;
  span.file = nim.iname ? nim.iname : file;
  span.lineBytes = extent(nim, 1) * nim.nbyper;
  const std::int64_t frameBytes = span.lineBytes * extent(nim, 2) * extent(nim, 3);
  span.start = raw.dataOffset + (frame >= 0 ? frame * frameBytes : 0);
  span.bytes = frameBytes * (frame >= 0 ? 1 : extent(nim, 4));
  span.compressed = endsWith(span.file, ".gz");
  return span;
}

//! Binary image data, in slices read side by side when the file is not compressed.
void readData(const std::string& file, const nifti_image& nim, const DataSpan& span, VexaData<float>& result,
              int threads) {
  const std::int64_t nx = extent(nim, 1), ny = result.dimY(), nz = result.dimZ();
  const bool swap = nim.byteorder != nifti_short_order();
  const Scaling scaling(nim);
  const std::int64_t lineBytes = span.lineBytes;
  const std::int64_t linesPerChunk = std::max<std::int64_t>(1, (4 << 20) / std::max<std::int64_t>(lineBytes, 1));
  const std::int64_t lines = ny * nz * result.dimT();
  // A compressed stream reads in order; plain data is shared out in slices read side by side.
  const int parts = span.compressed ? 1 : partsForBytes(span.bytes, threads);

  norbe::runTasks(parts, parts, [&](int, int part) {
    const std::int64_t begin = lines * part / parts, end = lines * (part + 1) / parts;
    GzPtr input(gzopen(span.file.c_str(), "rb"));
    if (!input) failFile(span.file, std::string("cannot open image data: ") + std::strerror(errno));
    gzbuffer(input.get(), 1 << 17);
    const std::int64_t offset = span.start + begin * lineBytes;
    if (offset > 0 && gzseek(input.get(), static_cast<z_off_t>(offset), SEEK_SET) != offset) {
      failFile(file, "truncated image data (cannot reach its start)");
    }
    // Floats as they are, without a border, go straight into place; anything else through
    // buffers of a few megabytes at most, and no larger than the slice itself.
    const bool direct = nim.datatype == DT_FLOAT32 && scaling.leavesFloatsAlone() && !(swap && nim.swapsize > 1) &&
                        result.borderWidth() == 0;
    const std::int64_t bufferLines = direct ? 0 : std::min(linesPerChunk, std::max<std::int64_t>(end - begin, 1));
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[static_cast<std::size_t>(bufferLines * lineBytes)]);
    std::unique_ptr<float[]> values(new float[static_cast<std::size_t>(bufferLines * nx)]);
    for (std::int64_t first = begin; first < end; first += linesPerChunk) {
      const std::int64_t count = std::min(linesPerChunk, end - first);
      const std::size_t size = static_cast<std::size_t>(count * lineBytes);
      unsigned char* into =
          direct ? reinterpret_cast<unsigned char*>(result.volume().begin() + first * nx) : bytes.get();
      const int got = gzread(input.get(), into, static_cast<unsigned>(size));
      if (got < 0 || static_cast<std::size_t>(got) != size) {
        const std::int64_t read = (first - begin) * lineBytes + std::max(got, 0);
        failFile(file, "truncated image data (" + std::to_string(begin * lineBytes + read) + " of " +
                           std::to_string(span.bytes) + " bytes could be read)");
      }
      if (direct) continue;
      if (swap && nim.swapsize > 1) {
        nifti_swap_Nbytes(static_cast<std::int64_t>(size) / nim.swapsize, nim.swapsize, bytes.get());
      }
      if (!convert(nim.datatype, bytes.get(), static_cast<std::size_t>(count * nx), values.get(), scaling)) {
        failBeyondFloats(file);
      }
      for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t line = first + i;
        const int y = static_cast<int>(line % ny);
        const int z = static_cast<int>((line / ny) % nz);
        const int t = static_cast<int>(line / (ny * nz));
        std::memcpy(&result(0, y, z, t), values.get() + i * nx, static_cast<std::size_t>(nx) * sizeof(float));
      }
    }
    return 0LL;
  });
}

//! Every byte of a file, decompressed when it is compressed.
std::string wholeFile(const std::string& path) {
  GzPtr in(gzopen(path.c_str(), "rb"));
  if (!in) failFile(path, std::string("cannot open: ") + std::strerror(errno));
  std::string text;
  char buffer[1 << 16];
  for (int got; (got = gzread(in.get(), buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(got));
  return text;
}

/*!
 * The library takes an ASCII image's voxels, in binary, from the last bytes of the file:
 * a file cut short would give it voxels made of header text. They must lie past the text
 * ("... />" and a line end), the four extender bytes and the extensions.
 */
void checkTextLength(const std::string& file, const nifti_image& nim) {
  const std::string text = wholeFile(file);
  const std::size_t close = text.find("/>");
  std::int64_t headerEnd =
      close == std::string::npos ? static_cast<std::int64_t>(text.size()) : static_cast<std::int64_t>(close) + 3 + 4;
  // The ASCII header's own count of extensions is not to be trusted: only those loaded count.
  for (int i = 0; nim.ext_list && i < nim.num_ext; ++i) headerEnd += std::max(nim.ext_list[i].esize, 0);
  const std::int64_t wanted = static_cast<std::int64_t>(nim.nvox) * nim.nbyper;
  const std::int64_t available = static_cast<std::int64_t>(text.size()) - headerEnd;
  if (available < wanted) {
    failFile(file, "truncated image data (" + std::to_string(std::max<std::int64_t>(available, 0)) + " of " +
                       std::to_string(wanted) + " bytes)");
  }
}

//! Text data (the ASCII form): the library parses it, then the values are converted.
void readText(const std::string& file, nifti_image& nim, VexaData<float>& result, int frame) {
  {
    QuietLibrary quiet;
    if (nifti_image_load(&nim) < 0 || !nim.data) failFile(file, "cannot read the image data");
  }
  const int nx = result.dimX(), ny = result.dimY(), nz = result.dimZ(), nt = result.dimT();
  const std::int64_t per = static_cast<std::int64_t>(nx) * ny * nz;
  const std::int64_t skip = frame >= 0 ? frame * per : 0;
  std::vector<float> values(static_cast<std::size_t>(per * nt));
  if (!convert(nim.datatype, static_cast<const unsigned char*>(nim.data) + skip * nim.nbyper, values.size(),
               values.data(), Scaling(nim))) {
    failBeyondFloats(file);
  }
  std::size_t i = 0;
  for (int t = 0; t < nt; ++t)
    for (int z = 0; z < nz; ++z)
      for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) result(x, y, z, t) = values[i++];
}

bool hasKnownEnding(const std::string& file) {
  std::string lower = file;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* ending : {".nii", ".nii.gz", ".hdr", ".hdr.gz", ".nia", ".nia.gz"}) {
    if (endsWith(lower, ending)) return true;
  }
  return false;
}

/*!
 * Why the library could not read a header: a file that cannot be opened (it opens the
 * header twice, and a pair's data file) says so with the system's message; only a file
 * that was read and found wrong is called damaged.
 */
[[noreturn]] void explainFailure(const std::string& file, const RawHeader& raw) {
  std::vector<std::string> needed{file, file};
  if (raw.pair) needed.push_back(imageFilesOf(file).back());
  std::vector<int> open;
  for (const std::string& path : needed) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      for (int other : open) ::close(other);
      failFile(path, std::string(path == file ? "cannot open: " : "cannot open image data: ") + std::strerror(error));
    }
    open.push_back(fd);
  }
  for (int fd : open) ::close(fd);
  failFile(file, "not a NIfTI or ANALYZE image, or its header is damaged");
}

//! The extensions between a single file's header and its data, as the library would list them.
void addExtensions(nifti_image& nim, const std::string& file, const RawHeader& raw) {
  constexpr std::int64_t kMostExtensionBytes = 64 << 20;
  const std::int64_t end = std::min(raw.dataOffset, raw.headerBytes + kMostExtensionBytes);
  if (end < raw.headerBytes + 4 + 8) return;
  GzPtr in(gzopen(file.c_str(), "rb"));
  if (!in) failFile(file, std::string("cannot open: ") + std::strerror(errno));
  std::vector<char> bytes(static_cast<std::size_t>(end));
  if (gzread(in.get(), bytes.data(), static_cast<unsigned>(end)) != static_cast<int>(end)) return;
  if (bytes[static_cast<std::size_t>(raw.headerBytes)] == 0) return;  // the extender: no extensions
  auto number = [&](std::int64_t at) {
    std::int32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    if (raw.swapped) value = static_cast<std::int32_t>(__builtin_bswap32(static_cast<std::uint32_t>(value)));
    return value;
  };
  for (std::int64_t at = raw.headerBytes + 4; at + 8 <= end;) {
    const std::int32_t size = number(at), code = number(at + 4);
    if (size < 8 || at + size > end) break;
    QuietLibrary quiet;
    nifti_add_extension(&nim, bytes.data() + at + 8, size - 8, code);
    at += size;
  }
}

/*!
 * The header, as the library reads it. A single-file NIfTI image whose name has no ending
 * the library knows (series_v1, series.dat) is read by its content instead.
 */
NiftiPtr loadHeader(const std::string& file, const RawHeader& raw) {
  NiftiPtr nim;
  if (hasKnownEnding(file)) {
    {
      QuietLibrary quiet;
      nim.reset(nifti_image_read(file.c_str(), 0));
    }
    if (!nim) explainFailure(file, raw);
    return nim;
  }
  if (raw.pair || (raw.form != RawHeader::Nifti1 && raw.form != RawHeader::Nifti2)) {
    failFile(file, "its name has no NIfTI ending (.nii, .nii.gz, .hdr) and it is not a single-file NIfTI image");
  }
  {
    QuietLibrary quiet;
    if (raw.form == RawHeader::Nifti1) {
      nifti_1_header header;
      std::memcpy(&header, raw.bytes, sizeof header);
      nim.reset(nifti_convert_n1hdr2nim(header, file.c_str()));
    } else {
      nifti_2_header header;
      std::memcpy(&header, raw.bytes, sizeof header);
      nim.reset(nifti_convert_n2hdr2nim(header, file.c_str()));
    }
  }
  if (!nim) failFile(file, "not a NIfTI or ANALYZE image, or its header is damaged");
  // The library names the files after the NIfTI ending it would expect: they are this one.
  for (char** name : {&nim->fname, &nim->iname}) {
    std::free(*name);
    *name = ::strdup(file.c_str());
  }
  addExtensions(*nim, file, raw);
  return nim;
}

}  // namespace

std::vector<std::string> imageFilesOf(const std::string& name) {
  std::vector<std::string> files{resolveHeader(name)};
  std::string data = files.front();
  if (endsWith(data, ".hdr")) data.replace(data.size() - 4, 4, ".img");
  if (endsWith(data, ".hdr.gz")) data.replace(data.size() - 7, 7, ".img.gz");
  if (data != files.front()) files.push_back(data);
  return files;
}

Reader<VexaData<float>>::~Reader() = default;

std::array<std::int64_t, 4> Reader<VexaData<float>>::extents() const {
  const std::string file = resolveHeader(_fileName);
  const RawHeader raw = checkRawHeader(file);
  std::array<std::int64_t, 4> extents{1, 1, 1, 1};
  if (raw.form != RawHeader::Ascii) {
    for (int axis = 1; axis <= 4 && axis <= raw.dims; ++axis) extents[axis - 1] = raw.extent[axis];
    return extents;
  }
  const NiftiPtr nim = loadHeader(file, raw);
  checkGeometry(file, *nim, -1);
  for (int axis = 1; axis <= 4; ++axis) extents[axis - 1] = extent(*nim, axis);
  return extents;
}

void Reader<VexaData<float>>::read(VexaData<float>& data, int border, const std::string*, int frame) {
  if (border < 0) throw std::runtime_error("negative border width " + std::to_string(border));
  const std::string file = resolveHeader(_fileName);
  const RawHeader raw = checkRawHeader(file);
  NiftiPtr nim = loadHeader(file, raw);
  checkGeometry(file, *nim, frame);
  const bool text = raw.form == RawHeader::Ascii;
  const DataSpan span = dataSpan(file, *nim, raw, frame);
  if (text) {
    checkTextLength(file, *nim);
  } else {
    checkDataFits(file, span.file, span.start, span.bytes);
  }
  checkVolumeLimit(file, *nim, border, frame);

  const int nx = static_cast<int>(extent(*nim, 1)), ny = static_cast<int>(extent(*nim, 2)),
            nz = static_cast<int>(extent(*nim, 3));
  const int nt = frame >= 0 ? 1 : static_cast<int>(extent(*nim, 4));
  VexaData<float> result;
  try {
    // Every voxel is read into place, so a block without a border need not be cleared first.
    result = VexaData<float>(nx, ny, nz, nt, border,
                             norbe::AllocatorContext(border == 0 ? norbe::Overwrite : norbe::ReadWrite));
  } catch (const std::bad_alloc&) {
    failFile(file,
             "not enough memory for its " + std::to_string(static_cast<std::int64_t>(nx) * ny * nz * nt) + " voxels");
  }
  if (text) {
    readText(file, *nim, result, frame);
  } else {
    readData(file, *nim, span, result, _threads);
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

}  // namespace vexa

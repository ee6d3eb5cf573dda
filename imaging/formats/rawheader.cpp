#include "imaging/formats/rawheader.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "imaging/formats/file_access.h"

namespace vexa {

namespace {

constexpr int kNifti1Size = 348;
constexpr int kNifti2Size = 540;

// The bytes of a header, in the file's byte order.
class Bytes {
 public:
  Bytes(const unsigned char* data, bool swapped) : _data(data), _swapped(swapped) {}

  template <class T>
  T at(std::size_t offset) const {
    unsigned char raw[sizeof(T)];
    std::memcpy(raw, _data + offset, sizeof(T));
    if (_swapped) {
      for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(raw[i], raw[sizeof(T) - 1 - i]);
    }
    T value;
    std::memcpy(&value, raw, sizeof(T));
    return value;
  }

 private:
  const unsigned char* _data;
  bool _swapped;
};

std::int32_t swap32(std::int32_t value) {
  auto u = static_cast<std::uint32_t>(value);
  u = (u >> 24) | ((u >> 8) & 0xFF00u) | ((u << 8) & 0xFF0000u) | (u << 24);
  return static_cast<std::int32_t>(u);
}

// Bits per voxel of a NIfTI type code: 0 for an unknown code, negative for a type the
// reader does not convert.
int bitsOf(int datatype) {
  switch (datatype) {
    case 2:    // uint8
    case 256:  // int8
      return 8;
    case 4:    // int16
    case 512:  // uint16
      return 16;
    case 8:    // int32
    case 16:   // float32
    case 768:  // uint32
      return 32;
    case 64:    // float64
    case 1024:  // int64
    case 1280:  // uint64
      return 64;
    case 1:  // binary
      return -1;
    case 128:  // rgb24
      return -24;
    case 32:    // complex64
    case 2304:  // rgba32
      return -64;
    case 1536:  // float128
    case 1792:  // complex128
      return -128;
    case 2048:  // complex256
      return -256;
    default:
      return 0;
  }
}

std::string typeName(int datatype) {
  switch (datatype) {
    case 1:
      return "binary";
    case 32:
      return "complex64";
    case 128:
      return "rgb24";
    case 1536:
      return "float128";
    case 1792:
      return "complex128";
    case 2048:
      return "complex256";
    case 2304:
      return "rgba32";
    default:
      return "code " + std::to_string(datatype);
  }
}

std::int64_t fileSize(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

void checkGeometry(const std::string& file, RawHeader& header, const Bytes& bytes, std::size_t dimOffset, bool wide) {
  const std::int64_t dims = wide ? bytes.at<std::int64_t>(dimOffset) : bytes.at<std::int16_t>(dimOffset);
  if (dims < 1 || dims > 7) failFile(file, "invalid number of dimensions " + std::to_string(dims) + " (1 to 7)");
  header.dims = static_cast<int>(dims);
  for (int axis = 1; axis <= header.dims; ++axis) {
    const std::size_t at = dimOffset + axis * (wide ? 8 : 2);
    const std::int64_t extent = wide ? bytes.at<std::int64_t>(at) : bytes.at<std::int16_t>(at);
    if (extent < 1) failFile(file, "invalid extent " + std::to_string(extent) + " on axis " + std::to_string(axis));
    if (extent > std::numeric_limits<std::int32_t>::max()) {
      failFile(file, "extent " + std::to_string(extent) + " on axis " + std::to_string(axis) +
                         " is beyond what an image can hold");
    }
    header.extent[axis] = extent;
  }
}

void checkType(const std::string& file, RawHeader& header, int datatype, int bitpix) {
  const int bits = bitsOf(datatype);
  if (bits == 0) failFile(file, "unknown data type code " + std::to_string(datatype));
  if (bits < 0) {
    failFile(file, "unsupported data type " + typeName(datatype) + " (integers, float32 and float64 are read)");
  }
  if (bitpix != bits) {
    failFile(file,
             "bitpix " + std::to_string(bitpix) + " does not match the data type (" + std::to_string(bits) + " bits)");
  }
  header.datatype = datatype;
  header.bytesPerVoxel = bits / 8;
}

// The product of the extents and the voxel size, refused before it can overflow.
void checkSize(const std::string& file, RawHeader& header) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t bytes = header.bytesPerVoxel;
  for (int axis = 1; axis <= header.dims; ++axis) {
    if (bytes > kMax / header.extent[axis]) failFile(file, "the image's size overflows 64 bits");
    bytes *= header.extent[axis];
  }
  if (header.dataOffset > kMax - bytes) failFile(file, "the image's size overflows 64 bits");
  header.dataBytes = bytes;
}

// An offset before the start, or inside a single file's header, points at no data: such
// a file is refused as truncated, like one whose data end early.
void checkOffset(const std::string& file, RawHeader& header, double offset, int headerBytes) {
  if (!std::isfinite(offset) || std::abs(offset) > 1e18 || offset != std::floor(offset)) {
    failFile(file, "invalid data offset " + std::to_string(offset));
  }
  if (offset < 0) {
    failFile(file, "truncated image data (its data offset " + std::to_string(static_cast<std::int64_t>(offset)) +
                       " lies before the file's start)");
  }
  if (!header.pair && offset < headerBytes) {
    failFile(file, "truncated image data (its data offset " + std::to_string(static_cast<std::int64_t>(offset)) +
                       " lies inside the header, which ends at " + std::to_string(headerBytes) + ")");
  }
  header.dataOffset = static_cast<std::int64_t>(offset);
}

bool isCompressed(const std::string& path) { return endsWith(path, ".gz"); }

}  // namespace

RawHeader checkRawHeader(const std::string& file) {
  GzPtr in(gzopen(file.c_str(), "rb"));
  if (!in) failFile(file, "cannot open: " + std::string(std::strerror(errno)));
  unsigned char data[kNifti2Size] = {};
  const int got = gzread(in.get(), data, sizeof data);
  if (got < 0) failFile(file, "cannot read its header (damaged compressed data)");

  RawHeader header;
  if (got >= 12 && std::memcmp(data, "<nifti_image", 12) == 0) {
    header.form = RawHeader::Ascii;
    return header;
  }
  if (got < 4) failFile(file, "not a NIfTI or ANALYZE image (" + std::to_string(got) + " bytes)");
  std::int32_t size;
  std::memcpy(&size, data, 4);
  const bool swapped = size != kNifti1Size && size != kNifti2Size;
  if (swapped) size = swap32(size);
  if (size != kNifti1Size && size != kNifti2Size)
    failFile(file, "not a NIfTI or ANALYZE image, or its header is damaged");
  if (got < size) {
    failFile(file, "header cut short (" + std::to_string(got) + " of " + std::to_string(size) + " bytes)");
  }
  const Bytes bytes(data, swapped);
  header.headerBytes = size;
  header.swapped = swapped;
  std::memcpy(header.bytes, data, static_cast<std::size_t>(size));

  if (size == kNifti2Size) {
    header.form = RawHeader::Nifti2;
    if (std::memcmp(data + 4, "n+2", 4) != 0 && std::memcmp(data + 4, "ni2", 4) != 0) {
      failFile(file, "a NIfTI-2 header without its signature");
    }
    header.pair = data[5] == 'i';
    checkGeometry(file, header, bytes, 16, true);
    checkType(file, header, bytes.at<std::int16_t>(12), bytes.at<std::int16_t>(14));
    checkOffset(file, header, static_cast<double>(bytes.at<std::int64_t>(168)), kNifti2Size);
  } else {
    const bool nifti = std::memcmp(data + 344, "n+1", 4) == 0 || std::memcmp(data + 344, "ni1", 4) == 0;
    header.form = nifti ? RawHeader::Nifti1 : RawHeader::Analyze;
    header.pair = !nifti || data[345] == 'i';
    checkGeometry(file, header, bytes, 40, false);
    checkType(file, header, bytes.at<std::int16_t>(70), bytes.at<std::int16_t>(72));
    checkOffset(file, header, bytes.at<float>(108), kNifti1Size);
  }
  checkSize(file, header);
  return header;
}

void checkDataFits(const std::string& file, const std::string& dataFile, std::int64_t start, std::int64_t wanted) {
  const std::int64_t size = fileSize(dataFile);
  if (size < 0) failFile(dataFile, std::string("cannot open image data: ") + std::strerror(errno));
  if (isCompressed(dataFile)) {
    // Deflate turns a byte into at most about 1032: a small file cannot hold a large image.
    constexpr std::int64_t kMostExpansion = 1032;
    const std::int64_t most = size > std::numeric_limits<std::int64_t>::max() / kMostExpansion
                                  ? std::numeric_limits<std::int64_t>::max()
                                  : size * kMostExpansion + 1024;
    if (wanted > most - start) {
      failFile(file, "truncated image data (a " + std::to_string(size) + "-byte compressed file cannot hold the " +
                         std::to_string(wanted) + " bytes its header claims)");
    }
    return;
  }
  const std::int64_t available = std::max<std::int64_t>(size - start, 0);
  if (available < wanted) {
    failFile(file, "truncated image data (" + std::to_string(available) + " of " + std::to_string(wanted) + " bytes)");
  }
}

}  // namespace vexa

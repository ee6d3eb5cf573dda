#pragma once
// One input of the reader's fuzzer: its first byte picks the form of file the rest
// becomes, so that every path of the reader is reached from the same bytes.

#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "imaging/formats/headerjson.h"
#include "imaging/formats/imagefile.h"

namespace fuzzing {

enum Form { Plain, Compressed, Pair, Ascii, RawCompressed, NoEnding, Extension, kForms };

inline std::string gzipped(const std::string& bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size())) + 32;
  std::string out(size, '\0');
  z_stream stream{};
  deflateInit2(&stream, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

inline void save(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

/*!
 * Writes the input as a file of its form into folder and reads it. The reader may refuse
 * it with std::runtime_error (or std::invalid_argument); anything else escapes, and so
 * does any crash or sanitizer report: those are findings.
 */
inline void readAsImage(const std::uint8_t* data, std::size_t size, const std::string& folder) {
  if (size < 1) return;
  const int form = data[0] % kForms;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string name;
  switch (form) {
    case Plain:
      name = folder + "/in.nii";
      save(name, bytes);
      break;
    case Compressed:
      name = folder + "/in.nii.gz";
      save(name, gzipped(bytes));
      break;
    case Pair:
      name = folder + "/in.hdr";
      save(name, bytes.substr(0, 348));
      save(folder + "/in.img", bytes.size() > 348 ? bytes.substr(348) : std::string());
      break;
    case Ascii:
      name = folder + "/in.nia";
      save(name, bytes);
      break;
    case RawCompressed:
      name = folder + "/raw.nii.gz";
      save(name, bytes);
      break;
    case NoEnding:  // read by its content
      name = folder + "/in.dat";
      save(name, bytes);
      break;
    default:  // the header extension's text alone
      try {
        vexa::propertiesFromJson(bytes);
      } catch (const std::runtime_error&) {
      }
      return;
  }
  try {
    VexaData<float> image;
    vexa::Reader<VexaData<float>>(name).read(image, 0, nullptr, -1);
    // A frame on its own goes another way through the reader.
    vexa::Reader<VexaData<float>>(name).read(image, 0, nullptr, 0);
  } catch (const std::runtime_error&) {
  } catch (const std::invalid_argument&) {
  }
  for (const char* leftover : {"/in.nii", "/in.nii.gz", "/in.hdr", "/in.img", "/in.nia", "/raw.nii.gz", "/in.dat"}) {
    ::unlink((folder + leftover).c_str());
  }
}

}  // namespace fuzzing

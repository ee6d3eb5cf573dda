#pragma once
// The first bytes of an image file, checked before the NIfTI library is given the file:
// the library writes past its arrays on some bad headers and rewrites others silently.

#include <cstdint>
#include <string>

namespace vexa {

//! What a checked binary header says about the image data.
struct RawHeader {
  enum Form { Nifti1, Nifti2, Analyze, Ascii };
  Form form = Nifti1;
  bool pair = false;            //!< the data are in a separate .img file
  int dims = 0;                 //!< dim[0], 1 to 7
  std::int64_t extent[8] = {};  //!< dim[1 ... dims], each at least 1 and at most 2^31 - 1
  int datatype = 0;             //!< a type the reader converts
  int bytesPerVoxel = 0;
  std::int64_t dataOffset = 0;    //!< where the data start in the data file
  std::int64_t dataBytes = 0;     //!< all voxels of all frames (no overflow: checked)
  int headerBytes = 0;            //!< 348 or 540 (binary forms)
  bool swapped = false;           //!< stored in the other byte order
  unsigned char bytes[540] = {};  //!< the header as stored
};

/*!
 * Reads and checks the header of file (decompressing a .gz): its size field in either
 * byte order, dim[0] from 1 to 7, every extent up to dim[0] at least 1 and within what a
 * volume can hold, a known data type the reader converts with a matching bitpix, a data
 * offset that is a whole number of bytes and, in a single file, not inside the header, and
 * the product of it all.
 * ASCII headers are left to the library and only recognised here. Throws
 * std::runtime_error "file: reason" for anything else.
 */
RawHeader checkRawHeader(const std::string& file);

/*!
 * Refuses data that the file cannot hold before anything is allocated for them: at most
 * the file's size past the offset, or, compressed, what deflate can expand the file to
 * (about 1032 bytes per compressed byte). wanted is what will be read from start on.
 */
void checkDataFits(const std::string& file, const std::string& dataFile, std::int64_t start, std::int64_t wanted);

}  // namespace vexa

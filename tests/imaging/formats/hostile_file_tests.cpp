// Malformed and hostile image files: each refused with one line naming the file, nothing
// from the NIfTI library on standard error, no signal and no output.

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nifti2_io.h>

#include "imaging/formats/imagefile.h"
#include "tests/fuzz/reader_harness.h"
#include "tests/support/test_support.h"

using testing_support::CapturedStderr;
using testing_support::Process;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

template <class T>
void put(std::string& bytes, std::size_t offset, T value) {
  std::memcpy(&bytes[offset], &value, sizeof value);
}

// A valid little NIfTI-1 file: 4 x 3 x 2 x 2 floats, all 1.
std::string nifti1(int datatype = DT_FLOAT32, int bitpix = 32) {
  std::string bytes(352 + 4 * 3 * 2 * 2 * 4, '\0');
  put<std::int32_t>(bytes, 0, 348);
  const std::int16_t dims[8] = {4, 4, 3, 2, 2, 1, 1, 1};
  for (int i = 0; i < 8; ++i) put<std::int16_t>(bytes, 40 + 2 * i, dims[i]);
  put<std::int16_t>(bytes, 70, static_cast<std::int16_t>(datatype));
  put<std::int16_t>(bytes, 72, static_cast<std::int16_t>(bitpix));
  for (int i = 0; i < 8; ++i) put<float>(bytes, 76 + 4 * i, 1.0f);
  put<float>(bytes, 108, 352.0f);
  std::memcpy(&bytes[344], "n+1", 4);
  for (std::size_t at = 352; at + 4 <= bytes.size(); at += 4) put<float>(bytes, at, 1.0f);
  return bytes;
}

// A valid little NIfTI-2 file, same image.
std::string nifti2() {
  std::string bytes(544 + 4 * 3 * 2 * 2 * 4, '\0');
  put<std::int32_t>(bytes, 0, 540);
  std::memcpy(&bytes[4], "n+2\0\r\n\032\n", 8);
  put<std::int16_t>(bytes, 12, DT_FLOAT32);
  put<std::int16_t>(bytes, 14, 32);
  const std::int64_t dims[8] = {4, 4, 3, 2, 2, 1, 1, 1};
  for (int i = 0; i < 8; ++i) put<std::int64_t>(bytes, 16 + 8 * i, dims[i]);
  for (int i = 0; i < 8; ++i) put<double>(bytes, 104 + 8 * i, 1.0);
  put<std::int64_t>(bytes, 168, 544);
  for (std::size_t at = 544; at + 4 <= bytes.size(); at += 4) put<float>(bytes, at, 1.0f);
  return bytes;
}

std::string gzip(const std::string& bytes) { return fuzzing::gzipped(bytes); }

// plain (a single-file NIfTI-1 image without extensions) carrying our JSON header extension
// with one property, key of type and value (JSON text), its data moved past it.
std::string withOurExtension(const std::string& plain, const std::string& key, const std::string& type,
                             const std::string& value) {
  std::string text = "{\"format\":\"mirlune-header\",\"properties\":[{\"key\":\"" + key + "\",\"type\":\"" + type +
                     "\",\"value\":" + value + "}]}";
  text.resize((text.size() + 8 + 15) / 16 * 16 - 8, '\0');
  std::string bytes = plain.substr(0, 348) + std::string("\1\0\0\0", 4);
  std::string code(8, '\0');
  put<std::int32_t>(code, 0, static_cast<std::int32_t>(text.size() + 8));
  put<std::int32_t>(code, 4, NIFTI_ECODE_COMMENT);
  bytes += code + text + plain.substr(352);
  put<float>(bytes, 108, static_cast<float>(352 + 8 + text.size()));
  return bytes;
}

// A file the library writes in its ASCII form.
std::string asciiImage(const TempDir& dir) {
  int64_t dims[8] = {3, 4, 3, 2, 1, 1, 1, 1};
  nifti_image* nim = nifti_make_new_nim(dims, DT_FLOAT32, 1);
  nim->nifti_type = NIFTI_FTYPE_ASCII;
  nifti_set_filenames(nim, dir.file("made.nia").c_str(), 0, 1);
  nifti_image_write(nim);
  nifti_image_free(nim);
  return readFile(dir.file("made.nia"));
}

struct Hostile {
  std::string name;     // the file's name
  std::string bytes;    // its contents
  std::string message;  // what the one line says after the file's name
};

// Data that cannot be where the header says, and values no 32-bit float holds.
void addPlacementFaults(std::vector<Hostile>& files) {
  auto add = [&](const std::string& name, const std::string& bytes, const std::string& message) {
    files.push_back({name, bytes, message});
  };
  std::string b;
  // Data offsets that point at no data: before the start, inside the header, beyond the
  // file (as far as 2^31 and more, which a 32-bit offset would wrap).
  b = nifti1();
  put<float>(b, 108, -5.0f);
  add("offset-5.nii", b, "truncated image data (its data offset -5 lies before the file's start)");
  b = nifti1();
  put<float>(b, 108, -0x1p80f);  // beyond any 64-bit offset: refused before it is converted
  add("offset-2^80.nii", b, "invalid data offset -1208925819614629174706176.000000");
  b = nifti1();
  put<float>(b, 108, 100.0f);
  add("offset100.nii", b, "truncated image data (its data offset 100 lies inside the header, which ends at 348)");
  for (const double offset : {2147483648.0, 5e9, 1e17}) {
    b = nifti1();
    put<float>(b, 108, static_cast<float>(offset));
    const std::string name = "offset" + std::to_string(static_cast<long long>(offset));
    add(name + ".nii", b, "truncated image data (0 of 192 bytes)");
    add(name + ".nii.gz", gzip(b),
        "truncated image data (a " + std::to_string(gzip(b).size()) +
            "-byte compressed file cannot hold the 192 bytes its header claims)");
  }
  // Values that no 32-bit float holds: float64 data near 1e200, int16 scaled by 1e38.
  b = nifti1(DT_FLOAT64, 64);
  b.resize(352 + 4 * 3 * 2 * 2 * 8);
  for (std::size_t at = 352; at + 8 <= b.size(); at += 8) put<double>(b, at, 1e200);
  add("float64-1e200.nii", b,
      "holds values beyond the range of 32-bit floats (about 3.4e38) after its scaling; they cannot be analysed");
  b = nifti1(DT_INT16, 16);
  for (std::size_t at = 352; at + 2 <= b.size(); at += 2) put<std::int16_t>(b, at, 100);
  put<float>(b, 112, 1e38f);
  add("int16-slope1e38.nii", b,
      "holds values beyond the range of 32-bit floats (about 3.4e38) after its scaling; they cannot be analysed");
}

std::vector<Hostile> hostileFiles(const TempDir& dir) {
  std::vector<Hostile> files;
  auto add = [&](const std::string& name, const std::string& bytes, const std::string& message) {
    files.push_back({name, bytes, message});
  };
  std::string b;

  // dim[0] far out of range: the library's NIfTI-2 conversion writes past its arrays.
  b = nifti2();
  put<std::int64_t>(b, 16, 100000);
  add("dims100000.nii", b, "invalid number of dimensions 100000 (1 to 7)");
  add("dims100000.nii.gz", gzip(b), "invalid number of dimensions 100000 (1 to 7)");
  for (int dims : {8, -1, 0}) {
    b = nifti1();
    put<std::int16_t>(b, 40, static_cast<std::int16_t>(dims));
    add("dims" + std::to_string(dims) + ".nii", b,
        "invalid number of dimensions " + std::to_string(dims) + " (1 to 7)");
  }
  // Extents of 0 or below, which the library would quietly make 1.
  b = nifti1();
  put<std::int16_t>(b, 46, 0);
  add("extent0.nii", b, "invalid extent 0 on axis 3");
  b = nifti1();
  put<std::int16_t>(b, 40, 7);
  put<std::int16_t>(b, 52, -3);
  add("extent-3.nii", b, "invalid extent -3 on axis 6");
  // Unknown, zero and unconverted types, and a bitpix that does not match.
  add("type0.nii", nifti1(0, 32), "unknown data type code 0");
  add("type9999.nii", nifti1(9999, 32), "unknown data type code 9999");
  add("complex.nii", nifti1(DT_COMPLEX64, 64),
      "unsupported data type complex64 (integers, float32 and float64 are read)");
  add("bitpix.nii", nifti1(DT_FLOAT32, 16), "bitpix 16 does not match the data type (32 bits)");
  // Headers cut short.
  add("cut400.nii", nifti2().substr(0, 400), "header cut short (400 of 540 bytes)");
  add("cut100.nii", nifti1().substr(0, 100), "header cut short (100 of 348 bytes)");
  // Extents whose product overflows, and extents no volume can hold.
  b = nifti2();
  put<std::int64_t>(b, 24, 4000000000LL);
  put<std::int64_t>(b, 32, 4000000000LL);
  add("huge.nii", b, "extent 4000000000 on axis 1 is beyond what an image can hold");
  b = nifti2();
  for (int axis = 1; axis <= 4; ++axis) put<std::int64_t>(b, 16 + 8 * axis, 2000000000LL);
  add("overflow.nii", b, "the image's size overflows 64 bits");
  addPlacementFaults(files);
  // 8 KiB claiming 2 GiB of data, plain and compressed: refused before any allocation.
  b = nifti1(DT_INT32, 32);
  b.resize(8192);
  put<std::int16_t>(b, 42, 1024);
  put<std::int16_t>(b, 44, 1024);
  put<std::int16_t>(b, 46, 512);
  put<std::int16_t>(b, 48, 1);
  add("claims2GiB.nii", b, "truncated image data (7840 of 2147483648 bytes)");
  add("claims2GiB.nii.gz", gzip(b),
      "truncated image data (a " + std::to_string(gzip(b).size()) +
          "-byte compressed file cannot hold the 2147483648 bytes its header claims)");
  // A compressed file cut in the middle of its data (random data: it does not shrink).
  b = nifti1();
  b.resize(352 + 4 * 3 * 2 * 2 * 4 * 50);
  put<std::int16_t>(b, 48, 100);
  unsigned state = 7;
  for (std::size_t at = 352; at < b.size(); ++at)
    b[at] = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  const std::string packed = gzip(b);
  add("half.nii.gz", packed.substr(0, packed.size() / 2), "");
  // ASCII: a header the library cannot parse, and one whose data were cut off.
  add("bad.nia", "<nifti_image\n  this is not a header />\n", "not a NIfTI or ANALYZE image, or its header is damaged");
  const std::string ascii = asciiImage(dir);
  add("short.nia", ascii.substr(0, ascii.size() - 20), "truncated image data (76 of 96 bytes)");
  add("short-by-one.nia", ascii.substr(0, ascii.size() - 1), "truncated image data (95 of 96 bytes)");
  return files;
}

}  // namespace

TEST(HostileFiles, EachIsRefusedWithOneLineAndNothingFromTheLibrary) {
  TempDir dir;
  for (const Hostile& file : hostileFiles(dir)) {
    SCOPED_TRACE(file.name);
    writeFile(dir.file(file.name), file.bytes);
    std::string message;
    CapturedStderr err;
    try {
      VexaData<float> data;
      vexa::Reader<VexaData<float>>(dir.file(file.name)).read(data, 0, nullptr, -1);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
    EXPECT_EQ(err.text(), "");
    if (file.name == "half.nii.gz") {
      // Some of the data could be read: the count says how much.
      EXPECT_EQ(message.rfind(dir.file(file.name) + ": truncated image data (", 0), 0u) << message;
      EXPECT_EQ(message.find("(0 of"), std::string::npos) << message;
    } else {
      EXPECT_EQ(message, dir.file(file.name) + ": " + file.message);
    }
  }
}

TEST(HostileFiles, AnImageBeyondTheVolumeLimitIsRefusedBeforeItIsRead) {
  TempDir dir;
  // 32767 x 32767 x 2 x 2 floats: 17 GB, a sparse file that takes no room on disk.
  std::string b = nifti1();
  put<std::int16_t>(b, 42, 32767);
  put<std::int16_t>(b, 44, 32767);
  writeFile(dir.file("big.nii"), b.substr(0, 352));
  ASSERT_EQ(::truncate(dir.file("big.nii").c_str(), 352 + 32767LL * 32767 * 2 * 2 * 4), 0);
  try {
    VexaData<float> data;
    vexa::Reader<VexaData<float>>(dir.file("big.nii")).read(data, 0, nullptr, -1);
    ADD_FAILURE() << "accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), dir.file("big.nii") +
                                         ": attempt to allocate a volume which size is greater "
                                         "than allowed by the system (4294967295 bytes)");
  }
}

TEST(HostileFiles, TheProgramGivesOneLineAndStatusOne) {
  TempDir dir;
  for (const Hostile& file : hostileFiles(dir)) {
    SCOPED_TRACE(file.name);
    writeFile(dir.file(file.name), file.bytes);
    // A 1 GiB address space: a header's claims must not turn into a reservation. (The
    // address sanitizer's shadow memory alone needs more: there the limit is left out.)
    Process run({MIRLUNE_BINARY, "-i", file.name, "-o", "out"}, dir.path(), dir.file("err"), [] {
#if !MIRLUNE_ADDRESS_SANITIZER
      const rlimit limit{1u << 30, 1u << 30};
      ::setrlimit(RLIMIT_AS, &limit);
#endif
    });
    std::string line;
    EXPECT_FALSE(run.readLine(line)) << line;
    EXPECT_EQ(run.wait(), 1);
    const std::string err = readFile(dir.file("err"));
    EXPECT_EQ(err.rfind(std::string(MIRLUNE_BINARY) + ": " + file.name + ": ", 0), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    EXPECT_EQ(err.find("** ERROR"), std::string::npos) << err;
    EXPECT_EQ(readFile(dir.file("out/mask.nii")), "");
  }
}

TEST(HostileFiles, NumbersATypeCannotHoldInTheHeaderExtension) {
  TempDir dir;
  for (const std::string value : {"[4,3,2,1e10]", "[4,3,2,-3e9]", "[4,3,2,2.5]", "[4,3,2,null]"}) {
    for (const std::string type : {"vector of S32", "vector of S16"}) {
      SCOPED_TRACE(value + " " + type);
      // The little image with an extension of ours whose list of numbers is damaged.
      writeFile(dir.file("ext.nii"), withOurExtension(nifti1(), "volume_dimension", type, value));
      VexaData<float> back;
      vexa::Reader<VexaData<float>>(dir.file("ext.nii")).read(back, 0, nullptr, -1);
      // The damaged extension is set aside; the header fields give the dimensions.
      EXPECT_EQ(back.pythonHeader()->getProperty("volume_dimension")->value<std::vector<int>>(),
                (std::vector<int>{4, 3, 2, 2}));
    }
  }
  // The writer's own extension still comes back whole.
  VexaData<float> data(4, 3, 2, 2, 0);
  data.pythonHeader()->setProperty("note", norbe::makeObject(std::vector<float>{1.5f, -2e30f}));
  vexa::Writer<VexaData<float>>(dir.file("ours.nii")).write(data);
  VexaData<float> back;
  vexa::Reader<VexaData<float>>(dir.file("ours.nii")).read(back, 0, nullptr, -1);
  EXPECT_EQ(back.pythonHeader()->getProperty("note")->value<std::vector<float>>(), (std::vector<float>{1.5f, -2e30f}));
}

TEST(HostileFiles, AnOffsetBeyondAPairsDataFileIsRefused) {
  TempDir dir;
  for (const double offset : {2147483648.0, 5e9, 1e17}) {
    SCOPED_TRACE(offset);
    std::string header = nifti1().substr(0, 348);
    std::memcpy(&header[344], "ni1", 4);
    put<float>(header, 108, static_cast<float>(offset));
    writeFile(dir.file("pair.hdr"), header);
    writeFile(dir.file("pair.img"), std::string(4 * 3 * 2 * 2 * 4, '\1'));
    try {
      VexaData<float> data;
      vexa::Reader<VexaData<float>>(dir.file("pair.hdr")).read(data, 0, nullptr, -1);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), dir.file("pair.hdr") + ": truncated image data (0 of 192 bytes)");
    }
  }
}

TEST(HostileFiles, ANameWithoutAKnownEndingIsReadByItsContent) {
  TempDir dir;
  std::string image = nifti1();
  for (std::size_t at = 352, i = 0; at + 4 <= image.size(); at += 4, ++i) put<float>(image, at, 1.0f + i);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"series_v1", image}, {"series.dat", image}, {"series.gz", gzip(image)}};
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    writeFile(dir.file(name), bytes);
    VexaData<float> data;
    vexa::Reader<VexaData<float>>(dir.file(name)).read(data, 0, nullptr, -1);
    ASSERT_EQ(data.dimT(), 2);
    EXPECT_EQ(data(3, 2, 1, 1), 1.0f + 47);
  }
  // What is not a NIfTI file is called so, and only then.
  writeFile(dir.file("notes.dat"), std::string(400, 'x'));
  try {
    VexaData<float> data;
    vexa::Reader<VexaData<float>>(dir.file("notes.dat")).read(data, 0, nullptr, -1);
    ADD_FAILURE() << "accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              dir.file("notes.dat") + ": not a NIfTI or ANALYZE image, or its header is damaged");
  }
}

TEST(HostileFiles, AFileThatCannotBeOpenedSaysWhy) {
#if MIRLUNE_ADDRESS_SANITIZER
  GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own: at this limit its checks misfire";
#endif
  TempDir dir;
  writeFile(dir.file("a.nii"), nifti1());
  // One descriptor short: the library cannot open the file twice, and the line says so.
  Process run({MIRLUNE_BINARY, "-i", "a.nii", "-o", "out"}, dir.path(), dir.file("err"), [] {
    const rlimit limit{7, 7};
    ::setrlimit(RLIMIT_NOFILE, &limit);
  });
  std::string line;
  while (run.readLine(line)) {
  }
  EXPECT_EQ(run.wait(), 1);
  const std::string err = readFile(dir.file("err"));
  EXPECT_NE(err.find("Too many open files"), std::string::npos) << err;
  EXPECT_EQ(err.find("damaged"), std::string::npos) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

TEST(HostileFiles, TheHeaderWinsOverOurExtension) {
  // Our own extension, claiming what the header fields say otherwise: the header places the
  // image, and values of the wrong shape or type are set aside, not fatal.
  struct Case {
    std::string type, key, value;
  };
  const Case cases[] = {
      {"vector of FLOAT", "srow", "[null,null,null,null,null,null,null,null,null,null,null,null]"},
      {"vector of FLOAT", "srow", "[]"},
      {"vector of FLOAT", "voxel_size", "[null,null,null,null]"},
      {"S32", "qform_code", "99999"},
      {"vector of FLOAT", "volume_dimension", "[4.5,3,2,2]"},
      {"S32", "volume_dimension", "\"text\""},
  };
  TempDir dir;
  std::string plain = nifti1();
  put<std::int16_t>(plain, 252, 1);  // qform_code: scanner
  put<std::int16_t>(plain, 254, 1);  // sform_code
  const float srow[12] = {2, 0, 0, -3, 0, 2, 0, -2, 0, 0, 2, -1};
  for (int i = 0; i < 12; ++i) put<float>(plain, 280 + 4 * i, srow[i]);
  for (int i = 1; i <= 3; ++i) put<float>(plain, 76 + 4 * i, 2.0f);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key + " = " + c.value);
    writeFile(dir.file("ext.nii"), withOurExtension(plain, c.key, c.type, c.value));
    Process run({MIRLUNE_BINARY, "-i", "ext.nii", "-o", "out"}, dir.path(), dir.file("err"));
    std::string line;
    while (run.readLine(line)) {
    }
    ASSERT_EQ(run.wait(), 0) << readFile(dir.file("err"));
    nifti_image* out = nifti_image_read(dir.file("out/ratFiltre.nii").c_str(), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->qform_code, 1);
    EXPECT_EQ(out->sform_code, 1);
    EXPECT_EQ(out->nt, 2);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(out->sto_xyz.m[i / 4][i % 4], srow[i]) << i;
    EXPECT_EQ(out->dx, 2.0);
    EXPECT_EQ(out->dz, 2.0);
    nifti_image_free(out);
  }
}

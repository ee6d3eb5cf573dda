#pragma once
// What the reader and the writers of image files share.

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace vexa {

//! Every failure of a file names it first.
[[noreturn]] inline void failFile(const std::string& file, const std::string& why) {
  throw std::runtime_error(file + ": " + why);
}

//! A zlib stream (compressed or plain) closed when it goes.
struct GzClose {
  void operator()(gzFile_s* file) const { gzclose(file); }
};
using GzPtr = std::unique_ptr<gzFile_s, GzClose>;

inline bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

//! Threads worth using on a block of bytes: a few megabytes each at least.
int partsForBytes(std::int64_t bytes, int threads);

}  // namespace vexa

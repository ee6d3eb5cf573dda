#pragma once
// What the reader and the writers of image files share: zlib streams, name endings and
// how many threads a block of bytes is worth.

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>

#include "imaging/run/failure.h"

namespace vexa {

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

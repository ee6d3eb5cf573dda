// libFuzzer target: the image reader on any bytes, in each form of file it reads.

#include <cstdlib>
#include <string>

#include "tests/fuzz/reader_harness.h"

namespace {

const std::string& folder() {
  static const std::string made = [] {
    char pattern[] = "/dev/shm/mirlune-fuzz-XXXXXX";  // memory, not disk: a file per input
    const char* path = ::mkdtemp(pattern);
    return std::string(path ? path : "/tmp");
  }();
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::readAsImage(data, size, folder());
  return 0;
}

#pragma once
// How a failure about a file is told: one line that names the file first.

#include <stdexcept>
#include <string>

namespace vexa {

//! Throws std::runtime_error "file: why".
[[noreturn]] inline void failFile(const std::string& file, const std::string& why) {
  throw std::runtime_error(file + ": " + why);
}

}  // namespace vexa

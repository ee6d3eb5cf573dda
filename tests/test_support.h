#pragma once
// Small helpers shared by the tests: temporary folders and captured output.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace testing_support {

//! A fresh folder removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/mirlune-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    _path = made ? made : "/tmp";
  }
  ~TempDir() { std::system(("rm -rf '" + _path + "'").c_str()); }
  const std::string& path() const { return _path; }
  std::string file(const std::string& name) const { return _path + "/" + name; }

 private:
  std::string _path;
};

//! Collects what is written on file descriptor 2 while it lives (the C library included).
class CapturedStderr {
 public:
  CapturedStderr() {
    std::fflush(stderr);
    _file = std::tmpfile();
    _saved = ::dup(2);
    ::dup2(::fileno(_file), 2);
  }
  ~CapturedStderr() {
    restore();
    std::fclose(_file);
  }
  std::string text() {
    restore();
    std::string out;
    std::rewind(_file);
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, _file)) > 0) out.append(buffer, n);
    return out;
  }

 private:
  void restore() {
    if (_saved < 0) return;
    std::fflush(stderr);
    ::dup2(_saved, 2);
    ::close(_saved);
    _saved = -1;
  }
  std::FILE* _file;
  int _saved;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

}  // namespace testing_support

#pragma once
// Small helpers shared by the tests: temporary folders and captured output.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

// MIRLUNE_ADDRESS_SANITIZER is 1 in a build with the address sanitizer, whichever compiler made it.
#if defined(__SANITIZE_ADDRESS__)
#define MIRLUNE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MIRLUNE_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef MIRLUNE_ADDRESS_SANITIZER
#define MIRLUNE_ADDRESS_SANITIZER 0
#endif

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

//! Collects what a block writes on std::cout.
class CapturedOutput {
 public:
  CapturedOutput() : _old(std::cout.rdbuf(_buffer.rdbuf())) {}
  ~CapturedOutput() { std::cout.rdbuf(_old); }
  std::string text() const { return _buffer.str(); }

 private:
  std::ostringstream _buffer;
  std::streambuf* _old;
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

inline bool fileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

//! The names in a folder (hidden ones included, not "." and ".."), sorted; none when it is absent.
inline std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

/*!
 * A program started by fork and exec, its standard output on a pipe read line by line,
 * its standard error in a file. prepare runs in the child before exec (limits, affinity).
 */
class Process {
 public:
  Process(const std::vector<std::string>& args, const std::string& cwd, const std::string& errFile,
          const std::function<void()>& prepare = {}) {
    int out[2];
    if (::pipe(out) != 0) return;
    _pid = ::fork();
    if (_pid == 0) {
      ::dup2(out[1], 1);
      const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, 2);
      ::close(out[0]);
      if (::chdir(cwd.c_str()) != 0) ::_exit(127);
      if (prepare) prepare();
      std::vector<char*> argv;
      argv.reserve(args.size() + 1);
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    _out = ::fdopen(out[0], "r");
  }
  ~Process() {
    if (_pid > 0 && !_waited) {
      ::kill(_pid, SIGKILL);
      wait();
    }
    if (_out) std::fclose(_out);
  }

  pid_t pid() const { return _pid; }
  //! The next line of standard output without its line end; false at the end.
  bool readLine(std::string& line) {
    line.clear();
    if (!_out) return false;
    for (int c; (c = std::fgetc(_out)) != EOF;) {
      if (c == '\n') return true;
      line += static_cast<char>(c);
    }
    return !line.empty();
  }
  void signal(int number) const { ::kill(_pid, number); }
  //! True while the program runs; false once it has ended (and been waited for).
  bool running() {
    if (_waited) return false;
    int raw = 0;
    if (::waitpid(_pid, &raw, WNOHANG) != _pid) return true;
    _waited = true;
    _status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
  }
  //! The exit status (0 to 255), or 128 + the signal that ended it.
  int wait() {
    if (_waited) return _status;
    int raw = 0;
    while (::waitpid(_pid, &raw, 0) < 0 && errno == EINTR) {
    }
    _waited = true;
    _status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return _status;
  }

 private:
  pid_t _pid = -1;
  std::FILE* _out = nullptr;
  bool _waited = false;
  int _status = -1;
};

//! What a program that ran to its end said: its status, standard output and standard error.
struct Outcome {
  int status = -1;
  std::string out, err;
};

//! Runs argv (the program first) in cwd to its end; standard error passes through cwd/.err.
inline Outcome runToEnd(const std::vector<std::string>& argv, const std::string& cwd) {
  Process process(argv, cwd, cwd + "/.err");
  Outcome outcome;
  for (std::string line; process.readLine(line);) outcome.out += line + "\n";
  outcome.status = process.wait();
  outcome.err = readFile(cwd + "/.err");
  std::remove((cwd + "/.err").c_str());
  return outcome;
}

//! word between single quotes, as a POSIX shell reads it back.
inline std::string shellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace testing_support

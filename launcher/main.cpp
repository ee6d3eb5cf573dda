// setuprun: from the top folder of an installation, runs the post-install
// configuration script with the interpreter the installation carries, with the
// installation's lib folder first on the search path. Its exit status is the script's.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "launcher/launch_plan.h"

#ifdef _WIN32
#include <direct.h>
#include <process.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

std::optional<std::string> currentDirectory() {
#ifdef _WIN32
  char* path = _getcwd(nullptr, 0);
#else
  char* path = ::getcwd(nullptr, 0);  // sized by the C library: no fixed buffer
#endif
  if (!path) return std::nullopt;
  std::string result(path);
  std::free(path);
  return result;
}

std::optional<std::string> environmentPath() {
  const char* value = std::getenv("PATH");
  if (!value) return std::nullopt;
  return std::string(value);
}

int fail(const char* program, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program, message.c_str());
  return 1;
}

#ifndef _WIN32
//! The running program's own file, symlinks resolved: the installation is where it lies,
//! whatever argv[0], the current folder or PATH say.
std::optional<std::string> runningProgram() {
  std::vector<char> buffer(256);
  while (true) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}
#endif

}  // namespace

int main(int, char** argv) {
  const char* program = argv[0] ? argv[0] : "setuprun";
#ifdef _WIN32
  const std::string self = program;
  const std::string directory = setuprun::installationDirectory(self);
  const auto platform = setuprun::Platform::Windows;
  if (_chdir(directory.c_str()) != 0) {
    return fail(program, "cannot enter " + directory + ": " + std::strerror(errno));
  }
#else
  const std::optional<std::string> found = runningProgram();
  if (!found) return fail(program, std::string("cannot find its own file (/proc/self/exe): ") + std::strerror(errno));
  const std::string& self = *found;
  const std::string directory = setuprun::installationDirectory(self);
  const auto platform = setuprun::Platform::Posix;
  if (::chdir(directory.c_str()) != 0) {
    return fail(program, "cannot enter " + directory + ": " + std::strerror(errno));
  }
#endif
  const setuprun::LaunchPlan plan = setuprun::makePlan(self, currentDirectory(), environmentPath(), platform);
  if (!plan.refusal.empty()) return fail(program, plan.refusal);

#ifdef _WIN32
  if (!plan.pathAssignment.empty()) _putenv(plan.pathAssignment.c_str());
  const int status = std::system(plan.commandLine.c_str());
  if (status == -1) return fail(program, "cannot start " + plan.interpreter + ": " + std::strerror(errno));
  return status;
#else
  if (!plan.pathAssignment.empty()) ::setenv("PATH", plan.pathAssignment.c_str() + 5, 1);
  std::vector<char*> arguments;
  for (const std::string& argument : plan.arguments) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  pid_t child = 0;
  const int error = ::posix_spawn(&child, plan.interpreter.c_str(), nullptr, nullptr, arguments.data(), environ);
  if (error != 0) return fail(program, "cannot start " + plan.interpreter + ": " + std::strerror(error));
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return fail(program, std::string("lost the configuration script: ") + std::strerror(errno));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
#endif
}

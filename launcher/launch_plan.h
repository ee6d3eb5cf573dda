#pragma once
// Everything setuprun derives from its program path, as plain strings, so that it
// can be checked for either platform's conventions on any platform.

#include <optional>
#include <string>
#include <vector>

namespace setuprun {

enum class Platform { Windows, Posix };

extern const char* const kScriptName;  // "build-configSubInstall.py"

struct LaunchPlan {
  std::string installationDirectory;   //!< where the program lies; "." when the path names none
  std::string interpreter;             //!< relative to the installation directory
  std::string scriptArgument;          //!< the script as the interpreter is given it
  std::string pathAssignment;          //!< "PATH=...", empty when PATH is to stay untouched
  std::string commandLine;             //!< the whole command, as one line
  std::vector<std::string> arguments;  //!< the same as an argument vector (no shell involved)
  std::string refusal;                 //!< why the plan cannot run, empty when it can
};

//! The folder part of a program path: before its last '/' or '\\', or "." when there is none.
std::string installationDirectory(const std::string& programPath);

/*!
 * The plan for programPath, given the current directory after moving into the
 * installation (absent when it cannot be read) and the old search path (absent when unset).
 * An empty or absent search path gives the lib folder alone (an empty entry would name the
 * current folder). An installation folder holding the search path's separator cannot be
 * put on it: the plan is then refused.
 */
LaunchPlan makePlan(const std::string& programPath, const std::optional<std::string>& currentDirectory,
                    const std::optional<std::string>& oldPath, Platform platform);

}  // namespace setuprun

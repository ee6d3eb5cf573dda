#include "launcher/launch_plan.h"

namespace setuprun {

const char* const kScriptName = "build-configSubInstall.py";

std::string installationDirectory(const std::string& programPath) {
  const std::size_t last = programPath.find_last_of("/\\");
  // No separator, or only a leading one: the current directory.
  if (last == std::string::npos || last == 0) return ".";
  return programPath.substr(0, last);
}

LaunchPlan makePlan(const std::string& programPath, const std::optional<std::string>& currentDirectory,
                    const std::optional<std::string>& oldPath, Platform platform) {
  const bool windows = platform == Platform::Windows;
  const char separator = windows ? '\\' : '/';
  const char listSeparator = windows ? ';' : ':';
  LaunchPlan plan;
  plan.installationDirectory = installationDirectory(programPath);
  plan.interpreter = windows ? ".\\lib\\python\\python.exe" : "./lib/python/bin/python3";
  if (windows) {
    // The command line goes through a shell: the script path is quoted.
    plan.scriptArgument = "\"" + plan.installationDirectory + separator + kScriptName + "\"";
  } else {
    // Once inside the installation, a relative folder would name the wrong place.
    const bool absolute = plan.installationDirectory[0] == '/';
    const std::string base = absolute ? plan.installationDirectory : currentDirectory.value_or(".");
    plan.scriptArgument = base + separator + kScriptName;
  }
  if (currentDirectory) {
    if (currentDirectory->find(listSeparator) != std::string::npos) {
      plan.refusal = "the installation folder " + *currentDirectory + " holds '" + listSeparator +
                     "', which cannot be put on PATH; move the installation";
    }
    plan.pathAssignment = "PATH=" + *currentDirectory + separator + "lib";
    if (oldPath && !oldPath->empty()) plan.pathAssignment += listSeparator + *oldPath;
  }
  plan.commandLine = plan.interpreter + " " + plan.scriptArgument;
  plan.arguments = {plan.interpreter, plan.scriptArgument};
  return plan;
}

}  // namespace setuprun

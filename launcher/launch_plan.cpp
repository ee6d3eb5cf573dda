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
  LaunchPlan plan;
  plan.installationDirectory = installationDirectory(programPath);
  if (platform == Platform::Windows) {
    plan.interpreter = ".\\lib\\python\\python.exe";
    plan.scriptArgument = "\"" + plan.installationDirectory + "\\" + kScriptName + "\"";
    if (currentDirectory) {
      plan.pathAssignment = "PATH=" + *currentDirectory + "\\lib";
      if (oldPath) plan.pathAssignment += ";" + *oldPath;
    }
    plan.commandLine = plan.interpreter + " " + plan.scriptArgument;
    plan.arguments = {plan.interpreter, plan.scriptArgument};
    return plan;
  }

  plan.interpreter = "./lib/python/bin/python3";
  // Once inside the installation, a relative folder would name the wrong place.
  const bool absolute = !plan.installationDirectory.empty() && plan.installationDirectory[0] == '/';
  const std::string base = absolute ? plan.installationDirectory : currentDirectory.value_or(".");
  plan.scriptArgument = base + "/" + kScriptName;
  if (currentDirectory) {
    plan.pathAssignment = "PATH=" + *currentDirectory + "/lib";
    if (oldPath) plan.pathAssignment += ":" + *oldPath;
  }
  plan.commandLine = plan.interpreter + " " + plan.scriptArgument;
  plan.arguments = {plan.interpreter, plan.scriptArgument};
  return plan;
}

}  // namespace setuprun

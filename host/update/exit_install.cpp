#include "host/update/exit_install.hpp"

#include "host/update/host_update_controller.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

ExitInstall installStagedUpdateOnExit(const std::optional<StagedUpdate>& staged, const std::filesystem::path& installDir,
                                      const std::string& runningBuild, JsonStore& settings,
                                      const RenameOperation& rename) {
  if (installDir.empty() || !staged) return ExitInstall::nothingStaged;
  const std::optional<std::string> stagedBuild = staged->build;
  if (auto failure = installStagedUpdate(*staged, installDir, runningBuild, rename)) {
    // The old release is there, whole, to start again and say why.
    SystemLog::write("tavlo-host: update not installed: " + *failure);
    settings.set(HostUpdateController::installFailureKey, JsonValue(*failure));
    settings.set(HostUpdateController::failedBuildKey, JsonValue(stagedBuild.value_or("")));
    return ExitInstall::failed;
  }
  SystemLog::write("tavlo-host: update installed in " + installDir.string());
  // For the next start of the program in this folder, and only that one, to report.
  settings.set(HostUpdateController::installedBuildKey, JsonValue(stagedBuild.value_or("")));
  settings.set(HostUpdateController::installedFromBuildKey, JsonValue(runningBuild));
  settings.set(HostUpdateController::installedFolderKey, JsonValue(installDir.string()));
  return ExitInstall::installed;
}

}  // namespace tavlo

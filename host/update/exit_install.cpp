#include "host/update/exit_install.hpp"

#include "host/update/host_update_controller.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

ExitInstall installStagedUpdateOnExit(const std::filesystem::path& installDir, const std::string& runningBuild,
                                      JsonStore& settings, const RenameOperation& rename) {
  const std::filesystem::path staging = updateStagingDir(installDir);
  if (installDir.empty() || !hasStagedUpdate(staging)) return ExitInstall::nothingStaged;
  const std::optional<std::string> stagedBuild = readUpdateBuild(staging);
  if (auto failure = installStagedUpdate(staging, installDir, runningBuild, rename)) {
    // The old release is there, whole, to start again and say why.
    SystemLog::write("tavlo-host: update not installed: " + *failure);
    settings.set(HostUpdateController::installFailureKey, JsonValue(*failure));
    settings.set(HostUpdateController::failedBuildKey, JsonValue(stagedBuild.value_or("")));
    return ExitInstall::failed;
  }
  SystemLog::write("tavlo-host: update installed in " + installDir.string());
  return ExitInstall::installed;
}

}  // namespace tavlo

#pragma once
// The install a program makes as it ends: the staged release switched in, or the failure kept for the
// next start, which shows it in the Updates pane (see HostUpdateController).
#include <filesystem>
#include <string>

#include "host/update/update_installer.hpp"
#include "platform/runtime/json_store.hpp"

namespace tavlo {

enum class ExitInstall { nothingStaged, installed, failed };

// Installs only `staged`, what this process itself staged after verifying it: nothing staged, nothing
// happens, whatever lies on disk.
ExitInstall installStagedUpdateOnExit(const std::optional<StagedUpdate>& staged, const std::filesystem::path& installDir,
                                      const std::string& runningBuild, JsonStore& settings,
                                      const RenameOperation& rename = renameWithFlags);

}  // namespace tavlo

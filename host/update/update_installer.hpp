#pragma once
// Staging and installing a verified update. The archive is unpacked into a staging folder inside the
// install folder (the same file system), and installing moves each staged file over its old copy with
// rename(): the running program is replaced, never written in place, and each file is at every moment
// either wholly old or wholly new.
#include <filesystem>
#include <optional>
#include <string>

#include "host/update/update_archive.hpp"

namespace tavlo {

// The file beside the program that names its build; an update archive carries it.
inline constexpr const char* updateBuildFileName = "tavlo-build";
// The file beside it that names the version people read.
inline constexpr const char* updateVersionFileName = "tavlo-version";

// The build named by the build file in `folder`; none when it cannot be read or is not one short line.
std::optional<std::string> readUpdateBuild(const std::filesystem::path& folder);

// The staging folder of an install folder.
std::filesystem::path updateStagingDir(const std::filesystem::path& installDir);

// Writes the archive's entries under a fresh `stagingDir` (an earlier one is removed first), which
// appears only once every entry is written; the failure's text otherwise, with nothing left staged.
std::optional<std::string> stageUpdate(const UpdateArchive& archive, const std::filesystem::path& stagingDir);

// Whether an update is staged.
bool hasStagedUpdate(const std::filesystem::path& stagingDir);

// Moves every staged file into `installDir` and removes the staging folder; the failure's text
// otherwise. Nothing staged: nothing happens and no failure. A staged build that is not newer than
// `runningBuild` is removed instead: a staging left by a process that ended before installing it may be
// older than a build put in place since.
std::optional<std::string> installStagedUpdate(const std::filesystem::path& stagingDir,
                                               const std::filesystem::path& installDir,
                                               const std::string& runningBuild);

}  // namespace tavlo

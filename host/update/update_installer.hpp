#pragma once
// Staging and installing a verified update. A release is a whole folder: the program and what lies
// beside it. The archive is unpacked into a staging folder beside the install folder (the same parent,
// so the same file system), and installing switches the two folders with one atomic rename: at every
// moment the install folder holds either the whole old release or the whole new one. The running
// program is never written in place; its open files keep the old bytes.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "host/update/update_archive.hpp"

namespace tavlo {

// The file in a release folder that names its build; every update archive carries it.
inline constexpr const char* updateBuildFileName = "tavlo-build";
// The file beside it that names the version people read.
inline constexpr const char* updateVersionFileName = "tavlo-version";

// The build named by the build file in `folder`; none when it cannot be read or is not one short line.
std::optional<std::string> readUpdateBuild(const std::filesystem::path& folder);
// The version named by the version file in `folder`, read the same way.
std::optional<std::string> readUpdateVersion(const std::filesystem::path& folder);

// The staging folder of an install folder: a hidden folder beside it.
std::filesystem::path updateStagingDir(const std::filesystem::path& installDir);

// Writes the archive's entries under a fresh `stagingDir` (an earlier one is removed first), which
// appears only once every entry is written; the failure's text otherwise, with nothing left staged.
std::optional<std::string> stageUpdate(const UpdateArchive& archive, const std::filesystem::path& stagingDir);

// Whether an update is staged.
bool hasStagedUpdate(const std::filesystem::path& stagingDir);

// Whether the staged release may replace the one in `installDir`: its build file names a build number
// newer than `runningBuild`, and the two folders can be switched in one step. The failure's text
// otherwise. The engine asks before it has the program quit to install, the installer before it
// switches: one check decides both, so the program never quits for an install that would be refused.
std::optional<std::string> checkStagedUpdate(const std::filesystem::path& stagingDir,
                                             const std::filesystem::path& installDir, const std::string& runningBuild);

// The one file operation that switches releases: renameat2(2) of `from` to `to` with `flags`; 0 or the
// errno. Tests put a failing one in its place.
using RenameOperation = std::function<int(const std::filesystem::path& from, const std::filesystem::path& to,
                                          unsigned flags)>;
int renameWithFlags(const std::filesystem::path& from, const std::filesystem::path& to, unsigned flags);

// Switches the staged release into `installDir` and removes the old one; the failure's text otherwise,
// with the install folder exactly as it was. Nothing staged: nothing happens and no failure. A staged
// release that checkStagedUpdate refuses is not installed; one that is not newer is removed (a staging
// left by a process that ended before installing it may be older than a build put in place since).
std::optional<std::string> installStagedUpdate(const std::filesystem::path& stagingDir,
                                               const std::filesystem::path& installDir, const std::string& runningBuild,
                                               const RenameOperation& rename = renameWithFlags);

}  // namespace tavlo

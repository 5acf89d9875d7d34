#pragma once
// Staging and installing a verified update. A release is a whole folder: the program and what lies
// beside it. The archive is unpacked into a private staging folder beside the install folder (the same
// parent, so the same file system), and installing switches the two folders with one atomic rename: at every
// moment the install folder holds either the whole old release or the whole new one. The running
// program is never written in place; its open files keep the old bytes.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "host/update/update_archive.hpp"
#include "platform/crypto/sha256.hpp"

namespace tavlo {

// The file in a release folder that names its build; every update archive carries it.
inline constexpr const char* updateBuildFileName = "tavlo-build";
// The file beside it that names the version people read.
inline constexpr const char* updateVersionFileName = "tavlo-version";

// The build named by the build file in `folder`; none when it cannot be read or is not one short line.
std::optional<std::string> readUpdateBuild(const std::filesystem::path& folder);
// The version named by the version file in `folder`, read the same way.
std::optional<std::string> readUpdateVersion(const std::filesystem::path& folder);

// What this process staged: a folder it created itself beside the install folder (the same file
// system), mode 0700, so that only the user can create entries in it; the release inside it; and the
// digest of the verified archive's files. Kept in memory only: a folder found on disk proves nothing,
// however it is named, and is never installed.
struct StagedUpdate {
  std::filesystem::path folder;  // ".<install folder's name>.tavlo-update.XXXXXX" beside it
  std::string build;
  crypto::Sha256Digest manifest{};
  uint64_t device = 0, inode = 0;  // of `folder`, as created

  std::filesystem::path release() const { return folder / "release"; }
};

// The digest of an archive's files: each path, whether it is executable, and the SHA-256 of its bytes,
// in path order. The same files read back from a staged release give the same digest.
crypto::Sha256Digest updateManifest(const UpdateArchive& archive);

struct Staging {
  std::optional<StagedUpdate> staged;
  std::optional<std::string> failure;  // why nothing was staged
};

// Writes the archive's files into a fresh private staging folder beside `installDir`, after removing
// what earlier stagings of this user left there. The folder is handed back only once every file is
// written and on disk.
Staging stageUpdate(const UpdateArchive& archive, const std::filesystem::path& installDir);

// Whether the staged release may replace the one in `installDir`: its build file names a build number
// newer than `runningBuild`, and the two folders can be switched in one step. The failure's text
// otherwise. The engine asks before it has the program quit to install, the installer before it
// switches: one check decides both, so the program never quits for an install that would be refused.
// Before either, the staging must still be what this process staged: its folder the one it created,
// the user's own, closed to group and others and no link, and every entry in the release likewise,
// holding exactly the verified files.
std::optional<std::string> checkStagedUpdate(const StagedUpdate& staged, const std::filesystem::path& installDir,
                                             const std::string& runningBuild);

// The one file operation that switches releases: renameat2(2) of `from` to `to` with `flags`; 0 or the
// errno. Tests put a failing one in its place.
using RenameOperation = std::function<int(const std::filesystem::path& from, const std::filesystem::path& to,
                                          unsigned flags)>;
int renameWithFlags(const std::filesystem::path& from, const std::filesystem::path& to, unsigned flags);

// Switches the staged release into `installDir` and removes the old one; the failure's text otherwise,
// with the install folder exactly as it was. A staging that checkStagedUpdate refuses is not installed;
// one that is not newer, or not what was verified, is removed when it is the user's own to remove.
std::optional<std::string> installStagedUpdate(const StagedUpdate& staged, const std::filesystem::path& installDir,
                                               const std::string& runningBuild,
                                               const RenameOperation& rename = renameWithFlags);

}  // namespace tavlo

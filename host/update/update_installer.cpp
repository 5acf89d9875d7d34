#include "host/update/update_installer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "host/update/update_feed.hpp"
#include "platform/runtime/private_files.hpp"

namespace tavlo {
namespace fs = std::filesystem;

namespace {

// Makes the folder's entries durable, as fsync does for a file's bytes.
bool syncFolder(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

// Where an archive is unpacked until every file is written.
fs::path partialStagingDir(const fs::path& stagingDir) {
  fs::path partial = stagingDir;
  partial += ".partial";
  return partial;
}

}  // namespace

std::optional<std::string> readUpdateBuild(const fs::path& folder) {
  std::ifstream in(folder / updateBuildFileName);
  std::string build;
  if (!in || !std::getline(in, build)) return std::nullopt;
  while (!build.empty() && (build.back() == '\r' || build.back() == ' ')) build.pop_back();
  if (build.empty() || build.size() > 64) return std::nullopt;
  return build;
}

fs::path updateStagingDir(const fs::path& installDir) { return installDir / ".tavlo-update"; }

std::optional<std::string> stageUpdate(const UpdateArchive& archive, const fs::path& stagingDir) {
  // Only a complete staging carries the staging folder's name: a process that ends part-way leaves a
  // partial folder, which is never installed and which the next staging removes.
  const fs::path partial = partialStagingDir(stagingDir);
  std::error_code ec;
  fs::remove_all(partial, ec);
  fs::remove_all(stagingDir, ec);
  if (!fs::create_directory(partial, ec) || ec) return "cannot create the staging folder " + partial.string();
  auto fail = [&](std::string why) {
    fs::remove_all(partial, ec);
    return std::optional<std::string>(std::move(why));
  };
  for (const UpdateArchiveEntry& entry : archive.entries) {
    const fs::path target = partial / entry.path;
    fs::create_directories(entry.directory ? target : target.parent_path(), ec);
    if (ec) return fail("cannot create the folder for " + entry.path);
    if (entry.directory) continue;
    // On disk before the rename that makes the staging complete.
    if (auto error = writeFileAtomically(target, entry.data, entry.executable ? 0755 : 0644)) return fail(*error);
  }
  // The files' names on disk too, before the rename that makes the staging complete.
  std::vector<fs::path> folders{partial};
  for (auto it = fs::recursive_directory_iterator(partial, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_directory(ec)) folders.push_back(it->path());
  }
  for (const fs::path& folder : folders) {
    if (ec || !syncFolder(folder)) return fail("cannot write the folder " + folder.string());
  }
  if (::rename(partial.c_str(), stagingDir.c_str()) != 0) {
    return fail("cannot complete the staging folder " + stagingDir.string());
  }
  (void)syncFolder(stagingDir.parent_path());  // the rename itself; a power cut before it only loses the staging
  return std::nullopt;
}

bool hasStagedUpdate(const fs::path& stagingDir) {
  std::error_code ec;
  return fs::is_directory(stagingDir, ec) && !fs::is_empty(stagingDir, ec);
}

std::optional<std::string> installStagedUpdate(const fs::path& stagingDir, const fs::path& installDir,
                                               const std::string& runningBuild) {
  std::error_code ec;
  if (!fs::is_directory(stagingDir, ec)) return std::nullopt;
  if (std::optional<std::string> staged = readUpdateBuild(stagingDir); staged && !isNewerBuild(*staged, runningBuild)) {
    fs::remove_all(stagingDir, ec);
    return "the staged build " + *staged + " is not newer than the running build " + runningBuild + "; removed";
  }
  std::vector<fs::path> files;
  for (auto it = fs::recursive_directory_iterator(stagingDir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) files.push_back(it->path());
  }
  if (ec) return "cannot read the staging folder: " + ec.message();
  // Everything that can be checked is checked before the first file moves, so that a refused install
  // leaves the old files together rather than half replaced.
  for (const fs::path& staged : files) {
    const fs::path target = installDir / staged.lexically_relative(stagingDir);
    fs::create_directories(target.parent_path(), ec);
    if (ec || !fs::is_directory(target.parent_path(), ec)) return "cannot create the folder of " + target.string();
    const fs::file_status existing = fs::symlink_status(target, ec);
    if (fs::exists(existing) && !fs::is_regular_file(existing) && !fs::is_symlink(existing)) {
      return target.string() + " is not a file; nothing installed";
    }
  }
  for (const fs::path& staged : files) {
    const fs::path target = installDir / staged.lexically_relative(stagingDir);
    if (::rename(staged.c_str(), target.c_str()) != 0) {
      return "cannot move " + target.string() + " into place (the rest stays staged)";
    }
  }
  fs::remove_all(stagingDir, ec);
  return std::nullopt;
}

}  // namespace tavlo

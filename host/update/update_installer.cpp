#include "host/update/update_installer.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// The first line of a short text file, without trailing spaces; none when it is missing or empty.
std::optional<std::string> readShortLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  if (line.empty() || line.size() > 64) return std::nullopt;
  return line;
}

// Whether the file system under `parent` switches two folders in one step: tried on two empty ones.
std::optional<std::string> checkFolderSwitch(const fs::path& parent, const fs::path& stagingDir) {
  const fs::path a = stagingDir.string() + ".probe-a", b = stagingDir.string() + ".probe-b";
  std::error_code ec;
  fs::remove_all(a, ec);
  fs::remove_all(b, ec);
  int error = 0;
  if (!fs::create_directory(a, ec) || !fs::create_directory(b, ec)) {
    error = ec.value();
  } else {
    error = renameWithFlags(a, b, RENAME_EXCHANGE);
  }
  fs::remove_all(a, ec);
  fs::remove_all(b, ec);
  if (error == 0) return std::nullopt;
  return "the folder " + parent.string() + " cannot switch releases in one step: " + std::strerror(error);
}

}  // namespace

std::optional<std::string> readUpdateBuild(const fs::path& folder) { return readShortLine(folder / updateBuildFileName); }

std::optional<std::string> readUpdateVersion(const fs::path& folder) {
  return readShortLine(folder / updateVersionFileName);
}

fs::path updateStagingDir(const fs::path& installDir) {
  const fs::path folder = installDir.has_filename() ? installDir : installDir.parent_path();
  return folder.parent_path() / ("." + folder.filename().string() + ".tavlo-update");
}

int renameWithFlags(const fs::path& from, const fs::path& to, unsigned flags) {
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags) == 0 ? 0 : errno;
}

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

namespace {

// Why the staged release is never to be installed over `runningBuild`; none when its build is newer.
std::optional<std::string> checkStagedBuild(const fs::path& stagingDir, const std::string& runningBuild) {
  if (!hasStagedUpdate(stagingDir)) return "no update is staged";
  const std::optional<std::string> staged = readUpdateBuild(stagingDir);
  if (!staged) return "the staged update names no build";
  if (!isWholeBuildNumber(*staged)) return "the staged build " + *staged + " is not a build number";
  if (!isNewerBuild(*staged, runningBuild)) {
    return "the staged build " + *staged + " is not newer than the running build " + runningBuild;
  }
  return std::nullopt;
}

// Why the staging and install folders cannot be switched in one step now; none when they can.
std::optional<std::string> checkReleaseSwitch(const fs::path& stagingDir, const fs::path& installDir) {
  struct stat folder {}, staging {};
  if (::lstat(installDir.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
    return "the install folder " + installDir.string() + " is not a folder";
  }
  if (::lstat(stagingDir.c_str(), &staging) != 0 || staging.st_dev != folder.st_dev) {
    return "the staging folder is on another file system than " + installDir.string();
  }
  return checkFolderSwitch(stagingDir.parent_path(), stagingDir);
}

}  // namespace

std::optional<std::string> checkStagedUpdate(const fs::path& stagingDir, const fs::path& installDir,
                                             const std::string& runningBuild) {
  if (auto refused = checkStagedBuild(stagingDir, runningBuild)) return refused;
  return checkReleaseSwitch(stagingDir, installDir);
}

std::optional<std::string> installStagedUpdate(const fs::path& stagingDir, const fs::path& installDir,
                                               const std::string& runningBuild, const RenameOperation& rename) {
  std::error_code ec;
  if (!fs::is_directory(stagingDir, ec)) return std::nullopt;
  // A build that is not newer never will be: it goes. A switch that cannot be made stays for a later try.
  if (auto refused = checkStagedBuild(stagingDir, runningBuild)) {
    fs::remove_all(stagingDir, ec);
    return *refused + "; removed";
  }
  if (auto refused = checkReleaseSwitch(stagingDir, installDir)) return *refused + "; nothing installed";
  // The new release keeps the folder's own permissions (who may read and run the host).
  if (const fs::file_status folder = fs::status(installDir, ec); !ec) {
    fs::permissions(stagingDir, folder.permissions(), ec);
  }
  if (const int error = rename(stagingDir, installDir, RENAME_EXCHANGE); error != 0) {
    return "cannot switch " + installDir.string() + " to the new release: " + std::strerror(error) +
           "; nothing installed";
  }
  (void)syncFolder(installDir.parent_path());
  // The staging folder's name now holds the old release, which nothing runs from any more.
  fs::remove_all(stagingDir, ec);
  return std::nullopt;
}

}  // namespace tavlo

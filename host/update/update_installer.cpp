#include "host/update/update_installer.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
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

int renameWithFlags(const fs::path& from, const fs::path& to, unsigned flags) {
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags) == 0 ? 0 : errno;
}

namespace {

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// The name every staging folder of `installDir` begins with: hidden, beside it.
std::string stagingPrefix(const fs::path& installDir) {
  const fs::path folder = installDir.has_filename() ? installDir : installDir.parent_path();
  return "." + folder.filename().string() + ".tavlo-update";
}

fs::path installFolder(const fs::path& installDir) {
  return installDir.has_filename() ? installDir : installDir.parent_path();
}

// Removes what earlier stagings of this user left beside the install folder (a process that ended
// before installing). Another account's folders are left alone: they are never installed either.
void removeEarlierStagings(const fs::path& installDir) {
  const fs::path parent = installFolder(installDir).parent_path();
  const std::string prefix = stagingPrefix(installDir);
  std::error_code ec;
  std::vector<fs::path> ours;
  for (auto it = fs::directory_iterator(parent, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    struct stat st {};
    if (name.rfind(prefix, 0) != 0 || ::lstat(it->path().c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) ours.push_back(it->path());
  }
  for (const fs::path& folder : ours) fs::remove_all(folder, ec);
}

// Feeds one file's record to the manifest: path, executable mark and the digest of its bytes.
void addToManifest(std::string& manifest, const std::string& path, bool executable, ByteView bytes) {
  const std::optional<crypto::Sha256Digest> digest = crypto::sha256(bytes);
  manifest += path;
  manifest += '\0';
  manifest += executable ? 'x' : '-';
  if (digest) manifest.append(reinterpret_cast<const char*>(digest->data()), digest->size());
  manifest += '\n';
}

crypto::Sha256Digest digestOf(const std::string& manifest) {
  return crypto::sha256(toBytes(manifest)).value_or(crypto::Sha256Digest{});
}

// Reads the whole open file.
std::optional<Bytes> readDescriptor(int fd) {
  Bytes bytes;
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return bytes;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
}

// Why the open entry is not one the user alone controls: a link, another account's, writable by group
// or others, or neither a folder nor a plain file. Nothing when it is sound.
std::optional<std::string> entryFault(const struct stat& st, const std::string& shownPath) {
  if (S_ISLNK(st.st_mode)) return shownPath + " is a link";
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return shownPath + " is neither a folder nor a file";
  if (st.st_uid != ::geteuid()) return shownPath + " belongs to uid " + std::to_string(st.st_uid);
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return shownPath + " is writable by group or others";
  return std::nullopt;
}

// Walks the staged release below the open folder `dirFd` (never through a link), checking every entry
// and adding every file to `files` (path → executable, digest). The failure's text otherwise.
std::optional<std::string> collectRelease(int dirFd, const std::string& relative, int depth,
                                          std::map<std::string, std::string>& files) {
  if (depth > 64) return "the staged release is nested too deep";
  std::vector<std::string> names;
  {
    const int listFd = ::dup(dirFd);
    DIR* list = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!list) {
      if (listFd >= 0) ::close(listFd);
      return "cannot list the staged release";
    }
    while (const dirent* entry = ::readdir(list)) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(list);
  }
  for (const std::string& name : names) {
    const std::string path = relative.empty() ? name : relative + "/" + name;
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return "cannot read " + path;
    if (auto fault = entryFault(st, "the staged " + path)) return fault;
    Descriptor entry{::openat(dirFd, name.c_str(),
                              (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0) | O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat opened {};
    if (entry.fd < 0 || ::fstat(entry.fd, &opened) != 0 || opened.st_ino != st.st_ino) {
      return "cannot open the staged " + path;
    }
    if (S_ISDIR(st.st_mode)) {
      if (auto failure = collectRelease(entry.fd, path, depth + 1, files)) return failure;
      continue;
    }
    std::optional<Bytes> bytes = readDescriptor(entry.fd);
    if (!bytes) return "cannot read the staged " + path;
    std::string record;
    addToManifest(record, path, (st.st_mode & S_IXUSR) != 0, *bytes);
    files[path] = std::move(record);
  }
  return std::nullopt;
}

// Why the staging is not what this process staged and verified; nothing when it is. `release` is set
// to the release folder's identity as checked.
std::optional<std::string> checkStagedFiles(const StagedUpdate& staged, struct stat* release) {
  Descriptor folder{::open(staged.folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
  struct stat st {};
  if (folder.fd < 0 || ::fstat(folder.fd, &st) != 0) {
    return "the staging folder " + staged.folder.string() + " cannot be opened (gone, or a link)";
  }
  if (st.st_dev != staged.device || st.st_ino != staged.inode) {
    return "the staging folder " + staged.folder.string() + " is not the one this process made";
  }
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    return "the staging folder " + staged.folder.string() + " is not private to this user";
  }
  struct stat top {};
  if (::fstatat(folder.fd, "release", &top, AT_SYMLINK_NOFOLLOW) != 0) return "no release is staged";
  if (auto fault = entryFault(top, "staged release") ; fault || !S_ISDIR(top.st_mode)) {
    return fault.value_or("the staged release is not a folder");
  }
  Descriptor releaseFd{::openat(folder.fd, "release", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
  if (releaseFd.fd < 0 || ::fstat(releaseFd.fd, release) != 0 || release->st_ino != top.st_ino) {
    return "cannot open the staged release";
  }
  std::map<std::string, std::string> files;
  if (auto failure = collectRelease(releaseFd.fd, "", 0, files)) return failure;
  std::string manifest;
  for (const auto& [path, record] : files) manifest += record;
  if (digestOf(manifest) != staged.manifest) return "the staged files are not the verified ones";
  return std::nullopt;
}

}  // namespace

crypto::Sha256Digest updateManifest(const UpdateArchive& archive) {
  std::map<std::string, std::string> files;
  for (const UpdateArchiveEntry& entry : archive.entries) {
    if (entry.directory) continue;
    std::string record;
    addToManifest(record, entry.path, entry.executable, entry.data);
    files[entry.path] = std::move(record);
  }
  std::string manifest;
  for (const auto& [path, record] : files) manifest += record;
  return digestOf(manifest);
}

Staging stageUpdate(const UpdateArchive& archive, const fs::path& installDir) {
  Staging result;
  removeEarlierStagings(installDir);
  // A fresh name made here, 0700: no other account can have put anything in it, now or later.
  std::string pattern = (installFolder(installDir).parent_path() / (stagingPrefix(installDir) + ".XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    result.failure = "cannot create a staging folder beside " + installDir.string() + ": " + std::strerror(errno);
    return result;
  }
  StagedUpdate staged;
  staged.folder = pattern;
  std::error_code ec;
  auto fail = [&](std::string why) {
    fs::remove_all(staged.folder, ec);
    result.failure = std::move(why);
    return result;
  };
  struct stat st {};
  if (::lstat(staged.folder.c_str(), &st) != 0) return fail("cannot read the staging folder " + pattern);
  staged.device = st.st_dev;
  staged.inode = st.st_ino;
  const fs::path release = staged.release();
  // Folders get their mode explicitly: a loose umask must not leave one writable by the group.
  auto makeFolder = [](const fs::path& folder) {
    return (::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST) && ::chmod(folder.c_str(), 0755) == 0;
  };
  if (!makeFolder(release)) return fail("cannot create the staging folder " + release.string());
  std::vector<fs::path> folders{staged.folder, release};
  for (const UpdateArchiveEntry& entry : archive.entries) {
    const fs::path target = release / entry.path;
    const fs::path relative = fs::path(entry.path);
    fs::path folder = release;
    const fs::path parent = entry.directory ? relative : relative.parent_path();
    for (const fs::path& part : parent) {
      folder /= part;
      if (!makeFolder(folder)) return fail("cannot create the folder for " + entry.path);
      folders.push_back(folder);
    }
    if (entry.directory) continue;
    // On disk before the staging is handed over.
    if (auto error = writeFileAtomically(target, entry.data, entry.executable ? 0755 : 0644)) return fail(*error);
  }
  for (const fs::path& folder : folders) {
    if (!syncFolder(folder)) return fail("cannot write the folder " + folder.string());
  }
  (void)syncFolder(staged.folder.parent_path());
  const std::optional<std::string> build = readUpdateBuild(release);
  staged.build = build.value_or("");
  staged.manifest = updateManifest(archive);
  result.staged = std::move(staged);
  return result;
}

namespace {

// Why the staged release is never to be installed over `runningBuild`; none when its build is newer.
std::optional<std::string> checkStagedBuild(const StagedUpdate& staged, const std::string& runningBuild) {
  if (staged.build.empty()) return "the staged update names no build";
  if (!isWholeBuildNumber(staged.build)) return "the staged build " + staged.build + " is not a build number";
  if (!isNewerBuild(staged.build, runningBuild)) {
    return "the staged build " + staged.build + " is not newer than the running build " + runningBuild;
  }
  return std::nullopt;
}

// Why the staging and install folders cannot be switched in one step now; none when they can.
std::optional<std::string> checkReleaseSwitch(const StagedUpdate& staged, const fs::path& installDir) {
  struct stat folder {}, staging {};
  if (::lstat(installDir.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
    return "the install folder " + installDir.string() + " is not a folder";
  }
  if (::lstat(staged.folder.c_str(), &staging) != 0 || staging.st_dev != folder.st_dev) {
    return "the staging folder is on another file system than " + installDir.string();
  }
  return checkFolderSwitch(installFolder(installDir).parent_path(), staged.release());
}

// Removes a staging that will never be installed, when it is still the folder this process made.
void discard(const StagedUpdate& staged) {
  struct stat st {};
  if (::lstat(staged.folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_ino != staged.inode ||
      st.st_uid != ::geteuid()) {
    return;
  }
  std::error_code ec;
  fs::remove_all(staged.folder, ec);
}

}  // namespace

std::optional<std::string> checkStagedUpdate(const StagedUpdate& staged, const fs::path& installDir,
                                             const std::string& runningBuild) {
  struct stat release {};
  if (auto refused = checkStagedFiles(staged, &release)) return refused;
  if (auto refused = checkStagedBuild(staged, runningBuild)) return refused;
  return checkReleaseSwitch(staged, installDir);
}

std::optional<std::string> installStagedUpdate(const StagedUpdate& staged, const fs::path& installDir,
                                               const std::string& runningBuild, const RenameOperation& rename) {
  // What is not what was verified, or not newer, never will be: it goes. A switch that cannot be made
  // stays for a later try.
  struct stat release {};
  if (auto refused = checkStagedFiles(staged, &release)) {
    discard(staged);
    return *refused + "; nothing installed";
  }
  if (auto refused = checkStagedBuild(staged, runningBuild)) {
    discard(staged);
    return *refused + "; removed";
  }
  if (auto refused = checkReleaseSwitch(staged, installDir)) return *refused + "; nothing installed";
  const fs::path releasePath = staged.release();
  std::error_code ec;
  // The new release keeps the folder's own permissions (who may read and run the host).
  if (const fs::file_status folder = fs::status(installDir, ec); !ec) {
    fs::permissions(releasePath, folder.permissions(), ec);
  }
  if (const int error = rename(releasePath, installDir, RENAME_EXCHANGE); error != 0) {
    return "cannot switch " + installDir.string() + " to the new release: " + std::strerror(error) +
           "; nothing installed";
  }
  // The folder switched in must be the one checked: a staging folder moved aside and replaced between
  // the check and the switch (a parent others may write to) is switched back out.
  struct stat installed {};
  if (::lstat(installDir.c_str(), &installed) != 0 || installed.st_dev != release.st_dev ||
      installed.st_ino != release.st_ino) {
    const int error = rename(releasePath, installDir, RENAME_EXCHANGE);
    return std::string("the staging folder changed while it was installed") +
           (error == 0 ? "; nothing installed" : "; switching back failed: " + std::string(std::strerror(error)));
  }
  (void)syncFolder(installDir.parent_path());
  // The staging folder now holds the old release, which nothing runs from any more.
  fs::remove_all(staged.folder, ec);
  return std::nullopt;
}

}  // namespace tavlo

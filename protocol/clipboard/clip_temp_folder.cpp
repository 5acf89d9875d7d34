#include "protocol/clipboard/clip_temp_folder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/runtime/private_files.hpp"
#include "protocol/clipboard/clip_file_name.hpp"

namespace vela {

namespace {

// Closes a directory descriptor at scope end.
struct DirectoryFd {
  int fd;
  ~DirectoryFd() {
    if (fd >= 0) ::close(fd);
  }
};

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Why the open folder `dirFd` is not this user's own (owned by the effective user, mode exactly 0700),
// or nothing when it is.
std::optional<std::string> notPrivate(int dirFd, const std::filesystem::path& path) {
  struct stat st{};
  if (::fstat(dirFd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 0777) != 0700) {
    return "folder not private: " + path.string();
  }
  return std::nullopt;
}

// How deep removeLeftovers descends: the folder holds files, and placed files one folder further down.
constexpr int leftoverDepth = 4;

// Removes every entry of the open folder `dirFd`, folders by descending into them (never through a link);
// returns how many files and links went.
size_t removeEntries(int dirFd, int depth) {
  std::vector<std::string> names;
  {
    int listFd = ::dup(dirFd);
    if (listFd < 0) return 0;
    DIR* list = ::fdopendir(listFd);
    if (!list) {
      ::close(listFd);
      return 0;
    }
    while (const dirent* entry = ::readdir(list)) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(list);
  }
  size_t removed = 0;
  for (const std::string& name : names) {
    if (::unlinkat(dirFd, name.c_str(), 0) == 0) {
      ++removed;
      continue;
    }
    if ((errno != EISDIR && errno != EPERM) || depth == 0) continue;
    DirectoryFd inner{::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    if (inner.fd < 0) continue;
    removed += removeEntries(inner.fd, depth - 1);
    ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
  }
  return removed;
}

}  // namespace

std::filesystem::path ClipTempFolder::defaultPath() {
  // Without a private place the path is empty and every file fails with the reason.
  auto folder = tavlo::hostRuntimeFolder();
  return folder ? *folder / "clip" : std::filesystem::path();
}

ClipTempFolder::Created ClipTempFolder::createFile(std::string_view itemName) const {
  Created created;
  if (path_.empty()) {
    created.error = "no private folder for clipboard files (neither XDG_RUNTIME_DIR nor a home)";
    return created;
  }
  if (auto error = tavlo::ensurePrivateDirectory(path_)) {
    created.error = *error;
    return created;
  }
  // Create relative to a descriptor of the checked folder, so that nothing swapped in at its path after
  // the check is followed.
  DirectoryFd dir{::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
  if (dir.fd < 0) {
    created.error = errnoText("open " + path_.string());
    return created;
  }
  if (auto refusal = notPrivate(dir.fd, path_)) {
    created.error = *refusal;
    return created;
  }
  std::string name = clipTempFileName(itemName);
  int fd = ::openat(dir.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    created.error = errnoText("create " + (path_ / name).string());
    return created;
  }
  created.file = std::make_shared<ClipFile>(fd);
  // The umask can only have narrowed the mode; set exactly 0600.
  ::fchmod(fd, 0600);
  created.path = path_ / name;
  return created;
}

void ClipTempFolder::remove(const std::filesystem::path& file) {
  if (!file.empty()) ::unlink(file.c_str());
}

ClipTempFolder::Leftovers ClipTempFolder::removeLeftovers() const {
  Leftovers leftovers;
  if (path_.empty()) return leftovers;
  DirectoryFd dir{::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
  if (dir.fd < 0) {
    // A link ends in ELOOP or ENOTDIR, a plain file in ENOTDIR.
    if (errno != ENOENT) leftovers.refusal = errnoText("open " + path_.string());
    return leftovers;
  }
  if ((leftovers.refusal = notPrivate(dir.fd, path_))) return leftovers;
  leftovers.removed = removeEntries(dir.fd, leftoverDepth);
  return leftovers;
}

}  // namespace vela

#include "protocol/clipboard/clip_temp_folder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

std::filesystem::path ClipTempFolder::defaultPath() {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  return base / ("tl-clip-" + std::to_string(::geteuid()));
}

ClipTempFolder::Created ClipTempFolder::createFile(std::string_view itemName) const {
  Created created;
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
  struct stat st{};
  if (::fstat(dir.fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 0777) != 0700) {
    created.error = "folder not private: " + path_.string();
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

}  // namespace vela

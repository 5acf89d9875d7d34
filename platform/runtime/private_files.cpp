#include "platform/runtime/private_files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/runtime/random.hpp"

namespace tavlo {
namespace fs = std::filesystem;

namespace {

// $HOME, else the account's home directory: never a shared temporary folder while the user has a home.
fs::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home == '/') return home;
  struct passwd entry{};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
      *found->pw_dir == '/') {
    return found->pw_dir;
  }
  return "/tmp";
}

fs::path homeRelative(const char* xdgVariable, const char* fallback) {
  if (const char* xdg = std::getenv(xdgVariable); xdg && *xdg == '/') return fs::path(xdg) / "tavlo";
  return homeDirectory() / fallback / "tavlo";
}

std::string errnoText(const std::string& what, const fs::path& path) {
  return what + " " + path.string() + ": " + std::strerror(errno);
}

}  // namespace

fs::path configDirectory() { return homeRelative("XDG_CONFIG_HOME", ".config"); }
fs::path dataDirectory() { return homeRelative("XDG_DATA_HOME", ".local/share"); }
fs::path stateDirectory() { return homeRelative("XDG_STATE_HOME", ".local/state"); }

std::optional<std::string> ensurePrivateDirectory(const fs::path& dir) {
  std::error_code ec;
  if (dir.has_parent_path() && dir.parent_path() != dir) fs::create_directories(dir.parent_path(), ec);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return errnoText("mkdir", dir);
  struct stat st{};
  if (::lstat(dir.c_str(), &st) != 0) return errnoText("lstat", dir);
  if (S_ISLNK(st.st_mode)) return "refusing symbolic link " + dir.string();
  if (!S_ISDIR(st.st_mode)) return "not a directory: " + dir.string();
  if (st.st_uid != ::geteuid()) return "directory owned by another user: " + dir.string();
  if ((st.st_mode & 0777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) return errnoText("chmod", dir);
  return std::nullopt;
}

std::optional<std::string> writeFileAtomically(const fs::path& path, ByteView bytes, unsigned mode) {
  fs::path temp = path;
  temp += ".tmp-" + hexString(SystemRandom::shared().bytes(6));
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return errnoText("create", temp);
  // The umask may have narrowed the creation mode; give the file exactly the mode asked for.
  ::fchmod(fd, mode);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      auto error = errnoText("write", temp);
      ::close(fd);
      ::unlink(temp.c_str());
      return error;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    auto error = errnoText("flush", temp);
    ::unlink(temp.c_str());
    return error;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    auto error = errnoText("rename", path);
    ::unlink(temp.c_str());
    return error;
  }
  return std::nullopt;
}

std::optional<Bytes> readWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

}  // namespace tavlo

#include "platform/runtime/private_files.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/runtime/random.hpp"

namespace tavlo {
namespace fs = std::filesystem;

namespace {

// The largest file readPrivateFile takes: secrets are a few dozen bytes.
constexpr off_t maxPrivateFileBytes = 1 << 20;

// $HOME, else the account's home directory; none when the user has neither.
std::optional<fs::path> homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home == '/') return fs::path(home);
  struct passwd entry{};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
      *found->pw_dir == '/') {
    return fs::path(found->pw_dir);
  }
  return std::nullopt;
}

std::optional<fs::path> homeRelative(const char* xdgVariable, const char* fallback) {
  if (const char* xdg = std::getenv(xdgVariable); xdg && *xdg == '/') return fs::path(xdg) / "tavlo";
  auto home = homeDirectory();
  if (!home) return std::nullopt;
  return *home / fallback / "tavlo";
}

std::string errnoText(const std::string& what, const fs::path& path) {
  return what + " " + path.string() + ": " + std::strerror(errno);
}

}  // namespace

std::optional<std::string> privacyFault(int fd, const fs::path& path, bool directory) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return errnoText("fstat", path);
  if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
    return (directory ? "not a directory: " : "not a regular file: ") + path.string();
  }
  if (st.st_uid != ::geteuid()) return "owned by uid " + std::to_string(st.st_uid) + ", not this user: " + path.string();
  if (st.st_mode & 077) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", unsigned(st.st_mode & 0777));
    return std::string("open to group or others (mode ") + mode + "): " + path.string();
  }
  return std::nullopt;
}

namespace {

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::optional<fs::path> configDirectory() { return homeRelative("XDG_CONFIG_HOME", ".config"); }
std::optional<fs::path> dataDirectory() { return homeRelative("XDG_DATA_HOME", ".local/share"); }
std::optional<fs::path> stateDirectory() { return homeRelative("XDG_STATE_HOME", ".local/state"); }

std::optional<RuntimeDirectory> runtimeDirectory() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
    return RuntimeDirectory{fs::path(runtime), false};
  }
  auto cache = homeRelative("XDG_CACHE_HOME", ".cache");
  if (!cache) return std::nullopt;
  fs::path dir = *cache / "run";
  if (ensurePrivateDirectory(dir)) return std::nullopt;
  return RuntimeDirectory{dir, true};
}

std::optional<fs::path> hostRuntimeFolder() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
    return fs::path(runtime) / "tavlo";
  }
  return stateDirectory();
}

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

PrivateRead readPrivateFile(const fs::path& path) {
  PrivateRead out;
  fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  Descriptor dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
  if (dir.fd < 0) {
    if (errno != ENOENT) out.refusal = errnoText("open", folder);  // a link ends in ELOOP or ENOTDIR
    return out;
  }
  if (auto fault = privacyFault(dir.fd, folder, true)) {
    out.refusal = fault;
    return out;
  }
  // Non-blocking, so that a FIFO planted in its place cannot hang the reader before the checks.
  Descriptor file{::openat(dir.fd, path.filename().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) {
    if (errno != ENOENT) out.refusal = errnoText("open", path);
    return out;
  }
  if (auto fault = privacyFault(file.fd, path, false)) {
    out.refusal = fault;
    return out;
  }
  if (struct stat st{}; ::fstat(file.fd, &st) == 0 && st.st_size > maxPrivateFileBytes) {
    out.refusal = "too large for a secret: " + path.string();
    return out;
  }
  Bytes bytes;
  uint8_t chunk[4096];
  for (;;) {
    ssize_t n = ::read(file.fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.refusal = errnoText("read", path);
      return out;
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
    if (bytes.size() > size_t(maxPrivateFileBytes)) {
      out.refusal = "too large for a secret: " + path.string();
      return out;
    }
  }
  out.bytes = std::move(bytes);
  return out;
}

}  // namespace tavlo

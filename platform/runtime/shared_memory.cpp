#include "platform/runtime/shared_memory.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "platform/runtime/private_files.hpp"

namespace tavlo {
namespace {

// Owner-only: the other side of every file is a process of the same user.
constexpr mode_t kFileMode = 0600;
// Non-blocking, so that a FIFO planted in the file's place cannot hang the opener before the checks.
constexpr int kOpenFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

std::string errnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The folder of `path`, opened without following a link and checked; its descriptor, or -1 and `error`.
int openFolder(const std::string& path, std::string& error) {
  if (path.empty() || path.front() != '/') {
    error = "no private runtime directory for the shared file '" + path + "'";
    return -1;
  }
  std::string folder = std::filesystem::path(path).parent_path().string();
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = errnoText("open", folder);  // a link ends in ELOOP or ENOTDIR
    return -1;
  }
  if (auto fault = privacyFault(fd, folder, true)) {
    ::close(fd);
    error = *fault;
    return -1;
  }
  return fd;
}

std::string fileNameOf(const std::string& path) { return std::filesystem::path(path).filename().string(); }

}  // namespace

std::unique_ptr<SharedMemory> SharedMemory::map(const std::string& path, int fd, size_t size, Access access,
                                                std::string& error) {
  if (auto fault = privacyFault(fd, path, false)) {
    error = *fault;
    return nullptr;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    error = errnoText("fstat", path);
    return nullptr;
  }
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) < size) {
    error = "shared file " + path + " holds " + std::to_string(st.st_size) + " bytes, fewer than " +
            std::to_string(size);
    return nullptr;
  }
  int protection = access == Access::readOnly ? PROT_READ : PROT_READ | PROT_WRITE;
  void* base = ::mmap(nullptr, size, protection, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    error = errnoText("mmap", path);
    return nullptr;
  }
  return std::unique_ptr<SharedMemory>(new SharedMemory(path, static_cast<uint8_t*>(base), size, st.st_dev, st.st_ino));
}

std::unique_ptr<SharedMemory> SharedMemory::openExisting(const std::string& path, size_t size, Access access,
                                                         std::string& error) {
  Descriptor folder(openFolder(path, error));
  if (folder.get() < 0) return nullptr;
  int flags = (access == Access::readOnly ? O_RDONLY : O_RDWR) | kOpenFlags;
  Descriptor fd(::openat(folder.get(), fileNameOf(path).c_str(), flags));
  if (fd.get() < 0) {
    error = errnoText("open", path);
    return nullptr;
  }
  return map(path, fd.get(), size, access, error);
}

std::unique_ptr<SharedMemory> SharedMemory::openOrCreate(const std::string& path, size_t size, std::string& error) {
  Descriptor folder(openFolder(path, error));
  if (folder.get() < 0) return nullptr;
  Descriptor fd(::openat(folder.get(), fileNameOf(path).c_str(), O_RDWR | O_CREAT | kOpenFlags, kFileMode));
  // A link, or anything else that is not a private file of ours, is never written into: whoever put it
  // there could read or write it behind our back. The folder is ours, so the name can be taken back.
  if (fd.get() < 0 || privacyFault(fd.get(), path, false)) return createFresh(path, size, error);
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) {
    error = errnoText("fstat", path);
    return nullptr;
  }
  if (static_cast<uint64_t>(st.st_size) < size && ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    error = errnoText("ftruncate", path);
    return nullptr;
  }
  return map(path, fd.get(), size, Access::readWrite, error);
}

std::unique_ptr<SharedMemory> SharedMemory::createFresh(const std::string& path, size_t size, std::string& error) {
  Descriptor folder(openFolder(path, error));
  if (folder.get() < 0) return nullptr;
  const std::string name = fileNameOf(path);
  ::unlinkat(folder.get(), name.c_str(), 0);
  Descriptor fd(::openat(folder.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | kOpenFlags, kFileMode));
  if (fd.get() < 0) {
    error = errnoText("create", path);
    return nullptr;
  }
  // The umask may have narrowed the mode; it can never have widened it.
  ::fchmod(fd.get(), kFileMode);
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    error = errnoText("ftruncate", path);
    ::unlinkat(folder.get(), name.c_str(), 0);
    return nullptr;
  }
  return map(path, fd.get(), size, Access::readWrite, error);
}

bool SharedMemory::remove(const std::string& path) { return !path.empty() && ::unlink(path.c_str()) == 0; }

SharedMemory::~SharedMemory() { ::munmap(base_, size_); }

bool SharedMemory::replaced() const {
  struct stat st{};
  if (::lstat(path_.c_str(), &st) != 0) return true;
  return st.st_dev != device_ || st.st_ino != inode_;
}

}  // namespace tavlo

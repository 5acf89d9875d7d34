#include "platform/runtime/shared_memory.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavlo {
namespace {

// Owner-only: the other side of every object is a process of the same user.
constexpr mode_t kObjectMode = 0600;

std::string errnoText(const std::string& what, const std::string& name) {
  return what + " " + name + ": " + std::strerror(errno);
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

}  // namespace

std::unique_ptr<SharedMemory> SharedMemory::map(const std::string& name, int fd, size_t size, Access access,
                                                std::string& error) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    error = errnoText("fstat", name);
    return nullptr;
  }
  if (st.st_uid != ::geteuid()) {
    error = "shared memory " + name + " belongs to another user";
    return nullptr;
  }
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) < size) {
    error = "shared memory " + name + " holds " + std::to_string(st.st_size) + " bytes, fewer than " +
            std::to_string(size);
    return nullptr;
  }
  int protection = access == Access::readOnly ? PROT_READ : PROT_READ | PROT_WRITE;
  void* base = ::mmap(nullptr, size, protection, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    error = errnoText("mmap", name);
    return nullptr;
  }
  return std::unique_ptr<SharedMemory>(
      new SharedMemory(name, static_cast<uint8_t*>(base), size, st.st_dev, st.st_ino));
}

std::unique_ptr<SharedMemory> SharedMemory::openExisting(const std::string& name, size_t size, Access access,
                                                         std::string& error) {
  int flags = (access == Access::readOnly ? O_RDONLY : O_RDWR) | O_NOFOLLOW | O_CLOEXEC;
  Descriptor fd(::shm_open(name.c_str(), flags, 0));
  if (fd.get() < 0) {
    error = errnoText("shm_open", name);
    return nullptr;
  }
  return map(name, fd.get(), size, access, error);
}

std::unique_ptr<SharedMemory> SharedMemory::openOrCreate(const std::string& name, size_t size, std::string& error) {
  Descriptor fd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kObjectMode));
  if (fd.get() < 0) {
    error = errnoText("shm_open", name);
    return nullptr;
  }
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) {
    error = errnoText("fstat", name);
    return nullptr;
  }
  // Someone else's object could be read or written behind our back: take the name over.
  if (st.st_uid != ::geteuid()) return createFresh(name, size, error);
  // An object left by an older build may be world-writable.
  if ((st.st_mode & 0777) != kObjectMode && ::fchmod(fd.get(), kObjectMode) != 0) {
    error = errnoText("fchmod", name);
    return nullptr;
  }
  if (static_cast<uint64_t>(st.st_size) < size && ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    error = errnoText("ftruncate", name);
    return nullptr;
  }
  return map(name, fd.get(), size, Access::readWrite, error);
}

std::unique_ptr<SharedMemory> SharedMemory::createFresh(const std::string& name, size_t size, std::string& error) {
  ::shm_unlink(name.c_str());
  Descriptor fd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kObjectMode));
  if (fd.get() < 0) {
    error = errnoText("shm_open", name);
    return nullptr;
  }
  // The umask may have narrowed the mode; it can never have widened it.
  ::fchmod(fd.get(), kObjectMode);
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    error = errnoText("ftruncate", name);
    ::shm_unlink(name.c_str());
    return nullptr;
  }
  return map(name, fd.get(), size, Access::readWrite, error);
}

bool SharedMemory::remove(const std::string& name) { return ::shm_unlink(name.c_str()) == 0; }

SharedMemory::~SharedMemory() { ::munmap(base_, size_); }

bool SharedMemory::replaced() const {
  Descriptor fd(::shm_open(name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
  if (fd.get() < 0) return true;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return true;
  return st.st_dev != device_ || st.st_ino != inode_;
}

}  // namespace tavlo

#include "protocol/clipboard/clip_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vela {

namespace {
void setError(std::string* error, const std::string& what) {
  if (error) *error = what + ": " + std::strerror(errno);
}
}  // namespace

ClipFile::~ClipFile() {
  if (fd_ >= 0) ::close(fd_);  // errors on close change nothing for a reader or a finished writer
}

std::shared_ptr<ClipFile> ClipFile::openForReading(const std::filesystem::path& path, std::string* error) {
  // O_NONBLOCK keeps a FIFO from stalling the open; it is cleared again for a regular file.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    setError(error, "open " + path.string());
    return nullptr;
  }
  auto file = std::make_shared<ClipFile>(fd);
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    setError(error, "stat " + path.string());
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    if (error) *error = "not a regular file: " + path.string();
    return nullptr;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return file;
}

std::optional<uint64_t> ClipFile::size() const {
  struct stat st{};
  if (::fstat(fd_, &st) != 0 || st.st_size < 0) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

std::optional<tavlo::Bytes> ClipFile::readExactly(uint64_t offset, size_t length) const {
  tavlo::Bytes out(length);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd_, out.data() + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;  // an error, or the file ended before `length` bytes
    done += static_cast<size_t>(n);
  }
  return out;
}

bool ClipFile::writeAll(uint64_t offset, tavlo::ByteView bytes, std::string* error) const {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      setError(error, "write");
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace vela

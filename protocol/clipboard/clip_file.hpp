#pragma once
// An open file of a clipboard item, read and written by position (pread/pwrite), so that several
// holders share one descriptor without a shared file offset. Shared through shared_ptr: the descriptor
// closes when the last holder lets go, never under a reader's feet.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/bytes.hpp"

namespace vela {

class ClipFile {
 public:
  explicit ClipFile(int fd) noexcept : fd_(fd) {}
  ~ClipFile();
  ClipFile(const ClipFile&) = delete;
  ClipFile& operator=(const ClipFile&) = delete;

  // Opens a regular file for reading; anything else (a directory, a FIFO, a device) is refused, so
  // that opening never blocks. Nothing on failure, with the reason in `error` when given.
  static std::shared_ptr<ClipFile> openForReading(const std::filesystem::path& path, std::string* error = nullptr);

  // The file's current size, nothing when it cannot be read.
  std::optional<uint64_t> size() const;
  // Exactly `length` bytes from `offset`, or nothing when the file ends sooner or a read fails.
  std::optional<tavlo::Bytes> readExactly(uint64_t offset, size_t length) const;
  // Writes all of `bytes` at `offset`. On failure returns false with the reason in `error`.
  bool writeAll(uint64_t offset, tavlo::ByteView bytes, std::string* error = nullptr) const;

  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace vela

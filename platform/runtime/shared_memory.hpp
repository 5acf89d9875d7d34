#pragma once
// A file mapped whole into two processes of one user: the microphone ring and the camera mailbox that
// the host and the device daemons share, kept in the user's runtime directory (runtimeDirectory()).
// Anyone who could write into it could inject audio or video, and anyone who could read it could
// listen in, so a file is used only where nobody else can be involved:
// - its folder is a directory (not a link) of the effective user, closed to group and others;
// - the file itself is a regular file (not a link, a FIFO or a device) of that user, mode 0600.
// Everything is checked on open descriptors, so nothing swapped in between a check and the use counts.
// Files are created with mode 0600 (never wider at any moment).
//
// The mapping never covers more than the file holds (fstat is checked before mmap), so touching the
// mapped bytes cannot raise SIGBUS unless someone shrinks the file afterwards.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tavlo {

class SharedMemory {
 public:
  enum class Access { readOnly, readWrite };

  // Opens an existing file of ours and maps its first `size` bytes. nullptr (and `error`) when it is
  // absent, smaller than `size`, not private as above (a link, another user's, open to others) or
  // cannot be mapped.
  static std::unique_ptr<SharedMemory> openExisting(const std::string& path, size_t size, Access access,
                                                    std::string& error);
  // Opens the file or creates it, grows it to `size` when smaller and maps `size` bytes read-write. A
  // file at the path that is not private as above is never used: it is replaced by a fresh one.
  static std::unique_ptr<SharedMemory> openOrCreate(const std::string& path, size_t size, std::string& error);
  // Removes whatever is at the path and creates a fresh, zero-filled file of `size` bytes, mapped
  // read-write. Readers of the old file find out through replaced().
  static std::unique_ptr<SharedMemory> createFresh(const std::string& path, size_t size, std::string& error);
  // Removes the path (mappings stay valid); false when there was nothing to remove.
  static bool remove(const std::string& path);

  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  std::span<uint8_t> bytes() const { return {base_, size_}; }
  const std::string& name() const { return path_; }
  // Whether the path no longer leads to the mapped file (removed, or replaced by a new one).
  bool replaced() const;

 private:
  SharedMemory(std::string path, uint8_t* base, size_t size, dev_t device, ino_t inode)
      : path_(std::move(path)), base_(base), size_(size), device_(device), inode_(inode) {}
  static std::unique_ptr<SharedMemory> map(const std::string& path, int fd, size_t size, Access access,
                                           std::string& error);

  std::string path_;
  uint8_t* base_;
  size_t size_;
  dev_t device_;
  ino_t inode_;
};

}  // namespace tavlo

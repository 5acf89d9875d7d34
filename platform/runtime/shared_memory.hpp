#pragma once
// A POSIX shared-memory object mapped whole: the microphone ring and the camera mailbox that the host
// and the device daemons share. Objects are created with mode 0600 (never wider at any moment) and an
// object of another user is never used: anyone who could write into it could inject audio or video.
//
// The mapping never covers more than the object holds (fstat is checked before mmap), so touching the
// mapped bytes cannot raise SIGBUS unless someone shrinks the object afterwards.
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

  // Opens an existing object of ours and maps its first `size` bytes. nullptr (and `error`) when it is
  // absent, smaller than `size`, owned by another user or cannot be mapped.
  static std::unique_ptr<SharedMemory> openExisting(const std::string& name, size_t size, Access access,
                                                    std::string& error);
  // Opens the object or creates it, grows it to `size` when smaller and maps `size` bytes read-write.
  // An existing object is narrowed to mode 0600; one of another user is replaced by a fresh object.
  static std::unique_ptr<SharedMemory> openOrCreate(const std::string& name, size_t size, std::string& error);
  // Removes any object of that name and creates a fresh, zero-filled one of `size` bytes, mapped
  // read-write. Readers of the old object find out through replaced().
  static std::unique_ptr<SharedMemory> createFresh(const std::string& name, size_t size, std::string& error);
  // Removes the name (mappings stay valid); false when there was nothing to remove.
  static bool remove(const std::string& name);

  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  std::span<uint8_t> bytes() const { return {base_, size_}; }
  const std::string& name() const { return name_; }
  // Whether the name no longer leads to the mapped object (removed, or replaced by a new one).
  bool replaced() const;

 private:
  SharedMemory(std::string name, uint8_t* base, size_t size, dev_t device, ino_t inode)
      : name_(std::move(name)), base_(base), size_(size), device_(device), inode_(inode) {}
  static std::unique_ptr<SharedMemory> map(const std::string& name, int fd, size_t size, Access access,
                                           std::string& error);

  std::string name_;
  uint8_t* base_;
  size_t size_;
  dev_t device_;
  ino_t inode_;
};

}  // namespace tavlo

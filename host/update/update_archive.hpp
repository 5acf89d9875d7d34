#pragma once
// The update archive: a POSIX tar (ustar) of regular files and folders, read whole before anything is
// written. Links, devices, absolute paths, ".." and anything that does not add up are refused, so an
// archive can only ever put files inside the folder it is unpacked into.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

struct UpdateArchiveEntry {
  std::string path;  // relative, '/'-separated, without "." or ".." parts
  bool directory = false;
  bool executable = false;
  ByteView data;  // a view into the archive's bytes
};

struct UpdateArchive {
  static constexpr size_t maxEntries = 4096;
  static constexpr size_t maxPathBytes = 255;
  std::vector<UpdateArchiveEntry> entries;
};

// The archive's entries; none, with the reason in `error`, for anything but a well-formed, complete
// archive of files and folders with safe relative paths.
std::optional<UpdateArchive> readUpdateArchive(ByteView bytes, std::string& error);

// A tar of `files` (path, executable, contents), as the publishing tool and the tests write them.
struct UpdateArchiveFile {
  std::string path;
  bool executable = false;
  std::string contents;
};
Bytes writeUpdateArchive(const std::vector<UpdateArchiveFile>& files);

}  // namespace tavlo

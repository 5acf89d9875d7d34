#pragma once
#include <filesystem>

namespace tavlo::testkit {

// A fresh directory under the system's temporary folder, removed with everything in it at scope end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// File mode bits (st_mode & 0777) of a path, not following a final symbolic link.
unsigned fileMode(const std::filesystem::path& path);

}  // namespace tavlo::testkit

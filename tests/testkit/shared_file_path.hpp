#pragma once
// The path of a shared file (the microphone ring, the camera mailbox) in a private 0700 folder of the
// test's own, as the user's runtime directory is; folder and file are removed when the test ends.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace tavlo::testkit {

class SharedFilePath {
 public:
  SharedFilePath() {
    std::string folder = (std::filesystem::temp_directory_path() / "tavlo-shared-XXXXXX").string();
    if (::mkdtemp(folder.data())) folder_ = folder;  // mode 0700
    path_ = folder_ + "/shared";
  }
  ~SharedFilePath() {
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }
  SharedFilePath(const SharedFilePath&) = delete;
  SharedFilePath& operator=(const SharedFilePath&) = delete;
  const std::string& str() const { return path_; }
  const std::string& folder() const { return folder_; }
  operator const std::string&() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

}  // namespace tavlo::testkit

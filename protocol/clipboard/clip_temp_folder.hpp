#pragma once
// The folder that incoming clipboard items are received into: one per host, mode 0700, in the host's
// private runtime folder beside its instance lock. Files in it are created exclusively (never an existing file or a
// symbolic link planted there) with mode 0600.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/clipboard/clip_file.hpp"

namespace vela {

class ClipTempFolder {
 public:
  // "clip" in the host's runtime folder (hostRuntimeFolder): a shared temporary directory would let
  // another account take the name first, and would be shared by two hosts of one user that run with
  // different runtime folders, each removing the other's files. Empty when the user has no such folder.
  static std::filesystem::path defaultPath();

  explicit ClipTempFolder(std::filesystem::path path = defaultPath()) : path_(std::move(path)) {}

  const std::filesystem::path& path() const { return path_; }

  struct Created {
    std::shared_ptr<ClipFile> file;  // open for writing; null on failure
    std::filesystem::path path;
    std::string error;               // why it failed
  };

  // Makes the folder if needed (refusing a symbolic link, a non-directory or another user's directory)
  // and creates a fresh, empty file named by clipTempFileName(itemName) in it.
  Created createFile(std::string_view itemName) const;

  // Removes a file this folder created; errors are ignored (the file may be gone already).
  static void remove(const std::filesystem::path& file);

  struct Leftovers {
    size_t removed = 0;                 // files (and links) removed
    std::optional<std::string> refusal;  // why the folder was left alone
  };
  // Removes everything in the folder that an earlier run left, when the folder is this user's own: owned
  // by the effective user, mode exactly 0700, not a symbolic link (anything else is refused and left
  // as it is). Nothing inside is followed: a link is removed as a link, and folders are entered only
  // through descriptors of the checked one. A missing folder has nothing to remove.
  Leftovers removeLeftovers() const;

 private:
  std::filesystem::path path_;
};

}  // namespace vela

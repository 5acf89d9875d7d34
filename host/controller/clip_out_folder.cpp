#include "host/controller/clip_out_folder.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "platform/runtime/private_files.hpp"
#include "platform/runtime/uuid.hpp"

namespace tavlo {

ClipOutFolder::~ClipOutFolder() { removeFolders(placed_); }

uint64_t ClipOutFolder::nextOffer(const std::vector<std::filesystem::path>& stillOffered) {
  std::vector<std::filesystem::path> earlier;
  uint64_t offer = 0;
  {
    std::lock_guard guard(mutex_);
    offer = ++offer_;
    earlier.swap(placed_);
    std::erase_if(earlier, [&](const std::filesystem::path& folder) {
      const bool listed = std::ranges::any_of(stillOffered, [&](const auto& f) { return f.parent_path() == folder; });
      if (listed) placed_.push_back(folder);
      return listed;
    });
  }
  removeFolders(earlier);
  return offer;
}

uint64_t ClipOutFolder::currentOffer() const {
  std::lock_guard guard(mutex_);
  return offer_;
}

std::optional<std::filesystem::path> ClipOutFolder::place(const std::filesystem::path& file, const std::string& name,
                                                          uint64_t offer) {
  std::error_code error;
  if (currentOffer() != offer) {
    std::filesystem::remove(file, error);
    return std::nullopt;
  }
  const std::filesystem::path folder = root_ / Uuid::random().uuidString();
  if (ensurePrivateDirectory(root_) || ::mkdir(folder.c_str(), 0700) != 0) return std::nullopt;
  const std::filesystem::path destination = folder / (name.empty() ? file.filename() : std::filesystem::path(name));
  std::filesystem::rename(file, destination, error);
  if (error) {
    error.clear();
    std::filesystem::copy_file(file, destination, error);
    if (error) {
      removeFolders({folder});
      return std::nullopt;
    }
    std::filesystem::remove(file, error);
  }
  {
    std::lock_guard guard(mutex_);
    // The pasteboard moved on while the file was being placed: it goes as that offer's files did.
    if (offer_ == offer) {
      placed_.push_back(folder);
      return destination;
    }
  }
  removeFolders({folder});
  return std::nullopt;
}

size_t ClipOutFolder::placedCount() const {
  std::lock_guard guard(mutex_);
  return placed_.size();
}

void ClipOutFolder::removeFolders(const std::vector<std::filesystem::path>& folders) {
  std::error_code error;
  // A placed file's folder holds only that file; a link in it is removed, never followed.
  for (const auto& folder : folders) std::filesystem::remove_all(folder, error);
}

}  // namespace tavlo

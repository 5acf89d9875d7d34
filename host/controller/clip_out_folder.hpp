#pragma once
// Where received files are placed under their own names while the host's pasteboard offers them: each
// in a fresh private folder of its own below one root. A file belongs to one offer, the pasteboard
// content that shows it (a file list, or a promise fulfilled later); when the pasteboard moves on to
// the next offer (a newer copy, ours or another program's, or the end of the session) every file of the
// earlier offers is removed.
//
// The bridge opens offers on the main executor; a promise is fulfilled on the pasteboard backend's
// worker: the folder guards itself, and removes files outside its lock.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavlo {

class ClipOutFolder {
 public:
  explicit ClipOutFolder(std::filesystem::path root) : root_(std::move(root)) {}
  ~ClipOutFolder();  // nothing placed outlives the folder's owner
  ClipOutFolder(const ClipOutFolder&) = delete;
  ClipOutFolder& operator=(const ClipOutFolder&) = delete;

  // The pasteboard moves on: the files of every earlier offer are removed, except those the new content
  // still lists (`stillOffered`), which belong to the new offer. Returns the new offer.
  uint64_t nextOffer(const std::vector<std::filesystem::path>& stillOffered = {});
  uint64_t currentOffer() const;
  // Moves `file` (or copies it, then removes it) into a fresh folder under `name` (its own name when
  // empty) for `offer`. Nothing when placing fails, or when `offer` is no longer the current one: the
  // file is of no use then and is removed.
  std::optional<std::filesystem::path> place(const std::filesystem::path& file, const std::string& name,
                                             uint64_t offer);
  // Files placed and not yet removed.
  size_t placedCount() const;

 private:
  static void removeFolders(const std::vector<std::filesystem::path>& folders);

  const std::filesystem::path root_;
  mutable std::mutex mutex_;
  uint64_t offer_ = 1;
  std::vector<std::filesystem::path> placed_;  // the folders of the current offer's files
};

}  // namespace tavlo
